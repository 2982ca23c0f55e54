#include "net/DrainingPool.h"

#include "core/Clock.h"
#include "core/Constants.h"
#include "core/Failure.h"
#include "core/ReportThrottle.h"

#include <utility>

DrainingPool::DrainingPool(ReadinessBackend& backend, ReportThrottle& reports, RelayEvents& events, const Clock& clock,
                           QObject* parent)
    : QObject(parent)
    , m_reports(reports)
    , m_events(events)
    , m_clock(clock)
    , m_sockets(backend, clock)
    , m_entries(1)
{
    connect(&m_sockets, &SocketArray::Connected, this, &DrainingPool::OnConnected);
    connect(&m_sockets, &SocketArray::ConnectFailed, this, &DrainingPool::OnConnectFailed);
    connect(&m_sockets, &SocketArray::DataArrived, this, &DrainingPool::OnDataArrived);
    connect(&m_sockets, &SocketArray::Closed, this, &DrainingPool::OnClosed);
    connect(&m_sockets, &SocketArray::OutputDrained, this, &DrainingPool::OnDrained);
    m_acknowledgementCheck.setInterval(AcknowledgementCheckMs);
    connect(&m_acknowledgementCheck, &QTimer::timeout, this, &DrainingPool::OnAcknowledgementCheck);
}

void DrainingPool::Take(int slot, SocketObject& rix, QByteArray waiting)
{
    int index = 1;
    while (index < m_sockets.Count() && m_entries[size_t(index)].Slot != 0)
        ++index;
    if (index == m_sockets.Count()) {
        m_sockets.Add();
        m_entries.emplace_back();
    }
    SocketObject& socket = m_sockets(index);
    socket.TakeOver(rix);
    Entry& entry = m_entries[size_t(index)];
    entry.Slot = slot;
    entry.Waiting = std::move(waiting);
    m_waitingBytes += entry.Waiting.size();
    entry.ProgressMs = m_clock.MonotonicMs();
    ++m_count;
    if (!m_acknowledgementCheck.isActive())
        m_acknowledgementCheck.start();
    if (socket.IsConnected())
        OnConnected(index);
    else
        entry.LastHeld = HeldAt(index);
}

void DrainingPool::Check()
{
    for (int i = 1; i < m_sockets.Count(); ++i) {
        Entry& entry = m_entries[size_t(i)];
        if (entry.Slot == 0)
            continue;
        const qint64 held = HeldAt(i);
        if (held < entry.LastHeld) {
            entry.LastHeld = held;
            entry.ProgressMs = m_clock.MonotonicMs();
        } else if (m_clock.MonotonicMs() - entry.ProgressMs > NoProgressTimeoutMs) {
            Finish(i,
                   Failure{FailureCode::TimedOut,
                           QStringLiteral("The RIX took nothing for %1 ms").arg(NoProgressTimeoutMs)});
        }
    }
}

qint64 DrainingPool::Queued()
{
    qint64 queued = 0;
    for (int i = 1; i < m_sockets.Count(); ++i) {
        if (m_entries[size_t(i)].Slot != 0)
            queued += HeldAt(i);
    }
    return queued;
}

void DrainingPool::CloseAll()
{
    for (int i = 1; i < m_sockets.Count(); ++i) {
        if (m_entries[size_t(i)].Slot == 0)
            continue;
        if (HeldAt(i) == 0)
            Settle(i);
        else
            Finish(i, Failure{FailureCode::TimedOut, QStringLiteral("The RIX did not take it before shutdown")});
    }
}

qint64 DrainingPool::HeldAt(int index)
{
    AskKernel(index);
    const Entry& entry = m_entries[size_t(index)];
    return entry.Waiting.size() + m_sockets(index).PendingOutput() + entry.Kernel;
}

void DrainingPool::AskKernel(int index)
{
    Entry& entry = m_entries[size_t(index)];
    SocketObject& socket = m_sockets(index);
    // Once a connection has failed the kernel has let its bytes go: the last answer is the best count.
    if (!socket.IsConnected())
        return;
    const qint64 kernel = socket.Unacknowledged();
    m_kernelBytes += kernel - entry.Kernel;
    entry.Kernel = kernel;
}

void DrainingPool::Settle(int index)
{
    const Entry& entry = m_entries[size_t(index)];
    SocketObject& socket = m_sockets(index);
    if (!socket.IsConnected() || !entry.Waiting.isEmpty() || socket.PendingOutput() > 0)
        return;
    AskKernel(index);
    if (entry.Kernel > 0)
        return; // asked again at the next acknowledgement check
    socket.Command(Constants::CommandClose);
    socket.Reset();
    Release(index);
}

void DrainingPool::Finish(int index, const Failure& failure)
{
    const Entry& entry = m_entries[size_t(index)];
    const qint64 discarded = HeldAt(index);
    if (discarded > 0) {
        ++m_givenUp;
        m_events.BytesDiscarded(RelayEvents::From::Client, entry.Slot, discarded, RelayEvents::Discard::Undelivered);
        m_reports.Report(QStringLiteral("drain %1").arg(failure.Code), Reports::SendingToServer(entry.Slot, discarded),
                         failure, discarded);
    }
    SocketObject& socket = m_sockets(index);
    // A reset, not an orderly close: nothing of what was counted goes out after all.
    if (discarded > 0)
        socket.Abort();
    else
        socket.Command(Constants::CommandClose);
    socket.Reset();
    Release(index);
}

void DrainingPool::Release(int index)
{
    Entry& entry = m_entries[size_t(index)];
    if (entry.Slot == 0)
        return;
    m_waitingBytes -= entry.Waiting.size();
    m_kernelBytes -= entry.Kernel;
    entry = Entry();
    if (--m_count == 0)
        m_acknowledgementCheck.stop();
    emit Left();
}

void DrainingPool::OnConnected(int index)
{
    Entry& entry = m_entries[size_t(index)];
    SocketObject& socket = m_sockets(index);
    if (!entry.Waiting.isEmpty() && socket.Write(entry.Waiting)) {
        m_waitingBytes -= entry.Waiting.size();
        entry.Waiting = QByteArray();
    }
    entry.LastHeld = HeldAt(index);
    Settle(index);
}

void DrainingPool::OnConnectFailed(int index, int errorCode)
{
    Finish(index, Failure{errorCode, NativeSocket::ErrorText(errorCode)});
}

void DrainingPool::OnDataArrived(int index)
{
    // Whatever the RIX still says has nobody to go to; it is read so that the close stays orderly.
    SocketObject& socket = m_sockets(index);
    AskKernel(index); // while it can still answer: the end may be read below
    char buffer[16384];
    while (socket.MayHaveMore() && socket.Read(buffer, sizeof buffer) > 0) { }
    if (!socket.IsConnected()) {
        const int error = socket.ErrorCode() != Constants::WouldBlock ? socket.ErrorCode() : 0;
        Finish(index,
               Failure{error,
                       error != 0 ? NativeSocket::ErrorText(error) : QStringLiteral("The RIX closed the connection")});
    }
}

void DrainingPool::OnClosed(int index)
{
    Release(index);
}

void DrainingPool::OnDrained(int index)
{
    Settle(index);
}

void DrainingPool::OnAcknowledgementCheck()
{
    for (int i = 1; i < m_sockets.Count(); ++i) {
        if (m_entries[size_t(i)].Slot != 0)
            Settle(i);
    }
}
