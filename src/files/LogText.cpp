#include "files/LogText.h"

#include "core/Failure.h"

#include <QFile>
#include <QLocale>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <QFileInfo>
#endif

namespace LogText {

QString DateTimeText(const QDateTime& moment)
{
    const QLocale locale; // the system's, unless the program was told otherwise
    // The long time format carries the zone as "t" (outside quotes); drop it and the blank before it.
    const QString pattern = locale.timeFormat(QLocale::LongFormat);
    QString timePattern;
    bool quoted = false;
    for (QChar c : pattern) {
        if (c == u'\'')
            quoted = !quoted;
        if (!quoted && c == u't')
            continue;
        timePattern.append(c);
    }
    timePattern.replace(QLatin1String("()"), QString());
    return locale.toString(moment.date(), QLocale::ShortFormat) + u' '
        + locale.toString(moment.time(), timePattern.simplified());
}

Stamp::Stamp(const Clock& clock)
    : m_clock(clock)
{
}

const QString& Stamp::Text()
{
    const qint64 second = m_clock.SecsSinceEpoch();
    if (second != m_second) {
        m_text = DateTimeText(m_clock.Now());
        m_second = second;
    }
    return m_text;
}

qint64 FileSize(const QString& path)
{
#ifdef Q_OS_UNIX
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return qint64(info.st_size);
#else
    const QFileInfo info(path);
    return info.exists() ? info.size() : -1;
#endif
}

void PadTo(QString& text, qsizetype width)
{
    if (text.size() < width)
        text.append(QString(width - text.size(), u' '));
}

QByteArray Banner()
{
    QByteArray banner;
    banner += QByteArray(13, ' ') + "T O L V A N E\r\n";
    banner += "\r\n";
    banner += QByteArray(19, ' ') + "Tolvane TCP Relay\r\n";
    banner += QByteArray(19, ' ') + "Relays TCP clients to the RIX Server Module\r\n";
    banner += QByteArray(19, ' ') + "Logs live in the program folder - see README.md\r\n";
    banner += "\r\n";
    banner += "\r\n";
    return banner;
}

QByteArray Encode(const QString& text)
{
    return text.toLocal8Bit();
}

RollOver::RollOver(QString prefix, QString extension)
    : m_prefix(std::move(prefix))
    , m_extension(std::move(extension))
{
}

void RollOver::Run(const QString& path, const QString& folder, const QDateTime& moment)
{
    const QString stem = folder + m_prefix + moment.toString(QStringLiteral("MMddyy HHmm"));
    if (stem != m_lastStem) {
        m_lastStem = stem;
        m_nextCopy = 2;
    }
    QString target = stem + m_extension;
    if (QFile::exists(target)) {
        do
            target = stem + QStringLiteral(" (%1)").arg(m_nextCopy++) + m_extension;
        while (QFile::exists(target));
    }
    QFile file(path);
    if (!file.rename(target))
        throw Failure{int(file.error()), file.errorString()};
}

void WriteNewFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size() || !file.flush())
        throw Failure{int(file.error()), file.errorString()};
}

void AppendToFile(const QString& path, const QByteArray& bytes)
{
#ifdef Q_OS_UNIX
    // QFile would add three metadata calls to every append; a log line needs open, write, close.
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        throw Failure{errno, QString::fromLocal8Bit(std::strerror(errno))};
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            ::close(fd);
            throw Failure{error, QString::fromLocal8Bit(std::strerror(error))};
        }
        written += n;
    }
    if (::close(fd) != 0)
        throw Failure{errno, QString::fromLocal8Bit(std::strerror(errno))};
#else
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        throw Failure{int(file.error()), file.errorString()};
    if (file.write(bytes) != bytes.size() || !file.flush())
        throw Failure{int(file.error()), file.errorString()};
#endif
}

} // namespace LogText
