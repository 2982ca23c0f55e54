#pragma once

#include "core/Failure.h"
#include "core/ReportThrottle.h"
#include "net/ClientAdmission.h"
#include "net/DrainingPool.h"
#include "net/LinkWatch.h"
#include "net/LoginString.h"
#include "net/ReadinessBackend.h"
#include "net/SocketObject.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QTimer>

#include <memory>

class DataLog;
struct ConnectionRecord;
class ErrorReporter;
class EventLog;
class RuntimeState;
class StatusView;

// The relay: both socket arrays, their event handlers, the reconnect poll and the write paths.
// Everything runs on the main thread, one event at a time. Each handler catches its own failures
// and reports them once; none lets an exception reach Qt.
class Relay final : public QObject {
    Q_OBJECT
    // First, so that it outlives the socket objects registered with it.
    std::unique_ptr<ReadinessBackend> m_backend;
    // Reports that peers can cause, each kind written at most once a minute; before the draining pool,
    // which reports through it.
    ReportThrottle m_peerReports;

public:
    Relay(RuntimeState& state, StatusView& view, ErrorReporter& errors, EventLog& events, DataLog& data,
          ReadinessBackend::Kind backendKind = ReadinessBackend::DefaultKind(), QObject* parent = nullptr);
    ~Relay() override;

    SocketArray wscktClient;
    SocketArray wsktServer;
    QTimer tmrPoll;
    // The listener's address, the allow-list and the cap; set before start-up.
    ClientAdmission Admission;
    // RIX connections that still deliver what a client handed over before it left.
    DrainingPool Draining;

    // Above this many bytes waiting for one side (unsent output, or client bytes waiting for the RIX
    // connection), the relay stops reading from the other. The kernel's socket buffers hold megabytes
    // besides, so a longer queue here buys no speed.
    static constexpr qint64 PendingOutputBound = 256 * 1024;
    // Above this many bytes waiting across all connections, the relay stops reading from every source
    // whose destination already has bytes waiting, and reads at most one chunk from any other.
    static constexpr qint64 DefaultTotalPendingBound = 64 * 1024 * 1024;
    void SetTotalPendingBound(qint64 bytes) { m_totalPendingBound = bytes; }
    // Bytes waiting across all connections, those of the draining pool included (what the kernel holds
    // for the RIX there, too: it has been taken from clients and is not delivered yet).
    qint64 PendingTotal() const
    {
        return m_backend->OutputChunks().QueuedBytes() + m_clientDataBytes + Draining.HeldOutsideQueues();
    }
    // The one read buffer of the program: every read lands here first.
    static constexpr qsizetype ReadBufferSize = 256 * 1024;
    // Reads taken from one socket per data event before the other sockets get their turn.
    static constexpr int ReadsPerEvent = 16;
    // The poll keeps the RIX connection up for every slot with a client, and for this many of the
    // lowest free slots: a warm start for the next clients, without holding idle RIX sessions.
    static constexpr int WarmSlots = 4;
    // At an orderly shutdown, the time all sockets with queued output get in total to drain.
    static constexpr int ShutdownDrainMs = 2000;

    // The steps the start-up and shutdown sequences take on the sockets. Those that report their
    // own failures return normally; the others throw Failure.
    // The name stays from the system: our sockets need no set-up, so it only checks the element exists.
    void SetupClientSocket(int index);
    void SetupServerSocket(int index);
    // Makes wscktClient(0) listen on the port (throws when it cannot).
    void ListenForClients(int port);
    // Counts a new slot, creates its two socket objects and grows the tables (throws on overflow).
    int CreateSlot();
    void ConnectToSwitcher(int index);
    void ConnectToClient(int index);
    // Closes every slot's sockets, slot 0 included, lowest first (throws when a close fails). What is
    // queued for a peer gets ShutdownDrainMs in all to go out first.
    void CloseAllSockets();

    // The reconnect poll: one tick.
    void OnPollTick();

