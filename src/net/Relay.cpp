#include "net/Relay.h"

#include "core/Constants.h"
#include "core/Failure.h"
#include "core/RuntimeState.h"
#include "core/StatusView.h"
#include "files/Journal.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QScopeGuard>

#include <utility>

Relay::Relay(RuntimeState& state, StatusView& view, ErrorReporter& errors, EventLog& events, DataLog& data,
             ReadinessBackend::Kind backendKind, QObject* parent)
    : QObject(parent)
    , m_backend(ReadinessBackend::Create(backendKind))
    , m_peerReports(errors, Clock::System())
    , wscktClient(*m_backend, Clock::System())
    , wsktServer(*m_backend, Clock::System())
    , Admission(Clock::System())
    , Draining(*m_backend, m_peerReports, Clock::System())
    , m_state(state)
    , m_view(view)
    , m_errors(errors)
    , m_events(events)
    , m_data(data)
    , m_readBuffer(SystemMemory::Map(ReadBufferSize))
    , m_loginFilter(state.LoginString)
{
    m_sinceStart.start();
    NativeSocket::Initialise();
    connect(&wscktClient, &SocketArray::Accept, this, &Relay::OnClientAccept);
    connect(&wscktClient, &SocketArray::AcceptFailed, this, &Relay::OnClientAcceptFailed);
    connect(&wscktClient, &SocketArray::Connected, this, &Relay::OnClientConnected);
    connect(&wscktClient, &SocketArray::ConnectFailed, this, &Relay::OnClientConnectFailed);
    connect(&wscktClient, &SocketArray::DataArrived, this, &Relay::OnClientDataArrived);
    connect(&wscktClient, &SocketArray::Closed, this, &Relay::OnClientClosed);
    connect(&wscktClient, &SocketArray::OutputDrained, this, &Relay::OnClientDrained);
    connect(&wsktServer, &SocketArray::Connected, this, &Relay::OnRixConnected);
    connect(&wsktServer, &SocketArray::ConnectFailed, this, &Relay::OnRixConnectFailed);
    connect(&wsktServer, &SocketArray::DataArrived, this, &Relay::OnRixDataArrived);
    connect(&wsktServer, &SocketArray::Closed, this, &Relay::OnRixClosed);
    connect(&wsktServer, &SocketArray::OutputDrained, this, &Relay::OnRixDrained);
    // Queued: a connection leaves the pool in the middle of the relay's own handlers.
    connect(&Draining, &DrainingPool::Left, this, &Relay::AdmitWaitingClients, Qt::QueuedConnection);
    tmrPoll.setInterval(Constants::PollPeriodMs);
    connect(&tmrPoll, &QTimer::timeout, this, &Relay::OnPollTick);
    m_loginHold.setSingleShot(true);
    connect(&m_loginHold, &QTimer::timeout, this, [this] { OnLoginHoldExpired(); });
}

Relay::~Relay() = default;

// Our sockets need no preparation beyond existing: they are non-blocking, binary and IPv4 by
// construction, and keepalive comes with each connection. What remains is the check that the element
// is there.
void Relay::SetupClientSocket(int index)
{
    try {
        wscktClient(index);
    } catch (const Failure& failure) {
        m_errors.Report(Reports::SettingUpClientSocket, failure);
    }
}

void Relay::SetupServerSocket(int index)
{
    try {
        wsktServer(index);
    } catch (const Failure& failure) {
        m_errors.Report(Reports::SettingUpServerSocket, failure);
    }
}

void Relay::ListenForClients(int port)
{
    const auto show = qScopeGuard([this] { ShowListening(); }); // whether it opens or throws
    if (!ClientPortUsable(port))
        return;
    SocketObject& listener = wscktClient(0);
    listener.SetLocalAddress(Admission.ListenAddress);
    listener.SetLocalPort(port);
    try {
        listener.Command(Constants::CommandListen);
    } catch (const Failure& failure) {
        m_listenFailure = failure.Description;
        throw;
    }
    m_listenFailure.clear();
}

int Relay::CreateSlot()
{
    IncrementCounter(m_state.ConnectionCount);
    const int slot = m_state.ConnectionCount;
    while (wscktClient.Count() <= slot)
        wscktClient.Add();
    while (wsktServer.Count() <= slot)
        wsktServer.Add();
    m_state.GrowTables();
    m_flow.resize(size_t(slot) + 1);
    return slot;
}

