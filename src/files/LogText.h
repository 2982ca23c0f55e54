#pragma once

#include "core/Clock.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

// Pieces shared by the logs: how a moment is written, how a line is padded, the banner, and the
// dated roll-over of a full log.
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

// The size of the file at path, or -1 when there is none: one system call.
qint64 FileSize(const QString& path);

// Appends blanks to text until it is width characters long; a longer text stays whole.
void PadTo(QString& text, qsizetype width);

// The banner lines 1 to 7 shared by the error log and the event log, each ended by CR LF.
QByteArray Banner();

// Text written to the log files: the system's 8-bit encoding.
QByteArray Encode(const QString& text);

// A log reaching this size is rolled over before its next entry.
inline constexpr qint64 RollOverSize = 2'048'000;

// Moves a full log aside to prefix + "MMDDYY HHMM" + extension in the same folder. An existing
// rolled copy is never replaced: " (2)", " (3)", ... go before the extension instead. It remembers
// the last name it used, so a log that fills several times a minute costs one rename, not a search.
class RollOver {
public:
    RollOver(QString prefix, QString extension);
    // Throws Failure when the log cannot be moved.
    void Run(const QString& path, const QString& folder, const QDateTime& moment);

private:
    QString m_prefix;
    QString m_extension;
    QString m_lastStem;
    int m_nextCopy = 2;
};

// Creates (or empties) the file at path and writes bytes to it. Throws Failure when it cannot.
void WriteNewFile(const QString& path, const QByteArray& bytes);

// Appends bytes to the file at path, creating it when missing: opened, written and closed within
// the call, with as few system calls as the platform allows. Throws Failure when it cannot.
void AppendToFile(const QString& path, const QByteArray& bytes);

} // namespace LogText
