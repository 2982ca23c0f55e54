#include "core/ReportThrottle.h"

ReportThrottle::ReportThrottle(ErrorReporter& errors, const Clock& clock, qint64 periodMs)
    : m_errors(errors)
    , m_throttle(clock, periodMs)
{
}

void ReportThrottle::Report(const QString& kind, const ReportText& text, const Failure& failure, qint64 bytes)
{
    // Once some are left out, the next of the kind waits for the line that counts them, not in front of it.
    if (!m_leftOut.contains(kind) && m_throttle.Take(kind)) {
        m_errors.Report(text, failure);
        return;
    }
    m_throttle.LeaveOut(kind, bytes);
    m_leftOut.insert(kind, {text, failure});
}

void ReportThrottle::Flush(bool atShutdown)
{
    for (auto last = m_leftOut.begin(); last != m_leftOut.end();) {
        if (!atShutdown && !m_throttle.Due(last.key())) {
            ++last;
            continue;
        }
        const auto leftOut = m_throttle.Written(last.key());
        const ReportText text = last->Text;
        Failure told = last->Told;
        last = m_leftOut.erase(last);
        if (!told.Description.isEmpty())
            told.Description += u' ';
        told.Description += leftOut.Bytes > 0 ? QStringLiteral("(%1 like this since the last line, %2 bytes in all)")
                                                    .arg(leftOut.Count)
                                                    .arg(leftOut.Bytes)
                                              : QStringLiteral("(%1 like this since the last line)").arg(leftOut.Count);
        m_errors.Report(text, told);
    }
}
