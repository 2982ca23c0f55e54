#include "net/Relay.h"

#include "core/Constants.h"
#include "core/Failure.h"
#include "core/RuntimeState.h"
#include "core/StatusView.h"
#include "files/FileAccess.h"
#include "net/LoginString.h"

namespace {

constexpr int ReadsPerEvent = 16;

} // namespace

void Relay::OnRixConnected(int index)
{
    m_view.SetCaption(Constants::CaptionConnected);
    try {
        // Client bytes that waited for this connection go out now, not with the client's next burst.
        const ConnectionRecord& record = m_state.Slot(index);
        if (record.Connected && !record.ClientData.isEmpty())
            ForwardToRix(index, {});
        ResumeClientReading(index);
    } catch (const Failure& failure) {
        m_errors.Report(Reports::ServerMessageData, failure);
    }
}

void Relay::OnRixConnectFailed(int)
{
    m_view.SetCaption(Constants::CaptionDisconnected);
}

void Relay::OnRixDataArrived(int index)
{
    try {
        SocketObject& rix = wsktServer(index);
        char* buffer = m_readBuffer.get();
        // Each read is one burst, handled straight from the shared buffer.
        for (int reads = 0; reads < ReadsPerEvent; ++reads) {
            const qint64 n = rix.Read(buffer, ReadBufferSize);
            if (n <= 0) {
                if (rix.ErrorCode() != Constants::WouldBlock)
                    m_errors.Report(Reports::SocketError(rix.ErrorCode(), m_state.RixIPAddress));
                return;
            }
            const QByteArrayView burst(buffer, n);
            // The RIX's own login confirmation: the client already has ours.
            const bool isLogin = n == m_state.LoginString.size() && n > 0 && burst[0] == m_state.LoginString[0]
                && CompareLoginString(m_state.LoginString, burst);
            if (!isLogin) {
                // Logged and shown as received; the client gets it after the zero-byte rule.
                m_data.WriteDataLog(burst, m_state.RixIPAddress);
                m_data.ShowLastRixMessage(burst, m_state.RixIPAddress);
                ForwardToClient(index, buffer, n);
            }
            if (n < ReadBufferSize || rix.IsReadingPaused() || !rix.IsConnected())
                return;
        }
    } catch (const Failure& failure) {
        m_errors.Report(Reports::ServerMessageData, failure);
    }
}

void Relay::OnRixClosed(int index)
{
    m_view.SetCaption(Constants::CaptionDisconnected);
    try {
        wsktServer(index).Command(Constants::CommandClose);
        // Client bytes no longer wait behind a closed connection's output; the client may send again.
        ResumeClientReading(index);
    } catch (const Failure& failure) {
        m_errors.Report(Reports::ServerMessageData, failure);
    }
}

void Relay::OnRixDrained(int index)
{
    try {
        ResumeClientReading(index);
    } catch (const Failure& failure) {
        m_errors.Report(Reports::ServerMessageData, failure);
    }
}
