#include "net/Relay.h"

#include "core/Constants.h"
#include "core/Failure.h"
#include "core/RuntimeState.h"
#include "files/FileAccess.h"

#include <utility>

void Relay::OnClientAccept(int, qintptr handle, quint32 peerAddress)
{
    try {
        if (IsOwnRixConnection(handle) || !AdmitClient(peerAddress))
            return; // the socket layer closes a handle nobody adopted
        // The lowest free slot is reused; a new one is made only when every slot is busy.
        int slot = 0;
        for (int i = 1; i <= m_state.ConnectionCount; ++i) {
            if (!wscktClient(i).HasConnection()) {
                slot = i;
                break;
            }
        }
        if (slot == 0)
            slot = CreateSlot();

        // Past the total bound, or with the draining pool full, the client is greeted but not read
        // until there is room: what it sends waits in the kernel, and TCP pushes back on it. It gets
        // its RIX connection then, too (a warm one it may have already).
        const bool wait = !HasRoom();
        // The slot's RIX connection starts before the client is taken over. A RIX connection that
        // the poll has kept up for the free slot is used as it is.
        SetupServerSocket(slot);
        if (!wait) {
            ConnectToSwitcher(slot);
            // Without a descriptor for its RIX side the client could only wait: it is turned away
            // instead (its connection closes at once), and accepted again once descriptors are free.
            if (wsktServer(slot).OutOfDescriptors())
                return;
        }
        SetupClientSocket(slot);
        SocketObject& client = wscktClient(slot);
        client.AcceptHandle(handle);
        if (wait) {
            client.PauseReading(true);
            SetWaitingForRoom(slot, true);
        }

        IncrementCounter(m_state.ConnectedClients);
        ShowConnectionCount();

        ConnectionRecord& record = m_state.Slot(slot);
        record.Connected = true;
        record.ClientAddress = client.PeerAddress();
        // A reused slot starts clean: nothing left from its earlier client reaches this one. A RIX
        // connection kept warm for the slot is the new client's own, and so is what it held back.
        ReleaseClientData(record);
        if (!wsktServer(slot).IsConnected())
            m_loginFilter.Forget(slot);

        WriteToClient(slot, m_state.LoginString);
        m_events.LogEvent(QStringLiteral("RIX Connected"), record.ClientAddress);
        UpdateLabels();
    } catch (const Failure& failure) {
        m_errors.Report(Reports::ConnectingToRix, failure);
    }
}

void Relay::OnClientAcceptFailed(int, int errorCode)
{
    // Once per episode: the listener says so again only after an accept has succeeded in between.
    m_errors.Report(Reports::ConnectingToRix, Failure{errorCode, NativeSocket::ErrorText(errorCode)});
}

void Relay::OnClientConnected(int index)
{
    LinkUp(Side::Client);
    try {
        // Connect mode: the slot's client line and the count follow the completed connection.
        m_state.ConnectedClients = 1;
        ShowConnectionCount();
        m_state.Slot(index).Connected = true;
        UpdateLabels();
    } catch (const Failure& failure) {
        m_errors.Report(Reports::ConnectingToRix, failure);
    }
}

void Relay::OnClientConnectFailed(int index, int errorCode)
{
    LinkFailed(Side::Client, Failure{errorCode, NativeSocket::ErrorText(errorCode)});
    try {
        m_state.Slot(index).Connected = false;
        UpdateLabels();
    } catch (const Failure& failure) {
        m_errors.Report(Reports::ConnectingToRix, failure);
    }
}

void Relay::OnClientDataArrived(int index)
{
    try {
        ReadBursts(Side::Client, index);
    } catch (const Failure& failure) {
        m_errors.Report(Reports::ReceivingRixMessageData, failure);
    }
}

void Relay::OnClientBurst(int slot, char* data, qsizetype size)
{
    // Logged and shown once, then forwarded unchanged as one write.
    const ConnectionRecord& record = m_state.Slot(slot);
    const QByteArrayView burst(data, size);
    m_data.WriteDataLog(burst, record.ClientAddress);
    m_data.ShowLastClientMessage(burst, record.ClientAddress);
    ForwardToRix(slot, burst);
}

void Relay::OnClientClosed(int index)
{
    try {
        // RIX bytes we had taken for the client and could not give it are lost: said, with their count.
        const qint64 unsent = wscktClient(index).UnsentAtClose();
        if (unsent > 0)
            m_peerReports.Report(QStringLiteral("client unsent"), Reports::SendingToRix(index, unsent),
                                 Failure{FailureCode::NotConnected, QStringLiteral("The client's connection ended")},
                                 unsent);
        ReportDroppedAfterReset(Side::Client, index);
        DropClient(index);
    } catch (const Failure& failure) {
        m_errors.Report(Reports::ClientDisconnect, failure);
    }
}

void Relay::DropClient(int slot)
{
    ConnectionRecord& record = m_state.Slot(slot);
    m_events.LogEvent(QStringLiteral("RIX Disconnected"), record.ClientAddress);
    DecrementCounter(m_state.ConnectedClients);
    ShowConnectionCount();
    record.Connected = false;
    wscktClient(slot).Command(Constants::CommandClose);
    SetWaitingForRoom(slot, false);
    if (std::exchange(m_flow[size_t(slot)].LetIn, false))
        --m_letIn;
    // We acknowledged what the client sent: it still goes to the RIX, over the same connection, while
    // the slot's next client gets a fresh one. Bytes that wait for a connection get one more attempt.
    if (!record.ClientData.isEmpty() && !wsktServer(slot).HasConnection())
        ConnectToSwitcher(slot);
    m_clientDataBytes -= record.ClientData.size();
    const QByteArray lost = LetRixSideGo(slot, std::exchange(record.ClientData, QByteArray()));
    if (!lost.isEmpty())
        m_peerReports.Report(QStringLiteral("rix not connected"), Reports::SendingToServer(slot, lost.size()),
                             Failure{FailureCode::NotConnected, QStringLiteral("The RIX is not connected")},
                             lost.size());
    UpdateLabels();
}

QByteArray Relay::LetRixSideGo(int slot, QByteArray clientBytes)
{
    SocketObject& rix = wsktServer(slot);
    const bool undelivered
        = !clientBytes.isEmpty() || (rix.IsConnected() && (rix.PendingOutput() > 0 || rix.Unacknowledged() > 0));
    if (undelivered && rix.HasConnection()) {
        Draining.Take(slot, rix, std::move(clientBytes));
        return {};
    }
    rix.Command(Constants::CommandClose);
    rix.Reset();
    return clientBytes;
}

void Relay::OnClientDrained(int index)
{
    // The client has taken what waited for it: its RIX side may be read again.
    if (m_closing)
        return;
    try {
        wsktServer(index).PauseReading(false);
    } catch (const Failure&) {
        // Every drained client has a slot, and so a RIX-side object.
    }
}

void Relay::ResumeClientReading(int slot)
{
    if (m_closing || m_flow[size_t(slot)].WaitingForRoom)
        return;
    const ConnectionRecord& record = m_state.Slot(slot);
    if (!MustPause(record.ClientData.size() + wsktServer(slot).PendingOutput()))
        wscktClient(slot).PauseReading(false);
}
