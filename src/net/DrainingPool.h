#pragma once

#include "core/Failure.h"
#include "core/RelayEvents.h"
#include "net/SocketObject.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <vector>

class Clock;
class ReadinessBackend;
class ReportThrottle;

// RIX connections whose client has gone while bytes it handed over had not reached the RIX yet: queued
// here, waiting for the connection to complete, or taken by the kernel and not yet acknowledged. We
// acknowledged those bytes to the client, so each connection stays until the RIX has acknowledged
// every one of them, and then closes in order; the slot it came from is free at once. One that makes
// no progress for NoProgressTimeoutMs gives up: it ends with a reset, so that nothing more goes out,
// and exactly the bytes the RIX never acknowledged are reported with their count.
class DrainingPool final : public QObject {
    Q_OBJECT
public:
    // The time without progress is measured on clock's steady time. It is the clock of the relay's
    // sockets too: a connection attempt taken over keeps its age.
    DrainingPool(ReadinessBackend& backend, ReportThrottle& reports, RelayEvents& events, const Clock& clock,
                 QObject* parent = nullptr);

    static constexpr qint64 NoProgressTimeoutMs = 30000;
    // The most connections draining at once before the relay lets new clients wait: each one is a
    // descriptor here and a session at the RIX.
    static constexpr int MaxConnections = 256;
    // How often a connection with nothing left but what the kernel holds asks whether the RIX has
    // acknowledged it (there is no event for that).
    static constexpr int AcknowledgementCheckMs = 100;

    // Takes over the slot's RIX connection (connected or still connecting) with the bytes that wait
    // for it besides its own pending output.
    void Take(int slot, SocketObject& rix, QByteArray waiting);
    // Gives up the connections that have made no progress for too long. Called once a second.
    void Check();
    // What the pool holds outside the socket objects' output queues (those count already): bytes
    // waiting for a connection, and the kernel's unacknowledged bytes as last asked. Costs nothing.
    qint64 HeldOutsideQueues() const { return m_waitingBytes + m_kernelBytes; }
    // Everything the RIX has not acknowledged yet, asked afresh.
    qint64 Queued();
    int Count() const { return m_count; }
    // Connections given up since the start, for want of progress or at shutdown.
    qint64 GivenUp() const { return m_givenUp; }
    bool IsFull() const { return m_count >= MaxConnections; }
    // At shutdown: connections the RIX has acknowledged everything on close in order; the others give
    // up at once, reporting what they discard.
    void CloseAll();

signals:
    // A connection has left the pool.
    void Left();

private:
    struct Entry {
        int Slot = 0; // 0: the element is free
        QByteArray Waiting; // for a connection still being made
        qint64 Kernel = 0; // unacknowledged in the kernel, as last asked
        qint64 LastHeld = 0;
        qint64 ProgressMs = 0; // when it last made progress
    };

    // Everything of the entry not yet acknowledged, the kernel asked afresh.
    qint64 HeldAt(int index);
    void AskKernel(int index);
    // Closes in order once everything has been acknowledged.
    void Settle(int index);
    // Ends the connection; what it still held is reported as discarded, and then it ends with a reset.
    void Finish(int index, const Failure& failure);
    void Release(int index);
    void OnConnected(int index);
    void OnConnectFailed(int index, int errorCode);
    void OnDataArrived(int index);
    void OnClosed(int index);
    void OnDrained(int index);
    void OnAcknowledgementCheck();

    ReportThrottle& m_reports;
    RelayEvents& m_events;
    const Clock& m_clock;
    SocketArray m_sockets; // element 0 unused
    std::vector<Entry> m_entries;
    QTimer m_acknowledgementCheck;
    qint64 m_waitingBytes = 0;
    qint64 m_kernelBytes = 0;
    int m_count = 0;
    qint64 m_givenUp = 0;
};