    // After the client port, address or mode changed: every client connection ends (logged and shown
    // as a client leaving), and the client side follows the new settings: a listener on the new port,
    // or slot 1 connecting out. The poll makes the new connections.
    void CloseClientSide();
    // After the RIX port or address changed: every connected RIX side re-connects at once.
    void ReconnectRixSide();

    // Whether RIX connections can be made, and in connect mode the connection to the client.
    const LinkWatch& RixLink() const { return m_rixLink; }
    const LinkWatch& ClientLink() const { return m_clientLink; }
    // Why the client listener could not be opened when last tried (the system's words); empty once
    // it listens.
    const QString& ListenFailure() const { return m_listenFailure; }

    // Clients accepted while the relay had no room, not read yet.
    int WaitingForRoom() const { return m_waitingForRoom; }

    // Sending.
    void WriteToClient(int slot, QByteArrayView data);
    void ForwardToClient(int slot, char* data, qsizetype size);
    void ForwardToRix(int slot, QByteArrayView burst);

private:
    enum class Side { Client, Rix };

    void OnClientAccept(int index, qintptr handle, quint32 peerAddress);
    // False when the client is to be closed at once, before it has a slot or a greeting: it is not
    // on the allow-list (an event-log line, at most once a minute per address), or the cap is met
    // (one error-log line per episode at the cap).
    bool AdmitClient(quint32 peerAddress);
    void OnClientAcceptFailed(int index, int errorCode);
    void OnClientConnected(int index);
    void OnClientConnectFailed(int index, int errorCode);
    void OnClientDataArrived(int index);
    void OnClientClosed(int index);
    void OnClientDrained(int index);
    void OnRixConnected(int index);
    void OnRixConnectFailed(int index, int errorCode);
    void OnRixDataArrived(int index);
    void OnRixClosed(int index);
    void OnRixDrained(int index);

    // The one read loop of both sides: reads until the socket has nothing more (or has had its share
    // of this turn); each read is one burst, handled straight from the shared buffer.
    void ReadBursts(Side side, int slot);
    // A failed read: a client's reset is the client leaving, anything else is written, with the peer's
    // address, at most once a minute.
    void ReportFailedRead(Side side, int slot, int error);
    // What was read from a reset peer past the total bound and thrown away, with its count.
    void ReportDroppedAfterReset(Side side, int slot);
    void OnClientBurst(int slot, char* data, qsizetype size);
    void OnRixBurst(int slot, char* data, qsizetype size);
    // A burst from the RIX that the login filter lets through: logged, shown and sent to the client.
    void RelayRixBurst(int slot, char* data, qsizetype size);
    // What the login filter holds for the slot goes to the client as it is.
    void RelayHeldLogin(int slot);
    void OnLoginHoldExpired();

