#pragma once

#include "core/Failure.h"
#include "files/LogText.h"

class Clock;
class RuntimeState;

// "Errorlog.txt": one line per reported failure, never rolled over. A line that cannot be written
// is dropped without any further report: the relay never stops or waits for its error log.
class ErrorLog final : public ErrorReporter {
public:
    ErrorLog(const RuntimeState& state, const Clock& clock);

    void LogError(const QString& message, const QString& location, const Failure& failure = {}) override;
    void WriteErrorLine(const QString& text, const QString& location);
    void CreateErrorLog();

    static QString FileName() { return QStringLiteral("Errorlog.txt"); }

private:
    const RuntimeState& m_state;
    bool m_creating = false;
    LogText::Stamp m_stamp;
};