namespace {

// Each connection to ourselves would be accepted as a client that connects again.
Failure OwnListener()
{
    return Failure{FailureCode::AddressNotAvailable,
                   QStringLiteral("The RIX address and port lead to this relay's own client port")};
}

Failure NoAnswer()
{
    return Failure{FailureCode::TimedOut,
                   QStringLiteral("No answer within %1 s").arg(SocketObject::ConnectTimeoutMs / 1000)};
}

} // namespace

bool Relay::AttemptTimedOut(const SocketObject& socket, const LinkWatch& link) const
{
    // One begun while the link was down, before it came back, says nothing of the link as it is now.
    const qint64 age = socket.ConnectAttemptAge();
    return age >= SocketObject::ConnectTimeoutMs && m_sinceStart.elapsed() - age >= link.ChangedMs();
}

void Relay::ConnectToSwitcher(int index)
{
    try {
        SocketObject& rix = wsktServer(index);
        rix.SetRemoteAddress(m_state.RixIPAddress);
        rix.SetRemotePort(m_state.RixIPPort);
        if (RixIsOurOwnListener())
            throw OwnListener();
        // An attempt that has had no answer for so long is given up and made afresh.
        if (AttemptTimedOut(rix, m_rixLink))
            LinkFailed(Side::Rix, NoAnswer());
        // The caption says "Connected" only once a connection has completed (OnRixConnected).
        const int status = rix.Connect();
        if (status != 0) {
            rix.Command(Constants::CommandClose);
            rix.Reset();
            m_view.SetCaption(Constants::CaptionDisconnected);
            LinkFailed(Side::Rix, Failure{status, NativeSocket::ErrorText(status)});
        } else if (rix.IsConnected()) {
            m_view.SetCaption(Constants::CaptionConnected);
        }
    } catch (const Failure& failure) {
        LinkFailed(Side::Rix, failure);
    }
}

void Relay::ConnectToClient(int index)
{
    try {
        SocketObject& client = wscktClient(index);
        if (!ClientPortUsable(m_state.ClientIPPort)) {
            ShowListening();
            return;
        }
        client.SetRemoteAddress(m_state.ClientIPAddress);
        client.SetRemotePort(m_state.ClientIPPort);
        if (AttemptTimedOut(client, m_clientLink))
            LinkFailed(Side::Client, NoAnswer());
        // The slot counts as connected once the connection completes (OnClientConnected).
        if (const int status = client.Connect(); status != 0) {
            client.Command(Constants::CommandClose);
            client.Reset();
            m_state.Slot(index).Connected = false;
            LinkFailed(Side::Client, Failure{status, NativeSocket::ErrorText(status)});
        }
        UpdateLabels();
    } catch (const Failure& failure) {
        LinkFailed(Side::Client, failure);
    }
}

void Relay::LinkFailed(Side side, const Failure& failure)
{
    const bool rix = side == Side::Rix;
    if (!(rix ? m_rixLink : m_clientLink).Failed(m_sinceStart.elapsed(), QDateTime::currentDateTime()))
        return;
    const QString address = rix ? m_state.RixIPAddress : m_state.ClientIPAddress;
    const int port = rix ? m_state.RixIPPort : m_state.ClientIPPort;
    const QString where
        = QStringLiteral("%1 %2:%3").arg(rix ? QStringLiteral("RIX") : QStringLiteral("client"), address).arg(port);
    m_errors.Report(rix ? Reports::ConnectingToSwitcher : Reports::ConnectingToClient,
                    Failure{failure.Code, QStringLiteral("%1 (%2)").arg(failure.Description, where)});
    Journal::Write(Journal::Priority::Error,
                   QStringLiteral("%1 cannot be reached: %2").arg(where, failure.Description));
}

void Relay::LinkUp(Side side)
{
    const bool rix = side == Side::Rix;
    const std::optional<qint64> down
        = (rix ? m_rixLink : m_clientLink).Connected(m_sinceStart.elapsed(), QDateTime::currentDateTime());
    if (!down)
        return;
    const QString address = rix ? m_state.RixIPAddress : m_state.ClientIPAddress;
    const int port = rix ? m_state.RixIPPort : m_state.ClientIPPort;
    const QString downFor = LinkWatch::Duration(*down);
    m_errors.Report(
        Reports::LinkRestored(rix ? QStringLiteral("Switcher") : QStringLiteral("Client"), address, port, downFor));
    Journal::Write(Journal::Priority::Info,
                   QStringLiteral("%1 %2:%3 reached again after %4 down")
                       .arg(rix ? QStringLiteral("RIX") : QStringLiteral("client"), address)
                       .arg(port)
                       .arg(downFor));
}

