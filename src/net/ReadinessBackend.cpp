#include "net/ReadinessBackend.h"

#include <QSocketNotifier>

#include <algorithm>
#include <unordered_map>

#ifdef Q_OS_LINUX
#include "net/EpollDispatcher.h"

#include <QPointer>

#include <cerrno>
#include <sys/epoll.h>
#include <unistd.h>
#endif

namespace {

// Read, write and exception notifiers per descriptor; Qt's dispatcher looks at each on every turn.
class NotifierBackend final : public ReadinessBackend {
public:
    int Add(NativeSocket::Handle handle, ReadinessTarget* object, bool) override
    {
        Entry entry;
        entry.read = new QSocketNotifier(handle, QSocketNotifier::Read, this);
        entry.write = new QSocketNotifier(handle, QSocketNotifier::Write, this);
        entry.write->setEnabled(false);
        // Qt raises it for a hang-up or an error too: a reset is seen even while reading is paused.
        entry.failure = new QSocketNotifier(handle, QSocketNotifier::Exception, this);
        // Level-triggered: the end of the stream shows as readable until it has been read.
        connect(entry.read, &QSocketNotifier::activated, this,
                [object] { object->OnReady(ReadinessTarget::Readable); });
        connect(entry.write, &QSocketNotifier::activated, this,
                [object] { object->OnReady(ReadinessTarget::Writable); });
        connect(entry.failure, &QSocketNotifier::activated, this, [object] {
            object->OnReady(ReadinessTarget::Readable | ReadinessTarget::Writable | ReadinessTarget::Failed);
        });
        m_entries[handle] = entry;
        return 0;
    }

    void Remove(NativeSocket::Handle handle) override
    {
        const auto it = m_entries.find(handle);
        if (it == m_entries.end())
            return;
        // The notifier may be the one whose signal is being delivered right now.
        for (QSocketNotifier* notifier : {it->second.read, it->second.write, it->second.failure}) {
            notifier->setEnabled(false);
            notifier->disconnect();
            notifier->deleteLater();
        }
        m_entries.erase(it);
    }

    void Reassign(NativeSocket::Handle handle, ReadinessTarget* object) override
    {
        Remove(handle);
        Add(handle, object, false);
    }

    void SetInterest(NativeSocket::Handle handle, bool read, bool write) override
    {
        const auto it = m_entries.find(handle);
        if (it == m_entries.end())
            return;
        if (it->second.read->isEnabled() != read)
            it->second.read->setEnabled(read);
        if (it->second.write->isEnabled() != write)
            it->second.write->setEnabled(write);
    }

private:
    struct Entry {
        QSocketNotifier* read = nullptr;
        QSocketNotifier* write = nullptr;
        QSocketNotifier* failure = nullptr;
    };
    std::unordered_map<NativeSocket::Handle, Entry> m_entries;
};

#ifdef Q_OS_LINUX
// Every connection in one edge-triggered epoll set: registered once, never modified, and each
// object keeps track of what it has been told. A listener is level-triggered instead, so it may
// accept one connection per report without a call that only says none is left.
// Under our own event dispatcher the descriptors go straight into its epoll set, which the thread
// blocks on, and it tells us of them. Under Qt's, they sit in a set of our own behind one
// QSocketNotifier; an event there names its descriptor and the generation of that descriptor's
// registration, so an event for a descriptor closed (and perhaps reused) earlier in the same batch is
// recognised and dropped (the dispatcher does the same for its own set).
class EpollBackend final : public ReadinessBackend, private EpollDispatcher::Watcher {
public:
    EpollBackend()
        : m_dispatcher(EpollDispatcher::Current())
    {
        if (m_dispatcher)
            return;
        m_epoll = epoll_create1(EPOLL_CLOEXEC);
        if (m_epoll < 0)
            qFatal("epoll_create1 failed");
        m_notifier = new QSocketNotifier(m_epoll, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &EpollBackend::Dispatch);
    }

