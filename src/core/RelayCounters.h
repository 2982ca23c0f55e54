#pragma once

#include "core/RelayEvents.h"

#include <QDateTime>
#include <QString>

#include <vector>

class Clock;

// What the relay has done, counted from its events: for each client, for the RIX link, and in all
// since the start. The engine keeps one; on the relay's path it costs a few additions per burst and
// one read of the steady clock, with no allocation and no formatting.
class RelayCounters final : public RelayEvents {
public:
    explicit RelayCounters(const Clock& clock);

    // One client's session, kept on its slot until the next client takes the slot.
    struct Session {
        bool Present = false;
        Arrival How = Arrival::Accepted;
        QString Address;
        quint16 Port = 0;
        QDateTime Since; // on the wall clock, to the second, in UTC
        qint64 SinceMs = 0; // on the steady clock
        qint64 LastActivityMs = 0; // steady clock: the last burst either way
        qint64 FromClientBytes = 0;
        qint64 FromClientBursts = 0;
        // What the client was sent: the greeting and the RIX's bursts after the zero-byte rule (what it
        // never took is counted as discarded, not taken off here).
        qint64 ToClientBytes = 0;
        qint64 ToClientBursts = 0;
        qint64 ZerosRemoved = 0;
        Ending Ended = Ending::ClientClosed; // once it is no longer present
    };
    struct LinkCounters {
        bool Up = false;
        bool Known = false; // false until the first connection or failure
        QDateTime Since; // the last change, on the wall clock
        qint64 ConnectionsMade = 0;
        qint64 Drops = 0; // connections the RIX ended (or that broke) while the relay used them
        qint64 AttemptsFailed = 0;
        QString LastFailure;
    };
    struct Totals {
        qint64 Accepted = 0; // clients greeted, and connect mode's connections
        qint64 RefusedNotAllowed = 0;
        qint64 RefusedAtCap = 0;
        qint64 RefusedNoDescriptor = 0;
        qint64 Ended = 0;
        qint64 FromClientsBytes = 0;
        qint64 ToClientsBytes = 0;
        qint64 DiscardedFromClientsBytes = 0;
        qint64 DiscardedFromRixBytes = 0;
    };

    // What the greeting costs each accepted client, counted as sent to it. Set once the greeting is known.
    void SetGreetingBytes(qint64 bytes) { m_greetingBytes = bytes; }

    // Indexed by slot; rows without a present session are slots free now.
    const std::vector<Session>& Sessions() const { return m_sessions; }
    const LinkCounters& Rix() const { return m_rix; }
    // In connect mode, the relay's connection to the client; never known in listen mode.
    const LinkCounters& Client() const { return m_client; }
    const Totals& All() const { return m_totals; }
    // The steady clock's reading that the sessions' times are measured on.
    qint64 NowMs() const;
    // The slot whose session the last ClientLeft ended; 0 when it ended none.
    int LastEnded() const { return m_lastEnded; }

    void ClientConnected(int slot, const QString& address, quint16 port, Arrival arrival) override;
    void ClientLeft(int slot, const QString& address, Ending how) override;
    void ClientRefused(const QString& address, Refusal why, bool lineDue) override;
    void LinkChanged(Link link, bool up) override;
    void ConnectionMade(Link link) override;
    void ConnectionLost(Link link) override;
    void AttemptFailed(Link link, const QString& why) override;
    void BurstRelayed(From from, int slot, QByteArrayView data, const QString& source) override;
    void ZerosRemoved(int slot, qint64 count) override;
    void BytesDiscarded(From from, int slot, qint64 bytes, Discard which) override;

private:
    Session& At(int slot);
    LinkCounters& Of(Link link) { return link == Link::Rix ? m_rix : m_client; }

    const Clock& m_clock;
    qint64 m_greetingBytes = 0;
    std::vector<Session> m_sessions;
    LinkCounters m_rix;
    LinkCounters m_client;
    Totals m_totals;
    int m_lastEnded = 0;
};
