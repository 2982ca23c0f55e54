#pragma once

#include <QDateTime>
#include <QString>

#include <optional>

// Whether one side's outgoing connections (the RIX's, or in connect mode the client's) can be made:
// up from the first connection that completes, down from the first attempt that fails after that
// (or the first at start-up). Only the changes are news; everything in between is quiet, however
// long it lasts.
class LinkWatch {
public:
    // A connection completed. When the link was down, how long it was down, in ms.
    std::optional<qint64> Connected(qint64 nowMs, const QDateTime& wallClock);
    // An attempt failed. True when this begins an outage.
    bool Failed(qint64 nowMs, const QDateTime& wallClock);
    // Settings changed: the next attempt says afresh whether the new address can be reached.
    void Forget() { m_state = State::Unknown; }

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
