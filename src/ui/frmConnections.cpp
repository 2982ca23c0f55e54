#include "ui/frmConnections.h"

#include "ui/ConnectionsModel.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QScreen>
#include <QScrollBar>
#include <QShowEvent>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

frmConnections::frmConnections(const RelayCounters& counters, std::function<QDate()> today, QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("frmConnections"));
    setWindowTitle(QStringLiteral("Connections"));
    setModal(false);

    Model = new ConnectionsModel(counters, std::move(today), this);
    Table = new QTableView(this);
    Table->setObjectName(QStringLiteral("Table"));
    Table->setModel(Model);
    Table->setSelectionBehavior(QAbstractItemView::SelectRows);
    Table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    Table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Table->setWordWrap(false);
    Table->verticalHeader()->hide();
    // Rows one line high, all alike: 10,000 of them cost no measuring.
    Table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    Table->verticalHeader()->setDefaultSectionSize(Table->fontMetrics().height() + 6);
    Table->horizontalHeader()->setStretchLastSection(true);
    Table->setSortingEnabled(true);
    Table->sortByColumn(ConnectionsModel::SlotColumn, Qt::AscendingOrder);

    mnuCopy = new QAction(QStringLiteral("&Copy"), Table);
    mnuCopy->setObjectName(QStringLiteral("mnuCopy"));
    mnuCopy->setShortcut(QKeySequence::Copy);
    mnuCopy->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(mnuCopy, &QAction::triggered, this, &frmConnections::Copy);
    auto* selectAll = new QAction(QStringLiteral("Select &All"), Table);
    selectAll->setShortcut(QKeySequence::SelectAll);
    selectAll->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(selectAll, &QAction::triggered, Table, &QTableView::selectAll);
    Table->addActions({mnuCopy, selectAll});
    Table->setContextMenuPolicy(Qt::ActionsContextMenu);

    lblTotals = new QLabel(this);
    lblTotals->setObjectName(QStringLiteral("lblTotals"));
    lblTotals->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Table);
    layout->addWidget(lblTotals);
    resize(760, 360);

    tmrRefresh.setInterval(RefreshMs);
    connect(&tmrRefresh, &QTimer::timeout, this, &frmConnections::Refresh);
}

void frmConnections::Refresh()
{
    Model->Refresh();
    const ConnectionsModel::Totals& sum = Model->Sum();
    const auto count = [](qint64 n, const char* one, const char* many) {
        return QString::number(n) + u' ' + QLatin1String(n == 1 ? one : many);
    };
    lblTotals->setText(QStringLiteral("%1 connected. From clients: %2 in %3. To clients: %4 in %5.")
                           .arg(count(sum.Clients, "client", "clients"), count(sum.FromClientBytes, "byte", "bytes"),
                                count(sum.FromClientBursts, "burst", "bursts"),
                                count(sum.ToClientBytes, "byte", "bytes"),
                                count(sum.ToClientBursts, "burst", "bursts")));
}

void frmConnections::Copy()
{
    QList<int> rows;
    for (const QModelIndex& index : Table->selectionModel()->selectedRows())
        rows.append(index.row());
    if (rows.isEmpty()) {
        for (int row = 0; row < Model->rowCount(); ++row)
            rows.append(row);
    }
    std::sort(rows.begin(), rows.end());
    QGuiApplication::clipboard()->setText(Model->AsText(rows));
}

void frmConnections::showEvent(QShowEvent* event)
{
    Refresh();
    tmrRefresh.start();
    // Each column as wide as its title and the rows in view; the window wide enough for them all,
    // within the screen.
    Table->resizeColumnsToContents();
    if (!event->spontaneous()) {
        const int wanted = Table->horizontalHeader()->length() + Table->verticalScrollBar()->sizeHint().width()
            + 2 * Table->frameWidth() + layout()->contentsMargins().left() + layout()->contentsMargins().right();
        const int room = screen() ? screen()->availableGeometry().width() * 9 / 10 : wanted;
        resize(qMax(width(), qMin(wanted, room)), height());
    }
    QDialog::showEvent(event);
}

void frmConnections::hideEvent(QHideEvent* event)
{
    tmrRefresh.stop();
    Model->Clear();
    QDialog::hideEvent(event);
}
