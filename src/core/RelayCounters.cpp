#include "core/RelayCounters.h"

#include "core/Clock.h"

RelayCounters::RelayCounters(const Clock& clock)
    : m_clock(clock)
{
}

qint64 RelayCounters::NowMs() const
{
    return m_clock.MonotonicMs();
}

RelayCounters::Session& RelayCounters::At(int slot)
{
    if (size_t(slot) >= m_sessions.size())
        m_sessions.resize(size_t(slot) + 1);
    return m_sessions[size_t(slot)];
}

void RelayCounters::ClientConnected(int slot, const QString& address, quint16 port, Arrival arrival)
{
    Session& session = At(slot);
    session = Session();
    session.Present = true;
    session.How = arrival;
    session.Address = address;
    session.Port = port;
    // In UTC from the cheap clock: a local time would cost a look at the time zone for every client.
    session.Since = QDateTime::fromSecsSinceEpoch(m_clock.SecsSinceEpoch(), Qt::UTC);
    session.SinceMs = session.LastActivityMs = m_clock.MonotonicMs();
    if (arrival == Arrival::Accepted) {
        session.ToClientBytes = m_greetingBytes;
        m_totals.ToClientsBytes += m_greetingBytes;
    }
    ++m_totals.Accepted;
}

void RelayCounters::ClientLeft(int slot, const QString&, Ending how)
{
    Session& session = At(slot);
    m_lastEnded = 0;
    if (!session.Present)
        return;
    m_lastEnded = slot;
    session.Present = false;
    session.Ended = how;
    ++m_totals.Ended;
}

void RelayCounters::ClientRefused(const QString&, Refusal why, bool)
{
    switch (why) {
    case Refusal::NotAllowed:
        ++m_totals.RefusedNotAllowed;
        break;
    case Refusal::AtCap:
        ++m_totals.RefusedAtCap;
        break;
    case Refusal::NoDescriptor:
        ++m_totals.RefusedNoDescriptor;
        break;
    }
}

void RelayCounters::LinkChanged(Link link, bool up)
{
    LinkCounters& counters = Of(link);
    counters.Known = true;
    counters.Up = up;
    counters.Since = m_clock.Now();
}

void RelayCounters::ConnectionLost(Link link)
{
    ++Of(link).Drops;
}

void RelayCounters::ConnectionMade(Link link)
{
    ++Of(link).ConnectionsMade;
}

void RelayCounters::AttemptFailed(Link link, const QString& why)
{
    LinkCounters& counters = Of(link);
    ++counters.AttemptsFailed;
    counters.LastFailure = why;
}

void RelayCounters::BurstRelayed(From from, int slot, QByteArrayView data, const QString&)
{
    Session& session = At(slot);
    if (!session.Present)
        return; // a RIX connection kept warm for a free slot: nobody's traffic
    session.LastActivityMs = m_clock.MonotonicMs();
    if (from == From::Client) {
        session.FromClientBytes += data.size();
        ++session.FromClientBursts;
        m_totals.FromClientsBytes += data.size();
    } else {
        session.ToClientBytes += data.size();
        ++session.ToClientBursts;
        m_totals.ToClientsBytes += data.size();
    }
}

void RelayCounters::ZerosRemoved(int slot, qint64 count)
{
    Session& session = At(slot);
    if (!session.Present)
        return;
    session.ZerosRemoved += count;
    session.ToClientBytes -= count;
    m_totals.ToClientsBytes -= count;
}

void RelayCounters::BytesDiscarded(From from, int, qint64 bytes, Discard)
{
    // Counted apart: what was sent stays counted (a counter never goes down), and what never arrived
    // is here.
    (from == From::Client ? m_totals.DiscardedFromClientsBytes : m_totals.DiscardedFromRixBytes) += bytes;
}
