#pragma once

#include "core/RelayEvents.h"
#include "net/LoginString.h"
#include "net/OutputQueue.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QTimer>

#include <memory>
#include <vector>

class Clock;
struct ConnectionRecord;
class DrainingPool;
class ErrorReporter;
class ReadinessBackend;
class ReportThrottle;
class RuntimeState;
class SocketArray;

// What happens to a slot's bytes, for every slot: read in bursts from either side, the RIX's own
// login confirmation taken out, the zero-byte rule applied, passed on, reading paused and resumed
// under the bounds, and the client bytes that wait for a RIX connection. Whoever owns the sockets
// hands their events here; the connections themselves (making them, accepting, closing a slot's
// client) are the owner's.
class SlotPath {
public:
    enum class Side { Client, Rix };

    SlotPath(SocketArray& clients, SocketArray& rixes, RuntimeState& state, ReadinessBackend& backend,
             DrainingPool& draining, ReportThrottle& peerReports, ErrorReporter& errors, RelayEvents& events,
             const Clock& clock);
    SlotPath(const SlotPath&) = delete;
    SlotPath& operator=(const SlotPath&) = delete;
    ~SlotPath();

    // Above this many bytes waiting for one side (unsent output, or client bytes waiting for the RIX
    // connection), the other side is not read. The kernel's socket buffers hold megabytes besides, so
    // a longer queue here buys no speed.
    static constexpr qint64 PendingOutputBound = 256 * 1024;
    // Above this many bytes waiting across all connections, no source whose destination already has
    // bytes waiting is read, and any other gets at most one chunk per read.
    static constexpr qint64 DefaultTotalPendingBound = 64 * 1024 * 1024;
    // The one read buffer of the program: every read lands here first.
    static constexpr qsizetype ReadBufferSize = 256 * 1024;
    // Reads taken from one socket per data event before the other sockets get their turn.
    static constexpr int ReadsPerEvent = 16;

    void SetTotalPendingBound(qint64 bytes) { m_totalPendingBound = bytes; }
    // Bytes waiting across all connections, those of the draining pool included (what the kernel holds
    // for the RIX there, too: it has been taken from clients and is not delivered yet).
    qint64 PendingTotal() const;
    // Room for more waiting bytes: under the total bound, and the draining pool not full.
    bool HasRoom() const;
    // How many more bytes may wait before the total bound is met (negative past it).
    qint64 RoomLeft() const { return m_totalPendingBound - PendingTotal(); }
    // A new slot's row.
    void AddSlot(int slot);

    // The sockets' events.
    void OnDataArrived(Side side, int slot);
    // The side has taken what waited for it: the other side may be read again.
    void OnDrained(Side side, int slot);
    void OnRixConnected(int slot);
    // A client let in after waiting for room is read now, its bytes waiting for the next attempt.
    void OnRixConnectFailed(int slot);
    // The RIX's last bytes reach the client first; what it never took is reported.
    void OnRixClosed(int slot);
    // What the client never took is reported; its leaving is the owner's (EndClient).
    void OnClientClosed(int slot);

    // A client is greeted on the slot. A reused slot starts clean: nothing left from its earlier
    // client reaches this one; a RIX connection kept warm for the slot is the new client's own, and
    // so is what it held back. A client that waits for room is not read until ResumeClientReading.
    void BeginClient(int slot, bool waitForRoom);
    // The slot's client has gone. We acknowledged what it sent: it still goes to the RIX over the same
    // connection (the draining pool takes it), while the slot's next client gets a fresh one.
    void EndClient(int slot);
    // The slot's RIX connection leaves the slot: to the draining pool, with the client bytes given,
    // while anything for the RIX is not yet acknowledged (queued here or held by the kernel); else it
    // closes. Returns the client bytes it could not take (there is no connection to take them).
    QByteArray LetRixSideGo(int slot, QByteArray clientBytes);
    // Client bytes wait for the slot's RIX connection.
    bool HasClientData(int slot) const;
    // Bytes held here now for that side of the slot: for the RIX (queued, or waiting for its
    // connection), or for the client.
    qint64 WaitingFor(Side side, int slot);
    // Reads from the slot's client again once what waits for the RIX is back under the bound.
    void ResumeClientReading(int slot);

