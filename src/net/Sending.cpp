#include "net/Sending.h"

#include "core/Failure.h"
#include "core/RuntimeState.h"
#include "net/Relay.h"

#include <cstring>

qsizetype ApplyZeroByteRule(char* data, qsizetype size)
{
    qsizetype read = 0;
    if (size >= 2 && data[1] == 0 && (data[0] == 24 || data[0] == 25))
        read = 2; // the status frames' second byte stays
    qsizetype write = read;
    while (read < size) {
        const auto* zero = static_cast<const char*>(std::memchr(data + read, 0, size_t(size - read)));
        const qsizetype runEnd = zero ? zero - data : size;
        if (write != read)
            std::memmove(data + write, data + read, size_t(runEnd - read));
        write += runEnd - read;
        read = runEnd + 1;
    }
    return write;
}

void Relay::WriteToClient(int slot, QByteArrayView data)
{
    try {
        SocketObject& client = wscktClient(slot);
        if (!client.IsConnected())
            return; // the client has gone: RIX data for it is dropped
        client.Write(data);
        // A client that does not keep up: stop reading its RIX side until it has drained.
        if (MustPause(client.PendingOutput()))
            wsktServer(slot).PauseReading(true);
    } catch (const Failure& failure) {
        m_errors.Report(Reports::SendingToRix(slot, data.size()), failure);
    }
}

void Relay::ForwardToClient(int slot, char* data, qsizetype size)
{
    const qsizetype length = ApplyZeroByteRule(data, size);
    if (length > 0)
        WriteToClient(slot, QByteArrayView(data, length));
}

void Relay::ForwardToRix(int slot, QByteArrayView burst)
{
    qsizetype length = burst.size();
    try {
        ConnectionRecord& record = m_state.Slot(slot);
        length += record.ClientData.size();
        SocketObject& rix = wsktServer(slot);
        // Earlier bytes that wait for the RIX go first; a new burst queues behind them.
        if (!record.ClientData.isEmpty() || !rix.IsConnected()) {
            m_clientDataBytes += burst.size();
            record.ClientData.append(burst);
            if (rix.IsConnected() && rix.Write(record.ClientData))
                ReleaseClientData(record);
        } else if (!rix.Write(burst)) {
            m_clientDataBytes += burst.size();
            record.ClientData = burst.toByteArray();
        }
        // Bounded memory: while the RIX side holds a lot unsent, or it is down and the client keeps
        // sending, stop reading from the client. TCP pushes back on it; nothing is dropped.
        if (MustPause(rix.PendingOutput() + record.ClientData.size()))
            wscktClient(slot).PauseReading(true);
    } catch (const Failure& failure) {
        m_errors.Report(Reports::SendingToServer(slot, length), failure);
    }
}

void Relay::ReleaseClientData(ConnectionRecord& record)
{
    m_clientDataBytes -= record.ClientData.size();
    record.ClientData = QByteArray();
}
