#pragma once

#include <QDate>
#include <QDialog>
#include <QTimer>

#include <functional>

class QAction;
class QLabel;
class QTableView;
class ConnectionsModel;
class RelayCounters;

// File > Connections...: one row per connected client (slot, address and port, since when, bytes
// and bursts each way, last activity) and their totals underneath. Not modal. While shown it is
// refreshed once a second; hidden, it holds no rows and nothing runs for it.
class frmConnections final : public QDialog {
    Q_OBJECT
public:
    // today: the date the times are shown against.
    frmConnections(const RelayCounters& counters, std::function<QDate()> today, QWidget* parent);

    // Takes the counters as they are now; the timer does it once a second while the table is shown.
    void Refresh();
    // The selected rows, or every row when none is selected, as tab-separated text, onto the clipboard.
    void Copy();

    static constexpr int RefreshMs = 1000;
    QTimer tmrRefresh;
    QTableView* Table = nullptr;
    QLabel* lblTotals = nullptr;
    ConnectionsModel* Model = nullptr;
    QAction* mnuCopy = nullptr;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
};
