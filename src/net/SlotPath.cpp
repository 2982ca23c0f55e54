#include "net/SlotPath.h"

#include "core/Clock.h"
#include "core/Constants.h"
#include "core/Failure.h"
#include "core/ReportThrottle.h"
#include "core/RuntimeState.h"
#include "net/DrainingPool.h"
#include "net/ReadinessBackend.h"
#include "net/SocketObject.h"
#include "net/ZeroByteRule.h"

#include <algorithm>
#include <span>
#include <utility>

namespace {
constexpr RelayEvents::Discard Undelivered = RelayEvents::Discard::Undelivered;
constexpr RelayEvents::Discard NeverRelayed = RelayEvents::Discard::NeverRelayed;
} // namespace

SlotPath::SlotPath(SocketArray& clients, SocketArray& rixes, RuntimeState& state, ReadinessBackend& backend,
                   DrainingPool& draining, ReportThrottle& peerReports, ErrorReporter& errors, RelayEvents& events,
                   const Clock& clock)
    : m_clients(clients)
    , m_rixes(rixes)
    , m_state(state)
    , m_backend(backend)
    , m_draining(draining)
    , m_peerReports(peerReports)
    , m_errors(errors)
    , m_events(events)
    , m_clock(clock)
    , m_readBuffer(SystemMemory::Map(ReadBufferSize))
    , m_loginFilter(state.LoginString)
{
    m_loginHold.setSingleShot(true);
    m_loginHold.callOnTimeout([this] { OnLoginHoldExpired(); });
    AddSlot(0);
}

SlotPath::~SlotPath() = default;

qint64 SlotPath::PendingTotal() const
{
    return m_backend.OutputChunks().QueuedBytes() + m_clientDataBytes + m_draining.HeldOutsideQueues();
}

bool SlotPath::HasRoom() const
{
    return PendingTotal() < m_totalPendingBound && !m_draining.IsFull();
}

bool SlotPath::MustPause(qint64 waiting) const
{
    return waiting > PendingOutputBound || (waiting > 0 && PendingTotal() > m_totalPendingBound);
}

qint64 SlotPath::ReadCapacity() const
{
    return PendingTotal() > m_totalPendingBound ? ChunkPool::ChunkSize : ReadBufferSize;
}

void SlotPath::AddSlot(int slot)
{
    const size_t rows = std::max(m_waiting.size(), size_t(slot) + 1);
    m_waiting.resize(rows);
    m_droppedFromClient.resize(rows);
    m_droppedFromRix.resize(rows);
}

void SlotPath::OnDataArrived(Side side, int slot)
{
    try {
        ReadBursts(side, slot);
    } catch (const Failure& failure) {
        m_errors.Report(side == Side::Client ? Reports::ReceivingRixMessageData : Reports::ServerMessageData, failure);
    }
}

void SlotPath::ReadBursts(Side side, int slot)
{
    SocketObject& socket = side == Side::Client ? m_clients(slot) : m_rixes(slot);
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
            (side == Side::Client ? m_droppedFromClient : m_droppedFromRix)[size_t(slot)] += n;
            continue;
        }
        if (side == Side::Client)
            OnClientBurst(slot, buffer, n);
        else
            OnRixBurst(slot, buffer, n);
    }
}

void SlotPath::ReportFailedRead(Side side, int slot, int error)
{
    if (side == Side::Client && NativeSocket::IsReset(error))
        return; // its event-log line says it left
    const QString& peer = side == Side::Client ? m_state.Slot(slot).ClientAddress : m_state.RixIPAddress;
    m_peerReports.Report(QStringLiteral("read %1 %2").arg(int(side)).arg(error), Reports::SocketError(error, peer), {});
}

void SlotPath::ReportDroppedAfterReset(Side side, int slot)
{
    const bool client = side == Side::Client;
    const qint64 dropped = std::exchange((client ? m_droppedFromClient : m_droppedFromRix)[size_t(slot)], 0);
    if (dropped == 0)
        return;
    m_events.BytesDiscarded(client ? RelayEvents::From::Client : RelayEvents::From::Rix, slot, dropped, NeverRelayed);
    m_peerReports.Report(QStringLiteral("reset past bound %1").arg(int(side)),
                         client ? Reports::SendingToServer(slot, dropped) : Reports::SendingToRix(slot, dropped),
                         Failure{FailureCode::ConnectionReset,
                                 QStringLiteral("The %1 reset its connection while the relay held all it may: what "
                                                "it had sent last had no room to wait")
                                     .arg(client ? QStringLiteral("client") : QStringLiteral("RIX"))},
                         dropped);
}

