#pragma once

// Files for the tests of every layer; Qt Core only, no project code.

#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cstdio>

inline QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool WriteFile(const QString& path, const QByteArray& contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

// An iplog.ini for a relay on 127.0.0.1.
inline QByteArray SettingsFileText(int rixPort, int clientPort, bool listenMode = true, bool logData = false,
                                   const QString& rixAddress = QStringLiteral("127.0.0.1"))
{
    return QStringLiteral("CONFIGURATION\r\nRIX IP Port=%1\r\nRIX IP Address=%2\r\nClient IP Port=%3\r\n"
                          "Client IP Address=127.0.0.1\r\nPacket Size=16383\r\nServer Mode=%4\r\nLog Data=%5\r\n")
        .arg(rixPort)
        .arg(rixAddress)
        .arg(clientPort)
        .arg(listenMode ? "Yes" : "No", logData ? "Yes" : "No")
        .toLatin1();
}

// Standard error, which is the journal, sent to a file for the rest of the test program.
class JournalCapture {
public:
    bool Start() { return m_dir.isValid() && std::freopen(QFile::encodeName(Path()).constData(), "a", stderr); }
    QByteArray All() const { return ReadAll(Path()); }
    // What came since the last call.
    QString Fresh()
    {
        const QByteArray all = All();
        const QString fresh = QString::fromLocal8Bit(all.mid(m_read));
        m_read = all.size();
        return fresh;
    }

private:
    QString Path() const { return m_dir.filePath(QStringLiteral("journal")); }

    QTemporaryDir m_dir;
    qsizetype m_read = 0;
};
