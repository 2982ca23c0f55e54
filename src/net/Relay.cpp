#include "net/Relay.h"

#include "core/CheckIPAddress.h"
#include "core/Clock.h"
#include "core/Constants.h"
#include "core/Failure.h"
#include "core/RuntimeState.h"
#include "core/StatusView.h"

#include <QScopeGuard>

#include <utility>

Relay::Relay(RuntimeState& state, StatusView& view, ErrorReporter& errors, RelayEvents& events, const Clock& clock,
             ReadinessBackend::Kind backendKind, QObject* parent)
    : QObject(parent)
    , m_backend(ReadinessBackend::Create(backendKind))
    , m_clock(clock)
    , m_peerReports(errors, clock)
    , wscktClient(*m_backend, clock)
    , wsktServer(*m_backend, clock)
    , Admission(clock)
    , Draining(*m_backend, m_peerReports, events, clock)
    , m_state(state)
    , m_view(view)
    , m_errors(errors)
    , m_events(events)
    , m_path(wscktClient, wsktServer, state, *m_backend, Draining, m_peerReports, errors, events, clock)
    , m_links(state, errors, events, clock)
{
    NativeSocket::Initialise();
    connect(&wscktClient, &SocketArray::Accept, this, &Relay::OnClientAccept);
    connect(&wscktClient, &SocketArray::AcceptFailed, this, &Relay::OnClientAcceptFailed);
    connect(&wscktClient, &SocketArray::Connected, this, &Relay::OnClientConnected);
    connect(&wscktClient, &SocketArray::ConnectFailed, this, &Relay::OnClientConnectFailed);
    connect(&wscktClient, &SocketArray::DataArrived, this, [this](int i) { m_path.OnDataArrived(Side::Client, i); });
    connect(&wscktClient, &SocketArray::Closed, this, &Relay::OnClientClosed);
    connect(&wscktClient, &SocketArray::OutputDrained, this, [this](int i) { m_path.OnDrained(Side::Client, i); });
    connect(&wsktServer, &SocketArray::Connected, this, &Relay::OnRixConnected);
    connect(&wsktServer, &SocketArray::ConnectFailed, this, &Relay::OnRixConnectFailed);
    connect(&wsktServer, &SocketArray::DataArrived, this, [this](int i) { m_path.OnDataArrived(Side::Rix, i); });
    connect(&wsktServer, &SocketArray::Closed, this, &Relay::OnRixClosed);
    connect(&wsktServer, &SocketArray::OutputDrained, this, [this](int i) { m_path.OnDrained(Side::Rix, i); });
    // Queued: a connection leaves the pool in the middle of the relay's own handlers.
    connect(&Draining, &DrainingPool::Left, this, &Relay::AdmitWaitingClients, Qt::QueuedConnection);
    tmrPoll.setInterval(Constants::PollPeriodMs);
    connect(&tmrPoll, &QTimer::timeout, this, &Relay::OnPollTick);
    m_shutdownCheck.setInterval(ShutdownCheckMs);
    connect(&m_shutdownCheck, &QTimer::timeout, this, &Relay::OnShutdownCheck);
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
    m_path.AddSlot(slot);
    m_letIn.resize(size_t(slot) + 1);
    return slot;
}

namespace {

// Each connection to ourselves would be accepted as a client that connects again.
Failure OwnListener()
{
    return Failure{FailureCode::AddressNotAvailable,
                   QStringLiteral("The RIX address and port lead to this relay's own client port")};
}

// What the error a client's connection ended with says of how it ended.
RelayEvents::Ending HowItEnded(int error)
{
    if (NativeSocket::IsReset(error))
        return RelayEvents::Ending::Reset;
    if (NativeSocket::IsTimedOut(error))
        return RelayEvents::Ending::KeepaliveGaveUp;
    return RelayEvents::Ending::ClientClosed;
}

Failure NoAnswer()
{
    return Failure{FailureCode::TimedOut,
                   QStringLiteral("No answer within %1 s").arg(SocketObject::ConnectTimeoutMs / 1000)};
}

} // namespace