void SlotPath::OnClientBurst(int slot, char* data, qsizetype size)
{
    // Told once, then forwarded unchanged as one write.
    const QByteArrayView burst(data, size);
    m_events.BurstRelayed(RelayEvents::From::Client, slot, burst, m_state.Slot(slot).ClientAddress);
    ForwardToRix(slot, burst);
}

void SlotPath::OnRixBurst(int slot, char* data, qsizetype size)
{
    QByteArray joined; // used only when bytes held from the last read come first
    const std::span<char> burst
        = m_loginFilter.Take(slot, std::span<char>(data, size_t(size)), m_clock.MonotonicMs(), joined);
    if (m_loginFilter.Holding() && !m_loginHold.isActive())
        m_loginHold.start(int(LoginFilter::HoldMs));
    if (!burst.empty())
        RelayRixBurst(slot, burst.data(), qsizetype(burst.size()));
}

void SlotPath::RelayRixBurst(int slot, char* data, qsizetype size)
{
    // Told as received; the client gets it after the zero-byte rule.
    m_events.BurstRelayed(RelayEvents::From::Rix, slot, QByteArrayView(data, size), m_state.RixIPAddress);
    ForwardToClient(slot, data, size);
}

void SlotPath::RelayHeldLogin(int slot)
{
    try {
        QByteArray held = m_loginFilter.TakeHeld(slot);
        if (!held.isEmpty())
            RelayRixBurst(slot, held.data(), held.size());
    } catch (const Failure& failure) {
        m_errors.Report(Reports::ServerMessageData, failure);
    }
}

void SlotPath::OnLoginHoldExpired()
{
    // The rest of a confirmation would have come by now: what is held was something else.
    const qint64 now = m_clock.MonotonicMs();
    for (const int slot : m_loginFilter.ExpiredSlots(now))
        RelayHeldLogin(slot);
    const qint64 next = m_loginFilter.NextExpiry();
    if (next >= 0)
        m_loginHold.start(int(std::max<qint64>(next - now, 0)));
}

void SlotPath::WriteToClient(int slot, QByteArrayView data)
{
    try {
        SocketObject& client = m_clients(slot);
        if (!client.IsConnected()) {
            // The client has gone: RIX data for it is dropped.
            m_events.BytesDiscarded(RelayEvents::From::Rix, slot, data.size(), Undelivered);
            return;
        }
        client.Write(data);
        // A client that does not keep up: stop reading its RIX side until it has drained.
        if (MustPause(client.PendingOutput()))
            m_rixes(slot).PauseReading(true);
    } catch (const Failure& failure) {
        m_errors.Report(Reports::SendingToRix(slot, data.size()), failure);
    }
}

void SlotPath::ForwardToClient(int slot, char* data, qsizetype size)
{
    const qsizetype length = ApplyZeroByteRule(data, size);
    if (length < size)
        m_events.ZerosRemoved(slot, size - length);
    if (length > 0)
        WriteToClient(slot, QByteArrayView(data, length));
}

void SlotPath::ForwardToRix(int slot, QByteArrayView burst)
{
    qsizetype length = burst.size();
    try {
        ConnectionRecord& record = m_state.Slot(slot);
        length += record.ClientData.size();
        SocketObject& rix = m_rixes(slot);
        // Earlier bytes that wait for the RIX go first; a new burst queues behind them.
        if (!record.ClientData.isEmpty() || !rix.IsConnected()) {
            m_clientDataBytes += burst.size();
            record.ClientData.append(burst);
            if (rix.IsConnected() && rix.Write(record.ClientData))
                ReleaseClientData(record);
        } else if (!rix.Write(burst)) {
            m_clientDataBytes += burst.size();
            record.ClientData = burst.toByteArray();
        }
        // Bounded memory: while the RIX side holds a lot unsent, or it is down and the client keeps
        // sending, stop reading from the client. TCP pushes back on it; nothing is dropped.
        if (MustPause(rix.PendingOutput() + record.ClientData.size()))
            m_clients(slot).PauseReading(true);
    } catch (const Failure& failure) {
        m_errors.Report(Reports::SendingToServer(slot, length), failure);
    }
}

