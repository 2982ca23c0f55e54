#include "app/ServiceStatus.h"

#include "core/Clock.h"
#include "core/RelayCounters.h"
#include "core/Constants.h"
#include "core/Failure.h"
#include "core/RuntimeState.h"
#include "files/Journal.h"
#include "files/NativeFile.h"
#include "net/LinkWatch.h"
#include "net/Relay.h"

#include <QDir>

using Journal::Priority;

ServiceStatus::ServiceStatus(const RuntimeState& state, Relay& relay, const RelayCounters& counters, const Clock& clock,
                             QObject* parent)
    : QObject(parent)
    , m_state(state)
    , m_relay(relay)
    , m_counters(counters)
    , m_clock(clock)
{
    m_tick.setInterval(1000);
    m_tick.setTimerType(Qt::PreciseTimer);
    connect(&m_tick, &QTimer::timeout, this, [this] { Check(true); });
}

void ServiceStatus::Started(const QString& folder)
{
    m_startedMs = m_clock.MonotonicMs();
    Journal::Write(Priority::Info,
                   QStringLiteral("relaying; iplog.ini and the logs are in %1").arg(QDir::toNativeSeparators(folder)));
    const QString rix = m_state.RixIPAddress + u':' + QString::number(m_state.RixIPPort);
    Journal::Write(Priority::Info,
                   m_state.OperationMode == Constants::ListenMode
                       ? QStringLiteral("listen mode: clients on %1, RIX at %2").arg(ClientSide(), rix)
                       : QStringLiteral("connect mode: client at %1, RIX at %2").arg(ClientSide(), rix));
    Check(false);
    m_sentStatus = StatusLine();
    Notify("READY=1\nSTATUS=" + m_sentStatus.toUtf8());
    m_tick.start();
}

void ServiceStatus::Reloading()
{
    Notify("RELOADING=1");
}

void ServiceStatus::Reloaded(const QString& applied)
{
    if (!applied.isEmpty())
        Journal::Write(Priority::Info, applied);
    // The client side as the new settings left it; the status follows at the next tick.
    Check(false);
    Notify("READY=1");
}

void ServiceStatus::Stopping()
{
    m_tick.stop();
    Notify("STOPPING=1");
}

void ServiceStatus::Stopped()
{
    Journal::Write(Priority::Info,
                   QStringLiteral("stopped after %1").arg(LinkWatch::Duration(m_clock.MonotonicMs() - m_startedMs)));
}

QString ServiceStatus::StatusLine() const
{
    QString line;
    if (!ClientSideOpen()) {
        line = NotOpenText();
    } else if (m_state.OperationMode == Constants::ListenMode) {
        const int clients = m_state.ConnectedClients;
        line = QStringLiteral("listening on %1, %2 %3")
                   .arg(ClientSide())
                   .arg(clients)
                   .arg(clients == 1 ? QStringLiteral("client") : QStringLiteral("clients"));
    } else {
        line = QStringLiteral("client %1 %2").arg(ClientSide(), LinkText(m_relay.ClientLink()));
    }
    line += QStringLiteral(", RIX %1:%2 %3")
                .arg(m_state.RixIPAddress)
                .arg(m_state.RixIPPort)
                .arg(LinkText(m_relay.RixLink()));
    // What the counters say since the start.
    const RelayCounters::Totals& all = m_counters.All();
    line += QStringLiteral("; %1 bytes from clients, %2 to them").arg(all.FromClientsBytes).arg(all.ToClientsBytes);
    if (const qint64 refused = all.RefusedNotAllowed + all.RefusedAtCap + all.RefusedNoDescriptor; refused > 0)
        line += QStringLiteral(", %1 refused").arg(refused);
    return line;
}

void ServiceStatus::Check(bool sendStatus)
{
    const bool listenMode = m_state.OperationMode == Constants::ListenMode;
    const QString side = (listenMode ? QStringLiteral("listen ") : QStringLiteral("connect ")) + ClientSide();
    const bool open = ClientSideOpen();
    // Only a change is news: a port that stays busy for a week is written once.
    if (side != m_writtenSide || open != m_writtenOpen) {
        const bool again = side == m_writtenSide;
        m_writtenSide = side;
        m_writtenOpen = open;
        if (!open) {
            Journal::Write(Priority::Error, NotOpenText());
        } else if (listenMode) {
            Journal::Write(Priority::Info,
                           (again ? QStringLiteral("listening again on ") : QStringLiteral("listening on "))
                               + ClientSide());
        }
        // In connect mode the start-up or reload line already says where the relay connects to.
    }
    if (!sendStatus)
        return;
    const QString status = StatusLine();
    if (status != m_sentStatus) {
        m_sentStatus = status;
        Notify("STATUS=" + status.toUtf8());
        // A tick that came late must not bring the next one closer than a second to this message.
        m_tick.start();
    }
}

QString ClientSideText(const RuntimeState& state, const QString& listenAddress)
{
    const QString port = u':' + QString::number(state.ClientIPPort);
    if (state.OperationMode != Constants::ListenMode)
        return state.ClientIPAddress + port;
    return (listenAddress.isEmpty() ? QStringLiteral("0.0.0.0") : listenAddress) + port;
}

QString ServiceStatus::ClientSide() const
{
    return ClientSideText(m_state, m_relay.Admission.ListenAddress);
}

bool ServiceStatus::ClientSideOpen() const
{
    return Constants::IsPort(m_state.ClientIPPort)
        && (m_state.OperationMode != Constants::ListenMode || m_relay.wscktClient(0).IsListening());
}

QString ServiceStatus::NotOpenText() const
{
    QString why = m_relay.ListenFailure();
    if (!Constants::IsPort(m_state.ClientIPPort))
        why = QStringLiteral("Client IP Port %1 in iplog.ini is not a port (1 to 65535)").arg(m_state.ClientIPPort);
    else if (why.isEmpty())
        why = QStringLiteral("not opened yet");
    return (m_state.OperationMode == Constants::ListenMode ? QStringLiteral("NOT listening on %1: %2")
                                                           : QStringLiteral("NOT connecting to the client at %1: %2"))
        .arg(ClientSide(), why);
}

QString ServiceStatus::LinkText(const LinkWatch& link) const
{
    if (!link.IsUp() && !link.IsDown())
        return QStringLiteral("not yet connected");
    // A relay runs for months: a time of an earlier day carries its date.
    const QDateTime since = link.Since();
    const QString when = since.date() == m_clock.Now().date() ? since.toString(QStringLiteral("HH:mm"))
                                                              : since.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    return (link.IsUp() ? QStringLiteral("up since ") : QStringLiteral("down since ")) + when;
}

void ServiceStatus::Notify(const QByteArray& message)
{
    const QByteArray socket = qgetenv("NOTIFY_SOCKET");
    if (socket.isEmpty())
        return;
    try {
        NativeFile::SendDatagram(socket, message);
    } catch (const Failure& failure) {
        // The relay runs on without the service manager's status; said once, not at every change.
        if (!m_notifyFailed)
            Journal::Write(Priority::Warning,
                           QStringLiteral("cannot tell the service manager its state through %1: %2")
                               .arg(QString::fromLocal8Bit(socket), failure.Description));
        m_notifyFailed = true;
    }
}
