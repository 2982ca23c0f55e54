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

frmConnections::frmConnections(const RelayCounters& counters, QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("frmConnections"));
    setWindowTitle(QStringLiteral("Connections"));
    setModal(false);

    Model = new ConnectionsModel(counters, this);
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
    lblTotals->setText(QStringLiteral("%1 %2 connected. From clients: %3 bytes in %4 bursts. To clients: %5 bytes "
                                      "in %6 bursts.")
                           .arg(sum.Clients)
                           .arg(sum.Clients == 1 ? QStringLiteral("client") : QStringLiteral("clients"))
                           .arg(sum.FromClientBytes)
                           .arg(sum.FromClientBursts)
                           .arg(sum.ToClientBytes)
                           .arg(sum.ToClientBursts));
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