void Relay::ConnectToSwitcher(int index)
{
    try {
        SocketObject& rix = wsktServer(index);
        rix.SetRemoteAddress(m_state.RixIPAddress);
        rix.SetRemotePort(m_state.RixIPPort);
        if (RixIsOurOwnListener())
            throw OwnListener();
        // An attempt that has had no answer for so long is given up and made afresh.
        if (m_links.AttemptTimedOut(rix, Link::Rix))
            m_links.Failed(Link::Rix, NoAnswer());
        // The caption says "Connected" only once a connection has completed (OnRixConnected).
        const int status = rix.Connect();
        if (status != 0) {
            rix.Command(Constants::CommandClose);
            rix.Reset();
            m_view.SetCaption(Constants::CaptionDisconnected);
            m_links.Failed(Link::Rix, Failure{status, NativeSocket::ErrorText(status)});
        } else if (rix.IsConnected()) {
            m_view.SetCaption(Constants::CaptionConnected);
        }
    } catch (const Failure& failure) {
        // Whatever the caption said before, this attempt leads to no connection.
        m_view.SetCaption(Constants::CaptionDisconnected);
        m_links.Failed(Link::Rix, failure);
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
        if (m_links.AttemptTimedOut(client, Link::Client))
            m_links.Failed(Link::Client, NoAnswer());
        // The slot counts as connected once the connection completes (OnClientConnected).
        if (const int status = client.Connect(); status != 0) {
            client.Command(Constants::CommandClose);
            client.Reset();
            m_state.Slot(index).Connected = false;
            m_links.Failed(Link::Client, Failure{status, NativeSocket::ErrorText(status)});
        }
        UpdateLabels();
    } catch (const Failure& failure) {
        m_links.Failed(Link::Client, failure);
    }
}

bool Relay::RixIsOurOwnListener() const
{
    SocketObject& listener = const_cast<SocketArray&>(wscktClient)(0);
    if (!listener.IsListening() || listener.LocalPort() != m_state.RixIPPort)
        return false;
    if (m_state.RixIPAddress == m_ownAddress && m_state.RixIPPort == m_ownPort)
        return true;
    // The listener takes connections on every local address; a connection to 0.0.0.0 goes to this host.
    quint32 rix = 0;
    return ParseDottedIPv4(m_state.RixIPAddress, rix)
        && (rix == 0 || NativeSocket::HostHasAddress(rix).value_or(NativeSocket::IsLoopback(rix)));
}

bool Relay::IsOwnRixConnection(const AcceptedHandle& accepted)
{
    // Only a RIX port equal to the listening port can lead back here; the check costs nothing otherwise.
    if (wscktClient(0).LocalPort() != m_state.RixIPPort)
        return false;
    const quint32 peerAddress = accepted.PeerAddress();
    const quint16 peerPort = accepted.PeerPort();
    for (int i = 1; i <= m_state.ConnectionCount; ++i) {
        SocketObject& rix = wsktServer(i);
        quint32 address = 0;
        quint16 port = 0;
        if (!rix.HasConnection() || !NativeSocket::LocalEnd(rix.Descriptor(), address, port) || address != peerAddress
            || port != peerPort)
            continue;
        rix.Command(Constants::CommandClose);
        rix.Reset();
        // The connection may have completed (and said "Connected") before its other end arrived here.
        m_view.SetCaption(Constants::CaptionDisconnected);
        m_ownAddress = m_state.RixIPAddress;
        m_ownPort = m_state.RixIPPort;
        m_links.Failed(Link::Rix, OwnListener());
        return true;
    }
    return false;
}

void Relay::CloseAllSockets()
{
    if (m_shutdown != Shutdown::Running)
        return;
    m_shutdown = Shutdown::Draining;
    tmrPoll.stop();
    // Nothing new is taken in meanwhile: no new clients, no further reads.
    wscktClient(0).Command(Constants::CommandClose);
    m_path.StopReading();
    m_shutdownDeadline = m_clock.MonotonicMs() + ShutdownDrainMs;
    if (m_path.QueuedOutput() == 0)
        FinishClosing();
    else
        m_shutdownCheck.start();
}

void Relay::OnShutdownCheck()
{
    if (m_path.QueuedOutput() == 0 || m_clock.MonotonicMs() >= m_shutdownDeadline)
        FinishClosing();
}

