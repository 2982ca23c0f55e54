#include "net/LinkWatch.h"

std::optional<qint64> LinkWatch::Connected(qint64 nowMs, const QDateTime& wallClock)
{
    if (m_state == State::Up)
        return std::nullopt;
    const bool wasDown = m_state == State::Down;
    const qint64 down = nowMs - m_changedMs;
    m_state = State::Up;
    m_changedMs = nowMs;
    m_since = wallClock;
    return wasDown ? std::optional<qint64>(down) : std::nullopt;
}

bool LinkWatch::Failed(qint64 nowMs, const QDateTime& wallClock)
{
    if (m_state == State::Down)
        return false;
    m_state = State::Down;
    m_changedMs = nowMs;
    m_since = wallClock;
    return true;
}

QString LinkWatch::Duration(qint64 ms)
{
    const qint64 seconds = ms / 1000;
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds);
    if (seconds < 3600)
        return QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
    if (seconds < 86400)
        return QStringLiteral("%1 h %2 min").arg(seconds / 3600).arg(seconds % 3600 / 60);
    return QStringLiteral("%1 d %2 h").arg(seconds / 86400).arg(seconds % 86400 / 3600);
}
