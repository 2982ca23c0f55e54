#include "net/EpollDispatcher.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>
#include <QTimerEvent>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

// The epoll data of the two descriptors of the dispatcher itself; no slot has these.
constexpr quint64 WakeUpData = ~quint64(0);
constexpr quint64 TimerData = ~quint64(0) - 1;

// What one epoll_wait takes at most. More ready descriptors wait in the kernel for the next pass.
constexpr int BatchSize = 256;

constexpr qint64 NsPerMs = 1000000;
constexpr qint64 NsPerSecond = 1000000000;

qint64 Now()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The epoll bits each kind of Qt notifier waits for, by QSocketNotifier::Type.
constexpr quint32 NotifierEvents[3] = {EPOLLIN, EPOLLOUT, EPOLLPRI};

int AddToSet(int epoll, int fd, quint64 data)
{
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = data;
    return epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) == 0 ? 0 : errno;
}

} // namespace

std::unique_ptr<EpollDispatcher> EpollDispatcher::Create(int& error)
{
    // steady_clock is CLOCK_MONOTONIC, the timerfd's clock.
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    const int controlEpoll = epoll_create1(EPOLL_CLOEXEC);
    const int wakeUpFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    const int timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    error = (epoll < 0 || controlEpoll < 0 || wakeUpFd < 0 || timerFd < 0) ? errno : 0;
    for (const int set : {epoll, controlEpoll}) {
        if (error == 0)
            error = AddToSet(set, wakeUpFd, WakeUpData);
        if (error == 0)
            error = AddToSet(set, timerFd, TimerData);
    }
    if (error != 0) {
        for (const int fd : {epoll, controlEpoll, wakeUpFd, timerFd}) {
            if (fd >= 0)
                ::close(fd);
        }
        return nullptr;
    }
    return std::unique_ptr<EpollDispatcher>(new EpollDispatcher(epoll, controlEpoll, wakeUpFd, timerFd));
}

EpollDispatcher::EpollDispatcher(int epoll, int controlEpoll, int wakeUpFd, int timerFd)
    : m_epoll(epoll)
    , m_controlEpoll(controlEpoll)
    , m_wakeUpFd(wakeUpFd)
    , m_timerFd(timerFd)
{
}

EpollDispatcher::~EpollDispatcher()
{
    for (const int fd : {m_epoll, m_controlEpoll, m_wakeUpFd, m_timerFd})
        ::close(fd);
}

EpollDispatcher* EpollDispatcher::Current()
{
    return dynamic_cast<EpollDispatcher*>(QAbstractEventDispatcher::instance());
}

int EpollDispatcher::TakeSlot(int fd)
{
    int index;
    if (m_freeSlots.empty()) {
        index = int(m_slots.size());
        m_slots.emplace_back();
        m_slots.back().generation = 1;
    } else {
        index = m_freeSlots.back();
        m_freeSlots.pop_back();
    }
    m_slots[size_t(index)].fd = fd;
    return index;
}

void EpollDispatcher::FreeSlot(int index)
{
    Slot& slot = m_slots[size_t(index)];
    const quint32 generation = slot.generation + 1;
    slot = {};
    slot.generation = generation;
    m_freeSlots.push_back(index);
}

int EpollDispatcher::Control(int operation, int index)
{
    const Slot& slot = m_slots[size_t(index)];
    epoll_event event{};
    event.events = slot.events;
    event.data.u64 = (quint64(slot.generation) << 32) | quint32(index);
    return epoll_ctl(m_epoll, operation, slot.fd, &event) == 0 ? 0 : errno;
}

