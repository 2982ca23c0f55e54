#pragma once

#include "core/Failure.h"
#include "core/RelayEvents.h"
#include "core/ReportThrottle.h"
#include "net/ClientAdmission.h"
#include "net/DrainingPool.h"
#include "net/LinkWatch.h"
#include "net/ReadinessBackend.h"
#include "net/SlotPath.h"
#include "net/SocketObject.h"

#include <QObject>
#include <QTimer>

#include <memory>

class Clock;
class ErrorReporter;
class RuntimeState;
class StatusView;

// The relay: listening for clients and accepting them under the admission rules, the connections it
// makes outward (kept up by the poll, with the link's outages written once at each end), and the
// orderly shutdown. What happens to the bytes of a slot is SlotPath's. Everything runs on the main
// thread, one event at a time. Each handler catches its own failures and reports them once; none
// lets an exception reach Qt.
class Relay final : public QObject {
    Q_OBJECT
    // First, so that it outlives the socket objects registered with it.
    std::unique_ptr<ReadinessBackend> m_backend;
    const Clock& m_clock;
    // Reports that peers can cause, each kind written at most once a minute; before the draining pool,
    // which reports through it.
    ReportThrottle m_peerReports;

public:
    Relay(RuntimeState& state, StatusView& view, ErrorReporter& errors, RelayEvents& events, const Clock& clock,
          ReadinessBackend::Kind backendKind = ReadinessBackend::DefaultKind(), QObject* parent = nullptr);
    ~Relay() override;

    SocketArray wscktClient;
    SocketArray wsktServer;
    QTimer tmrPoll;
    // The listener's address, the allow-list and the cap; set before start-up.
    ClientAdmission Admission;
    // RIX connections that still deliver what a client handed over before it left.
    DrainingPool Draining;

    // The bound on all bytes waiting across connections (SlotPath::DefaultTotalPendingBound).
    void SetTotalPendingBound(qint64 bytes) { m_path.SetTotalPendingBound(bytes); }
    qint64 PendingTotal() const { return m_path.PendingTotal(); }
    // The poll keeps the RIX connection up for every slot with a client, and for this many of the
    // lowest free slots: a warm start for the next clients, without holding idle RIX sessions.
    static constexpr int WarmSlots = 4;
    // At an orderly shutdown, the time all sockets with queued output get in total to drain.
    static constexpr int ShutdownDrainMs = 2000;
    // How often the shutdown asks whether everything queued has gone.
    static constexpr int ShutdownCheckMs = 10;

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
    // The orderly shutdown, as a state of the event loop: no new clients and nothing more read; what
    // is queued for a peer gets ShutdownDrainMs in all to go out. Then every slot's sockets close,
    // slot 0 included, lowest first, what was never acknowledged is counted, and Closed is emitted
    // (at once, when nothing was queued). Calling it again changes nothing.
    void CloseAllSockets();
    bool IsClosed() const { return m_shutdown == Shutdown::Closed; }

    // The reconnect poll: one tick.
    void OnPollTick();

    // After the client port, address or mode changed: every client connection ends (logged and shown
    // as a client leaving), and the client side follows the new settings: a listener on the new port,
    // or slot 1 connecting out. The poll makes the new connections.
    void CloseClientSide();
    // After the RIX port or address changed: every connected RIX side re-connects at once.
    // Neither does anything once the shutdown has begun: settings applied then take effect at the
    // next start.
    void ReconnectRixSide();

    // Whether RIX connections can be made, and in connect mode the connection to the client.
    const LinkWatch& RixLink() const { return m_links.Watch(Link::Rix); }
    const LinkWatch& ClientLink() const { return m_links.Watch(Link::Client); }
    // Why the client listener could not be opened when last tried (the system's words); empty once
    // it listens.
    const QString& ListenFailure() const { return m_listenFailure; }

    // Bytes the relay holds now for one side of a slot: for the RIX (queued, or waiting for its
    // connection), or for the client.
    qint64 WaitingFor(SlotPath::Side side, int slot) { return m_path.WaitingFor(side, slot); }
    // Clients accepted while the relay had no room, not read yet.
    int WaitingForRoom() const { return m_path.WaitingForRoom(); }

signals:
    // The shutdown has closed every socket.
    void Closed();

private:
    using Side = SlotPath::Side;
    using Link = RelayEvents::Link;

    // A connection the listener accepted: adopted by a slot (the handle moves out of accepted), or
    // left to close when this returns.
    void OnClientAccept(int index, AcceptedHandle& accepted);
    // False when the client is to be closed at once, before it has a slot or a greeting: it is not
    // on the allow-list (an event-log line, at most once a minute per address), or the cap is met
    // (one error-log line per episode at the cap).
    bool AdmitClient(quint32 peerAddress);
    void OnClientAcceptFailed(int index, int errorCode);
    void OnClientConnected(int index);
    void OnClientConnectFailed(int index, int errorCode);
    void OnClientClosed(int index);
    void OnRixConnected(int index);
    void OnRixConnectFailed(int index, int errorCode);
    void OnRixClosed(int index);

    // A slot's client has gone: told, counted, shown, and both of the slot's sockets closed; the RIX
    // side goes to the draining pool when bytes for the RIX are still on their way.
    void DropClient(int slot, RelayEvents::Ending how);
    // Lets clients that wait for room be read, as many as the room left holds at their bound each.
    void AdmitWaitingClients();
    // The RIX address and port lead back to our own client listener: a local address on the listening
    // port, or the target an accepted connection has already shown to be ourselves.
    bool RixIsOurOwnListener() const;
    // An accepted connection that is one of our own RIX connections (the host's addresses could not be
    // listed, say, under a service's address-family restrictions): closed, with the RIX connection that
    // made it, and the target remembered as ourselves until the settings change.
    bool IsOwnRixConnection(const AcceptedHandle& accepted);
    // The shutdown's drain is over (all delivered, or its time is up): the sockets close.
    void OnShutdownCheck();
    void FinishClosing();
    void ShowConnectionCount();
    void UpdateLabels();
    // Tells the window, when it changes, whether the client port is open as the mode asks.
    void ShowListening();
    // False for a client port that is not a port; reported once, not at every attempt.
    bool ClientPortUsable(int port);

    RuntimeState& m_state;
    StatusView& m_view;
    ErrorReporter& m_errors;
    RelayEvents& m_events;
    SlotPath m_path;
    // Per slot: let in after waiting for room, counted against the room until it leaves, so that the
    // room one connection leaving the pool makes does not let every waiting client in at once.
    std::vector<bool> m_letIn;
    int m_letInCount = 0;
    OutwardLinks m_links;
    // The RIX address and port found to lead back to ourselves.
    QString m_ownAddress;
    int m_ownPort = 0;
    bool m_shownListening = true;
    bool m_portReported = false;
    QString m_listenFailure;
    enum class Shutdown { Running, Draining, Closed };
    Shutdown m_shutdown = Shutdown::Running;
    QTimer m_shutdownCheck;
    qint64 m_shutdownDeadline = 0;
};
