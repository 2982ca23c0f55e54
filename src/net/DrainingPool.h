#pragma once

#include "core/Failure.h"
#include "net/SocketObject.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>

#include <vector>

class ErrorReporter;
class ReadinessBackend;

// RIX connections whose client has gone while bytes for the RIX were still queued. The client's bytes
// were acknowledged by us, so each connection sends what is queued and then closes; the slot it came
// from is free at once. One that makes no progress for NoProgressTimeoutMs gives up, and the bytes it
// discards are reported with their count.
class DrainingPool final : public QObject {
    Q_OBJECT
public:
    DrainingPool(ReadinessBackend& backend, ErrorReporter& errors, QObject* parent = nullptr);

    static constexpr qint64 NoProgressTimeoutMs = 30000;
    // A shorter time, for tests that cannot wait half a minute.
    void SetNoProgressTimeout(qint64 ms) { m_noProgressTimeoutMs = ms; }

    // Takes over the slot's RIX connection (connected or still connecting) with the bytes that wait
    // for it besides its own pending output.
    void Take(int slot, SocketObject& rix, QByteArray waiting);
    // Gives up the connections that have made no progress for too long. Called once a second.
    void Check();
    // Bytes still queued in the pool.
    qint64 Queued() const;
    // Connections still draining.
    int Count() const;
    // Closes every connection at once, reporting what each discards.
    void CloseAll();

private:
    struct Entry {
        int Slot = 0; // 0: the element is free
        QByteArray Waiting; // for a connection still being made
        qint64 LastQueued = 0;
        QElapsedTimer SinceProgress;
    };

    qint64 QueuedAt(int index);
    void Finish(int index, const Failure& failure);
    void OnConnected(int index);
    void OnConnectFailed(int index, int errorCode);
    void OnDataArrived(int index);
    void OnClosed(int index);
    void OnDrained(int index);

    ErrorReporter& m_errors;
    SocketArray m_sockets; // element 0 unused
    std::vector<Entry> m_entries;
    qint64 m_noProgressTimeoutMs = NoProgressTimeoutMs;
};
