#include "net/EpollDispatcher.h"

#include "net/ReadinessBackend.h"
#include "support/DispatcherSupport.h"

#include <QDir>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>
#include <QSemaphore>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

EpollDispatcher* Dispatcher()
{
    return EpollDispatcher::Current();
}

// One pass that does not wait.
bool Pass()
{
    return Dispatcher()->processEvents(QEventLoop::AllEvents);
}

// Longer than any test here should wait for anything; a wait that reaches it has failed.
constexpr int GuardMs = 5000;

// Two connected descriptors, closed at the end: a pipe (First reads, Second writes) or a loopback TCP
// connection (First accepted, Second connecting).
struct Descriptors {
    int First = -1;
    int Second = -1;

    static Descriptors Pipe()
    {
        Descriptors pair;
        int fds[2];
        if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
            pair.First = fds[0];
            pair.Second = fds[1];
        }
        return pair;
    }

    static Descriptors Tcp()
    {
        Descriptors pair;
        const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) == 0 && listen(listener, 1) == 0
            && getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            pair.Second = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (connect(pair.Second, reinterpret_cast<sockaddr*>(&address), length) == 0)
                pair.First = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        }
        ::close(listener);
        return pair;
    }

    void CloseSecond()
    {
        ::close(Second);
        Second = -1;
    }

    ~Descriptors()
    {
        for (const int fd : {First, Second}) {
            if (fd >= 0)
                ::close(fd);
        }
    }
};

// Records the timer events it receives, in order, and may act on each.
class TimerLog : public QObject {
public:
    std::vector<int> Fired;
    std::function<void(int)> OnFire;

protected:
    void timerEvent(QTimerEvent* event) override
    {
        Fired.push_back(event->timerId());
        if (OnFire)
            OnFire(event->timerId());
    }
};

// Watches descriptors directly in the dispatcher's set and counts what it is told, by tag.
class CountingWatcher final : public EpollDispatcher::Watcher {
public:
    std::vector<int> Told = std::vector<int>(4);
    std::function<void(quint64)> OnTold;
    void OnEpollEvent(quint64 tag, quint32) override
    {
        ++Told[tag];
        if (OnTold)
            OnTold(tag);
    }
};

} // namespace

class tst_dispatcher : public QObject {
    Q_OBJECT

private slots:
    void timersFireInDeadlineOrder_data();
    void timersFireInDeadlineOrder();
    void preciseTimerNeverFiresEarly();
    void zeroTimerFiresOnEveryPass();
    void timerStoppedOrRestartedByAnotherInSamePass_data();
    void timerStoppedOrRestartedByAnotherInSamePass();
    void timerRestartedInOwnHandlerKeepsFiring();
    void runningTimerDoesNotFireInsideItsNestedLoop();
    void manyTimersFireOnceEach();
    void remainingTimeAndRegisteredTimers_data();
    void remainingTimeAndRegisteredTimers();

    void notifierFollowsReadiness_data();
    void notifierFollowsReadiness();
    void readAndWriteNotifiersOnOneDescriptor();
    void notifierRemovedByAnotherHandlerIsNotDelivered_data();
    void notifierRemovedByAnotherHandlerIsNotDelivered();
    void watchForgottenInBatchIsNotTold();
    void notifierOutlivingItsDescriptor_data();
    void notifierOutlivingItsDescriptor();
    void excludedPassKeepsEdgeTriggeredEvents();
    void epollBackendJoinsTheDispatcherSet();

    void otherThreadEndsTheWait_data();
    void otherThreadEndsTheWait();
    void interruptBeforePassEndsItsWait();
    void deleteLaterWaitsForItsLoopLevel();
    void aboutToBlockAndAwakeOnlyAroundAWait();
};

void tst_dispatcher::timersFireInDeadlineOrder_data()
{
    QTest::addColumn<std::vector<int>>("intervals");
    QTest::newRow("ascending") << std::vector<int>{10, 20, 30};
    QTest::newRow("descending") << std::vector<int>{30, 20, 10};
    QTest::newRow("zero among others") << std::vector<int>{20, 0, 10, 0};
}

