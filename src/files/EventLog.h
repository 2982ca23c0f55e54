#pragma once

#include "files/LogFile.h"
#include "files/LogText.h"

#include <QString>

class Clock;
class ErrorReporter;
class RuntimeState;

// "Eventlog.txt": one line per client connect and disconnect, rolled over to
// "EventLog MMDDYY HHMM.txt" at 2,048,000 bytes. A line is tried six times; while the log keeps
// failing, its reports are limited to one group a minute.
class EventLog {
public:
    EventLog(const RuntimeState& state, const Clock& clock, ErrorReporter& errors);
    virtual ~EventLog() = default;

    void LogEvent(const QString& message, const QString& address);

    static QString FileName() { return QStringLiteral("Eventlog.txt"); }
    static constexpr int AppendAttempts = 6;

protected:
    // One attempt at the rest of a line, from done on. Throws Failure.
    virtual void AppendAttempt(QByteArrayView bytes, qsizetype& done);

private:
    ErrorReporter& m_errors;
    LogText::Stamp m_stamp;
    LogFile m_file;
    FloodLimit m_limit;
};
