#include "app/SessionLines.h"

#include "core/RelayCounters.h"
#include "files/Journal.h"
#include "net/LinkWatch.h"

QString SessionLines::EndingText(Ending how)
{
    switch (how) {
    case Ending::ClientClosed:
        return QStringLiteral("client closed");
    case Ending::Reset:
        return QStringLiteral("reset");
    case Ending::KeepaliveGaveUp:
        return QStringLiteral("keepalive gave up");
    case Ending::SettingChange:
        return QStringLiteral("setting change");
    case Ending::Shutdown:
        return QStringLiteral("shutdown");
    }
    return {};
}

void SessionLines::ClientLeft(int slot, const QString& address, Ending how)
{
    // Only a session the counters saw begin: never the slot's earlier client.
    if (Quiet || m_counters.LastEnded() != slot)
        return;
    const RelayCounters::Session& session = m_counters.Sessions()[size_t(slot)];
    Journal::Write(Journal::Priority::Info,
                   QStringLiteral("session ended: client %1:%2 slot %3, %4, %5 bytes from the client, %6 bytes "
                                  "to it, %7")
                       .arg(address)
                       .arg(session.Port)
                       .arg(slot)
                       .arg(LinkWatch::Duration(m_counters.NowMs() - session.SinceMs))
                       .arg(session.FromClientBytes)
                       .arg(session.ToClientBytes)
                       .arg(EndingText(how)));
}