bool Relay::RixIsOurOwnListener() const
{
    SocketObject& listener = const_cast<SocketArray&>(wscktClient)(0);
    if (!listener.IsListening() || listener.LocalPort() != m_state.RixIPPort)
        return false;
    if (m_state.RixIPAddress == m_ownAddress && m_state.RixIPPort == m_ownPort)
        return true;
    // The listener takes connections on every local address.
    const QHostAddress rix(m_state.RixIPAddress);
    return rix.isLoopback() || rix == QHostAddress(QHostAddress::AnyIPv4)
        || QNetworkInterface::allAddresses().contains(rix);
}

bool Relay::IsOwnRixConnection(qintptr handle)
{
    // Only a RIX port equal to the listening port can lead back here; the check costs nothing otherwise.
    if (wscktClient(0).LocalPort() != m_state.RixIPPort)
        return false;
    quint32 peerAddress = 0;
    quint16 peerPort = 0;
    if (!NativeSocket::PeerEnd(handle, peerAddress, peerPort))
        return false;
    for (int i = 1; i <= m_state.ConnectionCount; ++i) {
        SocketObject& rix = wsktServer(i);
        quint32 address = 0;
        quint16 port = 0;
        if (!rix.HasConnection() || !NativeSocket::LocalEnd(rix.Descriptor(), address, port) || address != peerAddress
            || port != peerPort)
            continue;
        rix.Command(Constants::CommandClose);
        rix.Reset();
        m_ownAddress = m_state.RixIPAddress;
        m_ownPort = m_state.RixIPPort;
        LinkFailed(Side::Rix, OwnListener());
        return true;
    }
    return false;
}

qint64 Relay::QueuedOutput()
{
    qint64 queued = Draining.Queued() + m_clientDataBytes;
    for (int i = 1; i <= m_state.ConnectionCount; ++i) {
        for (const SocketObject* socket : {&wscktClient(i), &wsktServer(i)})
            queued += socket->PendingOutput() + socket->Unacknowledged();
    }
    return queued;
}

void Relay::DrainBeforeClosing()
{
    // Nothing new is taken in meanwhile: no new clients, no further reads.
    m_closing = true;
    wscktClient(0).Command(Constants::CommandClose);
    for (int i = 1; i <= m_state.ConnectionCount; ++i) {
        wscktClient(i).PauseReading(true);
        wsktServer(i).PauseReading(true);
    }
    if (QueuedOutput() == 0)
        return;
    QEventLoop loop;
    QElapsedTimer elapsed;
    elapsed.start();
    QTimer check;
    connect(&check, &QTimer::timeout, &loop, [&] {
        if (QueuedOutput() == 0 || elapsed.hasExpired(ShutdownDrainMs))
            loop.quit();
    });
    check.start(10);
    loop.exec();
}

void Relay::CloseAllSockets()
{
    tmrPoll.stop();
    for (int i = 1; i <= m_state.ConnectionCount; ++i)
        RelayHeldLogin(i);
    DrainBeforeClosing();
    Draining.CloseAll();
    for (int i = 1; i <= m_state.ConnectionCount; ++i)
        CountUndelivered(i);
    m_peerReports.Flush(true);
    for (int i = 0; i <= m_state.ConnectionCount; ++i) {
        SocketObject& client = wscktClient(i);
        client.Command(Constants::CommandClose);
        client.Reset();
        SocketObject& rix = wsktServer(i);
        if (rix.IsConnected() || rix.IsConnecting()) {
            rix.Command(Constants::CommandClose);
            rix.Reset();
        }
    }
}

void Relay::CountUndelivered(int slot)
{
    const ConnectionRecord& record = m_state.Slot(slot);
    const Failure late{FailureCode::TimedOut, QStringLiteral("Not acknowledged before shutdown")};
    SocketObject& client = wscktClient(slot);
    // What the kernel took from the client and the relay never read (a client waiting for room, say).
    const qint64 unread = client.Unread();
    if (const qint64 left = client.PendingOutput() + client.Unacknowledged(); left > 0) {
        m_peerReports.Report(QStringLiteral("shutdown client"), Reports::SendingToRix(slot, left), late, left);
        client.Abort();
    }
    SocketObject& rix = wsktServer(slot);
    if (const qint64 left = rix.PendingOutput() + rix.Unacknowledged() + record.ClientData.size() + unread; left > 0) {
        m_peerReports.Report(QStringLiteral("shutdown rix"), Reports::SendingToServer(slot, left), late, left);
        rix.Abort();
    }
}