void tst_dispatcher::timersFireInDeadlineOrder()
{
    QFETCH(std::vector<int>, intervals);
    TimerLog log;
    std::vector<int> ids;
    for (const int interval : intervals)
        ids.push_back(log.startTimer(interval, Qt::PreciseTimer));
    log.OnFire = [&log](int id) { log.killTimer(id); };
    QTRY_COMPARE_WITH_TIMEOUT(log.Fired.size(), intervals.size(), GuardMs);
    std::vector<int> firedIntervals;
    for (const int id : log.Fired)
        firedIntervals.push_back(intervals[size_t(std::find(ids.begin(), ids.end(), id) - ids.begin())]);
    QVERIFY(std::is_sorted(firedIntervals.begin(), firedIntervals.end()));
}

void tst_dispatcher::preciseTimerNeverFiresEarly()
{
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(15);
    QElapsedTimer clock;
    std::vector<qint64> firedAt;
    connect(&timer, &QTimer::timeout, [&] {
        firedAt.push_back(clock.elapsed());
        if (firedAt.size() == 4)
            timer.stop();
    });
    clock.start();
    timer.start();
    QTRY_COMPARE_WITH_TIMEOUT(firedAt.size(), size_t(4), GuardMs);
    for (size_t i = 0; i < firedAt.size(); ++i)
        QVERIFY2(firedAt[i] >= qint64(i + 1) * 15, qPrintable(QString::number(firedAt[i])));
}

void tst_dispatcher::zeroTimerFiresOnEveryPass()
{
    TimerLog log;
    const int first = log.startTimer(0);
    const int second = log.startTimer(0);
    for (int pass = 0; pass < 5; ++pass)
        QVERIFY(Pass());
    QCOMPARE(std::count(log.Fired.begin(), log.Fired.end(), first), 5);
    QCOMPARE(std::count(log.Fired.begin(), log.Fired.end(), second), 5);
}

void tst_dispatcher::timerStoppedOrRestartedByAnotherInSamePass_data()
{
    QTest::addColumn<bool>("restart");
    QTest::newRow("stopped") << false;
    QTest::newRow("restarted for later") << true;
}

void tst_dispatcher::timerStoppedOrRestartedByAnotherInSamePass()
{
    QFETCH(bool, restart);
    // Both are due in the same pass; the first one's handler deals with the second (Qt hands a freed
    // timer id out again, so a restart may well come back under the same id).
    QTimer first, second;
    first.setSingleShot(true);
    second.setSingleShot(true);
    int secondFired = 0;
    connect(&first, &QTimer::timeout, [&] { restart ? second.start(GuardMs) : second.stop(); });
    connect(&second, &QTimer::timeout, [&] { ++secondFired; });
    first.start(0);
    second.start(0);
    Pass();
    Pass();
    QCOMPARE(secondFired, 0);
    QCOMPARE(second.isActive(), restart);
    if (restart)
        QVERIFY(second.remainingTime() > GuardMs - 1000);
}

void tst_dispatcher::timerRestartedInOwnHandlerKeepsFiring()
{
    QTimer timer;
    timer.setSingleShot(true);
    int fired = 0;
    connect(&timer, &QTimer::timeout, [&] {
        if (++fired < 5)
            timer.start(fired % 2 ? 0 : 5);
    });
    timer.start(5);
    QTRY_COMPARE_WITH_TIMEOUT(fired, 5, GuardMs);
}

void tst_dispatcher::runningTimerDoesNotFireInsideItsNestedLoop()
{
    QTimer zero;
    int zeroFired = 0;
    int firedInside = 0;
    bool inside = false;
    connect(&zero, &QTimer::timeout, [&] {
        ++zeroFired;
        if (inside) {
            ++firedInside;
            return;
        }
        if (zeroFired > 1)
            return;
        inside = true;
        QEventLoop nested;
        QTimer::singleShot(20, &nested, &QEventLoop::quit);
        nested.exec();
        inside = false;
    });
    zero.start(0);
    QTRY_VERIFY_WITH_TIMEOUT(zeroFired >= 3, GuardMs);
    QCOMPARE(firedInside, 0);
}