int EpollDispatcher::AddWatch(int fd, quint32 events, Watcher* watcher, quint64 tag, int& watch)
{
    const int index = TakeSlot(fd);
    Slot& slot = m_slots[size_t(index)];
    slot.events = events;
    slot.watcher = watcher;
    slot.tag = tag;
    if (const int error = Control(EPOLL_CTL_ADD, index)) {
        FreeSlot(index);
        return error;
    }
    // Added, so no notifier's registration of this number is left in the set (their descriptor closed
    // under them): when they go, they must not take this descriptor out.
    if (const auto stale = m_notifierSlots.find(fd); stale != m_notifierSlots.end())
        m_slots[size_t(stale->second)].events = 0;
    watch = index;
    return 0;
}

int EpollDispatcher::ModifyWatch(int watch, quint32 events)
{
    m_slots[size_t(watch)].events = events;
    return Control(EPOLL_CTL_MOD, watch);
}

void EpollDispatcher::ForgetWatch(int watch)
{
    FreeSlot(watch);
}

void EpollDispatcher::registerSocketNotifier(QSocketNotifier* notifier)
{
    const int fd = int(notifier->socket());
    const auto [it, added] = m_notifierSlots.try_emplace(fd, -1);
    if (added)
        it->second = TakeSlot(fd);
    Slot& slot = m_slots[size_t(it->second)];
    QSocketNotifier*& registered = slot.notifiers[notifier->type()];
    if (registered && registered != notifier) {
        qWarning("QSocketNotifier: a second notifier of one type for descriptor %d replaces the first", fd);
        // The first may have outlived its descriptor, and this one be for a new descriptor under the
        // same number: registered again, whatever the set held.
        slot.events = 0;
    }
    registered = notifier;
    UpdateNotifierSlot(it->second);
}

void EpollDispatcher::unregisterSocketNotifier(QSocketNotifier* notifier)
{
    const auto it = m_notifierSlots.find(int(notifier->socket()));
    if (it == m_notifierSlots.end())
        return;
    QSocketNotifier*& registered = m_slots[size_t(it->second)].notifiers[notifier->type()];
    if (registered != notifier)
        return;
    registered = nullptr;
    UpdateNotifierSlot(it->second);
}

// Level-triggered, as Qt's own dispatcher: a notifier is told again on every pass while its
// descriptor stays ready.
void EpollDispatcher::UpdateNotifierSlot(int index)
{
    Slot& slot = m_slots[size_t(index)];
    quint32 wanted = 0;
    for (int type = 0; type < 3; ++type) {
        if (slot.notifiers[type])
            wanted |= NotifierEvents[type];
    }
    if (wanted == 0) {
        // A hang-up is reported even for no bits at all, so the descriptor leaves the set. Closed
        // already (its notifier outlived it), it has left by itself and the call fails harmlessly.
        if (slot.events != 0)
            epoll_ctl(m_epoll, EPOLL_CTL_DEL, slot.fd, nullptr);
        m_notifierSlots.erase(slot.fd);
        FreeSlot(index);
        return;
    }
    if (wanted == slot.events)
        return;
    const bool inSet = slot.events != 0;
    slot.events = wanted;
    int error = Control(inSet ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, index);
    if (error == ENOENT) // closed and opened again under the same number since
        error = Control(EPOLL_CTL_ADD, index);
    else if (error == EEXIST) // still in the set from before a replaced notifier
        error = Control(EPOLL_CTL_MOD, index);
    if (error != 0) {
        // A regular file, say: epoll cannot watch it, so its notifiers are never told.
        m_slots[size_t(index)].events = 0;
        qWarning("QSocketNotifier: descriptor %d cannot be watched (%s)", slot.fd, std::strerror(error));
    }
}

