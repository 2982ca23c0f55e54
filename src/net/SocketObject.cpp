#include "net/SocketObject.h"

#include "core/CheckIPAddress.h"
#include "core/Clock.h"
#include "core/Constants.h"
#include "core/Failure.h"
#include "net/ReadinessBackend.h"

#include <algorithm>
#include <utility>

namespace {

// The most accepts handled per readiness report before the listener yields to the other sockets.
constexpr int AcceptsPerEvent = 64;
// How long to wait before accepting again when the process has run out of descriptors.
constexpr int AcceptRetryMs = 250;
// How long to wait before accepting again after any other failure of the listening socket.
constexpr int AcceptBackOffMs = 1000;
// Chunks of pending output offered to the kernel in one gathered send.
constexpr int PartsPerSend = 16;

Failure SystemFailure(int error)
{
    return Failure{error, NativeSocket::ErrorText(error)};
}

quint16 CheckedPort(int port)
{
    if (port < 0 || port > 65535)
        throw Failure{FailureCode::AddressNotAvailable, QStringLiteral("Invalid port number %1").arg(port)};
    return quint16(port);
}

} // namespace

AcceptedHandle& AcceptedHandle::operator=(AcceptedHandle&& other) noexcept
{
    if (this != &other) {
        if (m_handle != NativeSocket::InvalidHandle)
            NativeSocket::Close(m_handle);
        m_peerAddress = other.m_peerAddress;
        m_peerPort = other.m_peerPort;
        m_handle = other.Release();
    }
    return *this;
}

AcceptedHandle::~AcceptedHandle()
{
    if (m_handle != NativeSocket::InvalidHandle)
        NativeSocket::Close(m_handle);
}

NativeSocket::Handle AcceptedHandle::Release()
{
    const NativeSocket::Handle handle = m_handle;
    m_handle = NativeSocket::InvalidHandle;
    return handle;
}

SocketObject::SocketObject(SocketArray& owner, int index, ReadinessBackend& backend, const Clock& clock)
    : m_owner(owner)
    , m_backend(backend)
    , m_clock(clock)
    , m_index(index)
    , m_pending(backend.OutputChunks())
{
}

SocketObject::~SocketObject()
{
    m_backend.Cancel(this);
    CloseHandle();
}

void SocketObject::SetRemoteAddress(const QString& dottedAddress)
{
    quint32 address = 0;
    if (!ParseDottedIPv4(dottedAddress, address))
        throw Failure{FailureCode::AddressNotAvailable,
                      QStringLiteral("Invalid IPv4 address \"%1\"").arg(dottedAddress)};
    m_remoteAddress = address;
}

void SocketObject::SetRemotePort(int port)
{
    m_remotePort = CheckedPort(port);
}

void SocketObject::SetLocalAddress(const QString& dottedAddress)
{
    quint32 address = 0;
    if (!dottedAddress.isEmpty() && !ParseDottedIPv4(dottedAddress, address))
        throw Failure{FailureCode::AddressNotAvailable,
                      QStringLiteral("Invalid IPv4 address \"%1\"").arg(dottedAddress)};
    m_localAddress = address;
}

void SocketObject::SetLocalPort(int port)
{
    m_localPort = CheckedPort(port);
}

int SocketObject::LocalPort() const
{
    return m_state == State::Listening ? m_listeningPort : m_localPort;
}

void SocketObject::Command(int code)
{
    if (code == Constants::CommandClose) {
        CloseHandle();
        return;
    }
    if (code != Constants::CommandListen)
        throw Failure{FailureCode::InvalidPropertyValue, QStringLiteral("Invalid socket command %1").arg(code)};

    CloseHandle();
    int error = 0;
    const NativeSocket::Handle handle = NativeSocket::Open(error);
    if (handle == NativeSocket::InvalidHandle)
        throw SystemFailure(error);
    error = NativeSocket::Listen(handle, m_localAddress, m_localPort);
    if (error != 0) {
        NativeSocket::Close(handle);
        throw SystemFailure(error);
    }
    // Accepted connections inherit these.
    NativeSocket::SetNoDelay(handle);
    NativeSocket::SetKeepAlive(handle);
    Adopt(handle, State::Listening);
    // Asked once here: every new RIX connection compares its port with it.
    m_listeningPort = NativeSocket::LocalPort(handle);
    m_acceptFailing = false;
}

void SocketObject::Abort()
{
    CloseHandle(true);
}

void SocketObject::Reset()
{
    CloseHandle();
    m_errorCode = 0;
}

