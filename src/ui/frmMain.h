#pragma once

#include "core/StatusView.h"

#include <QList>
#include <QMainWindow>
#include <QTimer>

#include <functional>
#include <optional>

class QAction;
class QLabel;
class QMenu;
class QScrollArea;
class QSystemTrayIcon;
class ClientLinesView;
class RuntimeState;

// The status window: caption, one line per connected client, the client count, the last message
// each way and the ports. Its layout is kept in twips, as designed, and drawn in pixels at the
// screen's resolution. Minimising hides it into the notification area when there is one.
class frmMain final : public QMainWindow, public StatusView {
    Q_OBJECT
public:
    explicit frmMain(RuntimeState& state, QWidget* parent = nullptr);
    ~frmMain() override;

    void SetCaption(const QString& caption) override;
    void ShowPortSummary(const QString& text) override;
    void ShowConnectionCount(const QString& text) override;
    void ClientLinesChanged() override;
    void ShowLastClientMessage(const QString& text) override;
    void ShowLastRixMessage(const QString& text) override;

    // Where a control stands, in twips from the top of the window's client area, and the window's
    // outer height in twips (what the layout asked for; capped at the screen).
    int TopTwips(const QWidget* control) const;
    int HeightTwips() const { return m_heightTwips; }

    // Applies what the relay has asked the window to show since the last frame, now. The window
    // otherwise does this by itself at most once a frame, however fast the relay reports.
    void Refresh();

    void RestoreFromTray();
    void ExitFromTray();

    // Whether a notification area is there to minimise into; tests may answer for the platform.
    std::function<bool()> TrayAvailable;

    ClientLinesView* LblClient = nullptr;
    QLabel* lblLastClientMessage = nullptr;
    QLabel* lblLastRIXMessage = nullptr;
    QLabel* lblConnections = nullptr;
    QLabel* lblIPPorts = nullptr;
    QMenu* mnuFile = nullptr;
    QAction* mnuSetup = nullptr;
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
    void closeEvent(QCloseEvent* event) override;

private:
    QLabel* MakeLabel(const QString& name, const QString& text, QWidget* parent);
    void Place(QWidget* control, int leftTwips, int topTwips, int widthTwips, int heightTwips);
    int Pixels(int twips) const;
    void Layout(int lines);
    void GoToTray();
    void Schedule();
    void ShowClientLines();

    RuntimeState& m_state;
    QScrollArea* m_linesArea = nullptr;
    QHash<const QWidget*, int> m_topTwips;
    int m_heightTwips = 0;
    bool m_closing = false;
    bool m_linesStale = false; // the client lines changed while the window was hidden
    QTimer m_refreshTimer;
    struct Pending {
        std::optional<QString> Caption, PortSummary, ConnectionCount, LastClientMessage, LastRixMessage;
        bool ClientLines = false;
    } m_pending;
};