void SlotPath::ReleaseClientData(ConnectionRecord& record)
{
    m_clientDataBytes -= record.ClientData.size();
    record.ClientData = QByteArray();
}

qint64 SlotPath::WaitingFor(Side side, int slot)
{
    if (side == Side::Client)
        return m_clients(slot).PendingOutput();
    return m_rixes(slot).PendingOutput() + m_state.Slot(slot).ClientData.size();
}

bool SlotPath::HasClientData(int slot) const
{
    return !m_state.Slot(slot).ClientData.isEmpty();
}

void SlotPath::OnDrained(Side side, int slot)
{
    if (m_stopped)
        return;
    try {
        if (side == Side::Client)
            m_rixes(slot).PauseReading(false); // the client has taken what waited for it
        else
            ResumeClientReading(slot);
    } catch (const Failure& failure) {
        m_errors.Report(Reports::ServerMessageData, failure);
    }
}

void SlotPath::OnRixConnected(int slot)
{
    try {
        // What an earlier connection of the slot left held goes out before anything of this one.
        RelayHeldLogin(slot);
        m_loginFilter.Begin(slot);
        // Client bytes that waited for this connection go out now, not with the client's next burst.
        const ConnectionRecord& record = m_state.Slot(slot);
        if (record.Connected && !record.ClientData.isEmpty())
            ForwardToRix(slot, {});
        ResumeClientReading(slot);
    } catch (const Failure& failure) {
        m_errors.Report(Reports::ServerMessageData, failure);
    }
}

void SlotPath::OnRixConnectFailed(int slot)
{
    try {
        ResumeClientReading(slot);
    } catch (const Failure& failure) {
        m_errors.Report(Reports::ServerMessageData, failure);
    }
}

void SlotPath::OnRixClosed(int slot)
{
    RelayHeldLogin(slot);
    try {
        SocketObject& rix = m_rixes(slot);
        if (const qint64 unsent = rix.UnsentAtClose(); unsent > 0) {
            m_events.BytesDiscarded(RelayEvents::From::Client, slot, unsent, Undelivered);
            m_peerReports.Report(QStringLiteral("rix unsent"), Reports::SendingToServer(slot, unsent),
                                 Failure{FailureCode::NotConnected, QStringLiteral("The RIX connection ended")},
                                 unsent);
        }
        ReportDroppedAfterReset(Side::Rix, slot);
        rix.Command(Constants::CommandClose);
        // Client bytes no longer wait behind a closed connection's output; the client may send again.
        ResumeClientReading(slot);
    } catch (const Failure& failure) {
        m_errors.Report(Reports::ServerMessageData, failure);
    }
}

void SlotPath::OnClientClosed(int slot)
{
    // RIX bytes we had taken for the client and could not give it are lost: said, with their count.
    if (const qint64 unsent = m_clients(slot).UnsentAtClose(); unsent > 0) {
        m_events.BytesDiscarded(RelayEvents::From::Rix, slot, unsent, Undelivered);
        m_peerReports.Report(QStringLiteral("client unsent"), Reports::SendingToRix(slot, unsent),
                             Failure{FailureCode::NotConnected, QStringLiteral("The client's connection ended")},
                             unsent);
    }
    ReportDroppedAfterReset(Side::Client, slot);
}

void SlotPath::BeginClient(int slot, bool waitForRoom)
{
    if (waitForRoom) {
        m_clients(slot).PauseReading(true);
        SetWaitingForRoom(slot, true);
    }
    ReleaseClientData(m_state.Slot(slot));
    if (!m_rixes(slot).IsConnected())
        m_loginFilter.Forget(slot);
    WriteToClient(slot, m_state.LoginString);
}

