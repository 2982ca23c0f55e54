#pragma once

#include <QByteArrayView>
#include <QString>

#include <vector>

// What the relay tells about its traffic, for those who keep a record of it or show it: the event
// log, the data log, the window's last-message labels. Failures go through ErrorReporter instead.
// A listener overrides what it needs; every call comes on the main thread, in the order it happened.
class RelayEvents {
public:
    enum class From { Client, Rix };
    enum class Link { Rix, Client };
    // How a client came: accepted by the listener, or the connection the relay makes in connect mode.
    enum class Arrival { Accepted, ConnectedOut };
    // Discarded bytes had been told as relayed and were not delivered, or were taken from their peer
    // (by the relay or by the kernel for it) and never relayed at all.
    enum class Discard { Undelivered, NeverRelayed };

    virtual ~RelayEvents() = default;
    // A client was greeted on its slot (or, in connect mode, its connection completed), or has left it.
    virtual void ClientConnected(int slot, const QString& address, Arrival arrival);
    virtual void ClientLeft(int slot, const QString& address);
    // A client the allow-list does not name was turned away (told at most once a minute per address).
    virtual void ClientRefused(const QString& address);
    // Connections of that side can be made again, or could not be made.
    virtual void LinkChanged(Link link, bool up);
    // One burst passed on, as it was received (before the zero-byte rule), with the address it came
    // from. The bytes are valid only during the call.
    virtual void BurstRelayed(From from, int slot, QByteArrayView data, const QString& source);
    // Bytes from that side that will never reach the other (their report is in the error log, apart
    // from RIX bytes for a client that has just gone, which the relay drops as it always has).
    virtual void BytesDiscarded(From from, int slot, qint64 bytes, Discard which);
};

// Passes every event on to each listener, in the order they were added.
class RelayEventHub final : public RelayEvents {
public:
    void Add(RelayEvents& listener) { m_listeners.push_back(&listener); }

    void ClientConnected(int slot, const QString& address, Arrival arrival) override;
    void ClientLeft(int slot, const QString& address) override;
    void ClientRefused(const QString& address) override;
    void LinkChanged(Link link, bool up) override;
    void BurstRelayed(From from, int slot, QByteArrayView data, const QString& source) override;
    void BytesDiscarded(From from, int slot, qint64 bytes, Discard which) override;

private:
    std::vector<RelayEvents*> m_listeners;
};