void Relay::OnPollTick()
{
    // A listening port that could not be opened (in use, say) is tried again every tick.
    if (m_state.OperationMode == Constants::ListenMode && !wscktClient(0).IsListening()) {
        try {
            ListenForClients(m_state.ClientIPPort);
        } catch (const Failure&) {
            // Reported once at start-up; the next tick tries again.
        }
    }
    Draining.Check();
    m_peerReports.Flush();
    AdmitWaitingClients();
    ReleaseIdleMemory();
    const int n = m_state.ConnectionCount;
    int freeSlots = 0;
    for (int i = 1; i <= n; ++i) {
        SocketObject& rix = wsktServer(i);
        const bool hasClient
            = wscktClient(i).HasConnection() || (m_state.OperationMode == Constants::ConnectMode && i == 1);
        if (!hasClient && ++freeSlots > WarmSlots) {
            if (rix.HasConnection()) {
                rix.Command(Constants::CommandClose);
                rix.Reset();
            }
            continue;
        }
        if (!rix.IsConnected() && !m_flow[size_t(i)].WaitingForRoom)
            ConnectToSwitcher(i);
        // Connect mode has one client connection, slot 1's, even when listen mode left more slots.
        if (m_state.OperationMode == Constants::ConnectMode && i == 1 && !wscktClient(i).IsConnected())
            ConnectToClient(i);
    }
}

void Relay::CloseClientSide()
{
    try {
        for (int i = 1; i <= m_state.ConnectionCount; ++i) {
            SocketObject& client = wscktClient(i);
            // A connection whose failure is still being read counts as a client until it is dropped.
            if (client.HasConnection() && !client.IsConnecting()) {
                DropClient(i);
                continue;
            }
            client.Command(Constants::CommandClose);
            client.Reset();
            m_state.Slot(i).Connected = false;
            SocketObject& rix = wsktServer(i);
            if (rix.IsConnected()) {
                rix.Command(Constants::CommandClose);
                rix.Reset();
            }
        }
        SocketObject& listener = wscktClient(0);
        listener.Command(Constants::CommandClose);
        if (m_state.OperationMode == Constants::ListenMode) {
            ListenForClients(m_state.ClientIPPort);
        } else if (m_state.ConnectionCount == 0) {
            const int slot = CreateSlot();
            m_state.Slot(slot).ClientAddress = m_state.ClientIPAddress;
        } else {
            m_state.Slot(1).ClientAddress = m_state.ClientIPAddress;
        }
        ShowListening();
        UpdateLabels();
    } catch (const Failure& failure) {
        // A listening port that cannot be opened now is tried again by the poll.
        m_errors.Report(Reports::OpeningSockets, failure);
    }
}

void Relay::ReconnectRixSide()
{
    for (int i = 1; i <= m_state.ConnectionCount; ++i) {
        try {
            SocketObject& rix = wsktServer(i);
            if (rix.IsConnecting()) {
                // An attempt under way would complete to the old address: it is made again, to the new.
                rix.Command(Constants::CommandClose);
                rix.Reset();
                ConnectToSwitcher(i);
                continue;
            }
            if (!rix.IsConnected())
                continue; // the poll connects it with the new settings
            // What the old RIX has not acknowledged still goes to it, or is counted; client bytes that
            // wait for a connection stay with the slot, for the new one.
            LetRixSideGo(i, {});
            ConnectToSwitcher(i);
        } catch (const Failure& failure) {
            m_errors.Report(Reports::ConnectingToSwitcher, failure);
        }
    }
}

void Relay::ShowConnectionCount()
{
    m_view.ShowConnectionCount(ConnectionCountText(m_state.ConnectedClients));
    // Every change of the count is shown: the cap's report follows it from here.
    Admission.FollowCount(m_state.ConnectedClients, Admission.SecondsNow());
}

void Relay::UpdateLabels()
{
    UpdateConnectionLabels(m_state, m_view, m_errors);
}

