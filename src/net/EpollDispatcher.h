#pragma once

#include <QAbstractEventDispatcher>

#include <atomic>
#include <memory>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

// Qt's event loop on one epoll set (Linux only). Qt's socket notifiers, its timers (one timerfd armed for
// the earliest deadline), wake-ups from other threads (an eventfd) and the descriptors our own readiness
// backend watches directly all come out of one epoll_wait, the only call the thread blocks in. Qt's own
// dispatcher would poll our epoll descriptor first and leave us a second call per wake-up.
class EpollDispatcher final : public QAbstractEventDispatcher {
public:
    // Told of the readiness of a descriptor it watches directly: the tag it gave, and epoll's event bits.
    class Watcher {
    public:
        virtual void OnEpollEvent(quint64 tag, quint32 events) = 0;

    protected:
        ~Watcher() = default;
    };

    // A dispatcher, or nullptr with the system's error when the descriptors it needs cannot be had.
    static std::unique_ptr<EpollDispatcher> Create(int& error);
    // The calling thread's dispatcher when it is one of these, else nullptr.
    static EpollDispatcher* Current();
    ~EpollDispatcher() override;

    // Watches a descriptor with the given epoll event bits (edge- or level-triggered, as they say) and
    // sets watch, the handle for the calls below; 0, or the system's error.
    int AddWatch(int fd, quint32 events, Watcher* watcher, quint64 tag, int& watch);
    int ModifyWatch(int watch, quint32 events);
    // For a descriptor about to be closed, which takes it out of the set: no system call. Nothing more
    // is told of it, even of events already taken from the kernel in the batch being delivered.
    void ForgetWatch(int watch);
    // Counts the passes that took readiness from the kernel, so that a watcher can tell batches apart.
    quint64 Passes() const { return m_passes; }

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
    void registerSocketNotifier(QSocketNotifier* notifier) override;
    void unregisterSocketNotifier(QSocketNotifier* notifier) override;
    void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject* object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject* object) override;
    QList<TimerInfo> registeredTimers(QObject* object) const override;
    int remainingTime(int timerId) override;
    void wakeUp() override;
    void interrupt() override;

private:
    EpollDispatcher(int epoll, int controlEpoll, int wakeUpFd, int timerFd);

    // One registration in the epoll set: either Qt's notifiers of one descriptor or one watched
    // descriptor. The epoll event carries the slot's index and generation; a slot freed and reused
    // gets a new generation, so an event taken from the kernel before that is recognised and dropped.
    struct Slot {
        int fd = -1;
        quint32 generation = 0;
        quint32 events = 0;
        Watcher* watcher = nullptr;
        quint64 tag = 0;
        QSocketNotifier* notifiers[3] = {}; // by QSocketNotifier::Type
    };
    struct Timer {
        QObject* object = nullptr;
        qint64 intervalMs = 0;
        Qt::TimerType type = Qt::PreciseTimer;
        qint64 deadline = 0; // steady clock, ns
        quint64 serial = 0; // tells a timer from a later one under the same id
        bool firing = false;
    };

    int TakeSlot(int fd);
    void FreeSlot(int index);
    int Control(int operation, int index);
    void UpdateNotifierSlot(int index);
    int Deliver(quint64 data, quint32 events);
    // Makes the timerfd ring at the earliest deadline; the timeout for epoll_wait.
    int PrepareTimers(int timeout);
    void ArmTimerFd(qint64 deadline);
    int ActivateTimers();
    void Schedule(int timerId, Timer& timer, qint64 deadline);

    const int m_epoll;
    // Timers and wake-ups only, for the passes that leave socket notifiers out.
    const int m_controlEpoll;
    const int m_wakeUpFd;
    const int m_timerFd;

    std::vector<Slot> m_slots;
    std::vector<int> m_freeSlots;
    std::unordered_map<int, int> m_notifierSlots; // descriptor -> slot of its notifiers
    quint64 m_passes = 0;

    std::unordered_map<int, Timer> m_timers;
    std::set<std::pair<qint64, int>> m_deadlines; // (deadline, timer id), earliest first
    quint64 m_timerSerial = 0;
    qint64 m_armedFor = 0; // 0: the timerfd is not armed
    bool m_timerFdRang = false;

    // The eventfd has been written and not read yet (other threads' wake-ups).
    std::atomic<bool> m_wakeUpWritten{false};
    // A wake-up from the loop's own thread since the pass began: the next wait does not block.
    bool m_selfWake = false;
    std::atomic<bool> m_interrupted{false};
    std::atomic<Qt::HANDLE> m_loopThread{nullptr};
};