    ~EpollBackend() override
    {
        if (m_epoll >= 0)
            ::close(m_epoll);
        // Descriptors still open must not call into this object from the dispatcher.
        if (m_dispatcher) {
            for (const Entry& entry : m_entries) {
                if (entry.object)
                    m_dispatcher->ForgetWatch(entry.watch);
            }
        }
    }

    int Add(NativeSocket::Handle handle, ReadinessTarget* object, bool listening) override
    {
        const auto fd = size_t(handle);
        if (fd >= m_entries.size())
            m_entries.resize(std::max(fd + 1, m_entries.size() * 2));
        Entry& entry = m_entries[fd];
        entry.object = object;
        entry.generation = ++m_generation;
        entry.listening = listening;
        entry.reading = true;
        const int error = m_dispatcher ? m_dispatcher->AddWatch(int(fd), Events(entry), this, fd, entry.watch)
                                       : Control(EPOLL_CTL_ADD, fd, entry);
        if (error != 0)
            entry = {};
        return error;
    }

    void Remove(NativeSocket::Handle handle) override
    {
        // Closing the descriptor takes it out of the set; no system call needed here.
        const auto fd = size_t(handle);
        if (fd >= m_entries.size())
            return;
        if (m_dispatcher && m_entries[fd].object)
            m_dispatcher->ForgetWatch(m_entries[fd].watch);
        m_entries[fd] = {};
    }

    void Reassign(NativeSocket::Handle handle, ReadinessTarget* object) override
    {
        const auto fd = size_t(handle);
        if (fd < m_entries.size() && m_entries[fd].object)
            m_entries[fd].object = object;
    }

    void SetInterest(NativeSocket::Handle handle, bool read, bool) override
    {
        // Only a listener needs telling: a level-triggered descriptor nobody reads would be reported
        // on every turn.
        const auto fd = size_t(handle);
        if (fd >= m_entries.size() || !m_entries[fd].listening || m_entries[fd].reading == read)
            return;
        Entry& entry = m_entries[fd];
        entry.reading = read;
        const int error
            = m_dispatcher ? m_dispatcher->ModifyWatch(entry.watch, Events(entry)) : Control(EPOLL_CTL_MOD, fd, entry);
        // Not changed: the next change of interest asks again.
        if (error != 0)
            entry.reading = !read;
    }

    bool ReportsFailures() const override { return true; }

private:
    struct Entry {
        ReadinessTarget* object = nullptr;
        quint32 generation = 0;
        int watch = 0; // the dispatcher's handle, under our dispatcher
        bool listening = false;
        bool reading = false;
    };

    static quint32 Events(const Entry& entry)
    {
        if (entry.listening)
            return entry.reading ? quint32(EPOLLIN) : 0u;
        return EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    }

    int Control(int operation, size_t fd, const Entry& entry)
    {
        epoll_event event{};
        event.events = Events(entry);
        event.data.u64 = quint64(fd) | (quint64(entry.generation) << 32);
        return epoll_ctl(m_epoll, operation, int(fd), &event) == 0 ? 0 : errno;
    }

    void OnEpollEvent(quint64 tag, quint32 events) override
    {
        // One round per epoll_wait that had something for this backend, as with a set of our own.
        if (m_dispatcher->Passes() != m_pass) {
            m_pass = m_dispatcher->Passes();
            NextRound();
        }
        Report(size_t(tag), events);
    }

    void Dispatch()
    {
        // A full batch means more are waiting: take them now rather than after another trip through
        // the event loop, a few batches at most so the window still gets its turn.
        constexpr int BatchSize = 256;
        constexpr int BatchesPerWakeUp = 8;
        epoll_event events[BatchSize];
        for (int batch = 0; batch < BatchesPerWakeUp; ++batch) {
            const int count = epoll_wait(m_epoll, events, BatchSize, 0);
            NextRound();
            for (int i = 0; i < count; ++i) {
                const quint64 data = events[i].data.u64;
                const auto fd = size_t(data & 0xffffffffu);
                const auto generation = quint32(data >> 32);
                if (fd < m_entries.size() && m_entries[fd].generation == generation)
                    Report(fd, events[i].events);
            }
            if (count < BatchSize)
                return;
        }
    }

