#include "files/ErrorLog.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

QByteArray Header()
{
    QByteArray header = LogText::Banner();
    header += "KEL Server Module Software Error Logfile\r\n";
    header += "\r\n";
    header += " DATE     TIME           LOCATION                           MESSAGE DESCRIPTION\r\n";
    header += QByteArray(80, '-') + "\r\n";
    return header;
}

} // namespace

ErrorLog::ErrorLog(const RuntimeState& state, const Clock& clock)
    : m_stamp(clock)
    , m_file({FileName(), QStringLiteral("ErrorLog "), QStringLiteral(".txt"), Header()}, state, clock)
{
    m_file.KeepSpare(&m_spare);
}

void ErrorLog::LogError(const QString& message, const QString& location, const Failure& failure)
{
    ++m_reported;
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
    try {
        m_file.Prepare();
        qsizetype done = 0;
        m_file.Append(LogText::Encode(line) + "\r\n", done);
        m_failing = false;
    } catch (const Failure& failure) {
        // Nowhere left to report it but stderr (a service's journal), once until the log works again.
        if (!m_failing) {
            std::fprintf(stderr, "%s: %s cannot be written (%s); failures go unrecorded until it can\n",
                         qPrintable(QCoreApplication::applicationName()), qPrintable(FileName()),
                         qPrintable(failure.Description));
        }
        m_failing = true;
    }
}
