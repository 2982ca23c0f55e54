#include "files/EventLog.h"

#include "core/Failure.h"

namespace {

QByteArray Header()
{
    QByteArray header = LogText::Banner();
    header += "KEL Server Module Event Logfile\r\n";
    header += "Version: Version 2.01 - 09/19/2019\r\n";
    header += "\r\n";
    header += " DATE     TIME           CLIENT ADDRESS      MESSAGE DESCRIPTION\r\n";
    header += QByteArray(80, '-') + "\r\n";
    return header;
}

} // namespace

EventLog::EventLog(const RuntimeState& state, const Clock& clock, ErrorReporter& errors)
    : m_errors(errors)
    , m_stamp(clock)
    , m_file({FileName(), QStringLiteral("EventLog "), QStringLiteral(".txt"), Header()}, state, clock)
    , m_limit(clock)
{
}

void EventLog::ClientConnected(int, const QString& address, quint16, Arrival arrival)
{
    if (arrival == Arrival::Accepted)
        LogEvent(QStringLiteral("RIX Connected"), address);
}

void EventLog::ClientLeft(int, const QString& address, Ending how)
{
    if (how != Ending::Shutdown)
        LogEvent(QStringLiteral("RIX Disconnected"), address);
}

void EventLog::ClientRefused(const QString& address, Refusal why, bool lineDue)
{
    if (why == Refusal::NotAllowed && lineDue)
        LogEvent(QStringLiteral("Client Refused"), address);
}

void EventLog::LogEvent(const QString& message, const QString& address)
{
    if (message.isEmpty())
        return;
    // Within a minute of its last written report a failing log is only counted.
    const bool quiet = m_limit.Quiet();
    QByteArray bytes;
    try {
        QString line = m_stamp.Text();
        LogText::PadTo(line, 25);
        line += address;
        LogText::PadTo(line, 44);
        line += message;
        bytes = LogText::Encode(line) + "\r\n";
        m_file.Prepare();
    } catch (const Failure& failure) {
        if (quiet)
            m_limit.LeaveOut();
        else
            m_errors.Report(Reports::LoggingIPMessage, m_limit.Written(failure));
        return;
    }
    qsizetype done = 0;
    for (int attempt = 0; attempt < AppendAttempts; ++attempt) {
        try {
            AppendAttempt(bytes, done);
            return;
        } catch (const Failure& failure) {
            if (!quiet)
                m_errors.Report(Reports::Retry, failure);
        }
    }
    if (quiet)
        m_limit.LeaveOut();
    else
        m_errors.Report(Reports::LoggingIPMessage, m_limit.Written({}));
}

void EventLog::AppendAttempt(QByteArrayView bytes, qsizetype& done)
{
    m_file.Append(bytes, done);
}