bool EpollDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    m_loopThread.store(QThread::currentThreadId(), std::memory_order_relaxed);
    const bool interruptedBefore = m_interrupted.exchange(false);
    // Whatever was posted before this point is sent now; a later post asks for another pass.
    m_selfWake = false;
    QCoreApplication::sendPostedEvents();
    if (m_interrupted.load())
        return false;

    const bool withNotifiers = !flags.testFlag(QEventLoop::ExcludeSocketNotifiers);
    const bool withTimers = !flags.testFlag(QEventLoop::X11ExcludeTimers);
    int timeout = (flags.testFlag(QEventLoop::WaitForMoreEvents) && !interruptedBefore && !m_selfWake) ? -1 : 0;
    if (withTimers)
        timeout = PrepareTimers(timeout);
    else if (m_timerFdRang)
        ArmTimerFd(0); // rung and left unread it would end every wait at once; the next timed pass re-arms
    if (timeout != 0) {
        emit aboutToBlock();
        // What its receivers posted or asked for is not waited for.
        if (m_interrupted.load())
            return false;
        if (m_selfWake)
            timeout = 0;
    }

    epoll_event events[BatchSize];
    const int count = epoll_wait(withNotifiers ? m_epoll : m_controlEpoll, events, BatchSize, timeout);
    if (timeout != 0)
        emit awake();
    int delivered = 0;
    if (count > 0) {
        ++m_passes;
        for (int i = 0; i < count; ++i)
            delivered += Deliver(events[i].data.u64, events[i].events);
    }
    if (withTimers)
        delivered += ActivateTimers();
    return delivered > 0;
}

int EpollDispatcher::Deliver(quint64 data, quint32 events)
{
    if (data == WakeUpData) {
        // Read, then cleared: a wake-up after the read writes again; one between the two is for this
        // very pass, which returns to its caller without waiting.
        eventfd_t count;
        eventfd_read(m_wakeUpFd, &count);
        m_wakeUpWritten.store(false);
        return 1;
    }
    if (data == TimerData) {
        m_timerFdRang = true;
        return 0; // the timers themselves are counted when they fire
    }
    const auto index = size_t(quint32(data));
    const auto generation = quint32(data >> 32);
    if (index >= m_slots.size() || m_slots[index].generation != generation)
        return 0; // freed earlier in this batch
    if (Watcher* watcher = m_slots[index].watcher) {
        watcher->OnEpollEvent(m_slots[index].tag, events);
        return 1;
    }
    // An error or a hang-up wakes every notifier of the descriptor, so that whoever owns it finds out.
    // Each handler may unregister or delete notifiers, this one's or others', or free the slot: look
    // again before each.
    int delivered = 0;
    for (int type = 0; type < 3; ++type) {
        if (m_slots[index].generation != generation)
            break;
        QSocketNotifier* notifier = m_slots[index].notifiers[type];
        if (!notifier || !(events & (NotifierEvents[type] | EPOLLERR | EPOLLHUP)))
            continue;
        QEvent event(QEvent::SockAct);
        QCoreApplication::sendEvent(notifier, &event);
        ++delivered;
    }
    return delivered;
}

// Every kind of timer is kept to the millisecond: Qt lets coarse ones slip, but with the few timers a
// relay runs there is nothing to gain by grouping their wake-ups.
void EpollDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject* object)
{
    unregisterTimer(timerId);
    Timer& timer = m_timers[timerId];
    timer.object = object;
    timer.intervalMs = interval;
    timer.type = timerType;
    timer.serial = ++m_timerSerial;
    timer.deadline = Now() + interval * NsPerMs;
    m_deadlines.emplace(timer.deadline, timerId);
}

bool EpollDispatcher::unregisterTimer(int timerId)
{
    const auto it = m_timers.find(timerId);
    if (it == m_timers.end())
        return false;
    m_deadlines.erase({it->second.deadline, timerId});
    m_timers.erase(it);
    return true;
}

bool EpollDispatcher::unregisterTimers(QObject* object)
{
    bool found = false;
    for (auto it = m_timers.begin(); it != m_timers.end();) {
        if (it->second.object == object) {
            m_deadlines.erase({it->second.deadline, it->first});
            it = m_timers.erase(it);
            found = true;
        } else {
            ++it;
        }
    }
    return found;
}

QList<QAbstractEventDispatcher::TimerInfo> EpollDispatcher::registeredTimers(QObject* object) const
{
    QList<TimerInfo> timers;
    for (const auto& [id, timer] : m_timers) {
        if (timer.object == object)
            timers.append(TimerInfo(id, int(timer.intervalMs), timer.type));
    }
    return timers;
}

