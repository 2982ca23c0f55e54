#include "core/ReportThrottle.h"

#include <QElapsedTimer>

#include <memory>

ReportThrottle::ReportThrottle(ErrorReporter& errors, MonotonicMs now, qint64 periodMs)
    : m_errors(errors)
    , m_now(std::move(now))
    , m_periodMs(periodMs)
{
    if (!m_now) {
        auto started = std::make_shared<QElapsedTimer>();
        started->start();
        m_now = [started] { return started->elapsed(); };
    }
}

void ReportThrottle::Report(const QString& kind, const ReportText& text, const Failure& failure, qint64 bytes)
{
    const qint64 now = m_now();
    const auto found = m_kinds.find(kind);
    if (found == m_kinds.end()) {
        Write(m_kinds[kind], text, failure, now);
        return;
    }
    Kind& entry = *found;
    if (now - entry.LastWrittenMs >= m_periodMs && entry.LeftOut == 0) {
        Write(entry, text, failure, now);
        return;
    }
    m_leftOutKinds += entry.LeftOut == 0;
    ++entry.LeftOut;
    entry.LeftOutBytes += bytes;
    entry.LastText = text;
    entry.LastFailure = failure;
}

void ReportThrottle::Flush(bool atShutdown)
{
    if (m_leftOutKinds == 0)
        return;
    const qint64 now = m_now();
    for (Kind& entry : m_kinds) {
        if (entry.LeftOut == 0 || (!atShutdown && now - entry.LastWrittenMs < m_periodMs))
            continue;
        // The last one left out stands for them all, with their count.
        Failure told = entry.LastFailure;
        if (!told.Description.isEmpty())
            told.Description += u' ';
        told.Description += entry.LeftOutBytes > 0
            ? QStringLiteral("(%1 like this since the last line, %2 bytes in all)")
                  .arg(entry.LeftOut)
                  .arg(entry.LeftOutBytes)
            : QStringLiteral("(%1 like this since the last line)").arg(entry.LeftOut);
        --m_leftOutKinds;
        entry.LeftOut = 0;
        entry.LeftOutBytes = 0;
        Write(entry, entry.LastText, told, now);
    }
}

void ReportThrottle::Write(Kind& kind, const ReportText& text, const Failure& failure, qint64 nowMs)
{
    kind.LastWrittenMs = nowMs;
    m_errors.Report(text, failure);
}
