#include "core/StatusView.h"

#include "core/RuntimeState.h"

void UpdateConnectionLabels(RuntimeState&, StatusView& view, ErrorReporter&)
{
    view.ClientLinesChanged();
}

QStringList ConnectedClientLines(const RuntimeState& state)
{
    QStringList lines;
    for (size_t i = 1; i < state.ConnectionTable.size() && i <= size_t(state.ConnectionCount); ++i) {
        const ConnectionRecord& record = state.ConnectionTable[i];
        if (record.Connected)
            lines.append(record.ClientAddress + QStringLiteral(" -> Connected"));
    }
    return lines;
}
