#pragma once

#include "core/RelayEvents.h"
#include "core/StatusView.h"

#include <QDate>
#include <QIcon>
#include <QList>
#include <QMainWindow>
#include <QTimer>

#include <functional>
#include <optional>

class QAction;
class QMenu;
class QScrollArea;
class QSystemTrayIcon;
class ClientLinesView;
class frmConnections;
class OneLineLabel;
class Relay;
class RelayCounters;
class RuntimeState;

// The status window: caption, one line per connected client, the client count, the last message
// each way and the ports. Its layout is designed in twips and drawn in pixels at the screen's
// resolution; every label keeps to one line. Minimising hides it into the notification area when
// there is one. Under the ports, one line tells how the links stand; while the RIX is unreachable or
// the client port is closed, the notification-area icon is marked and its tooltip says why. A status
// bar under the design says whether the data log is on, and how large its file is. File >
// Connections... opens a table of the connected clients.
class frmMain final : public QMainWindow, public StatusView, public RelayEvents {
    Q_OBJECT
public:
    explicit frmMain(const RuntimeState& state, QWidget* parent = nullptr);
    ~frmMain() override;

    void SetCaption(const QString& caption) override;
    void ShowPortSummary(const QString& text) override;
    void ShowListening(bool listening) override;
    void ShowConnectionCount(const QString& text) override;
    void ClientLinesChanged() override;
    void ShowLastClientMessage(const QString& text) override;
    void ShowLastRixMessage(const QString& text) override;
    // A link went up or down: the link line and the icon follow at the next frame, as they do at
    // every frame the window draws.
    void LinkChanged(Link link, bool up) override;

    // Where the link line and the connections table read the links and clients; set once the relay
    // exists. Until then the line is empty and the table cannot be opened.
    void WatchLinks(const RelayCounters& counters, const Relay& relay);
    // File > Connections...: the table, made when first asked for, shown and brought to the front.
    void ShowConnections();

    // Applies what the relay has asked the window to show since the last frame, now. The window
    // otherwise does this by itself at most once a frame, however fast the relay reports.
    void Refresh();

    void RestoreFromTray();
    void ExitFromTray();

    // How many client lines the window shows now.
    qint16 ShownClientLabels = 0;
    // Set while the window comes back from the notification area, so that the state changes that
    // brings do not send it back there.
    bool RestoringFromTray = false;

    // Whether a notification area is there to minimise into; tests may answer for the platform.
    std::function<bool()> TrayAvailable;
    // While the window is hidden in the notification area: checks that the area is still there, and
    // brings the window back when it has gone (its panel died), since nothing else could.
    QTimer tmrTrayWatch;
    static constexpr int TrayWatchMs = 3000;

    ClientLinesView* LblClient = nullptr;
    OneLineLabel* lblLastClientMessage = nullptr;
    OneLineLabel* lblLastRIXMessage = nullptr;
    OneLineLabel* lblConnections = nullptr;
    OneLineLabel* lblIPPorts = nullptr;
    OneLineLabel* lblLink = nullptr;
    OneLineLabel* lblDataLog = nullptr;
    frmConnections* Connections = nullptr;
    // While the window is shown: the data log's state and size, once a second.
    QTimer tmrDataLog;
    static constexpr int DataLogMs = 1000;
    // A time shown without its date gains it when the day changes: the link line is shown again then.
    QTimer tmrNewDay;
    // Today's date, as the window shows times against it; tests may set the day.
    std::function<QDate()> Today;
    QMenu* mnuFile = nullptr;
    QAction* mnuSetup = nullptr;
    QAction* mnuConnections = nullptr;
    QAction* mnuExit = nullptr;
    QMenu* mnuSysTray = nullptr;
    QAction* mnuPopRestore = nullptr;
    QAction* mnuPopExit = nullptr;
    QSystemTrayIcon* TrayIcon = nullptr;

signals:
    // The window is closing: the shutdown sequence must run now.
    void Closing();

protected:
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    int Pixels(int twips) const;
    int AvailableHeight() const;
    void Layout();
    void KeepOnScreen();
    void GoToTray();
    void RestoreModalDialogs();
    void Schedule();
    void ShowClientLines();
    void ShowPorts();
    void ShowLinks();
    void ShowDataLog();

    const RuntimeState& m_state;
    QScrollArea* m_linesArea = nullptr;
    QString m_portSummary;
    bool m_listening = true;
    bool m_closing = false;
    bool m_linesStale = false; // the client lines changed while the window was hidden
    QTimer m_refreshTimer;
    const RelayCounters* m_counters = nullptr;
    const Relay* m_relay = nullptr;
    QIcon m_troubleIcon;
    struct Pending {
        std::optional<QString> Caption, PortSummary, ConnectionCount, LastClientMessage, LastRixMessage;
        std::optional<bool> Listening;
        bool ClientLines = false;
    } m_pending;
};
