#include "net/SocketObject.h"

#include "core/Constants.h"
#include "core/Failure.h"
#include "net/ReadinessBackend.h"

#include <QStringList>

namespace {

// Accepts handled per readiness event before the listener yields to the other sockets.
constexpr int AcceptsPerEvent = 64;
// How long to wait before accepting again when the process has run out of descriptors.
constexpr int AcceptRetryMs = 250;

Failure SystemFailure(int error)
{
    return Failure{error, NativeSocket::ErrorText(error)};
}

// Exactly four decimal parts of 0..255: "1.2.3" or "010.0.0.1" are not taken in some looser sense.
bool ParseDottedIPv4(const QString& text, quint32& address)
{
    const QStringList parts = text.split(u'.');
    if (parts.size() != 4)
        return false;
    address = 0;
    for (const QString& part : parts) {
        bool ok = false;
        const uint value = part.toUInt(&ok, 10);
        if (!ok || part.isEmpty() || part.size() > 3 || value > 255 || !part.front().isDigit())
            return false;
        address = (address << 8) | value;
    }
    return true;
}

quint16 CheckedPort(int port)
{
    if (port < 0 || port > 65535)
        throw Failure{10049, QStringLiteral("Invalid port number %1").arg(port)};
    return quint16(port);
}

} // namespace

SocketObject::SocketObject(SocketArray& owner, int index, ReadinessBackend& backend)
    : m_owner(owner)
    , m_backend(backend)
    , m_index(index)
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
        throw Failure{10049, QStringLiteral("Invalid IPv4 address \"%1\"").arg(dottedAddress)};
    m_remoteAddress = address;
}

void SocketObject::SetRemotePort(int port)
{
    m_remotePort = CheckedPort(port);
}

void SocketObject::SetLocalPort(int port)
{
    m_localPort = CheckedPort(port);
}

int SocketObject::LocalPort() const
{
    return m_state == State::Listening ? NativeSocket::LocalPort(m_handle) : m_localPort;
}

void SocketObject::Command(int code)
{
    if (code == Constants::CommandClose) {
        CloseHandle();
        return;
    }
    if (code != Constants::CommandListen)
        throw Failure{380, QStringLiteral("Invalid socket command %1").arg(code)};

    CloseHandle();
    int error = 0;
    const NativeSocket::Handle handle = NativeSocket::Open(error);
    if (handle == NativeSocket::InvalidHandle)
        throw SystemFailure(error);
    error = NativeSocket::Listen(handle, m_localPort);
    if (error != 0) {
        NativeSocket::Close(handle);
        throw SystemFailure(error);
    }
    NativeSocket::SetNoDelay(handle); // accepted connections inherit it
    Adopt(handle, State::Listening);
}

void SocketObject::Reset()
{
    CloseHandle();
    m_errorCode = 0;
}

int SocketObject::Connect()
{
    if (m_state == State::Connected)
        return 0;
    if (m_state == State::Connecting && !m_connectStarted.hasExpired(ConnectTimeoutMs))
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
    m_connectStarted.start();
    return 0;
}

void SocketObject::AcceptHandle(NativeSocket::Handle handle)
{
    if (handle == NativeSocket::InvalidHandle || handle < 0)
        throw Failure{10038, QStringLiteral("Invalid socket handle")};
    const quint32 peer = m_owner.m_unadoptedHandle == handle ? m_owner.m_unadoptedPeer : 0;
    if (m_owner.m_unadoptedHandle == handle)
        m_owner.m_unadoptedHandle = NativeSocket::InvalidHandle;
    CloseHandle();
#ifndef Q_OS_LINUX
    NativeSocket::SetNoDelay(handle); // Linux hands it down from the listening socket
#endif
    Adopt(handle, State::Connected);
    m_peerAddress = peer;
}

QString SocketObject::PeerAddress() const
{
    if (m_handle == NativeSocket::InvalidHandle)
        return {};
    return m_peerAddress != 0 ? NativeSocket::DottedAddress(m_peerAddress) : NativeSocket::PeerAddress(m_handle);
}

