#pragma once

#include <QByteArrayView>
#include <QString>

#include <vector>

// What the relay tells about its traffic, for those who keep a record of it, count it or show it: the
// event log, the data log, the window's last-message labels, the counters. Failures go through
// ErrorReporter instead. A listener overrides what it needs; every call comes on the main thread, in
// the order it happened.
class RelayEvents {
public:
    enum class From { Client, Rix };
    enum class Link { Rix, Client };
    // How a client came: accepted by the listener, or the connection the relay makes in connect mode.
    enum class Arrival { Accepted, ConnectedOut };
    // How a client's session ended: it closed, it reset, the keepalive probes (or the unacknowledged
    // data timeout) gave up on it, the client settings changed, or the relay shut down.
    enum class Ending { ClientClosed, Reset, KeepaliveGaveUp, SettingChange, Shutdown };
    // Why a connection to the listener was turned away at once.
    enum class Refusal { NotAllowed, AtCap, NoDescriptor };
    // Discarded bytes had been told as relayed and were not delivered, or were taken from their peer
    // (by the relay or by the kernel for it) and never relayed at all.
    enum class Discard { Undelivered, NeverRelayed };

    virtual ~RelayEvents() = default;
    // A client was greeted on its slot (or, in connect mode, its connection completed), or has left it.
    virtual void ClientConnected(int slot, const QString& address, quint16 port, Arrival arrival);
    virtual void ClientLeft(int slot, const QString& address, Ending how);
    // Every refusal; lineDue says whether the event log's line for it is due (at most one a minute
    // per address, for those the allow-list does not name).
    virtual void ClientRefused(const QString& address, Refusal why, bool lineDue);
    // Connections of that side can be made again, or could not be made.
    virtual void LinkChanged(Link link, bool up);
    // Every outward connection that completed, and every attempt that failed, with why.
    virtual void ConnectionMade(Link link);
    virtual void AttemptFailed(Link link, const QString& why);
    // A completed outward connection ended by the peer, or broken, while the relay used it.
    virtual void ConnectionLost(Link link);
    // One burst passed on, as it was received (before the zero-byte rule), with the address it came
    // from. The bytes are valid only during the call.
    virtual void BurstRelayed(From from, int slot, QByteArrayView data, const QString& source);
    // The zero-byte rule removed this many bytes from a burst of the RIX's for the slot's client.
    virtual void ZerosRemoved(int slot, qint64 count);
    // Bytes from that side that will never reach the other (their report is in the error log, apart
    // from RIX bytes for a client that has just gone, which the relay drops as it always has).
    virtual void BytesDiscarded(From from, int slot, qint64 bytes, Discard which);
};

// Passes every event on to each listener, in the order they were added.
class RelayEventHub final : public RelayEvents {
public:
    void Add(RelayEvents& listener) { m_listeners.push_back(&listener); }

    void ClientConnected(int slot, const QString& address, quint16 port, Arrival arrival) override;
    void ClientLeft(int slot, const QString& address, Ending how) override;
    void ClientRefused(const QString& address, Refusal why, bool lineDue) override;
    void LinkChanged(Link link, bool up) override;
    void ConnectionMade(Link link) override;
    void AttemptFailed(Link link, const QString& why) override;
    void ConnectionLost(Link link) override;
    void BurstRelayed(From from, int slot, QByteArrayView data, const QString& source) override;
    void ZerosRemoved(int slot, qint64 count) override;
    void BytesDiscarded(From from, int slot, qint64 bytes, Discard which) override;

private:
    std::vector<RelayEvents*> m_listeners;
};
