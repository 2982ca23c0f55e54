#include "core/StatusView.h"

#include "core/Failure.h"
#include "core/RuntimeState.h"

void UpdateConnectionLabels(RuntimeState& state, StatusView& view, ErrorReporter& errors)
{
    try {
        int shown = 0;
        for (int i = 1; i <= state.ConnectionCount; ++i)
            shown += state.Slot(i).Connected;
        if (shown > 32767)
            throw Failure{FailureCode::Overflow, QStringLiteral("Overflow")};
        state.ShownClientLabels = qint16(shown);
        view.ClientLinesChanged();
    } catch (const Failure& failure) {
        errors.Report(Reports::UpdatingLables, failure);
    }
}

QStringList ConnectedClientLines(const RuntimeState& state)
{
    QStringList lines;
    lines.reserve(state.ShownClientLabels);
    for (size_t i = 1; i < state.ConnectionTable.size() && i <= size_t(state.ConnectionCount); ++i) {
        const ConnectionRecord& record = state.ConnectionTable[i];
        if (record.Connected)
            lines.append(record.ClientAddress + QStringLiteral(" -> Connected"));
    }
    return lines;
}
