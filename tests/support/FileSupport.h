#pragma once

// Files for the tests of every layer; Qt Core only, no project code.

#include <QFile>
#include <QString>

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