void Relay::FinishClosing()
{
    m_shutdownCheck.stop();
    // Whatever fails on the way, the shutdown ends: the program waits for Closed to exit.
    const auto closed = qScopeGuard([this] {
        m_shutdown = Shutdown::Closed;
        emit Closed();
    });
    try {
        Draining.CloseAll();
        for (int i = 1; i <= m_state.ConnectionCount; ++i)
            m_path.CountUndelivered(i);
        m_peerReports.Flush(true);
        // The sessions still open end with the relay.
        for (int i = 1; i <= m_state.ConnectionCount; ++i) {
            if (const ConnectionRecord& record = m_state.Slot(i); record.Connected)
                m_events.ClientLeft(i, record.ClientAddress, RelayEvents::Ending::Shutdown);
        }
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
    } catch (const Failure& failure) {
        m_errors.Report(Reports::UnloadingForm, failure);
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
    m_path.ReleaseIdleMemory();
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
        rix.KeepAliveIfDue();
        if (!rix.IsConnected() && !m_path.IsWaitingForRoom(i))
            ConnectToSwitcher(i);
        // Connect mode has one client connection, slot 1's, even when listen mode left more slots.
        if (m_state.OperationMode == Constants::ConnectMode && i == 1) {
            wscktClient(i).KeepAliveIfDue();
            if (!wscktClient(i).IsConnected())
                ConnectToClient(i);
        }
    }
}