qint64 SocketObject::Read(char* buffer, qint64 capacity)
{
    if (m_state != State::Connected || m_peerClosed) {
        m_errorCode = Constants::WouldBlock;
        return 0;
    }
    int error = 0;
    const qint64 n = NativeSocket::Receive(m_handle, buffer, capacity, error);
    if (n > 0) {
        // A short read emptied the kernel's buffer; new data brings a new readiness event. Not after a
        // hang-up: no event follows that, and only reading on says how the connection ended.
        if (n < capacity && !m_hungUp)
            m_readable = false;
        return n;
    }
    m_readable = false;
    if (n == 0) {
        m_peerClosed = true;
        m_errorCode = Constants::WouldBlock;
    } else if (NativeSocket::IsWouldBlock(error)) {
        m_errorCode = Constants::WouldBlock;
    } else {
        m_peerClosed = true;
        m_errorCode = error;
    }
    return 0;
}

bool SocketObject::Write(QByteArrayView data)
{
    if (m_state != State::Connected || m_writeFailed)
        return false;
    if (data.isEmpty())
        return true;
    if (PendingOutput() > 0) {
        m_pending.append(data);
        return true;
    }
    int error = 0;
    qint64 sent = NativeSocket::Send(m_handle, data.data(), data.size(), error);
    if (sent == data.size())
        return true;
    if (sent < 0) {
        if (!NativeSocket::IsWouldBlock(error)) {
            // The connection is broken; its readiness event brings the closed event.
            m_writeFailed = true;
            m_errorCode = error;
            return false;
        }
        sent = 0;
    }
    m_pending = QByteArray(data.data() + sent, data.size() - sent);
    m_pendingSent = 0;
    UpdateInterest();
    return true;
}

void SocketObject::PauseReading(bool paused)
{
    if (m_paused == paused)
        return;
    m_paused = paused;
    UpdateInterest();
    if (!paused && m_readable)
        m_backend.Defer(this);
}

void SocketObject::OnReady(bool readable, bool writable, bool hungUp)
{
    switch (m_state) {
    case State::Closed:
        return;
    case State::Listening:
        if (readable) {
            m_readable = true;
            if (!m_paused)
                AcceptPending();
        }
        return;
    case State::Connecting:
        if (!readable && !writable)
            return;
        FinishConnect();
        if (m_state != State::Connected)
            return;
        break;
    case State::Connected:
        break;
    }
    if (readable)
        m_readable = true;
    if (hungUp)
        m_hungUp = true;
    if (writable && PendingOutput() > 0)
        Flush();
    if (m_state == State::Connected && (m_readable || m_peerClosed) && (!m_paused || m_hungUp))
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
    if (m_state == State::Connected && (m_readable || m_peerClosed) && (!m_paused || m_hungUp))
        DispatchData();
}

void SocketObject::Adopt(NativeSocket::Handle handle, State state)
{
    m_handle = handle;
    m_state = state;
    m_readable = false;
    m_peerClosed = false;
    m_writeFailed = false;
    m_paused = false;
    m_hungUp = false;
    m_backend.Add(handle, this);
    UpdateInterest();
}

void SocketObject::CloseHandle()
{
    if (m_handle == NativeSocket::InvalidHandle)
        return;
    // Give the peer what the kernel will still take; what it refuses is lost with the connection.
    if (m_state == State::Connected && !m_writeFailed && PendingOutput() > 0) {
        int error = 0;
        NativeSocket::Send(m_handle, m_pending.constData() + m_pendingSent, PendingOutput(), error);
    }
    m_backend.Remove(m_handle);
    NativeSocket::Close(m_handle);
    m_handle = NativeSocket::InvalidHandle;
    m_state = State::Closed;
    m_readable = false;
    m_peerClosed = false;
    m_writeFailed = false;
    m_paused = false;
    m_hungUp = false;
    m_pending = QByteArray();
    m_pendingSent = 0;
    m_peerAddress = 0;
}