int EpollDispatcher::remainingTime(int timerId)
{
    const auto it = m_timers.find(timerId);
    if (it == m_timers.end())
        return -1;
    const qint64 left = it->second.deadline - Now();
    return left <= 0 ? 0 : int((left + NsPerMs - 1) / NsPerMs);
}

void EpollDispatcher::Schedule(int timerId, Timer& timer, qint64 deadline)
{
    m_deadlines.erase({timer.deadline, timerId});
    timer.deadline = deadline;
    m_deadlines.emplace(deadline, timerId);
}

int EpollDispatcher::PrepareTimers(int timeout)
{
    // A timer whose handler is still running (a nested event loop) is not waited for: it could only
    // end every wait at once.
    qint64 earliest = 0;
    for (const auto& [deadline, id] : m_deadlines) {
        if (!m_timers.at(id).firing) {
            earliest = deadline;
            break;
        }
    }
    if (earliest == 0) {
        // Rung for a timer that has gone since: quiet it, or every wait would end at once.
        if (m_timerFdRang)
            ArmTimerFd(0);
        return timeout;
    }
    if (timeout == 0 || earliest <= Now())
        return 0;
    // Only a new earliest deadline costs a call: a relay that starts no timer per message makes none.
    if (earliest != m_armedFor || m_timerFdRang)
        ArmTimerFd(earliest);
    return timeout;
}

void EpollDispatcher::ArmTimerFd(qint64 deadline)
{
    // Setting the time also clears an expiry not read yet, so the timerfd is never read.
    itimerspec spec{};
    spec.it_value.tv_sec = time_t(deadline / NsPerSecond);
    spec.it_value.tv_nsec = long(deadline % NsPerSecond);
    timerfd_settime(m_timerFd, TFD_TIMER_ABSTIME, &spec, nullptr);
    m_armedFor = deadline;
    m_timerFdRang = false;
}

int EpollDispatcher::ActivateTimers()
{
    if (m_deadlines.empty())
        return 0;
    const qint64 now = Now();
    if (m_deadlines.begin()->first > now)
        return 0;
    // Each timer due now fires once in this pass, earliest first; one started, stopped or restarted by
    // a handler meanwhile is judged by its new state, and one whose handler is still running (a nested
    // event loop) does not fire again inside it.
    std::vector<std::pair<int, quint64>> due;
    for (const auto& [deadline, id] : m_deadlines) {
        if (deadline > now)
            break;
        due.emplace_back(id, m_timers.at(id).serial);
    }
    int fired = 0;
    for (const auto& [id, serial] : due) {
        auto it = m_timers.find(id);
        if (it == m_timers.end() || it->second.serial != serial || it->second.firing)
            continue;
        Timer& timer = it->second;
        // A timer late by more than its interval fires once, and keeps its interval from now on.
        qint64 next = timer.deadline + timer.intervalMs * NsPerMs;
        if (next <= now)
            next = now + timer.intervalMs * NsPerMs;
        Schedule(id, timer, next);
        timer.firing = true;
        QTimerEvent event(id);
        QCoreApplication::sendEvent(timer.object, &event);
        ++fired;
        it = m_timers.find(id);
        if (it != m_timers.end() && it->second.serial == serial)
            it->second.firing = false;
    }
    return fired;
}

void EpollDispatcher::wakeUp()
{
    // The loop's own thread is not waiting while it runs this: a mark is enough for its next wait.
    if (QThread::currentThreadId() == m_loopThread.load(std::memory_order_relaxed)) {
        m_selfWake = true;
        return;
    }
    // Other threads write once until the loop has read it.
    if (!m_wakeUpWritten.exchange(true))
        eventfd_write(m_wakeUpFd, 1);
}

void EpollDispatcher::interrupt()
{
    m_interrupted.store(true);
    wakeUp();
}