void SlotPath::EndClient(int slot)
{
    SetWaitingForRoom(slot, false);
    ConnectionRecord& record = m_state.Slot(slot);
    m_clientDataBytes -= record.ClientData.size();
    const QByteArray lost = LetRixSideGo(slot, std::exchange(record.ClientData, QByteArray()));
    if (lost.isEmpty())
        return;
    m_events.BytesDiscarded(RelayEvents::From::Client, slot, lost.size(), Undelivered);
    m_peerReports.Report(QStringLiteral("rix not connected"), Reports::SendingToServer(slot, lost.size()),
                         Failure{FailureCode::NotConnected, QStringLiteral("The RIX is not connected")}, lost.size());
}

QByteArray SlotPath::LetRixSideGo(int slot, QByteArray clientBytes)
{
    SocketObject& rix = m_rixes(slot);
    const bool undelivered
        = !clientBytes.isEmpty() || (rix.IsConnected() && (rix.PendingOutput() > 0 || rix.Unacknowledged() > 0));
    if (undelivered && rix.HasConnection()) {
        m_draining.Take(slot, rix, std::move(clientBytes));
        return {};
    }
    rix.Command(Constants::CommandClose);
    rix.Reset();
    return clientBytes;
}

void SlotPath::ResumeClientReading(int slot)
{
    if (m_stopped || m_waiting[size_t(slot)])
        return;
    const ConnectionRecord& record = m_state.Slot(slot);
    if (!MustPause(record.ClientData.size() + m_rixes(slot).PendingOutput()))
        m_clients(slot).PauseReading(false);
}

void SlotPath::SetWaitingForRoom(int slot, bool waiting)
{
    if (m_waiting[size_t(slot)] == waiting)
        return;
    m_waiting[size_t(slot)] = waiting;
    m_waitingCount += waiting ? 1 : -1;
}

void SlotPath::StopReading()
{
    m_stopped = true;
    m_loginHold.stop();
    for (int i = 1; i <= m_state.ConnectionCount; ++i) {
        RelayHeldLogin(i);
        m_clients(i).PauseReading(true);
        m_rixes(i).PauseReading(true);
    }
}

qint64 SlotPath::QueuedOutput()
{
    qint64 queued = m_draining.Queued() + m_clientDataBytes;
    for (int i = 1; i <= m_state.ConnectionCount; ++i) {
        for (const SocketObject* socket : {&m_clients(i), &m_rixes(i)})
            queued += socket->PendingOutput() + socket->Unacknowledged();
    }
    return queued;
}

void SlotPath::CountUndelivered(int slot)
{
    const ConnectionRecord& record = m_state.Slot(slot);
    const Failure late{FailureCode::TimedOut, QStringLiteral("Not acknowledged before shutdown")};
    SocketObject& client = m_clients(slot);
    // What the kernel took from the client and the relay never read (a client waiting for room, say).
    const qint64 unread = client.Unread();
    if (const qint64 left = client.PendingOutput() + client.Unacknowledged(); left > 0) {
        m_events.BytesDiscarded(RelayEvents::From::Rix, slot, left, Undelivered);
        m_peerReports.Report(QStringLiteral("shutdown client"), Reports::SendingToRix(slot, left), late, left);
        client.Abort();
    }
    SocketObject& rix = m_rixes(slot);
    if (const qint64 left = rix.PendingOutput() + rix.Unacknowledged() + record.ClientData.size() + unread; left > 0) {
        if (left > unread)
            m_events.BytesDiscarded(RelayEvents::From::Client, slot, left - unread, Undelivered);
        if (unread > 0)
            m_events.BytesDiscarded(RelayEvents::From::Client, slot, unread, NeverRelayed);
        m_peerReports.Report(QStringLiteral("shutdown rix"), Reports::SendingToServer(slot, left), late, left);
        rix.Abort();
    }
}

void SlotPath::ReleaseIdleMemory()
{
    if (std::exchange(m_readSinceTick, false)) {
        m_memoryHeld = true;
        return;
    }
    if (!m_memoryHeld || PendingTotal() > 0)
        return;
    m_memoryHeld = false;
    m_backend.OutputChunks().ReleaseSpare();
    SystemMemory::Discard(m_readBuffer.get(), ReadBufferSize);
    SystemMemory::TrimHeap();
}
