#include "core/StatusView.h"

#include "core/Failure.h"
#include "core/RuntimeState.h"

void UpdateConnectionLabels(RuntimeState& state, StatusView& view, ErrorReporter& errors)
{
    try {
        QStringList lines;
        for (int i = 1; i <= state.ConnectionCount; ++i) {
            const ConnectionRecord& record = state.Slot(i);
            if (record.Connected)
                lines.append(record.ClientAddress + QStringLiteral(" -> Connected"));
        }
        if (lines.size() > 32767)
            throw Failure{6, QStringLiteral("Overflow")};
        state.ShownClientLabels = qint16(lines.size());
        view.ShowClientLines(lines);
    } catch (const Failure& failure) {
        errors.Report(Reports::UpdatingLables, failure);
    }
}