    void Report(size_t fd, quint32 flags)
    {
        ReadinessTarget* object = m_entries[fd].object;
        if (!object)
            return;
        int ready = 0;
        if (flags & (EPOLLIN | EPOLLRDHUP))
            ready |= ReadinessTarget::Readable;
        if (flags & EPOLLOUT)
            ready |= ReadinessTarget::Writable;
        if (flags & EPOLLRDHUP)
            ready |= ReadinessTarget::PeerEnded;
        if (flags & (EPOLLERR | EPOLLHUP))
            ready |= ReadinessTarget::Readable | ReadinessTarget::Writable | ReadinessTarget::Failed;
        object->OnReady(ready);
    }

    // Ours, or null under Qt's dispatcher. Guarded, should the application's dispatcher go first.
    QPointer<EpollDispatcher> m_dispatcher;
    int m_epoll = -1;
    QSocketNotifier* m_notifier = nullptr;
    std::vector<Entry> m_entries;
    quint32 m_generation = 0;
    quint64 m_pass = 0;
};
#endif

} // namespace

ReadinessBackend::ReadinessBackend()
{
    m_deferTimer.setSingleShot(true);
    m_deferTimer.setInterval(0);
    connect(&m_deferTimer, &QTimer::timeout, this, &ReadinessBackend::RunDeferred);
    m_delayTimer.setSingleShot(true);
    connect(&m_delayTimer, &QTimer::timeout, this, &ReadinessBackend::RunDelayed);
}

ReadinessBackend::~ReadinessBackend() = default;

ReadinessBackend::Kind ReadinessBackend::DefaultKind()
{
#ifdef Q_OS_LINUX
    return Kind::Epoll;
#else
    return Kind::Notifiers;
#endif
}

std::unique_ptr<ReadinessBackend> ReadinessBackend::Create(Kind kind)
{
#ifdef Q_OS_LINUX
    if (kind == Kind::Epoll)
        return std::make_unique<EpollBackend>();
#endif
    Q_UNUSED(kind);
    return std::make_unique<NotifierBackend>();
}

void ReadinessBackend::Defer(ReadinessTarget* object, int delayMs)
{
    const bool delayed = delayMs > 0;
    bool& queued = delayed ? object->m_delayQueued : object->m_deferQueued;
    if (queued)
        return;
    queued = true;
    if (delayed) {
        m_delayed.push_back(object);
        if (!m_delayTimer.isActive())
            m_delayTimer.start(delayMs);
    } else {
        m_deferred.push_back(object);
        if (!m_deferTimer.isActive())
            m_deferTimer.start();
    }
}

void ReadinessBackend::Cancel(ReadinessTarget* object)
{
    // Only when an object is destroyed, which the relay never does while it runs.
    if (object->m_deferQueued)
        std::erase(m_deferred, object);
    if (object->m_delayQueued)
        std::erase(m_delayed, object);
    object->m_deferQueued = object->m_delayQueued = false;
}

void ReadinessBackend::RunDeferred()
{
    RunBatch(m_deferred, false);
}

void ReadinessBackend::RunDelayed()
{
    RunBatch(m_delayed, true);
}

void ReadinessBackend::RunBatch(std::vector<ReadinessTarget*>& list, bool delayed)
{
    // Objects deferred while these run wait for the next turn, so one busy socket cannot starve the rest.
    std::vector<ReadinessTarget*> batch;
    batch.swap(list);
    for (ReadinessTarget* object : batch)
        (delayed ? object->m_delayQueued : object->m_deferQueued) = false;
    for (ReadinessTarget* object : batch)
        object->OnDeferred();
}
