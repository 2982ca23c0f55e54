#pragma once

#include "core/RelayEvents.h"

class RelayCounters;

// One journal line at the end of every client's session: who, on which slot, how long, the bytes each
// way and how it ended. Listens after the counters, whose session it reads. Off for sites with heavy
// churn (--quiet-sessions); the event log keeps its own lines either way.
class SessionLines final : public RelayEvents {
public:
    explicit SessionLines(const RelayCounters& counters)
        : m_counters(counters)
    {
    }

    bool Quiet = false;

    void ClientLeft(int slot, const QString& address, Ending how) override;

    // "client closed", "reset", "keepalive gave up", "setting change", "shutdown".
    static QString EndingText(Ending how);

private:
    const RelayCounters& m_counters;
};
