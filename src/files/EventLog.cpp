#include "files/EventLog.h"

#include "core/Clock.h"
#include "core/Failure.h"
#include "core/RuntimeState.h"
#include "files/LogText.h"


EventLog::EventLog(const RuntimeState& state, const Clock& clock, ErrorReporter& errors)
    : m_state(state)
    , m_clock(clock)
    , m_errors(errors)
    , m_stamp(clock)
{
}

void EventLog::LogEvent(const QString& message, const QString& address)
{
    if (message.isEmpty())
        return;
    const QString path = m_state.AppPath + FileName();
    QString line;
    try {
        line = m_stamp.Text();
        LogText::PadTo(line, 25);
        line += address;
        LogText::PadTo(line, 44);
        line += message;

        qint64 size = LogText::FileSize(path);
        if (size >= LogText::RollOverSize) {
            m_rollOver.Run(path, m_state.AppPath, m_clock.Now());
            size = -1;
        }
        if (size < 0)
            CreateEventLog();
    } catch (const Failure& failure) {
        m_errors.Report(Reports::LoggingIPMessage, failure);
        return;
    }
    for (int attempt = 0; attempt < AppendAttempts; ++attempt) {
        if (AppendLogLine(line, path))
            return;
    }
    m_errors.Report(Reports::LoggingIPMessage);
}

void EventLog::CreateEventLog()
{
    QByteArray header = LogText::Banner();
    header += "KEL Server Module Event Logfile\r\n";
    header += "Version: Version 2.01 - 09/19/2019\r\n";
    header += "\r\n";
    header += " DATE     TIME           CLIENT ADDRESS      MESSAGE DESCRIPTION\r\n";
    header += QByteArray(80, '-') + "\r\n";
    try {
        LogText::WriteNewFile(m_state.AppPath + FileName(), header);
    } catch (const Failure& failure) {
        m_errors.Report(Reports::CreatingLogfile, failure);
    }
}

bool EventLog::AppendLogLine(const QString& line, const QString& path)
{
    try {
        LogText::AppendToFile(path, LogText::Encode(line) + "\r\n");
        return true;
    } catch (const Failure& failure) {
        m_errors.Report(Reports::Retry, failure);
        return false;
    }
}
