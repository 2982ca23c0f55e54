#pragma once

#include "core/Failure.h"
#include "files/LogFile.h"
#include "files/LogText.h"

class Clock;
class RuntimeState;

// "Errorlog.txt": one line per reported failure, rolled over to "ErrorLog MMDDYY HHMM.txt" at
// 2,048,000 bytes. A line that cannot be written is dropped, said once on stderr until the log
// works again: the relay never stops or waits for its error log.
class ErrorLog final : public ErrorReporter {
public:
    ErrorLog(const RuntimeState& state, const Clock& clock);

    void LogError(const QString& message, const QString& location, const Failure& failure = {}) override;

    static QString FileName() { return QStringLiteral("Errorlog.txt"); }
    // Reports made since the start, whether or not their line could be written; roll-overs.
    qint64 Reported() const { return m_reported; }
    qint64 RollOvers() const { return m_file.RollOvers(); }

private:
    void WriteErrorLine(const QString& text, const QString& location);

    LogText::Stamp m_stamp;
    // A report must not fail for want of a descriptor: one is held for opening the log. The log is
    // still created only by its first line.
    NativeFile::SpareDescriptor m_spare;
    LogFile m_file;
    bool m_failing = false;
    qint64 m_reported = 0;
};