int SocketObject::Connect()
{
    if (IsConnected())
        return 0;
    if (m_state == State::Connecting && ConnectAttemptAge() <= ConnectTimeoutMs)
        return 0;
    CloseHandle();

    int error = 0;
    const NativeSocket::Handle handle = NativeSocket::Open(error);
    m_outOfDescriptors = handle == NativeSocket::InvalidHandle && NativeSocket::IsResourceShortage(error);
    if (handle == NativeSocket::InvalidHandle) {
        m_errorCode = error;
        throw SystemFailure(error);
    }
    error = NativeSocket::Connect(handle, m_remoteAddress, m_remotePort);
    if (error != 0) {
        NativeSocket::Close(handle);
        m_errorCode = error;
        return error;
    }
    Adopt(handle, State::Connecting);
    m_keepAliveDue = true;
    m_connectStartedMs = m_clock.MonotonicMs();
    return 0;
}

void SocketObject::KeepAliveIfDue()
{
    if (!m_keepAliveDue || !IsConnected())
        return;
    NativeSocket::SetKeepAlive(m_handle);
    m_keepAliveDue = false;
}

qint64 SocketObject::ConnectAttemptAge() const
{
    return IsConnecting() ? m_clock.MonotonicMs() - m_connectStartedMs : -1;
}

void SocketObject::AcceptHandle(AcceptedHandle accepted)
{
    if (accepted.Get() == NativeSocket::InvalidHandle || accepted.Get() < 0) {
        accepted.Release();
        throw Failure{FailureCode::NotASocket, QStringLiteral("Invalid socket handle")};
    }
    CloseHandle();
#ifndef Q_OS_LINUX
    NativeSocket::SetNoDelay(accepted.Get()); // Linux hands it down from the listening socket
    NativeSocket::SetKeepAlive(accepted.Get());
#endif
    const quint32 peer = accepted.PeerAddress();
    Adopt(accepted.Release(), State::Connected);
    m_peerAddress = peer;
}

void SocketObject::TakeOver(SocketObject& other)
{
    CloseHandle();
    if (other.m_handle == NativeSocket::InvalidHandle)
        return;
    m_handle = std::exchange(other.m_handle, NativeSocket::InvalidHandle);
    const State taken = other.m_state;
    other.SetState(State::Closed);
    SetState(taken);
    m_readable = std::exchange(other.m_readable, false);
    m_paused = std::exchange(other.m_paused, false);
    m_errorCode = other.m_errorCode;
    m_remoteAddress = other.m_remoteAddress;
    m_remotePort = other.m_remotePort;
    m_peerAddress = std::exchange(other.m_peerAddress, 0);
    m_connectStartedMs = other.m_connectStartedMs;
    m_pending.Swap(other.m_pending);
    m_keepAliveDue = std::exchange(other.m_keepAliveDue, false);
    m_paused = false;
    m_backend.Reassign(m_handle, this);
    UpdateInterest();
    if (WantsDataEvent())
        m_backend.Defer(this);
}

QString SocketObject::PeerAddress() const
{
    if (m_handle == NativeSocket::InvalidHandle)
        return {};
    return m_peerAddress != 0 ? NativeSocket::DottedAddress(m_peerAddress) : NativeSocket::PeerAddress(m_handle);
}

qint64 SocketObject::Read(char* buffer, qint64 capacity)
{
    if (m_state != State::Connected && m_state != State::PeerEnded && m_state != State::Broken) {
        m_errorCode = Constants::WouldBlock;
        return 0;
    }
    int error = 0;
    const qint64 n = NativeSocket::Receive(m_handle, buffer, capacity, error);
    if (n > 0) {
        // A short read emptied the kernel's buffer; new data brings a new readiness event. Once the
        // stream has ended no event follows, and only reading on finds the end.
        if (n < capacity && m_state == State::Connected)
            m_readable = false;
        return n;
    }
    m_readable = false;
    m_errorCode = Constants::WouldBlock;
    if (n == 0) {
        SetState(State::Finished);
    } else if (!NativeSocket::IsWouldBlock(error)) {
        SetState(State::Finished);
        m_errorCode = error;
    } else if (m_state != State::Connected) {
        SetState(State::Finished); // a failed connection with nothing left to read
    }
    return 0;
}

qint64 SocketObject::Unacknowledged() const
{
    return IsConnected() ? NativeSocket::Unacknowledged(m_handle) : 0;
}

qint64 SocketObject::Unread() const
{
    return m_handle != NativeSocket::InvalidHandle && m_state != State::Listening ? NativeSocket::Unread(m_handle) : 0;
}

bool SocketObject::MayHaveMore() const
{
    switch (m_state) {
    case State::Connected:
        return m_readable && !m_paused;
    case State::PeerEnded:
        return !m_paused;
    case State::Broken:
        return true;
    default:
        return false;
    }
}

