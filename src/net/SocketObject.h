#pragma once

#include "core/IndexSet.h"
#include "net/NativeSocket.h"
#include "net/OutputQueue.h"
#include "net/ReadinessBackend.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QString>

#include <memory>
#include <vector>

class Clock;
class ReadinessBackend;
class SocketArray;

// A connection handed out by the accept event, owned: move-only, and closed when it goes away unless a
// socket object has adopted it, even when the accept fails half-way.
class AcceptedHandle {
public:
    AcceptedHandle() = default;
    AcceptedHandle(NativeSocket::Handle handle, quint32 peerAddress, quint16 peerPort)
        : m_handle(handle)
        , m_peerAddress(peerAddress)
        , m_peerPort(peerPort)
    {
    }
    AcceptedHandle(AcceptedHandle&& other) noexcept
        : m_handle(other.Release())
        , m_peerAddress(other.m_peerAddress)
        , m_peerPort(other.m_peerPort)
    {
    }
    AcceptedHandle& operator=(AcceptedHandle&& other) noexcept;
    AcceptedHandle(const AcceptedHandle&) = delete;
    AcceptedHandle& operator=(const AcceptedHandle&) = delete;
    ~AcceptedHandle();

    NativeSocket::Handle Get() const { return m_handle; }
    quint32 PeerAddress() const { return m_peerAddress; }
    quint16 PeerPort() const { return m_peerPort; }
    // Gives up ownership: the caller closes it from now on.
    NativeSocket::Handle Release();

private:
    NativeSocket::Handle m_handle = NativeSocket::InvalidHandle;
    quint32 m_peerAddress = 0;
    quint16 m_peerPort = 0;
};

// One TCP endpoint over one non-blocking descriptor. It never blocks; progress comes back as the
// events of its SocketArray, each carrying this object's index. Objects are reused, never replaced:
// closing one and connecting it again is the normal life of a slot's socket.
class SocketObject final : public ReadinessTarget {
public:
    SocketObject(SocketArray& owner, int index, ReadinessBackend& backend, const Clock& clock);
    ~SocketObject();
    SocketObject(const SocketObject&) = delete;
    SocketObject& operator=(const SocketObject&) = delete;

    int Index() const { return m_index; }

    // Where the next Connect goes, and which port the next listen uses. Bad values throw Failure.
    void SetRemoteAddress(const QString& dottedAddress);
    void SetRemotePort(int port);
    void SetLocalPort(int port);
    // Which local address the next listen binds: dotted IPv4, or empty for every local address.
    void SetLocalAddress(const QString& dottedAddress);
    // The port actually listened on (the system's choice when 0 was asked for).
    int LocalPort() const;

    // 3 = listen on LocalPort, 7 = close. A listen that fails throws Failure.
    void Command(int code);
    // Ends the connection at once with a reset: nothing more is sent, and what waited for the peer,
    // here or in the kernel, is thrown away. No event follows.
    void Abort();
    // Drops any half-done state after a close; harmless at any time.
    void Reset();

    // Starts connecting to RemoteAddress:RemotePort. 0 = under way (an attempt already under way
    // counts, unless it is older than the connect timeout, when it is started afresh; an object that
    // is connected keeps its connection and answers 0); any other value is the system's refusal.
    // A descriptor that cannot be created or watched throws Failure.
    int Connect();
    // Keepalive probes and the user timeout (NativeSocket::SetKeepAlive) on a connection this object
    // made, once it is up; the owner calls this on its once-a-second tick. Both only matter to a
    // connection that lives long enough to fall silent for a minute, so a short one is spared the four
    // calls. Accepted connections have them from the listener.
    void KeepAliveIfDue();
    // Open both ways, or the peer has ended its stream and what it sent before is still being read.
    bool IsConnected() const { return m_state == State::Connected || m_state == State::PeerEnded; }
    // The object holds a connection, or an attempt at one, in whatever state.
    bool HasConnection() const { return m_state != State::Closed && m_state != State::Listening; }
    // The last Connect could not even get a descriptor: the process has run out of them.
    bool OutOfDescriptors() const { return m_outOfDescriptors; }
    bool IsConnecting() const { return m_state == State::Connecting; }
    // How long the connection attempt under way has been going, in ms; -1 when there is none.
    qint64 ConnectAttemptAge() const;
    bool IsListening() const { return m_state == State::Listening; }
    // The connection has failed (a reset, say) and what the kernel still holds is being read.
    bool IsBroken() const { return m_state == State::Broken; }
    // The descriptor, for the socket options a test looks at; InvalidHandle when closed.
    NativeSocket::Handle Descriptor() const { return m_handle; }

    // Takes over another object's connection in whatever state, with its pending output; the other
    // object is left closed, with no event.
    void TakeOver(SocketObject& other);

    // Takes over a connection handed out by the accept event. Throws Failure for a bad handle, or
    // one that cannot be watched (it is closed then).
    void AcceptHandle(AcceptedHandle accepted);
    QString PeerAddress() const;

    // Reads what is waiting into the buffer: >0 bytes read; 0 nothing read, and ErrorCode() says
    // why (Constants::WouldBlock when nothing more is waiting or the stream has ended, the system's
    // code on a failed read). Once the end has been read, the closed event follows as soon as the
    // data event's handler returns.
    qint64 Read(char* buffer, qint64 capacity);
    // The kernel may hold more for Read: a handler reads until this turns false (or it yields).
    bool MayHaveMore() const;
    int ErrorCode() const { return m_errorCode; }
    // Pending output that had not gone out when the connection ended with the closed event: lost.
    qint64 UnsentAtClose() const { return m_unsentAtClose; }

