#include "net/DrainingPool.h"

#include "core/Constants.h"
#include "core/Failure.h"

DrainingPool::DrainingPool(ReadinessBackend& backend, ErrorReporter& errors, QObject* parent)
    : QObject(parent)
    , m_errors(errors)
    , m_sockets(backend)
    , m_entries(1)
{
    connect(&m_sockets, &SocketArray::Connected, this, &DrainingPool::OnConnected);
    connect(&m_sockets, &SocketArray::ConnectFailed, this, &DrainingPool::OnConnectFailed);
    connect(&m_sockets, &SocketArray::DataArrived, this, &DrainingPool::OnDataArrived);
    connect(&m_sockets, &SocketArray::Closed, this, &DrainingPool::OnClosed);
    connect(&m_sockets, &SocketArray::OutputDrained, this, &DrainingPool::OnDrained);
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
    entry.SinceProgress.start();
    if (socket.IsConnected())
        OnConnected(index);
    entry.LastQueued = QueuedAt(index);
}

void DrainingPool::Check()
{
    for (int i = 1; i < m_sockets.Count(); ++i) {
        Entry& entry = m_entries[size_t(i)];
        if (entry.Slot == 0)
            continue;
        const qint64 queued = QueuedAt(i);
        if (queued < entry.LastQueued) {
            entry.LastQueued = queued;
            entry.SinceProgress.start();
        } else if (entry.SinceProgress.hasExpired(m_noProgressTimeoutMs)) {
            Finish(i, Failure{FailureCode::TimedOut,
                              QStringLiteral("The RIX took nothing for %1 ms").arg(m_noProgressTimeoutMs)});
        }
    }
}

qint64 DrainingPool::Queued() const
{
    qint64 queued = 0;
    for (int i = 1; i < m_sockets.Count(); ++i)
        queued += m_entries[size_t(i)].Waiting.size() + const_cast<SocketArray&>(m_sockets)(i).PendingOutput();
    return queued;
}

int DrainingPool::Count() const
{
    int count = 0;
    for (const Entry& entry : m_entries)
        count += entry.Slot != 0;
    return count;
}

void DrainingPool::CloseAll()
{
    for (int i = 1; i < m_sockets.Count(); ++i) {
        if (m_entries[size_t(i)].Slot != 0)
            Finish(i, Failure{FailureCode::TimedOut, QStringLiteral("The RIX did not take it before shutdown")});
    }
}

qint64 DrainingPool::QueuedAt(int index)
{
    return m_entries[size_t(index)].Waiting.size() + m_sockets(index).PendingOutput();
}

// Closes the connection; bytes it still held are reported as discarded.
void DrainingPool::Finish(int index, const Failure& failure)
{
    Entry& entry = m_entries[size_t(index)];
    const qint64 discarded = QueuedAt(index);
    if (discarded > 0)
        m_errors.Report(Reports::SendingToServer(entry.Slot, discarded), failure);
    SocketObject& socket = m_sockets(index);
    socket.Command(Constants::CommandClose);
    socket.Reset();
    entry = Entry();
}

void DrainingPool::OnConnected(int index)
{
    Entry& entry = m_entries[size_t(index)];
    SocketObject& socket = m_sockets(index);
    if (!entry.Waiting.isEmpty() && socket.Write(entry.Waiting))
        entry.Waiting = QByteArray();
    if (socket.PendingOutput() == 0 && entry.Waiting.isEmpty())
        Finish(index, {});
}

void DrainingPool::OnConnectFailed(int index, int errorCode)
{
    Finish(index, Failure{errorCode, NativeSocket::ErrorText(errorCode)});
}

void DrainingPool::OnDataArrived(int index)
{
    // Whatever the RIX still says has nobody to go to; it is read so that the close stays orderly.
    SocketObject& socket = m_sockets(index);
    char buffer[16384];
    while (socket.MayHaveMore() && socket.Read(buffer, sizeof buffer) > 0) {
    }
    if (!socket.IsConnected() && QueuedAt(index) > 0) {
        const int error = socket.ErrorCode() != Constants::WouldBlock ? socket.ErrorCode() : 0;
        Finish(index, Failure{error, error != 0 ? NativeSocket::ErrorText(error)
                                                : QStringLiteral("The RIX closed the connection")});
    }
}

void DrainingPool::OnClosed(int index)
{
    m_entries[size_t(index)] = Entry();
}

void DrainingPool::OnDrained(int index)
{
    if (m_entries[size_t(index)].Waiting.isEmpty())
        Finish(index, {});
}