    // A slot's client has gone: logged, counted, shown, and both of the slot's sockets closed; the
    // RIX side goes to the draining pool when bytes for the RIX are still on their way.
    void DropClient(int slot);
    // The slot's RIX connection leaves the slot: to the draining pool, with the client bytes given,
    // while anything for the RIX is not yet acknowledged (queued here or held by the kernel); else it
    // closes. Returns the client bytes it could not take (there is no connection to take them).
    QByteArray LetRixSideGo(int slot, QByteArray clientBytes);
    // Room for more waiting bytes: under the total bound, and the draining pool not full.
    bool HasRoom() const { return PendingTotal() < m_totalPendingBound && !Draining.IsFull(); }
    void SetWaitingForRoom(int slot, bool waiting);
    // Lets clients that wait for room be read, as many as the room left holds at their bound each.
    void AdmitWaitingClients();
    // At shutdown: a socket with bytes its peer never acknowledged is reset, and the count reported.
    void CountUndelivered(int slot);
    // A connection attempt of one side failed: the first failure after the link was up (or the first
    // of all) begins an outage, written once to the error log and the journal with the address and the
    // cause; nothing more is written while it lasts.
    void LinkFailed(Side side, const Failure& failure);
    // A connection of that side completed: an outage ends, written once with how long it lasted.
    void LinkUp(Side side);
    // An attempt under way has had no answer for too long, and began after the link last changed.
    bool AttemptTimedOut(const SocketObject& socket, const LinkWatch& link) const;
    // The RIX address and port lead back to our own client listener: a local address on the listening
    // port, or the target an accepted connection has already shown to be ourselves.
    bool RixIsOurOwnListener() const;
    // An accepted connection that is one of our own RIX connections (the host's addresses could not be
    // listed, say, under a service's address-family restrictions): closed, with the RIX connection that
    // made it, and the target remembered as ourselves until the settings change.
    bool IsOwnRixConnection(qintptr handle);
    // Runs the event loop until nothing is queued for any peer, or ShutdownDrainMs have passed.
    void DrainBeforeClosing();
    // Everything not yet acknowledged by a peer: queued here, waiting for a connection, or in the kernel.
    qint64 QueuedOutput();
    void ShowConnectionCount();
    void UpdateLabels();
    // Tells the window, when it changes, whether the client port is open as the mode asks.
    void ShowListening();
    // False for a client port that is not a port; reported once, not at every attempt.
    bool ClientPortUsable(int port);
    // Reads from a slot's side again once what waits for the other side is back under the bound.
    void ResumeClientReading(int slot);
    // Whether a source must stop being read while this many bytes wait for its destination.
    bool MustPause(qint64 waiting) const
    {
        return waiting > PendingOutputBound || (waiting > 0 && PendingTotal() > m_totalPendingBound);
    }
    // How much one read may take: less while the relay as a whole is over its bound.
    qint64 ReadCapacity() const { return PendingTotal() > m_totalPendingBound ? ChunkPool::ChunkSize : ReadBufferSize; }
    // A slot's waiting client bytes are let go (client gone, or slot reused).
    void ReleaseClientData(ConnectionRecord& record);
    // After a quiet poll period with nothing queued, the memory of the last burst goes back to the
    // system: spare chunks, the read buffer's pages, the heap's free pages.
    void ReleaseIdleMemory();

    RuntimeState& m_state;
    StatusView& m_view;
    ErrorReporter& m_errors;
    EventLog& m_events;
    DataLog& m_data;
    struct UnmapReadBuffer {
        void operator()(char* buffer) const { SystemMemory::Unmap(buffer, ReadBufferSize); }
    };
    std::unique_ptr<char, UnmapReadBuffer> m_readBuffer;
    // Whether anything was read since the last tick, and whether memory may be held since the last
    // time it was given back.
    bool m_readSinceTick = false;
    bool m_memoryHeld = false;
    struct SlotFlow {
        // Accepted while the relay had no room: not read, and no RIX connection made, until there is.
        bool WaitingForRoom = false;
        // Let in after waiting: counted against the room until it leaves, so that the room one
        // connection leaving the pool makes does not let every waiting client in at once.
        bool LetIn = false;
        // Bytes read from a peer that had reset, past the total bound: thrown away, reported at its close.
        qint64 DroppedFromClient = 0;
        qint64 DroppedFromRix = 0;
    };
    std::vector<SlotFlow> m_flow;
    int m_waitingForRoom = 0;
    int m_letIn = 0;
    LinkWatch m_rixLink;
    // The RIX address and port found to lead back to ourselves.
    QString m_ownAddress;
    int m_ownPort = 0;
    LinkWatch m_clientLink;
    LoginFilter m_loginFilter;
    // Runs out when the oldest bytes the login filter holds have waited long enough.
    QTimer m_loginHold;
    bool m_shownListening = true;
    bool m_portReported = false;
    QString m_listenFailure;
    QElapsedTimer m_sinceStart;
    bool m_closing = false;
    qint64 m_totalPendingBound = DefaultTotalPendingBound;
    qint64 m_clientDataBytes = 0; // the sum of every slot's ClientData
};
