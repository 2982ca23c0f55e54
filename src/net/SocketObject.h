#pragma once

#include "net/NativeSocket.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <memory>
#include <vector>

class ReadinessBackend;
class SocketArray;

// One TCP endpoint over one non-blocking descriptor. It never blocks; progress comes back as the
// events of its SocketArray, each carrying this object's index. Objects are reused, never replaced:
// closing one and connecting it again is the normal life of a slot's socket.
class SocketObject {
public:
    SocketObject(SocketArray& owner, int index, ReadinessBackend& backend);
    ~SocketObject();
    SocketObject(const SocketObject&) = delete;
    SocketObject& operator=(const SocketObject&) = delete;

    int Index() const { return m_index; }

    // Where the next Connect goes, and which port the next listen uses. Bad values throw Failure.
    void SetRemoteAddress(const QString& dottedAddress);
    void SetRemotePort(int port);
    void SetLocalPort(int port);
    // The port actually listened on (the system's choice when 0 was asked for).
    int LocalPort() const;

    // 3 = listen on LocalPort, 7 = close. A listen that fails throws Failure.
    void Command(int code);
    // Drops any half-done state after a close; harmless at any time.
    void Reset();

    // Starts connecting to RemoteAddress:RemotePort. 0 = under way (an attempt already under way
    // counts, unless it is older than the connect timeout, when it is started afresh; an object that
    // is connected keeps its connection and answers 0); any other value is the system's refusal.
    // A descriptor that cannot be created throws Failure.
    int Connect();
    bool IsConnected() const { return m_state == State::Connected; }
    // The last Connect could not even get a descriptor: the process has run out of them.
    bool OutOfDescriptors() const { return m_outOfDescriptors; }
    bool IsConnecting() const { return m_state == State::Connecting; }
    // How long the connection attempt under way has been going, in ms; -1 when there is none.
    qint64 ConnectAttemptAge() const { return IsConnecting() ? m_connectStarted.elapsed() : -1; }
    bool IsListening() const { return m_state == State::Listening; }

    // Takes over a connection handed out by the accept event. Throws Failure for a bad handle.
    void AcceptHandle(NativeSocket::Handle handle);
    QString PeerAddress() const;

    // Reads what is waiting into the buffer: >0 bytes read; 0 nothing read, and ErrorCode() says
    // why (Constants::WouldBlock when nothing more is waiting, the system's code on a failed read).
    // When the peer has ended the stream or the connection failed, the closed event follows once
    // the data event's handler returns.
    qint64 Read(char* buffer, qint64 capacity);
    int ErrorCode() const { return m_errorCode; }

    // Sends at once what the kernel takes; the rest waits in this object's pending output, in order,
    // and goes out as the socket drains. False when the object is not connected or its connection
    // has failed: nothing was taken.
    bool Write(QByteArrayView data);
    qint64 PendingOutput() const { return m_pending.size() - m_pendingSent; }

    // While paused the object raises no data events; the bytes stay in the kernel and TCP pushes back.
    void PauseReading(bool paused);
    bool IsReadingPaused() const { return m_paused; }

    // Called by the readiness backend. hungUp: the connection is gone (reset, or closed both ways),
    // which is dealt with even while reading is paused.
    void OnReady(bool readable, bool writable, bool hungUp = false);
    void OnDeferred();

    // How long a connection attempt may stay under way before the next Connect starts it afresh.
    static constexpr int ConnectTimeoutMs = 5000;

private:
    enum class State : quint8 { Closed, Listening, Connecting, Connected };

    void Adopt(NativeSocket::Handle handle, State state);
    void CloseHandle();
    void AcceptPending();
    void FinishConnect();
    void DispatchData();
    void Flush();
    void UpdateInterest();

    SocketArray& m_owner;
    ReadinessBackend& m_backend;
    int m_index;
    NativeSocket::Handle m_handle = NativeSocket::InvalidHandle;
    State m_state = State::Closed;
    bool m_readable = false; // the kernel may hold unread bytes (or a pending connection)
    bool m_peerClosed = false; // end of stream or a failed connection: the closed event is due
    bool m_paused = false;
    bool m_hungUp = false;
    bool m_writeFailed = false;
    bool m_outOfDescriptors = false;
    int m_errorCode = 0;
    quint32 m_remoteAddress = 0;
    quint16 m_remotePort = 0;
    quint16 m_localPort = 0;
    quint32 m_peerAddress = 0; // known from the accept; 0 when it must be asked for
    QElapsedTimer m_connectStarted;
    QByteArray m_pending;
    qsizetype m_pendingSent = 0;
};

// A growable array of socket objects (wscktClient, wsktServer). Element 0 exists from the start;
// elements are added at the end and kept. Its signals are the events of every element.
class SocketArray : public QObject {
    Q_OBJECT
public:
    explicit SocketArray(ReadinessBackend& backend, QObject* parent = nullptr);
    ~SocketArray() override;

    // The element at index; a missing one is a failure of the caller (throws Failure).
    SocketObject& operator()(int index);
    int Count() const { return int(m_objects.size()); }
    // Adds one element at the end and returns its index.
    int Add();

signals:
    void Accept(int index, qintptr handle);
    void Connected(int index);
    void ConnectFailed(int index, int errorCode);
    void DataArrived(int index);
    void Closed(int index);
    // The object's pending output has all gone out.
    void OutputDrained(int index);

private:
    friend class SocketObject;

    ReadinessBackend& m_backend;
    std::vector<std::unique_ptr<SocketObject>> m_objects;
    // Set while an accept event is delivered: the handle nobody has adopted yet, and its peer.
    NativeSocket::Handle m_unadoptedHandle = NativeSocket::InvalidHandle;
    quint32 m_unadoptedPeer = 0;
};
