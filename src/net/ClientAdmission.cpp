#include "net/ClientAdmission.h"

#include "core/CheckIPAddress.h"
#include "core/Failure.h"
#include "core/RuntimeState.h"
#include "net/NativeSocket.h"

#include <utility>

bool ParseAllowedNetwork(const QString& text, AllowedNetwork& network)
{
    const qsizetype slash = text.indexOf(u'/');
    quint32 address = 0;
    if (!ParseDottedIPv4(slash < 0 ? text : text.first(slash), address))
        return false;
    int length = 32;
    if (slash >= 0) {
        const QString digits = text.mid(slash + 1);
        bool ok = false;
        length = digits.toInt(&ok, 10);
        if (!ok || digits.isEmpty() || digits.size() > 2 || !digits.front().isDigit() || length > 32)
            return false;
    }
    network.Mask = length == 0 ? 0 : ~quint32(0) << (32 - length);
    network.Address = address & network.Mask;
    return true;
}

ClientAdmission::ClientAdmission(const Clock& clock)
    : m_clock(clock)
    , m_refusalLines(clock, RefusalLineMs, RememberedRefusals)
{
}

bool ClientAdmission::IsAllowed(quint32 peerAddress) const
{
    if (Allowed.empty())
        return true;
    for (const AllowedNetwork& network : Allowed) {
        if (network.Contains(peerAddress))
            return true;
    }
    return false;
}

void ClientAdmission::FollowCount(int connected, qint64 nowSeconds)
{
    if (connected < MaxClients) {
        if (m_belowCapSince < 0)
            m_belowCapSince = nowSeconds;
        return;
    }
    if (m_belowCapSince >= 0 && nowSeconds - m_belowCapSince >= CapEpisodeSeconds)
        m_capReported = false;
    m_belowCapSince = -1;
}

bool ClientAdmission::TakeCapLine(qint64 nowSeconds)
{
    FollowCount(MaxClients, nowSeconds);
    return !std::exchange(m_capReported, true);
}