bool SocketObject::Write(QByteArrayView data)
{
    if (!IsConnected())
        return false;
    if (data.isEmpty())
        return true;
    if (PendingOutput() > 0) {
        m_pending.Append(data.data(), data.size());
        return true;
    }
    int error = 0;
    qint64 sent = NativeSocket::Send(m_handle, data.data(), data.size(), error);
    if (sent == data.size())
        return true;
    if (sent < 0) {
        if (!NativeSocket::IsWouldBlock(error)) {
            Break(error);
            return false;
        }
        sent = 0;
    }
    m_pending.Append(data.data() + sent, data.size() - sent);
    UpdateInterest();
    return true;
}

void SocketObject::PauseReading(bool paused)
{
    if (m_paused == paused)
        return;
    m_paused = paused;
    UpdateInterest();
    if (!paused && WantsDataEvent())
        m_backend.Defer(this);
}

void SocketObject::OnReady(int readiness)
{
    switch (m_state) {
    case State::Closed:
    case State::Finished:
        return;
    case State::Listening:
        if (readiness & Readable) {
            m_readable = true;
            if (!m_paused)
                AcceptPending();
        }
        return;
    case State::Connecting:
        if (readiness == 0)
            return;
        // A writable report that the backend would have marked failed says the connection is up.
        FinishConnect((readiness & Writable) && !(readiness & Failed) && m_backend.ReportsFailures());
        if (m_state != State::Connected)
            return;
        break;
    case State::Connected:
    case State::PeerEnded:
    case State::Broken:
        break;
    }
    if (readiness & Readable)
        m_readable = true;
    if ((readiness & PeerEnded) && m_state == State::Connected)
        SetState(State::PeerEnded);
    if (readiness & Failed)
        Break(0);
    if ((readiness & Writable) && PendingOutput() > 0 && IsConnected())
        Flush();
    if (WantsDataEvent())
        DispatchData();
}

void SocketObject::OnDeferred()
{
    if (m_state == State::Listening) {
        if (m_paused) {
            m_paused = false;
            UpdateInterest();
        }
        if (m_readable)
            AcceptPending();
    }
    if (WantsDataEvent())
        DispatchData();
}

void SocketObject::Adopt(NativeSocket::Handle handle, State state)
{
    m_handle = handle;
    SetState(state);
    m_readable = false;
    m_paused = false;
    const int error = m_backend.Add(handle, this, state == State::Listening);
    if (error != 0) {
        // Unwatched, it would never be heard from again: the operation that made it fails instead.
        NativeSocket::Close(handle);
        m_handle = NativeSocket::InvalidHandle;
        SetState(State::Closed);
        throw SystemFailure(error);
    }
    UpdateInterest();
}

void SocketObject::SetState(State state)
{
    const bool had = HasConnection();
    m_state = state;
    if (HasConnection() != had)
        m_owner.ConnectionChanged(m_index, !had);
}

void SocketObject::CloseHandle(bool abortive)
{
    if (m_handle == NativeSocket::InvalidHandle)
        return;
    // Give the peer what the kernel will still take; what it refuses is lost with the connection.
    if (!abortive && IsConnected() && PendingOutput() > 0) {
        int error = 0;
        SendPending(error);
    }
    m_backend.Remove(m_handle);
    m_keepAliveDue = false;
    if (abortive)
        NativeSocket::Abort(m_handle);
    else
        NativeSocket::Close(m_handle);
    m_handle = NativeSocket::InvalidHandle;
    SetState(State::Closed);
    m_readable = false;
    m_paused = false;
    m_pending.Clear();
    m_peerAddress = 0;
}

void SocketObject::AcceptPending()
{
    // The listener is reported for as long as connections wait, so stopping early loses none. While
    // they come one at a time, one accept per report spares the call that would only find none left.
    // While they queue up (a full batch, and the listener reported again on the very next round), the
    // batch doubles.
    if (m_backend.Round() != m_acceptRound + 1)
        m_acceptBatch = 1;
    m_acceptRound = m_backend.Round();
    for (int attempt = 0; attempt < m_acceptBatch; ++attempt) {
        int error = 0;
        quint32 peer = 0;
        quint16 peerPort = 0;
        const NativeSocket::Handle handle = NativeSocket::Accept(m_handle, error, peer, peerPort);
        if (handle == NativeSocket::InvalidHandle) {
            if (NativeSocket::IsWouldBlock(error)) {
                m_readable = false;
                m_acceptBatch = 1;
                return;
            }
            if (NativeSocket::IsConnectionAcceptError(error))
                continue; // that one connection failed before we took it; the next may be fine
            // Out of descriptors, or the listening socket itself failing: the connections wait in the
            // backlog, the listener is not watched meanwhile (a level-triggered notifier would spin),
            // and the failure is reported once until an accept succeeds again.
            m_paused = true;
            UpdateInterest();
            m_backend.Defer(this, NativeSocket::IsResourceShortage(error) ? AcceptRetryMs : AcceptBackOffMs);
            if (!m_acceptFailing) {
                m_acceptFailing = true;
                emit m_owner.AcceptFailed(m_index, error);
            }
            return;
        }
        m_acceptFailing = false;
        m_owner.OfferAccepted(m_index, AcceptedHandle(handle, peer, peerPort));
        if (m_state != State::Listening)
            return;
    }
    m_acceptBatch = std::min(m_acceptBatch * 2, AcceptsPerEvent);
}

