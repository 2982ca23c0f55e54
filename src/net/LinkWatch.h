#pragma once

#include "core/RelayEvents.h"

#include <QDateTime>
#include <QString>

#include <optional>

class Clock;
struct Failure;
class ErrorReporter;
class RuntimeState;
class SocketObject;

// Whether one side's outgoing connections (the RIX's, or in connect mode the client's) can be made:
// up from the first connection that completes, down from the first attempt that fails after that
// (or the first at start-up). Only the changes are news; everything in between is quiet, however
// long it lasts.
class LinkWatch {
public:
    // A connection completed. When the link was down, how long it was down, in ms. The clock's wall
    // time is read only at a change: a local time costs the system a look at the time zone.
    std::optional<qint64> Connected(const Clock& clock);
    // An attempt failed. True when this begins an outage.
    bool Failed(const Clock& clock);
    bool IsUp() const { return m_state == State::Up; }
    // When the link last changed, in the ms of the caller's clock.
    qint64 ChangedMs() const { return m_changedMs; }
    bool IsDown() const { return m_state == State::Down; }
    // When the link last changed, on the wall clock; invalid before the first change.
    QDateTime Since() const { return m_since; }

    // "5 s", "3 min 12 s", "2 h 5 min", "3 d 4 h": how long an outage lasted.
    static QString Duration(qint64 ms);

private:
    enum class State { Unknown, Up, Down };
    State m_state = State::Unknown;
    qint64 m_changedMs = 0;
    QDateTime m_since;
};

// The two links the relay makes outward: the RIX's, and in connect mode the client's. An outage is
// written once at each end, to the error log and the journal, with the address and the cause, and
// told to the listeners; nothing more is written while it lasts.
class OutwardLinks {
public:
    using Link = RelayEvents::Link;
    OutwardLinks(const RuntimeState& state, ErrorReporter& errors, RelayEvents& events, const Clock& clock);

    // A connection attempt failed: the first failure after the link was up (or the first of all)
    // begins an outage.
    void Failed(Link link, const Failure& failure);
    // A connection completed: an outage ends, written with how long it lasted.
    void Up(Link link);
    // The socket's attempt under way has had no answer for too long, and began after the link last
    // changed: one begun while the link was down, before it came back, says nothing of it as it is now.
    bool AttemptTimedOut(const SocketObject& socket, Link link) const;
    const LinkWatch& Watch(Link link) const { return link == Link::Rix ? m_rix : m_client; }

private:
    LinkWatch& Of(Link link) { return link == Link::Rix ? m_rix : m_client; }
    // "RIX 10.0.0.9:1200", "client 10.0.0.5:1100".
    QString Where(Link link) const;

    const RuntimeState& m_state;
    ErrorReporter& m_errors;
    RelayEvents& m_events;
    const Clock& m_clock;
    LinkWatch m_rix;
    LinkWatch m_client;
};
