#include "net/LinkWatch.h"

#include "core/Clock.h"
#include "core/Failure.h"
#include "core/RuntimeState.h"
#include "files/Journal.h"
#include "net/SocketObject.h"

std::optional<qint64> LinkWatch::Connected(const Clock& clock)
{
    if (m_state == State::Up)
        return std::nullopt;
    const bool wasDown = m_state == State::Down;
    const qint64 nowMs = clock.MonotonicMs();
    const qint64 down = nowMs - m_changedMs;
    m_state = State::Up;
    m_changedMs = nowMs;
    m_since = clock.Now();
    return wasDown ? std::optional<qint64>(down) : std::nullopt;
}

bool LinkWatch::Failed(const Clock& clock)
{
    if (m_state == State::Down)
        return false;
    m_state = State::Down;
    m_changedMs = clock.MonotonicMs();
    m_since = clock.Now();
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

OutwardLinks::OutwardLinks(const RuntimeState& state, ErrorReporter& errors, RelayEvents& events, const Clock& clock)
    : m_state(state)
    , m_errors(errors)
    , m_events(events)
    , m_clock(clock)
{
}

QString OutwardLinks::Where(Link link) const
{
    const bool rix = link == Link::Rix;
    return QStringLiteral("%1 %2:%3")
        .arg(rix ? QStringLiteral("RIX") : QStringLiteral("client"),
             rix ? m_state.RixIPAddress : m_state.ClientIPAddress)
        .arg(rix ? m_state.RixIPPort : m_state.ClientIPPort);
}

void OutwardLinks::Failed(Link link, const Failure& failure)
{
    m_events.AttemptFailed(link, failure.Description);
    if (!Of(link).Failed(m_clock))
        return;
    m_events.LinkChanged(link, false);
    const QString where = Where(link);
    m_errors.Report(link == Link::Rix ? Reports::ConnectingToSwitcher : Reports::ConnectingToClient,
                    Failure{failure.Code, QStringLiteral("%1 (%2)").arg(failure.Description, where)});
    Journal::Write(Journal::Priority::Error,
                   QStringLiteral("%1 cannot be reached: %2").arg(where, failure.Description));
}

void OutwardLinks::Up(Link link)
{
    m_events.ConnectionMade(link);
    const bool wasUp = Of(link).IsUp();
    const std::optional<qint64> down = Of(link).Connected(m_clock);
    if (!wasUp)
        m_events.LinkChanged(link, true);
    if (!down)
        return;
    const bool rix = link == Link::Rix;
    const QString downFor = LinkWatch::Duration(*down);
    m_errors.Report(Reports::LinkRestored(rix ? QStringLiteral("Switcher") : QStringLiteral("Client"),
                                          rix ? m_state.RixIPAddress : m_state.ClientIPAddress,
                                          rix ? m_state.RixIPPort : m_state.ClientIPPort, downFor));
    Journal::Write(Journal::Priority::Info, QStringLiteral("%1 reached again after %2 down").arg(Where(link), downFor));
}

bool OutwardLinks::AttemptTimedOut(const SocketObject& socket, Link link) const
{
    const qint64 age = socket.ConnectAttemptAge();
    return age >= SocketObject::ConnectTimeoutMs && m_clock.MonotonicMs() - age >= Watch(link).ChangedMs();
}