void SocketObject::FinishConnect(bool knownConnected)
{
    const int error = knownConnected ? 0 : NativeSocket::TakePendingError(m_handle);
    if (error != 0) {
        CloseHandle();
        m_errorCode = error;
        emit m_owner.ConnectFailed(m_index, error);
        return;
    }
    SetState(State::Connected);
    NativeSocket::SetNoDelay(m_handle);
    UpdateInterest();
    emit m_owner.Connected(m_index);
}

void SocketObject::Break(int error)
{
    if (m_state != State::Connected && m_state != State::PeerEnded)
        return;
    SetState(State::Broken);
    if (error != 0)
        m_errorCode = error;
    // What is left of the pending output is not sent now, but stays counted until the close.
    UpdateInterest();
    // Reading finds how it ended; the readiness report may not come while paused, so ask for a turn.
    m_backend.Defer(this);
}

bool SocketObject::WantsDataEvent() const
{
    return MayHaveMore() || m_state == State::Finished;
}

void SocketObject::DispatchData()
{
    if (m_state != State::Finished)
        emit m_owner.DataArrived(m_index);
    if (m_state == State::Finished) {
        m_unsentAtClose = PendingOutput();
        CloseHandle();
        emit m_owner.Closed(m_index);
    } else if (MayHaveMore()) {
        m_backend.Defer(this); // more is waiting; the other sockets have their turn first
    }
}

bool SocketObject::SendPending(int& error)
{
    NativeSocket::Span parts[PartsPerSend];
    const int count = m_pending.Front(parts, PartsPerSend);
    qint64 offered = 0;
    for (int i = 0; i < count; ++i)
        offered += parts[i].Size;
    const qint64 sent = NativeSocket::SendParts(m_handle, parts, count, error);
    if (sent <= 0)
        return false;
    m_pending.Consume(sent);
    return sent == offered;
}

void SocketObject::Flush()
{
    // Until the kernel takes less than it is offered: with edge-triggered readiness, only then does
    // another event come.
    while (PendingOutput() > 0) {
        int error = 0;
        if (SendPending(error))
            continue;
        if (error != 0 && !NativeSocket::IsWouldBlock(error))
            Break(error);
        return;
    }
    UpdateInterest();
    emit m_owner.OutputDrained(m_index);
}

void SocketObject::UpdateInterest()
{
    if (m_handle == NativeSocket::InvalidHandle)
        return;
    const bool wantRead = m_state != State::Connecting && (!m_paused || m_state == State::Broken);
    const bool wantWrite = m_state == State::Connecting || (PendingOutput() > 0 && IsConnected());
    m_backend.SetInterest(m_handle, wantRead, wantWrite);
}

SocketArray::SocketArray(ReadinessBackend& backend, const Clock& clock, QObject* parent)
    : QObject(parent)
    , m_backend(backend)
    , m_clock(clock)
{
    Add();
}

SocketArray::~SocketArray() = default;

SocketObject& SocketArray::operator()(int index)
{
    if (index < 0 || index >= Count())
        throw Failure{FailureCode::SubscriptOutOfRange, QStringLiteral("Socket object %1 does not exist").arg(index)};
    return *m_objects[size_t(index)];
}

void SocketArray::OfferAccepted(int index, AcceptedHandle accepted)
{
    emit Accept(index, accepted);
}

int SocketArray::Add()
{
    const int index = Count();
    m_objects.push_back(std::make_unique<SocketObject>(*this, index, m_backend, m_clock));
    if (index > 0)
        m_free.Insert(index);
    return index;
}

int SocketArray::LowestFree() const
{
    return m_free.Lowest();
}

void SocketArray::ConnectionChanged(int index, bool held)
{
    if (index == 0)
        return;
    if (held)
        m_free.Erase(index);
    else
        m_free.Insert(index);
}
