#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

class Clock;
class LinkWatch;
class Relay;
class RelayCounters;
class RuntimeState;

// The client side as the journal names it: the listener's address and port, or in connect mode the
// client's ("0.0.0.0:1100").
QString ClientSideText(const RuntimeState& state, const QString& listenAddress);

// What the relay tells whoever runs it, besides its logs. The journal (standard error) gets one line
// when something an operator needs changes: start-up, the client port listening or not, a reload,
// shutdown. The service manager (NOTIFY_SOCKET, set by systemd for a Type=notify unit) hears when
// the relay is ready, reloading or stopping, and a one-line status for `systemctl status`, sent when
// it changes and at most once a second. Without NOTIFY_SOCKET nothing is sent.
class ServiceStatus final : public QObject {
    Q_OBJECT
public:
    ServiceStatus(const RuntimeState& state, Relay& relay, const RelayCounters& counters, const Clock& clock,
                  QObject* parent = nullptr);

    // The start-up sequence has run: where the files are, the mode and both sides, whether the client
    // port is open; the service manager hears that the relay is ready.
    void Started(const QString& folder);
    // Around a re-read of iplog.ini. applied is the journal's line about what it changed; empty for a
    // file that was not applied (that has a warning line of its own).
    void Reloading();
    void Reloaded(const QString& applied);
    // At the start of the orderly shutdown, and at its end.
    void Stopping();
    void Stopped();

    // The status as it stands, in one line: "listening on 0.0.0.0:1100, 3 clients, RIX 10.0.0.5:1200
    // up since 12:03", or "NOT listening on 0.0.0.0:1100: Address already in use, RIX ...".
    QString StatusLine() const;
    // The listener's address and port, or in connect mode the client's: "0.0.0.0:1100".
    QString ClientSide() const;

private:
    // Writes what changed since the last look, and sends the status when it changed and sendStatus.
    void Check(bool sendStatus);
    // Whether the client side is open as the mode asks, and if not, why ("NOT listening on ...: why").
    bool ClientSideOpen() const;
    QString NotOpenText() const;
    QString LinkText(const LinkWatch& link) const;
    void Notify(const QByteArray& message);

    const RuntimeState& m_state;
    Relay& m_relay;
    const RelayCounters& m_counters;
    const Clock& m_clock;
    // Once a second: the status, and whether the listener opened since the last look.
    QTimer m_tick;
    qint64 m_startedMs = 0;
    // The client side as last written: where, in which mode, and whether it was open.
    QString m_writtenSide;
    bool m_writtenOpen = true;
    QString m_sentStatus;
    bool m_notifyFailed = false;
};
