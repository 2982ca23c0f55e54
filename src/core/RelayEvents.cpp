#include "core/RelayEvents.h"

void RelayEvents::ClientConnected(int, const QString&, Arrival) { }
void RelayEvents::ClientLeft(int, const QString&) { }
void RelayEvents::ClientRefused(const QString&) { }
void RelayEvents::LinkChanged(Link, bool) { }
void RelayEvents::BurstRelayed(From, int, QByteArrayView, const QString&) { }
void RelayEvents::BytesDiscarded(From, int, qint64, Discard) { }

void RelayEventHub::ClientConnected(int slot, const QString& address, Arrival arrival)
{
    for (RelayEvents* listener : m_listeners)
        listener->ClientConnected(slot, address, arrival);
}

void RelayEventHub::ClientLeft(int slot, const QString& address)
{
    for (RelayEvents* listener : m_listeners)
        listener->ClientLeft(slot, address);
}

void RelayEventHub::ClientRefused(const QString& address)
{
    for (RelayEvents* listener : m_listeners)
        listener->ClientRefused(address);
}

void RelayEventHub::LinkChanged(Link link, bool up)
{
    for (RelayEvents* listener : m_listeners)
        listener->LinkChanged(link, up);
}

void RelayEventHub::BurstRelayed(From from, int slot, QByteArrayView data, const QString& source)
{
    for (RelayEvents* listener : m_listeners)
        listener->BurstRelayed(from, slot, data, source);
}

void RelayEventHub::BytesDiscarded(From from, int slot, qint64 bytes, Discard which)
{
    for (RelayEvents* listener : m_listeners)
        listener->BytesDiscarded(from, slot, bytes, which);
}