void Relay::CloseClientSide()
{
    if (m_shutdown != Shutdown::Running)
        return; // closing: no listener opens again, nothing connects out
    try {
        for (int i = 1; i <= m_state.ConnectionCount; ++i) {
            SocketObject& client = wscktClient(i);
            // A connection whose failure is still being read counts as a client until it is dropped.
            if (client.HasConnection() && !client.IsConnecting()) {
                DropClient(i, RelayEvents::Ending::SettingChange);
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
    if (m_shutdown != Shutdown::Running)
        return;
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
            m_path.LetRixSideGo(i, {});
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

void Relay::AdmitWaitingClients()
{
    if (m_path.WaitingForRoom() == 0 || m_shutdown != Shutdown::Running)
        return;
    // Each client let in may add up to its bound before it pauses, and may leave into the pool.
    qint64 room = m_path.RoomLeft() - m_letInCount * SlotPath::PendingOutputBound;
    int poolRoom = DrainingPool::MaxConnections - Draining.Count() - m_letInCount;
    for (int i = 1; i <= m_state.ConnectionCount && m_path.WaitingForRoom() > 0; ++i) {
        if (!m_path.IsWaitingForRoom(i))
            continue;
        if (room <= 0 || poolRoom <= 0)
            return;
        room -= SlotPath::PendingOutputBound;
        --poolRoom;
        m_path.SetWaitingForRoom(i, false);
        m_letIn[size_t(i)] = true;
        ++m_letInCount;
        // Read once its RIX connection is up, so that its bytes go on to the kernel rather than wait here.
        ConnectToSwitcher(i);
        if (!wsktServer(i).IsConnecting())
            m_path.ResumeClientReading(i);
    }
}

bool Relay::AdmitClient(quint32 peerAddress)
{
    if (!Admission.IsAllowed(peerAddress)) {
        m_events.ClientRefused(NativeSocket::DottedAddress(peerAddress), RelayEvents::Refusal::NotAllowed,
                               Admission.TakeRefusalLine(peerAddress));
        return false;
    }
    if (m_state.ConnectedClients >= Admission.MaxClients) {
        m_events.ClientRefused(NativeSocket::DottedAddress(peerAddress), RelayEvents::Refusal::AtCap, false);
        if (Admission.TakeCapLine(Admission.SecondsNow()))
            m_errors.Report(Reports::ClientLimitReached(Admission.MaxClients));
        return false;
    }
    return true;
}

void Relay::OnClientAccept(int, AcceptedHandle& accepted)
{
    try {
        if (IsOwnRixConnection(accepted) || !AdmitClient(accepted.PeerAddress()))
            return; // the handle closes with the event
        // The lowest free slot is reused; a new one is made only when every slot is busy.
        int slot = wscktClient.LowestFree();
        if (slot < 1 || slot > m_state.ConnectionCount)
            slot = CreateSlot();

        // Past the total bound, or with the draining pool full, the client is greeted but not read
        // until there is room: what it sends waits in the kernel, and TCP pushes back on it. It gets
        // its RIX connection then, too (a warm one it may have already).
        const bool wait = !m_path.HasRoom();
        // The slot's RIX connection starts before the client is taken over. A RIX connection that
        // the poll has kept up for the free slot is used as it is.
        SetupServerSocket(slot);
        if (!wait) {
            ConnectToSwitcher(slot);
            // Without a descriptor for its RIX side the client could only wait: it is turned away
            // instead (its connection closes at once), and accepted again once descriptors are free.
            if (wsktServer(slot).OutOfDescriptors()) {
                m_events.ClientRefused(NativeSocket::DottedAddress(accepted.PeerAddress()),
                                       RelayEvents::Refusal::NoDescriptor, false);
                return;
            }
        }
        SetupClientSocket(slot);
        SocketObject& client = wscktClient(slot);
        const quint16 peerPort = accepted.PeerPort();
        client.AcceptHandle(std::move(accepted));

        IncrementCounter(m_state.ConnectedClients);
        ShowConnectionCount();
        ConnectionRecord& record = m_state.Slot(slot);
        record.Connected = true;
        record.ClientAddress = client.PeerAddress();
        m_path.BeginClient(slot, wait);
        m_events.ClientConnected(slot, record.ClientAddress, peerPort, RelayEvents::Arrival::Accepted);
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
    m_links.Up(Link::Client);
    try {
        // Connect mode: the slot's client line and the count follow the completed connection.
        m_state.ConnectedClients = 1;
        ShowConnectionCount();
        ConnectionRecord& record = m_state.Slot(index);
        record.Connected = true;
        m_events.ClientConnected(index, record.ClientAddress, quint16(m_state.ClientIPPort),
                                 RelayEvents::Arrival::ConnectedOut);
        UpdateLabels();
    } catch (const Failure& failure) {
        m_errors.Report(Reports::ConnectingToRix, failure);
    }
}

void Relay::OnClientConnectFailed(int index, int errorCode)
{
    m_links.Failed(Link::Client, Failure{errorCode, NativeSocket::ErrorText(errorCode)});
    try {
        m_state.Slot(index).Connected = false;
        UpdateLabels();
    } catch (const Failure& failure) {
        m_errors.Report(Reports::ConnectingToRix, failure);
    }
}

void Relay::OnClientClosed(int index)
{
    try {
        m_path.OnClientClosed(index);
        DropClient(index, HowItEnded(wscktClient(index).ErrorCode()));
    } catch (const Failure& failure) {
        m_errors.Report(Reports::ClientDisconnect, failure);
    }
}

void Relay::DropClient(int slot, RelayEvents::Ending how)
{
    ConnectionRecord& record = m_state.Slot(slot);
    m_events.ClientLeft(slot, record.ClientAddress, how);
    DecrementCounter(m_state.ConnectedClients);
    ShowConnectionCount();
    record.Connected = false;
    wscktClient(slot).Command(Constants::CommandClose);
    if (m_letIn[size_t(slot)]) {
        m_letIn[size_t(slot)] = false;
        --m_letInCount;
    }
    // Bytes that wait for a connection get one more attempt: the draining pool then delivers them.
    if (m_path.HasClientData(slot) && !wsktServer(slot).HasConnection())
        ConnectToSwitcher(slot);
    m_path.EndClient(slot);
    UpdateLabels();
}

void Relay::OnRixConnected(int index)
{
    m_view.SetCaption(Constants::CaptionConnected);
    m_links.Up(Link::Rix);
    m_path.OnRixConnected(index);
}

void Relay::OnRixConnectFailed(int index, int errorCode)
{
    m_view.SetCaption(Constants::CaptionDisconnected);
    m_links.Failed(Link::Rix, Failure{errorCode, NativeSocket::ErrorText(errorCode)});
    m_path.OnRixConnectFailed(index);
}

void Relay::OnRixClosed(int index)
{
    m_events.ConnectionLost(RelayEvents::Link::Rix);
    m_view.SetCaption(Constants::CaptionDisconnected);
    m_path.OnRixClosed(index);
}
