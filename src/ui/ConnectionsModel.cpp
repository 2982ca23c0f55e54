#include "ui/ConnectionsModel.h"

#include "core/RelayCounters.h"
#include "ui/ShownTime.h"

#include <QDateTime>

#include <algorithm>
#include <array>
#include <compare>
#include <tuple>
#include <numeric>

namespace {

// A dotted IPv4 address as its four bytes, so that 10.0.0.9 sorts before 10.0.0.10; text that is no
// such address sorts after every address, by itself.
QByteArray AddressKey(const QString& address)
{
    const QStringList parts = address.split(u'.');
    QByteArray key;
    for (const QString& part : parts) {
        bool ok = false;
        const uint byte = part.toUInt(&ok);
        if (!ok || byte > 255 || parts.size() != 4)
            return QByteArray(4, '\xff') + address.toUtf8();
        key.append(char(byte));
    }
    return key;
}

} // namespace

ConnectionsModel::ConnectionsModel(const RelayCounters& counters, std::function<QDate()> today, QObject* parent)
    : QAbstractTableModel(parent)
    , m_counters(counters)
    , m_today(std::move(today))
{
}

bool ConnectionsModel::StillConnected(const Row& row) const
{
    const auto& sessions = m_counters.Sessions();
    if (size_t(row.Slot) >= sessions.size())
        return false;
    const RelayCounters::Session& session = sessions[size_t(row.Slot)];
    return session.Present && session.SinceMs == row.SinceMs && session.Port == row.Port
        && session.Address == row.Address;
}

void ConnectionsModel::Fill(Row& row) const
{
    const RelayCounters::Session& session = m_counters.Sessions()[size_t(row.Slot)];
    row.LastActivityMs = session.LastActivityMs;
    row.FromClientBytes = session.FromClientBytes;
    row.ToClientBytes = session.ToClientBytes;
    row.FromClientBursts = session.FromClientBursts;
    row.ToClientBursts = session.ToClientBursts;
}

void ConnectionsModel::Refresh()
{
    const auto& sessions = m_counters.Sessions();
    // Clients gone since the last refresh take their rows with them: the rows that stay move up, in
    // their order, with whatever points at them (selection, current row), and the others go from the
    // end at once, however many there are and wherever they stood.
    const int total = int(m_rows.size());
    std::vector<int> target(size_t(total), -1);
    int staying = 0;
    for (int row = 0; row < total; ++row) {
        if (StillConnected(m_rows[size_t(row)]))
            target[size_t(row)] = staying++;
    }
    if (staying < total) {
        bool moves = false;
        int next = staying;
        for (int row = 0; row < total; ++row) {
            if (target[size_t(row)] < 0)
                target[size_t(row)] = next++;
            moves = moves || target[size_t(row)] != row;
        }
        if (moves)
            Rearrange(target);
        beginRemoveRows({}, staying, total - 1);
        m_rows.erase(m_rows.begin() + staying, m_rows.end());
        endRemoveRows();
    }

    std::vector<bool> shown(sessions.size());
    for (Row& row : m_rows) {
        shown[size_t(row.Slot)] = true;
        Fill(row);
    }
    std::vector<Row> arrived;
    for (size_t slot = 0; slot < sessions.size(); ++slot) {
        const RelayCounters::Session& session = sessions[slot];
        if (!session.Present || shown[slot])
            continue;
        Row row;
        row.Slot = int(slot);
        row.SinceMs = session.SinceMs;
        row.Port = session.Port;
        row.Address = session.Address;
        row.AddressKey = AddressKey(session.Address);
        row.SinceSecs = session.Since.toSecsSinceEpoch();
        Fill(row);
        arrived.push_back(std::move(row));
    }
    if (!arrived.empty()) {
        const int first = int(m_rows.size());
        beginInsertRows({}, first, first + int(arrived.size()) - 1);
        std::move(arrived.begin(), arrived.end(), std::back_inserter(m_rows));
        endInsertRows();
    }
    Resort();
    if (!m_rows.empty())
        emit dataChanged(index(0, 0), index(int(m_rows.size()) - 1, ColumnCount - 1));

    m_totals = Totals();
    m_totals.Clients = int(m_rows.size());
    for (const Row& row : m_rows) {
        m_totals.FromClientBytes += row.FromClientBytes;
        m_totals.ToClientBytes += row.ToClientBytes;
        m_totals.FromClientBursts += row.FromClientBursts;
        m_totals.ToClientBursts += row.ToClientBursts;
    }
}

void ConnectionsModel::Clear()
{
    beginResetModel();
    m_rows = {};
    m_totals = Totals();
    endResetModel();
}

