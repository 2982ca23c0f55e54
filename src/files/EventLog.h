#pragma once

#include "files/LogText.h"

#include <QString>

class Clock;
class ErrorReporter;
class RuntimeState;

// "Eventlog.txt": one line per client connect and disconnect, rolled over to
// "EventLog MMDDYY HHMM.txt" at 2,048,000 bytes.
class EventLog {
public:
    EventLog(const RuntimeState& state, const Clock& clock, ErrorReporter& errors);
    virtual ~EventLog() = default;

    void LogEvent(const QString& message, const QString& address);
    void CreateEventLog();
    // One append attempt; a failure leaves a "Retry" report and returns false.
    virtual bool AppendLogLine(const QString& line, const QString& path);

    static QString FileName() { return QStringLiteral("Eventlog.txt"); }
    static constexpr int AppendAttempts = 6;

private:
    const RuntimeState& m_state;
    const Clock& m_clock;
    ErrorReporter& m_errors;
    LogText::RollOver m_rollOver{QStringLiteral("EventLog "), QStringLiteral(".txt")};
    LogText::Stamp m_stamp;
};
