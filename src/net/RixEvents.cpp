#include "net/Relay.h"

#include "core/Constants.h"
#include "core/Failure.h"
#include "core/RuntimeState.h"
#include "core/StatusView.h"
#include "files/FileAccess.h"
#include "net/LoginString.h"

#include <algorithm>
#include <utility>

void Relay::OnRixConnected(int index)
{
    m_view.SetCaption(Constants::CaptionConnected);
    LinkUp(Side::Rix);
    try {
        // What an earlier connection of the slot left held goes out before anything of this one.
        RelayHeldLogin(index);
        m_loginFilter.Begin(index);
        // Client bytes that waited for this connection go out now, not with the client's next burst.
        const ConnectionRecord& record = m_state.Slot(index);
        if (record.Connected && !record.ClientData.isEmpty())
            ForwardToRix(index, {});
        ResumeClientReading(index);
    } catch (const Failure& failure) {
        m_errors.Report(Reports::ServerMessageData, failure);
    }
}

void Relay::OnRixConnectFailed(int index, int errorCode)
{
    m_view.SetCaption(Constants::CaptionDisconnected);
    LinkFailed(Side::Rix, Failure{errorCode, NativeSocket::ErrorText(errorCode)});
    try {
        // A client let in after waiting for room is read now, its bytes waiting for the next attempt.
        ResumeClientReading(index);
    } catch (const Failure& failure) {
        m_errors.Report(Reports::ServerMessageData, failure);
    }
}

void Relay::OnRixDataArrived(int index)
{
    try {
        ReadBursts(Side::Rix, index);
    } catch (const Failure& failure) {
        m_errors.Report(Reports::ServerMessageData, failure);
    }
}

void Relay::OnRixBurst(int slot, char* data, qsizetype size)
{
    QByteArray joined; // used only when bytes held from the last read come first
    const std::span<char> burst
        = m_loginFilter.Take(slot, std::span<char>(data, size_t(size)), m_sinceStart.elapsed(), joined);
    if (m_loginFilter.Holding() && !m_loginHold.isActive())
        m_loginHold.start(int(LoginFilter::HoldMs));
    if (!burst.empty())
        RelayRixBurst(slot, burst.data(), qsizetype(burst.size()));
}

void Relay::RelayRixBurst(int slot, char* data, qsizetype size)
{
    // Logged and shown as received; the client gets it after the zero-byte rule.
    const QByteArrayView burst(data, size);
    m_data.WriteDataLog(burst, m_state.RixIPAddress);
    m_data.ShowLastRixMessage(burst, m_state.RixIPAddress);
    ForwardToClient(slot, data, size);
}

void Relay::RelayHeldLogin(int slot)
{
    try {
        QByteArray held = m_loginFilter.TakeHeld(slot);
        if (!held.isEmpty())
            RelayRixBurst(slot, held.data(), held.size());
    } catch (const Failure& failure) {
        m_errors.Report(Reports::ServerMessageData, failure);
    }
}

void Relay::OnLoginHoldExpired()
{
    // The rest of a confirmation would have come by now: what is held was something else.
    const qint64 now = m_sinceStart.elapsed();
    for (const int slot : m_loginFilter.ExpiredSlots(now))
        RelayHeldLogin(slot);
    const qint64 next = m_loginFilter.NextExpiry();
    if (next >= 0)
        m_loginHold.start(int(std::max<qint64>(next - now, 0)));
}

void Relay::OnRixClosed(int index)
{
    // The RIX's last bytes reach the client before its end is handled.
    RelayHeldLogin(index);
    m_view.SetCaption(Constants::CaptionDisconnected);
    try {
        const qint64 unsent = wsktServer(index).UnsentAtClose();
        if (unsent > 0)
            m_peerReports.Report(QStringLiteral("rix unsent"), Reports::SendingToServer(index, unsent),
                                 Failure{FailureCode::NotConnected, QStringLiteral("The RIX connection ended")},
                                 unsent);
        ReportDroppedAfterReset(Side::Rix, index);
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