void tst_dispatcher::manyTimersFireOnceEach()
{
    constexpr int Count = 500;
    TimerLog log;
    QElapsedTimer clock;
    clock.start();
    std::unordered_map<int, int> intervalOf;
    std::unordered_map<int, qint64> firedAt;
    for (int i = 0; i < Count; ++i)
        intervalOf[log.startTimer((i * 7) % 50, Qt::PreciseTimer)] = (i * 7) % 50;
    log.OnFire = [&](int id) {
        firedAt[id] = clock.elapsed();
        log.killTimer(id);
    };
    QTRY_COMPARE_WITH_TIMEOUT(log.Fired.size(), size_t(Count), GuardMs);
    QCOMPARE(firedAt.size(), size_t(Count));
    for (const auto& [id, interval] : intervalOf)
        QVERIFY(firedAt.at(id) >= interval);
}

void tst_dispatcher::remainingTimeAndRegisteredTimers_data()
{
    QTest::addColumn<Qt::TimerType>("type");
    QTest::newRow("precise") << Qt::PreciseTimer;
    QTest::newRow("coarse") << Qt::CoarseTimer;
    QTest::newRow("very coarse") << Qt::VeryCoarseTimer;
}

void tst_dispatcher::remainingTimeAndRegisteredTimers()
{
    QFETCH(Qt::TimerType, type);
    QObject owner;
    const int id = owner.startTimer(3000, type);
    const int left = Dispatcher()->remainingTime(id);
    QVERIFY2(left > 2900 && left <= 3000, qPrintable(QString::number(left)));
    const QList<QAbstractEventDispatcher::TimerInfo> timers = Dispatcher()->registeredTimers(&owner);
    QCOMPARE(timers.size(), 1);
    QCOMPARE(timers[0].timerId, id);
    QCOMPARE(timers[0].interval, 3000);
    QCOMPARE(timers[0].timerType, type);
    owner.killTimer(id);
    QCOMPARE(Dispatcher()->remainingTime(id), -1);
    QVERIFY(Dispatcher()->registeredTimers(&owner).isEmpty());
}

void tst_dispatcher::notifierFollowsReadiness_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<QSocketNotifier::Type>("type");
    QTest::newRow("pipe read") << "pipe" << QSocketNotifier::Read;
    QTest::newRow("tcp read") << "tcp" << QSocketNotifier::Read;
    QTest::newRow("tcp write") << "tcp" << QSocketNotifier::Write;
    // As under Qt's own dispatcher: a hang-up wakes an exception notifier too.
    QTest::newRow("pipe hang-up, exception") << "pipe" << QSocketNotifier::Exception;
}

void tst_dispatcher::notifierFollowsReadiness()
{
    QFETCH(QString, transport);
    QFETCH(QSocketNotifier::Type, type);
    Descriptors pair = transport == "pipe" ? Descriptors::Pipe() : Descriptors::Tcp();
    QVERIFY(pair.First >= 0 && pair.Second >= 0);
    const int watched = type == QSocketNotifier::Write ? pair.Second : pair.First;
    QSocketNotifier notifier(watched, type);
    int activated = 0;
    connect(&notifier, &QSocketNotifier::activated, [&] { ++activated; });
    notifier.setEnabled(false);
    if (type == QSocketNotifier::Exception)
        pair.CloseSecond();
    else if (type == QSocketNotifier::Read)
        QCOMPARE(::write(pair.Second, "x", 1), 1);
    for (int pass = 0; pass < 3; ++pass)
        Pass();
    QCOMPARE(activated, 0);
    notifier.setEnabled(true);
    QTRY_VERIFY_WITH_TIMEOUT(activated >= 1, GuardMs);
    // Level-triggered: told again while it stays so.
    const int before = activated;
    Pass();
    QCOMPARE(activated, before + 1);
}

