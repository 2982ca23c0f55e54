#include "app/SettingsApplier.h"

#include "app/ServiceStatus.h"
#include "core/Constants.h"
#include "core/RuntimeState.h"
#include "core/StatusView.h"
#include "files/Journal.h"
#include "net/Relay.h"

#include <QStringList>

SettingsApplier::SettingsApplier(RuntimeState& state, Relay& relay, StatusView& view)
    : m_state(state)
    , m_relay(relay)
    , m_view(view)
{
}

SettingsChange SettingsApplier::Apply(const Settings& wanted)
{
    const Settings& running = m_state;
    SettingsChange change;
    change.ClientSide = wanted.OperationMode != running.OperationMode || wanted.ClientIPPort != running.ClientIPPort
        || wanted.ClientIPAddress != running.ClientIPAddress;
    change.RixSide = wanted.RixIPPort != running.RixIPPort || wanted.RixIPAddress != running.RixIPAddress;
    change.Other = wanted.LogData != running.LogData || wanted.PacketSize != running.PacketSize;
    static_cast<Settings&>(m_state) = wanted;
    if (change.ClientSide)
        m_relay.CloseClientSide();
    if (change.RixSide)
        m_relay.ReconnectRixSide();
    m_view.ShowPortSummary(PortSummaryText(m_state));
    return change;
}

QString SettingsApplier::Describe(const SettingsChange& change) const
{
    QStringList applied;
    if (change.ClientSide)
        applied.append(QStringLiteral("client side re-opened (%1 %2)")
                           .arg(m_state.OperationMode == Constants::ListenMode ? "listening on" : "connecting to",
                                ClientSideText(m_state, m_relay.Admission.ListenAddress)));
    if (change.RixSide)
        applied.append(
            QStringLiteral("RIX side re-connected (%1:%2)").arg(m_state.RixIPAddress).arg(m_state.RixIPPort));
    if (change.Other)
        applied.append(QStringLiteral("other settings taken (data logging %1, packet size %2)")
                           .arg(m_state.LogData ? "on" : "off")
                           .arg(m_state.PacketSize));
    return applied.isEmpty() ? QStringLiteral("nothing changed") : applied.join(QStringLiteral(", "));
}

void SettingsApplier::ApplySettings(const Settings& wanted)
{
    const SettingsChange change = Apply(wanted);
    // An OK that changed nothing is no news.
    if (change.ClientSide || change.RixSide || change.Other)
        Journal::Write(Journal::Priority::Info, QStringLiteral("setup dialog: ") + Describe(change));
}
