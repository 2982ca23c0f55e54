#pragma once

#include "net/NativeSocket.h"
#include "net/OutputQueue.h"

#include <QObject>
#include <QTimer>

#include <memory>
#include <vector>

// What a backend hands a descriptor's readiness to: a socket object.
class ReadinessTarget {
public:
    // What the backend reports, as a combination of these.
    enum Readiness { Readable = 1, Writable = 2, PeerEnded = 4, Failed = 8 };
    virtual void OnReady(int readiness) = 0;
    virtual void OnDeferred() = 0;

protected:
    ~ReadinessTarget() = default;

private:
    friend class ReadinessBackend;
    // Marks kept for the backend's deferred calls, so that no object is queued twice.
    bool m_deferQueued = false;
    bool m_delayQueued = false;
};

// Brings the readiness of every socket object's descriptor onto the main thread and hands it to
// that object (ReadinessTarget::OnReady). On Linux one epoll set sits behind a single QSocketNotifier,
// so an idle descriptor costs nothing per loop turn; elsewhere each descriptor has its own notifiers.
class ReadinessBackend : public QObject {
    Q_OBJECT
public:
    enum class Kind { Epoll, Notifiers };
    static Kind DefaultKind();
    static std::unique_ptr<ReadinessBackend> Create(Kind kind);

    ~ReadinessBackend() override;

    // Starts watching a descriptor for the object; the object stays valid until Remove. 0, or the
    // system's error when the descriptor could not be watched. A listening descriptor is reported for
    // as long as connections wait, so its object may accept one at a time.
    virtual int Add(NativeSocket::Handle handle, ReadinessTarget* object, bool listening) = 0;
    // Stops watching, before the descriptor is closed.
    virtual void Remove(NativeSocket::Handle handle) = 0;
    // The descriptor's readiness goes to another object from now on.
    virtual void Reassign(NativeSocket::Handle handle, ReadinessTarget* object) = 0;
    // What the object wants to hear about. A backend that always reports both may ignore it.
    virtual void SetInterest(NativeSocket::Handle handle, bool read, bool write) = 0;
    // True when every failure comes with its readiness report (ReadinessTarget::Failed): a writable
    // report without it then means that a connection attempt has succeeded, with no need to ask.
    virtual bool ReportsFailures() const { return false; }

    // Calls the object's OnDeferred on a later loop turn: work left over for fairness, or resumed
    // reading. With a delay it waits that long (a descriptor shortage, say). An object already
    // waiting is not queued twice; the object itself carries that mark, so this is O(1).
    void Defer(ReadinessTarget* object, int delayMs = 0);
    // Forgets any deferred call for an object that is going away.
    void Cancel(ReadinessTarget* object);

    // Where the objects served here keep their unsent output.
    ChunkPool& OutputChunks() { return m_outputChunks; }

    // Counts the backend's rounds of readiness reports (0 for a backend that has none), so that an
    // object can tell a report on the very next round from one after a pause.
    quint64 Round() const { return m_round; }

protected:
    ReadinessBackend();
    void NextRound() { ++m_round; }

private:
    void RunDeferred();
    void RunDelayed();

    void RunBatch(std::vector<ReadinessTarget*>& list, bool delayed);

    ChunkPool m_outputChunks;
    quint64 m_round = 0;
    std::vector<ReadinessTarget*> m_deferred;
    std::vector<ReadinessTarget*> m_delayed;
    QTimer m_deferTimer;
    QTimer m_delayTimer;
};