void tst_dispatcher::readAndWriteNotifiersOnOneDescriptor()
{
    Descriptors pair = Descriptors::Tcp();
    QVERIFY(pair.First >= 0);
    QSocketNotifier reader(pair.First, QSocketNotifier::Read);
    QSocketNotifier writer(pair.First, QSocketNotifier::Write);
    int reads = 0, writes = 0;
    connect(&reader, &QSocketNotifier::activated, [&] { ++reads; });
    connect(&writer, &QSocketNotifier::activated, [&] { ++writes; });
    QTRY_VERIFY_WITH_TIMEOUT(writes >= 1, GuardMs);
    QCOMPARE(reads, 0);
    writer.setEnabled(false);
    const int writesBefore = writes;
    QCOMPARE(::write(pair.Second, "x", 1), 1);
    QTRY_VERIFY_WITH_TIMEOUT(reads >= 1, GuardMs);
    QCOMPARE(writes, writesBefore);
    reader.setEnabled(false);
    writer.setEnabled(true);
    const int readsBefore = reads;
    QTRY_VERIFY_WITH_TIMEOUT(writes > writesBefore, GuardMs);
    QCOMPARE(reads, readsBefore);
}

void tst_dispatcher::notifierRemovedByAnotherHandlerIsNotDelivered_data()
{
    QTest::addColumn<bool>("deleted");
    QTest::addColumn<bool>("sameDescriptor");
    QTest::newRow("deleted") << true << false;
    QTest::newRow("disabled") << false << false;
    QTest::newRow("deleted, one descriptor") << true << true;
    QTest::newRow("disabled, one descriptor") << false << true;
}

void tst_dispatcher::notifierRemovedByAnotherHandlerIsNotDelivered()
{
    QFETCH(bool, deleted);
    QFETCH(bool, sameDescriptor);
    // Both are ready in the same batch (two readable pipes, or one connection both readable and
    // writable); whichever notifier is told first removes the other.
    Descriptors a = sameDescriptor ? Descriptors::Tcp() : Descriptors::Pipe();
    Descriptors b = Descriptors::Pipe();
    QCOMPARE(::write(a.Second, "x", 1), 1);
    QCOMPARE(::write(b.Second, "x", 1), 1);
    char byte;
    if (sameDescriptor) // the byte has come through
        QTRY_COMPARE_WITH_TIMEOUT(::recv(a.First, &byte, 1, MSG_PEEK | MSG_DONTWAIT), 1, GuardMs);
    auto first = std::make_unique<QSocketNotifier>(a.First, QSocketNotifier::Read);
    auto second = sameDescriptor ? std::make_unique<QSocketNotifier>(a.First, QSocketNotifier::Write)
                                 : std::make_unique<QSocketNotifier>(b.First, QSocketNotifier::Read);
    int activated = 0;
    const auto removeOther = [&](std::unique_ptr<QSocketNotifier>& other) {
        ++activated;
        if (deleted)
            other.reset();
        else if (other)
            other->setEnabled(false);
    };
    connect(first.get(), &QSocketNotifier::activated, [&] { removeOther(second); });
    connect(second.get(), &QSocketNotifier::activated, [&] { removeOther(first); });
    Pass();
    QCOMPARE(activated, 1);
}

void tst_dispatcher::watchForgottenInBatchIsNotTold()
{
    Descriptors a = Descriptors::Pipe();
    Descriptors b = Descriptors::Pipe();
    QCOMPARE(::write(a.Second, "x", 1), 1);
    QCOMPARE(::write(b.Second, "x", 1), 1);
    CountingWatcher watcher;
    int watches[2] = {};
    QCOMPARE(Dispatcher()->AddWatch(a.First, EPOLLIN | EPOLLET, &watcher, 0, watches[0]), 0);
    QCOMPARE(Dispatcher()->AddWatch(b.First, EPOLLIN | EPOLLET, &watcher, 1, watches[1]), 0);
    // The other one's descriptor is closed, and a new watch takes its place at once: the event already
    // taken for the old one must not reach the new one.
    Descriptors c = Descriptors::Pipe();
    QCOMPARE(::write(c.Second, "x", 1), 1);
    int replacement = -1;
    watcher.OnTold = [&](quint64 tag) {
        if (replacement >= 0)
            return;
        Descriptors& other = tag == 0 ? b : a;
        Dispatcher()->ForgetWatch(watches[1 - tag]);
        ::close(std::exchange(other.First, -1));
        QCOMPARE(Dispatcher()->AddWatch(c.First, EPOLLIN | EPOLLET, &watcher, 2, replacement), 0);
    };
    Pass();
    QCOMPARE(watcher.Told[0] + watcher.Told[1], 1);
    QCOMPARE(watcher.Told[2], 0);
    Pass();
    QCOMPARE(watcher.Told[2], 1);
    Dispatcher()->ForgetWatch(watches[watcher.Told[0] == 1 ? 0 : 1]);
    Dispatcher()->ForgetWatch(replacement);
}

