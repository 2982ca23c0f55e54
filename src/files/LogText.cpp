#include "files/LogText.h"

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

} // namespace LogText
