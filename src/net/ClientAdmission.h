#pragma once

#include "core/Constants.h"
#include "core/Throttle.h"

#include <QString>

#include <vector>

// A network clients may come from: an IPv4 address and a prefix mask, host byte order.
struct AllowedNetwork {
    quint32 Address = 0;
    quint32 Mask = 0;
    bool Contains(quint32 address) const { return (address & Mask) == Address; }
};

// "a.b.c.d/len" (len 0..32) or a single dotted address; false for anything else. Host bits set
// below the prefix are cleared, so 127.0.0.9/8 means 127.0.0.0/8.
bool ParseAllowedNetwork(const QString& text, AllowedNetwork& network);

// Where the client listener binds, who may connect and how many at once: the operator's choice on
// the command line. "iplog.ini" has no say in it.
class ClientAdmission {
public:
    explicit ClientAdmission(const Clock& clock);

    // Dotted IPv4 address of the listener; empty for every local address.
    QString ListenAddress;
    // Empty: every address may connect.
    std::vector<AllowedNetwork> Allowed;
    // With this many clients connected, the next one is closed at once. The default keeps the 16-bit
    // slot and client counters from ever overflowing.
    int MaxClients = DefaultMaxClients;
    static constexpr int DefaultMaxClients = Constants::CounterMax;

    bool IsAllowed(quint32 peerAddress) const;
    // True when a refusal of this address is to be written now: its last line is a minute old or
    // there was none. Remembers at most a few thousand addresses; past that, refusals from addresses
    // it has no room for go unwritten until old ones expire.
    bool TakeRefusalLine(quint32 peerAddress) { return m_refusalLines.Take(peerAddress); }
    // Whole seconds on the steady clock, for the cap's episodes.
    qint64 SecondsNow() const { return m_clock.MonotonicMs() / 1000; }

    static constexpr qint64 RefusalLineMs = 60'000;
    static constexpr qsizetype RememberedRefusals = 4096;

    // The connected count after each change. An episode at the cap ends only once the count has stayed
    // below it for CapEpisodeSeconds: a client coming and going at the cap starts no new one. This is
    // not a line per period: one episode, however long, is written once.
    void FollowCount(int connected, qint64 nowSeconds);
    // True when a refusal at the cap is to be written now: the first of its episode.
    bool TakeCapLine(qint64 nowSeconds);

    static constexpr qint64 CapEpisodeSeconds = 60;

private:
    const Clock& m_clock;
    Throttle<quint32> m_refusalLines;
    bool m_capReported = false;
    qint64 m_belowCapSince = -1; // -1 while at the cap
};