void tst_dispatcher::notifierOutlivingItsDescriptor_data()
{
    QTest::addColumn<bool>("byWatch");
    QTest::newRow("a new notifier on the number") << false;
    QTest::newRow("a watch on the number, then the old notifier goes") << true;
}

// A notifier whose descriptor was closed under it, and a new descriptor under the same number: the
// new one is heard, whoever watches it.
void tst_dispatcher::notifierOutlivingItsDescriptor()
{
    QFETCH(bool, byWatch);
    Descriptors old = Descriptors::Pipe();
    const int number = old.First;
    auto stale = std::make_unique<QSocketNotifier>(number, QSocketNotifier::Read);
    ::close(std::exchange(old.First, -1));
    Descriptors fresh = Descriptors::Pipe();
    // The lowest free number is usually the one just closed; the new pipe's reading end is put there if not.
    if (fresh.First != number) {
        QCOMPARE(::dup3(fresh.First, number, O_CLOEXEC), number);
        ::close(std::exchange(fresh.First, number));
    }
    QCOMPARE(::write(fresh.Second, "x", 1), 1);
    int told = 0;
    CountingWatcher watcher;
    int watch = -1;
    std::unique_ptr<QSocketNotifier> replacement;
    if (byWatch) {
        QCOMPARE(Dispatcher()->AddWatch(number, EPOLLIN, &watcher, 0, watch), 0);
        stale.reset();
    } else {
        replacement = std::make_unique<QSocketNotifier>(number, QSocketNotifier::Read);
        connect(replacement.get(), &QSocketNotifier::activated, this, [&] { ++told; });
    }
    Pass();
    QCOMPARE(byWatch ? watcher.Told[0] : told, 1);
    if (byWatch)
        Dispatcher()->ForgetWatch(watch);
}

void tst_dispatcher::excludedPassKeepsEdgeTriggeredEvents()
{
    Descriptors pipe = Descriptors::Pipe();
    CountingWatcher watcher;
    int watch = -1;
    QCOMPARE(Dispatcher()->AddWatch(pipe.First, EPOLLIN | EPOLLET, &watcher, 0, watch), 0);
    QCOMPARE(::write(pipe.Second, "x", 1), 1);
    TimerLog log;
    log.startTimer(0);
    for (int pass = 0; pass < 3; ++pass)
        Dispatcher()->processEvents(QEventLoop::ExcludeSocketNotifiers);
    QCOMPARE(watcher.Told[0], 0);
    QCOMPARE(log.Fired.size(), size_t(3));
    Pass();
    QCOMPARE(watcher.Told[0], 1);
    Dispatcher()->ForgetWatch(watch);
}

void tst_dispatcher::epollBackendJoinsTheDispatcherSet()
{
    struct Target final : ReadinessTarget {
        int Readiness = 0;
        void OnReady(int readiness) override { Readiness |= readiness; }
        void OnDeferred() override { }
    };
    // No epoll set of its own: its descriptors are waited for in the same epoll_wait as the rest.
    const auto openDescriptors = [] { return QDir(QStringLiteral("/proc/self/fd")).count(); };
    const auto before = openDescriptors();
    const std::unique_ptr<ReadinessBackend> backend = ReadinessBackend::Create(ReadinessBackend::Kind::Epoll);
    QCOMPARE(openDescriptors(), before);
    Descriptors pair = Descriptors::Tcp();
    Target target;
    QCOMPARE(backend->Add(pair.First, &target, false), 0);
    Pass(); // writable at once
    QCOMPARE(target.Readiness, int(ReadinessTarget::Writable));
    QCOMPARE(::write(pair.Second, "x", 1), 1);
    QTRY_VERIFY_WITH_TIMEOUT(target.Readiness & ReadinessTarget::Readable, GuardMs);
    backend->Remove(pair.First);
}