    // Clients accepted while there was no room: greeted, not read, and no RIX connection made yet.
    bool IsWaitingForRoom(int slot) const { return m_waiting[size_t(slot)]; }
    void SetWaitingForRoom(int slot, bool waiting);
    int WaitingForRoom() const { return m_waitingCount; }

    // Shutdown: nothing more is read from any socket, and what the login filter holds is passed on.
    void StopReading();
    // Everything not yet acknowledged by a peer: queued here, waiting for a connection, or in the kernel.
    qint64 QueuedOutput();
    // A socket with bytes its peer never acknowledged is reset, and the count reported.
    void CountUndelivered(int slot);

    // After a quiet poll period with nothing queued, the memory of the last burst goes back to the
    // system: spare chunks, the read buffer's pages, the heap's free pages. Called once a poll period.
    void ReleaseIdleMemory();

private:
    // Reads until the socket has nothing more (or has had its share of this turn); each read is one
    // burst, handled straight from the shared buffer.
    void ReadBursts(Side side, int slot);
    // A client's reset is the client leaving; anything else is written, with the peer's address, at
    // most once a minute.
    void ReportFailedRead(Side side, int slot, int error);
    // What was read from a reset peer past the total bound and thrown away, with its count.
    void ReportDroppedAfterReset(Side side, int slot);
    void OnClientBurst(int slot, char* data, qsizetype size);
    void OnRixBurst(int slot, char* data, qsizetype size);
    // A burst from the RIX that the login filter lets through: told, then sent to the client.
    void RelayRixBurst(int slot, char* data, qsizetype size);
    // What the login filter holds for the slot goes to the client as it is.
    void RelayHeldLogin(int slot);
    void OnLoginHoldExpired();
    void WriteToClient(int slot, QByteArrayView data);
    // The zero-byte rule, then to the client.
    void ForwardToClient(int slot, char* data, qsizetype size);
    void ForwardToRix(int slot, QByteArrayView burst);
    // Whether a source must stop being read while this many bytes wait for its destination.
    bool MustPause(qint64 waiting) const;
    // How much one read may take: less while the relay as a whole is over its bound.
    qint64 ReadCapacity() const;
    // A slot's waiting client bytes are let go (sent, or their client gone).
    void ReleaseClientData(ConnectionRecord& record);

    SocketArray& m_clients;
    SocketArray& m_rixes;
    RuntimeState& m_state;
    ReadinessBackend& m_backend;
    DrainingPool& m_draining;
    ReportThrottle& m_peerReports;
    ErrorReporter& m_errors;
    RelayEvents& m_events;
    const Clock& m_clock;
    struct UnmapReadBuffer {
        void operator()(char* buffer) const { SystemMemory::Unmap(buffer, ReadBufferSize); }
    };
    std::unique_ptr<char, UnmapReadBuffer> m_readBuffer;
    LoginFilter m_loginFilter;
    // Runs out when the oldest bytes the login filter holds have waited long enough.
    QTimer m_loginHold;
    // Per slot: accepted while there was no room, not read yet.
    std::vector<bool> m_waiting;
    int m_waitingCount = 0;
    // Per slot and side: bytes read from a peer that had reset, past the total bound, thrown away;
    // reported at its close.
    std::vector<qint64> m_droppedFromClient;
    std::vector<qint64> m_droppedFromRix;
    qint64 m_clientDataBytes = 0; // the sum of every slot's ClientData
    qint64 m_totalPendingBound = DefaultTotalPendingBound;
    // Whether anything was read since the last poll period, and whether memory may be held since the
    // last time it was given back.
    bool m_readSinceTick = false;
    bool m_memoryHeld = false;
    bool m_stopped = false;
};