    // Sends at once what the kernel takes; the rest waits in this object's pending output, in order,
    // and goes out as the socket drains. False when the object is not connected or its connection
    // has failed: nothing was taken.
    bool Write(QByteArrayView data);
    qint64 PendingOutput() const { return m_pending.Size(); }
    // Bytes the kernel has taken for the peer that the peer has not acknowledged yet.
    qint64 Unacknowledged() const;
    // Bytes the kernel has received from the peer that have not been read.
    qint64 Unread() const;

    // While paused the object raises no data events; the bytes stay in the kernel and TCP pushes back.
    // A connection that fails (a reset) is read to its end even while paused.
    void PauseReading(bool paused);
    bool IsReadingPaused() const { return m_paused; }

    void OnReady(int readiness) override;
    void OnDeferred() override;

    // How long a connection attempt may stay under way before the next Connect starts it afresh.
    static constexpr int ConnectTimeoutMs = 5000;

private:
    // One state per object; the closed event is raised on the way from PeerEnded or Broken through
    // Finished to Closed, exactly once, after the data event that read the end.
    enum class State : quint8 {
        Closed, // no descriptor
        Listening,
        Connecting,
        Connected,
        PeerEnded, // the peer has ended its stream: read on to the end
        Broken, // reset or failed: read to the end, even while paused
        Finished, // the end has been read: the closed event is due
    };

    void Adopt(NativeSocket::Handle handle, State state);
    void CloseHandle(bool abortive = false);
    void AcceptPending();
    void FinishConnect(bool knownConnected);
    // The connection failed on a write or a readiness report: it is read to its end and closed.
    void Break(int error);
    bool WantsDataEvent() const;
    void DispatchData();
    // One gathered send from the front of the pending output; true when the kernel took all it was
    // offered, false when it took less or failed (error set).
    bool SendPending(int& error);
    void Flush();
    void UpdateInterest();
    // Every change of state goes through here, so that the array knows which elements are free.
    void SetState(State state);

    SocketArray& m_owner;
    ReadinessBackend& m_backend;
    const Clock& m_clock;
    int m_index;
    NativeSocket::Handle m_handle = NativeSocket::InvalidHandle;
    State m_state = State::Closed;
    bool m_readable = false; // the kernel may hold unread bytes (or a pending connection)
    bool m_paused = false;
    bool m_outOfDescriptors = false;
    bool m_keepAliveDue = false; // made here, and KeepAliveIfDue has not set it up yet
    // An accept failure has been reported and has not cleared yet: once until an accept succeeds again,
    // however long that takes, not once per period.
    bool m_acceptFailing = false;
    qint64 m_unsentAtClose = 0;
    int m_errorCode = 0;
    int m_acceptBatch = 1; // accepts tried per report; grows while connections queue up
    quint64 m_acceptRound = 0; // the backend's round of the last accept
    quint32 m_remoteAddress = 0;
    quint16 m_remotePort = 0;
    quint16 m_localPort = 0;
    quint16 m_listeningPort = 0; // the port actually listened on (the system's choice for 0)
    quint32 m_localAddress = 0;
    quint32 m_peerAddress = 0; // known from the accept; 0 when it must be asked for
    qint64 m_connectStartedMs = 0; // on the clock's steady time
    OutputQueue m_pending;
};

// A growable array of socket objects (wscktClient, wsktServer). Element 0 exists from the start;
// elements are added at the end and kept. Its signals are the events of every element.
class SocketArray : public QObject {
    Q_OBJECT
public:
    // Every element measures its connection attempts on clock.
    SocketArray(ReadinessBackend& backend, const Clock& clock, QObject* parent = nullptr);
    ~SocketArray() override;

    // The element at index; a missing one is a failure of the caller (throws Failure).
    SocketObject& operator()(int index);
    int Count() const { return int(m_objects.size()); }
    // Adds one element at the end and returns its index.
    int Add();
    // The lowest element from 1 on that has no connection (HasConnection is false), or -1 when every
    // one has. Element 0 is the listener's and never counts. It answers in a few steps at any size.
    int LowestFree() const;

signals:
    // A connection is waiting to be adopted, with its peer's IPv4 address: a receiver adopts it by
    // moving it out (SocketObject::AcceptHandle); one nobody adopts closes when the event is over.
    // It has one direct receiver, the owner of the slots: what is moved out is gone for any other.
    void Accept(int index, AcceptedHandle& accepted);
    // Accepting failed for a reason other than one connection's own; reported once until it clears.
    void AcceptFailed(int index, int errorCode);
    void Connected(int index);
    void ConnectFailed(int index, int errorCode);
    void DataArrived(int index);
    void Closed(int index);
    // The object's pending output has all gone out.
    void OutputDrained(int index);

private:
    friend class SocketObject;

    // Raises the accept event for a connection; what nobody adopts is closed when it returns.
    void OfferAccepted(int index, AcceptedHandle accepted);
    // An element took a connection (held) or let its connection go.
    void ConnectionChanged(int index, bool held);

    ReadinessBackend& m_backend;
    const Clock& m_clock;
    // Before the objects: they tell it of their last close as they are destroyed.
    IndexSet m_free; // the elements from 1 on without a connection
    std::vector<std::unique_ptr<SocketObject>> m_objects;
};