void SocketObject::AcceptPending()
{
    for (int accepted = 0; accepted < AcceptsPerEvent; ++accepted) {
        int error = 0;
        quint32 peer = 0;
        const NativeSocket::Handle handle = NativeSocket::Accept(m_handle, error, peer);
        if (handle == NativeSocket::InvalidHandle) {
            if (NativeSocket::IsWouldBlock(error)) {
                m_readable = false;
            } else if (NativeSocket::IsResourceShortage(error)) {
                // The connection waits in the backlog until a descriptor is free again; meanwhile
                // the listener is not watched, or a level-triggered notifier would spin.
                m_paused = true;
                UpdateInterest();
                m_backend.Defer(this, AcceptRetryMs);
            } else {
                continue; // that one connection failed before we took it; the next may be fine
            }
            return;
        }
        // Whoever receives the handle owns it; if nobody adopts it, it is closed here.
        m_owner.m_unadoptedHandle = handle;
        m_owner.m_unadoptedPeer = peer;
        emit m_owner.Accept(m_index, handle);
        if (m_owner.m_unadoptedHandle == handle)
            NativeSocket::Close(handle);
        m_owner.m_unadoptedHandle = NativeSocket::InvalidHandle;
        if (m_state != State::Listening)
            return;
    }
    m_backend.Defer(this);
}

void SocketObject::FinishConnect()
{
    const int error = NativeSocket::TakePendingError(m_handle);
    if (error != 0) {
        CloseHandle();
        m_errorCode = error;
        emit m_owner.ConnectFailed(m_index, error);
        return;
    }
    m_state = State::Connected;
    NativeSocket::SetNoDelay(m_handle);
    UpdateInterest();
    emit m_owner.Connected(m_index);
}

void SocketObject::DispatchData()
{
    if (!m_peerClosed)
        emit m_owner.DataArrived(m_index);
    if (m_state != State::Connected)
        return; // the handler closed it
    if (m_peerClosed) {
        CloseHandle();
        emit m_owner.Closed(m_index);
    } else if (m_readable && (!m_paused || m_hungUp)) {
        // More is waiting; let the other sockets have their turn first. A connection that is gone is
        // read to its end even while paused, so its slot is freed however slow the other side is.
        m_backend.Defer(this);
    }
}

void SocketObject::Flush()
{
    int error = 0;
    const qint64 sent = NativeSocket::Send(m_handle, m_pending.constData() + m_pendingSent, PendingOutput(), error);
    if (sent < 0) {
        if (!NativeSocket::IsWouldBlock(error)) {
            m_writeFailed = true;
            m_errorCode = error;
            m_peerClosed = true;
            m_pending = QByteArray();
            m_pendingSent = 0;
        }
        return;
    }
    m_pendingSent += sent;
    if (PendingOutput() > 0) {
        // Keep the unsent tail at the front once most of the buffer has gone out.
        if (m_pendingSent > m_pending.size() / 2) {
            m_pending.remove(0, m_pendingSent);
            m_pendingSent = 0;
        }
        return;
    }
    m_pending = QByteArray();
    m_pendingSent = 0;
    UpdateInterest();
    emit m_owner.OutputDrained(m_index);
}

void SocketObject::UpdateInterest()
{
    if (m_handle == NativeSocket::InvalidHandle)
        return;
    const bool wantRead = m_state != State::Connecting && !m_paused;
    const bool wantWrite = m_state == State::Connecting || PendingOutput() > 0;
    m_backend.SetInterest(m_handle, wantRead, wantWrite);
}

SocketArray::SocketArray(ReadinessBackend& backend, QObject* parent)
    : QObject(parent)
    , m_backend(backend)
{
    Add();
}

SocketArray::~SocketArray() = default;

SocketObject& SocketArray::operator()(int index)
{
    if (index < 0 || index >= Count())
        throw Failure{9, QStringLiteral("Socket object %1 does not exist").arg(index)};
    return *m_objects[size_t(index)];
}

int SocketArray::Add()
{
    const int index = Count();
    m_objects.push_back(std::make_unique<SocketObject>(*this, index, m_backend));
    return index;
}
