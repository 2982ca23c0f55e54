#include "net/Relay.h"

#include "core/Constants.h"
#include "core/Failure.h"
#include "core/RuntimeState.h"
#include "core/StatusView.h"
#include "files/FileAccess.h"
#include "net/LoginString.h"

#include <utility>

void Relay::OnRixConnected(int index)
{
    m_view.SetCaption(Constants::CaptionConnected);
    try {
        m_freshRixConnection.at(size_t(index)) = true;
        // Client bytes that waited for this connection go out now, not with the client's next burst.
        const ConnectionRecord& record = m_state.Slot(index);
        if (record.Connected && !record.ClientData.isEmpty())
            ForwardToRix(index, {});
        ResumeClientReading(index);
    } catch (const Failure& failure) {
        m_errors.Report(Reports::ServerMessageData, failure);
    }
}

void Relay::OnRixConnectFailed(int)
{
    m_view.SetCaption(Constants::CaptionDisconnected);
}

void Relay::OnRixDataArrived(int index)
{
    try {
        ReadBursts(Side::Rix, index);
    } catch (const Failure& failure) {
        m_errors.Report(Reports::ServerMessageData, failure);
    }
}

void Relay::OnRixBurst(int slot, char* data, qsizetype size)
{
    const QByteArray& login = m_state.LoginString;
    const bool fresh = m_freshRixConnection.at(size_t(slot));
    m_freshRixConnection[size_t(slot)] = false;
    // The RIX's own login confirmation: the client already has ours. On a fresh connection it may
    // come in one burst with the answer to client bytes that waited for the connection.
    if (fresh && size > login.size() && QByteArrayView(data, size).startsWith(login)) {
        data += login.size();
        size -= login.size();
    } else if (size == login.size() && size > 0 && data[0] == login[0]
               && CompareLoginString(login, QByteArrayView(data, size))) {
        return;
    }
    // Logged and shown as received; the client gets it after the zero-byte rule.
    const QByteArrayView burst(data, size);
    m_data.WriteDataLog(burst, m_state.RixIPAddress);
    m_data.ShowLastRixMessage(burst, m_state.RixIPAddress);
    ForwardToClient(slot, data, size);
}

void Relay::OnRixClosed(int index)
{
    m_view.SetCaption(Constants::CaptionDisconnected);
    try {
        const qint64 unsent = wsktServer(index).UnsentAtClose();
        if (unsent > 0)
            m_peerReports.Report(QStringLiteral("rix unsent"), Reports::SendingToServer(index, unsent),
                                 Failure{FailureCode::NotConnected, QStringLiteral("The RIX connection ended")},
                                 unsent);
        if (const qint64 dropped = std::exchange(m_flow[size_t(index)].DroppedFromRix, 0); dropped > 0)
            m_peerReports.Report(QStringLiteral("rix reset past bound"), Reports::SendingToRix(index, dropped),
                                 Failure{FailureCode::ConnectionReset,
                                         QStringLiteral("The RIX reset its connection while the relay held all it "
                                                        "may: what it had sent last had no room to wait")},
                                 dropped);
        wsktServer(index).Command(Constants::CommandClose);
        // Client bytes no longer wait behind a closed connection's output; the client may send again.
        ResumeClientReading(index);
    } catch (const Failure& failure) {
        m_errors.Report(Reports::ServerMessageData, failure);
    }
}

void Relay::OnRixDrained(int index)
{
    try {
        ResumeClientReading(index);
    } catch (const Failure& failure) {
        m_errors.Report(Reports::ServerMessageData, failure);
    }
}
