#include "core/RelayEvents.h"

void RelayEvents::ClientConnected(int, const QString&, quint16, Arrival) { }
void RelayEvents::ClientLeft(int, const QString&, Ending) { }
void RelayEvents::ClientRefused(const QString&, Refusal, bool) { }
void RelayEvents::LinkChanged(Link, bool) { }
void RelayEvents::ConnectionMade(Link) { }
void RelayEvents::AttemptFailed(Link, const QString&) { }
void RelayEvents::ConnectionLost(Link) { }
void RelayEvents::BurstRelayed(From, int, QByteArrayView, const QString&) { }
void RelayEvents::ZerosRemoved(int, qint64) { }
void RelayEvents::BytesDiscarded(From, int, qint64, Discard) { }

void RelayEventHub::ClientConnected(int slot, const QString& address, quint16 port, Arrival arrival)
{
    for (RelayEvents* listener : m_listeners)
        listener->ClientConnected(slot, address, port, arrival);
}

void RelayEventHub::ClientLeft(int slot, const QString& address, Ending how)
{
    for (RelayEvents* listener : m_listeners)
        listener->ClientLeft(slot, address, how);
}

void RelayEventHub::ClientRefused(const QString& address, Refusal why, bool lineDue)
{
    for (RelayEvents* listener : m_listeners)
        listener->ClientRefused(address, why, lineDue);
}

void RelayEventHub::LinkChanged(Link link, bool up)
{
    for (RelayEvents* listener : m_listeners)
        listener->LinkChanged(link, up);
}

void RelayEventHub::ConnectionMade(Link link)
{
    for (RelayEvents* listener : m_listeners)
        listener->ConnectionMade(link);
}

void RelayEventHub::AttemptFailed(Link link, const QString& why)
{
    for (RelayEvents* listener : m_listeners)
        listener->AttemptFailed(link, why);
}

void RelayEventHub::ConnectionLost(Link link)
{
    for (RelayEvents* listener : m_listeners)
        listener->ConnectionLost(link);
}

void RelayEventHub::BurstRelayed(From from, int slot, QByteArrayView data, const QString& source)
{
    for (RelayEvents* listener : m_listeners)
        listener->BurstRelayed(from, slot, data, source);
}

void RelayEventHub::ZerosRemoved(int slot, qint64 count)
{
    for (RelayEvents* listener : m_listeners)
        listener->ZerosRemoved(slot, count);
}

void RelayEventHub::BytesDiscarded(From from, int slot, qint64 bytes, Discard which)
{
    for (RelayEvents* listener : m_listeners)
        listener->BytesDiscarded(from, slot, bytes, which);
}