void Relay::ReadBursts(Side side, int slot)
{
    SocketObject& socket = side == Side::Client ? wscktClient(slot) : wsktServer(slot);
    char* buffer = m_readBuffer.get();
    m_readSinceTick = true;
    for (int reads = 0; reads < ReadsPerEvent && socket.MayHaveMore(); ++reads) {
        const qint64 n = socket.Read(buffer, ReadCapacity());
        if (n <= 0) {
            if (socket.ErrorCode() != Constants::WouldBlock)
                ReportFailedRead(side, slot, socket.ErrorCode());
            return;
        }
        // A peer that has reset is read to its end even while paused. Past the total bound, or with the
        // draining pool full, what it sent last has no room to wait in: it is counted, and reported
        // when the connection closes.
        if (socket.IsBroken() && socket.IsReadingPaused() && !HasRoom()) {
            SlotFlow& flow = m_flow[size_t(slot)];
            (side == Side::Client ? flow.DroppedFromClient : flow.DroppedFromRix) += n;
            continue;
        }
        if (side == Side::Client)
            OnClientBurst(slot, buffer, n);
        else
            OnRixBurst(slot, buffer, n);
    }
}

void Relay::ReportFailedRead(Side side, int slot, int error)
{
    if (side == Side::Client && NativeSocket::IsReset(error))
        return; // its event-log line says it left
    const QString& peer = side == Side::Client ? m_state.Slot(slot).ClientAddress : m_state.RixIPAddress;
    m_peerReports.Report(QStringLiteral("read %1 %2").arg(int(side)).arg(error), Reports::SocketError(error, peer), {});
}

void Relay::ShowListening()
{
    const bool listening = Constants::IsPort(m_state.ClientIPPort)
        && (m_state.OperationMode != Constants::ListenMode || wscktClient(0).IsListening());
    if (listening != m_shownListening) {
        m_shownListening = listening;
        m_view.ShowListening(listening);
    }
}

bool Relay::ClientPortUsable(int port)
{
    if (Constants::IsPort(port)) {
        m_portReported = false;
        return true;
    }
    if (!m_portReported) {
        m_portReported = true;
        m_errors.Report(Reports::InvalidClientPort(port));
    }
    return false;
}

void Relay::ReportDroppedAfterReset(Side side, int slot)
{
    SlotFlow& flow = m_flow[size_t(slot)];
    const bool client = side == Side::Client;
    const qint64 dropped = std::exchange(client ? flow.DroppedFromClient : flow.DroppedFromRix, 0);
    if (dropped == 0)
        return;
    m_peerReports.Report(QStringLiteral("reset past bound %1").arg(int(side)),
                         client ? Reports::SendingToServer(slot, dropped) : Reports::SendingToRix(slot, dropped),
                         Failure{FailureCode::ConnectionReset,
                                 QStringLiteral("The %1 reset its connection while the relay held all it may: what "
                                                "it had sent last had no room to wait")
                                     .arg(client ? QStringLiteral("client") : QStringLiteral("RIX"))},
                         dropped);
}

void Relay::SetWaitingForRoom(int slot, bool waiting)
{
    bool& flag = m_flow[size_t(slot)].WaitingForRoom;
    if (flag == waiting)
        return;
    flag = waiting;
    m_waitingForRoom += waiting ? 1 : -1;
}

void Relay::AdmitWaitingClients()
{
    if (m_waitingForRoom == 0 || m_closing)
        return;
    // Each client let in may add up to its bound before it pauses, and may leave into the pool.
    qint64 room = m_totalPendingBound - PendingTotal() - m_letIn * PendingOutputBound;
    int poolRoom = DrainingPool::MaxConnections - Draining.Count() - m_letIn;
    for (int i = 1; i <= m_state.ConnectionCount && m_waitingForRoom > 0; ++i) {
        if (!m_flow[size_t(i)].WaitingForRoom)
            continue;
        if (room <= 0 || poolRoom <= 0)
            return;
        room -= PendingOutputBound;
        --poolRoom;
        SetWaitingForRoom(i, false);
        m_flow[size_t(i)].LetIn = true;
        ++m_letIn;
        // Read once its RIX connection is up, so that its bytes go on to the kernel rather than wait here.
        ConnectToSwitcher(i);
        if (!wsktServer(i).IsConnecting())
            ResumeClientReading(i);
    }
}

void Relay::ReleaseIdleMemory()
{
    if (std::exchange(m_readSinceTick, false)) {
        m_memoryHeld = true;
        return;
    }
    if (!m_memoryHeld || PendingTotal() > 0)
        return;
    m_memoryHeld = false;
    m_backend->OutputChunks().ReleaseSpare();
    SystemMemory::Discard(m_readBuffer.get(), ReadBufferSize);
    SystemMemory::TrimHeap();
}
