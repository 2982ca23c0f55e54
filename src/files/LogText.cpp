#include "files/LogText.h"

#include "core/Failure.h"

#include <QFile>
#include <QLocale>

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

void RollOver(const QString& path, const QString& folder, const QString& prefix, const QString& extension,
              const QDateTime& moment)
{
    const QString stem = folder + prefix + moment.toString(QStringLiteral("MMddyy HHmm"));
    QString target = stem + extension;
    for (int copy = 2; QFile::exists(target); ++copy)
        target = stem + QStringLiteral(" (%1)").arg(copy) + extension;
    QFile file(path);
    if (!file.rename(target))
        throw Failure{int(file.error()), file.errorString()};
}

void AppendToFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        throw Failure{int(file.error()), file.errorString()};
    if (file.write(bytes) != bytes.size() || !file.flush())
        throw Failure{int(file.error()), file.errorString()};
}

} // namespace LogText
