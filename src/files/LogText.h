#pragma once

#include "core/Clock.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

// Pieces shared by the logs: how a moment is written, how a line is padded, the banner.
namespace LogText {

// The system locale's short date, one blank, and its time with seconds, without a time-zone name.
QString DateTimeText(const QDateTime& moment);

// The date-time text of the clock's current second, formatted once per second: a log written many
// times a second would otherwise look up the time zone and the locale's patterns for every line.
class Stamp {
public:
    explicit Stamp(const Clock& clock);
    const QString& Text();

private:
    const Clock& m_clock;
    qint64 m_second = -1;
    QString m_text;
};

// Appends blanks to text until it is width characters long; a longer text stays whole.
void PadTo(QString& text, qsizetype width);

// The banner lines 1 to 7 shared by the error log and the event log, each ended by CR LF.
QByteArray Banner();

// Text written to the log files: the system's 8-bit encoding.
QByteArray Encode(const QString& text);

// A log reaching this size is rolled over before its next entry.
inline constexpr qint64 RollOverSize = 2'048'000;

} // namespace LogText