bool ConnectionsModel::Less(const Row& a, const Row& b) const
{
    std::weak_ordering order = std::weak_ordering::equivalent;
    switch (m_sortColumn) {
    case ClientColumn:
        order = std::tie(a.AddressKey, a.Port) <=> std::tie(b.AddressKey, b.Port);
        break;
    case SinceColumn:
        order = a.SinceMs <=> b.SinceMs;
        break;
    case FromClientBytesColumn:
        order = a.FromClientBytes <=> b.FromClientBytes;
        break;
    case ToClientBytesColumn:
        order = a.ToClientBytes <=> b.ToClientBytes;
        break;
    case FromClientBurstsColumn:
        order = a.FromClientBursts <=> b.FromClientBursts;
        break;
    case ToClientBurstsColumn:
        order = a.ToClientBursts <=> b.ToClientBursts;
        break;
    case LastActivityColumn:
        order = a.LastActivityMs <=> b.LastActivityMs;
        break;
    default:
        order = a.Slot <=> b.Slot;
        break;
    }
    if (order != 0)
        return m_sortOrder == Qt::AscendingOrder ? order < 0 : order > 0;
    // Equal in the sort column: by slot, so that the order never flickers.
    return a.Slot < b.Slot;
}

void ConnectionsModel::Resort()
{
    std::vector<int> order(m_rows.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [this](int a, int b) { return Less(m_rows[size_t(a)], m_rows[size_t(b)]); });
    if (std::is_sorted(order.begin(), order.end()))
        return;
    std::vector<int> target(m_rows.size());
    for (size_t i = 0; i < order.size(); ++i)
        target[size_t(order[i])] = int(i);
    Rearrange(target);
}

void ConnectionsModel::Rearrange(const std::vector<int>& target)
{
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    std::vector<Row> arranged(m_rows.size());
    for (size_t row = 0; row < m_rows.size(); ++row)
        arranged[size_t(target[row])] = std::move(m_rows[row]);
    m_rows = std::move(arranged);
    const QModelIndexList from = persistentIndexList();
    QModelIndexList to;
    to.reserve(from.size());
    for (const QModelIndex& old : from)
        to.append(index(target[size_t(old.row())], old.column()));
    changePersistentIndexList(from, to);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void ConnectionsModel::sort(int column, Qt::SortOrder order)
{
    m_sortColumn = column;
    m_sortOrder = order;
    Resort();
}

int ConnectionsModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int ConnectionsModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QString ConnectionsModel::Text(const Row& row, int column) const
{
    switch (column) {
    case SlotColumn:
        return QString::number(row.Slot);
    case ClientColumn:
        return row.Address + u':' + QString::number(row.Port);
    case SinceColumn:
        return ShownTime(QDateTime::fromSecsSinceEpoch(row.SinceSecs, Qt::UTC), m_today());
    case FromClientBytesColumn:
        return QString::number(row.FromClientBytes);
    case ToClientBytesColumn:
        return QString::number(row.ToClientBytes);
    case FromClientBurstsColumn:
        return QString::number(row.FromClientBursts);
    case ToClientBurstsColumn:
        return QString::number(row.ToClientBursts);
    case LastActivityColumn:
        // Measured from the connection on the steady clock, so that it never reads earlier than
        // "Connected since" and does not move while the client is quiet.
        return ShownTime(
            QDateTime::fromSecsSinceEpoch(row.SinceSecs + (row.LastActivityMs - row.SinceMs) / 1000, Qt::UTC),
            m_today());
    default:
        return {};
    }
}

QVariant ConnectionsModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= ColumnCount)
        return {};
    const int column = index.column();
    if (role == Qt::DisplayRole)
        return Text(m_rows[size_t(index.row())], column);
    if (role == Qt::TextAlignmentRole && column != ClientColumn)
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    return {};
}

QVariant ConnectionsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    static const std::array<QString, ColumnCount> titles{QStringLiteral("Slot"),
                                                         QStringLiteral("Client"),
                                                         QStringLiteral("Connected since"),
                                                         QStringLiteral("Bytes from client"),
                                                         QStringLiteral("Bytes to client"),
                                                         QStringLiteral("Bursts from client"),
                                                         QStringLiteral("Bursts to client"),
                                                         QStringLiteral("Last activity")};
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= ColumnCount)
        return QAbstractTableModel::headerData(section, orientation, role);
    return titles[size_t(section)];
}

QString ConnectionsModel::AsText(const QList<int>& rows) const
{
    QStringList cells;
    for (int column = 0; column < ColumnCount; ++column)
        cells.append(headerData(column, Qt::Horizontal).toString());
    QString text = cells.join(u'\t') + u'\n';
    for (int row : rows) {
        if (row < 0 || row >= rowCount())
            continue;
        cells.clear();
        for (int column = 0; column < ColumnCount; ++column)
            cells.append(Text(m_rows[size_t(row)], column));
        text += cells.join(u'\t') + u'\n';
    }
    return text;
}
