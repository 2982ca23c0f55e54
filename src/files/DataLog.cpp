#include "files/DataLog.h"

#include "core/Failure.h"
#include "core/RuntimeState.h"
#include "files/LogText.h"

#include <cstring>

namespace {

bool IsEscaped(quint8 byte)
{
    return byte < 32 && byte != '\n' && byte != '\r';
}

} // namespace

QByteArray FormatDataBytes(QByteArrayView data)
{
    // Two passes over raw memory: count what grows, then fill; this runs on every relayed burst.
    const auto* in = reinterpret_cast<const quint8*>(data.data());
    const qsizetype size = data.size();
    qsizetype escaped = 0;
    for (qsizetype i = 0; i < size; ++i)
        escaped += IsEscaped(in[i]);
    const bool endsInLineFeed = size > 0 && in[size - 1] == '\n';
    QByteArray text(size + escaped + (endsInLineFeed ? 0 : 2), Qt::Uninitialized);
    char* out = text.data();
    if (escaped == 0) {
        std::memcpy(out, in, size_t(size));
        out += size;
    } else {
        for (qsizetype i = 0; i < size; ++i) {
            if (IsEscaped(in[i])) {
                *out++ = '^';
                *out++ = char(in[i] + 64);
            } else {
                *out++ = char(in[i]);
            }
        }
    }
    if (!endsInLineFeed) {
        *out++ = '\r';
        *out++ = '\n';
    }
    return text;
}

DataLog::DataLog(const RuntimeState& state, const Clock& clock, ErrorReporter& errors)
    : m_state(state)
    , m_errors(errors)
    , m_file({FileName(), QStringLiteral("DataLog "), QStringLiteral(".log"), QByteArray()}, state, clock)
    , m_limit(clock)
{
}

void DataLog::WriteDataLog(QByteArrayView data, const QString& source)
{
    if (!m_state.LogData)
        return;
    try {
        m_file.Prepare();
        QByteArray entry = ' ' + LogText::Encode(source) + ": ";
        entry += FormatDataBytes(data);
        m_file.AppendWhole(entry);
        ++m_written;
    } catch (const Failure& failure) {
        if (m_limit.Quiet())
            m_limit.LeaveOut();
        else
            m_errors.Report(Reports::WritingDataLog, m_limit.Written(failure));
    }
}
