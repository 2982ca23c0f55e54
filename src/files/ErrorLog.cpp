#include "files/ErrorLog.h"

#include "core/RuntimeState.h"
#include "files/LogText.h"


ErrorLog::ErrorLog(const RuntimeState& state, const Clock& clock)
    : m_state(state)
    , m_stamp(clock)
{
}

void ErrorLog::LogError(const QString& message, const QString& location, const Failure& failure)
{
    WriteErrorLine(message + QStringLiteral(": Error # ") + QString::number(failure.Code) + QStringLiteral(" - ")
                       + failure.Description,
                   location);
}

void ErrorLog::WriteErrorLine(const QString& text, const QString& location)
{
    QString line = m_stamp.Text();
    LogText::PadTo(line, 24);
    line += location;
    LogText::PadTo(line, 60);
    line += text;

    const QString path = m_state.AppPath + FileName();
    if (LogText::FileSize(path) < 0) {
        // A report made while the log is being created, and that finds no file, is dropped:
        // otherwise a folder that refuses the file would recurse without end.
        if (m_creating)
            return;
        CreateErrorLog();
    }
    try {
        LogText::AppendToFile(path, LogText::Encode(line) + "\r\n");
    } catch (const Failure&) {
        // Nowhere left to report it.
    }
}

void ErrorLog::CreateErrorLog()
{
    m_creating = true;
    QByteArray header = LogText::Banner();
    header += "KEL Server Module Software Error Logfile\r\n";
    header += "\r\n";
    header += " DATE     TIME           LOCATION                           MESSAGE DESCRIPTION\r\n";
    header += QByteArray(80, '-') + "\r\n";
    try {
        LogText::WriteNewFile(m_state.AppPath + FileName(), header);
    } catch (const Failure& failure) {
        Report(Reports::CreatingErrorFile, failure);
    }
    m_creating = false;
}