void tst_dispatcher::otherThreadEndsTheWait_data()
{
    QTest::addColumn<bool>("interrupt");
    QTest::newRow("posted event") << false;
    QTest::newRow("interrupt") << true;
}

void tst_dispatcher::otherThreadEndsTheWait()
{
    QFETCH(bool, interrupt);
    // The other thread acts once this one is about to block, so the wait itself must end.
    QSemaphore blocking;
    const QMetaObject::Connection told
        = connect(Dispatcher(), &QAbstractEventDispatcher::aboutToBlock, [&] { blocking.release(); });
    QObject receiver;
    bool received = false;
    std::atomic<bool> acted{false};
    EpollDispatcher* dispatcher = Dispatcher(); // the other thread has none of its own
    std::thread other([&] {
        blocking.acquire();
        acted = true;
        if (interrupt)
            dispatcher->interrupt();
        else
            QMetaObject::invokeMethod(
                &receiver, [&] { received = true; }, Qt::QueuedConnection);
        acted = true;
    });
    QTimer guard;
    guard.setSingleShot(true);
    guard.start(GuardMs);
    while (!acted && guard.isActive())
        Dispatcher()->processEvents(QEventLoop::WaitForMoreEvents);
    disconnect(told);
    blocking.release(); // should it never have been told
    other.join();
    QVERIFY2(guard.isActive(), "the other thread did not wake the loop");
    Pass(); // what was posted is sent at the start of a pass
    QCOMPARE(received, !interrupt);
}

void tst_dispatcher::interruptBeforePassEndsItsWait()
{
    QTimer guard;
    guard.setSingleShot(true);
    guard.start(GuardMs);
    QElapsedTimer clock;
    clock.start();
    Dispatcher()->interrupt();
    Dispatcher()->processEvents(QEventLoop::WaitForMoreEvents);
    QVERIFY(guard.isActive());
    QVERIFY(clock.elapsed() < GuardMs);
}

void tst_dispatcher::deleteLaterWaitsForItsLoopLevel()
{
    QPointer<QObject> outer = new QObject;
    QPointer<QObject> inner;
    bool outerAliveAfterNested = false;
    QEventLoop loop;
    QTimer::singleShot(0, &loop, [&] {
        outer->deleteLater();
        QEventLoop nested;
        QTimer::singleShot(0, &nested, [&] {
            inner = new QObject;
            inner->deleteLater();
        });
        QTimer::singleShot(20, &nested, &QEventLoop::quit);
        nested.exec();
        outerAliveAfterNested = !outer.isNull();
        QVERIFY(inner.isNull()); // posted inside the nested loop, deleted by it
        QTimer::singleShot(GuardMs, &loop, &QEventLoop::quit);
        connect(outer.data(), &QObject::destroyed, &loop, &QEventLoop::quit);
    });
    loop.exec();
    QVERIFY(outerAliveAfterNested);
    QVERIFY(outer.isNull());
}

void tst_dispatcher::aboutToBlockAndAwakeOnlyAroundAWait()
{
    QSignalSpy aboutToBlock(Dispatcher(), &QAbstractEventDispatcher::aboutToBlock);
    QSignalSpy awake(Dispatcher(), &QAbstractEventDispatcher::awake);
    Pass();
    QCOMPARE(aboutToBlock.count(), 0);
    QCOMPARE(awake.count(), 0);
    QTimer timer;
    timer.setSingleShot(true);
    bool fired = false;
    connect(&timer, &QTimer::timeout, [&] { fired = true; });
    timer.start(10);
    while (!fired)
        Dispatcher()->processEvents(QEventLoop::WaitForMoreEvents);
    QVERIFY(aboutToBlock.count() >= 1);
    QCOMPARE(awake.count(), aboutToBlock.count());
}

int main(int argc, char* argv[])
{
    InstallEpollDispatcher();
    QCoreApplication app(argc, argv);
    tst_dispatcher test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_dispatcher.moc"
