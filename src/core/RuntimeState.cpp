#include "core/RuntimeState.h"

#include "core/Constants.h"
#include "core/Failure.h"

namespace {

[[noreturn]] void ThrowOverflow()
{
    throw Failure{FailureCode::Overflow, QStringLiteral("Overflow")};
}

[[noreturn]] void ThrowBadIndex(int i)
{
    throw Failure{FailureCode::SubscriptOutOfRange, QStringLiteral("Subscript out of range (slot %1)").arg(i)};
}

} // namespace

void RuntimeState::GrowTables()
{
    const auto rows = size_t(ConnectionCount) + 1;
    if (ConnectionTable.size() < rows)
        ConnectionTable.resize(rows);
}

ConnectionRecord& RuntimeState::Slot(int i)
{
    if (i < 1 || i > ConnectionCount || size_t(i) >= ConnectionTable.size())
        ThrowBadIndex(i);
    return ConnectionTable[size_t(i)];
}

void IncrementCounter(qint16& counter)
{
    if (counter >= Constants::CounterMax)
        ThrowOverflow();
    ++counter;
}

void DecrementCounter(qint16& counter)
{
    if (counter <= Constants::CounterMin)
        ThrowOverflow();
    --counter;
}

QString ConnectionCountText(int connectedClients)
{
    // "0000" pattern: a negative count keeps its sign in front of the padded digits.
    const QString digits = QStringLiteral("%1").arg(qAbs(connectedClients), 4, 10, QLatin1Char('0'));
    return QStringLiteral("Client Connections: ") + (connectedClients < 0 ? QStringLiteral("-") : QString()) + digits;
}

QString PortSummaryText(const RuntimeState& state)
{
    return QStringLiteral("RIX IP Port:%1/Client IP Port:%2").arg(state.RixIPPort).arg(state.ClientIPPort);
}

QString ProgramFolder(const QString& applicationDir)
{
    if (applicationDir.endsWith(u'/') || applicationDir.endsWith(u'\\'))
        return applicationDir;
    return applicationDir + u'/';
}
