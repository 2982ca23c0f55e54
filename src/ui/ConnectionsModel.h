#pragma once

#include <QAbstractTableModel>
#include <QByteArray>
#include <QDate>
#include <QString>

#include <functional>
#include <vector>

class RelayCounters;

// The connected clients as a table, one row per client, taken from the relay's counters when asked
// (Refresh) and never in between: the relay does no work for it. Rows follow their client from one
// refresh to the next, so that a selection and the current row stay with the clients they were on; a
// client that left takes its row with it, and one that took its slot since gets a row of its own.
class ConnectionsModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column {
        SlotColumn,
        ClientColumn,
        SinceColumn,
        FromClientBytesColumn,
        ToClientBytesColumn,
        FromClientBurstsColumn,
        ToClientBurstsColumn,
        LastActivityColumn,
        ColumnCount
    };
    struct Totals {
        int Clients = 0;
        qint64 FromClientBytes = 0;
        qint64 ToClientBytes = 0;
        qint64 FromClientBursts = 0;
        qint64 ToClientBursts = 0;
    };

    // today: the date the times are shown against (a time of another day shows its date).
    ConnectionsModel(const RelayCounters& counters, std::function<QDate()> today, QObject* parent = nullptr);

    // The sessions as the counters hold them now.
    void Refresh();
    // Every row let go, while nobody looks.
    void Clear();
    const Totals& Sum() const { return m_totals; }
    // The rows given, in that order, as tab-separated text under a line of column titles.
    QString AsText(const QList<int>& rows) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

private:
    struct Row {
        int Slot = 0;
        qint64 SinceMs = 0; // with the slot and port, tells this client from a later one on its slot
        quint16 Port = 0;
        QString Address;
        QByteArray AddressKey; // sorts addresses by their numbers, not their text
        qint64 SinceSecs = 0; // since the epoch
        qint64 LastActivityMs = 0; // on the steady clock, as SinceMs
        qint64 FromClientBytes = 0;
        qint64 ToClientBytes = 0;
        qint64 FromClientBursts = 0;
        qint64 ToClientBursts = 0;
    };
    bool StillConnected(const Row& row) const;
    void Fill(Row& row) const;
    QString Text(const Row& row, int column) const;
    bool Less(const Row& a, const Row& b) const;
    void Resort();
    // Moves each row to its target row, and whatever points at it along.
    void Rearrange(const std::vector<int>& target);

    const RelayCounters& m_counters;
    std::function<QDate()> m_today;
    std::vector<Row> m_rows;
    Totals m_totals;
    int m_sortColumn = SlotColumn;
    Qt::SortOrder m_sortOrder = Qt::AscendingOrder;
};
