#include "files/DataLog.h"

#include "core/Clock.h"
#include "core/Failure.h"
#include "core/RuntimeState.h"
#include "core/StatusView.h"
#include "files/LogText.h"

#include <QFileInfo>

QByteArray FormatDataBytes(QByteArrayView data)
{
    qsizetype controls = 0;
    for (char c : data) {
        const auto byte = quint8(c);
        controls += byte < 32 && byte != 10 && byte != 13;
    }
    QByteArray text;
    text.reserve(data.size() + controls + 2);
    if (controls == 0) {
        text.append(data);
    } else {
        for (char c : data) {
            const auto byte = quint8(c);
            if (byte < 32 && byte != 10 && byte != 13) {
                text.append('^');
                text.append(char(byte + 64));
            } else {
                text.append(c);
            }
        }
    }
    if (data.isEmpty() || data.back() != '\n')
        text.append("\r\n");
    return text;
}

namespace {

// A label shows at most this many bytes of a burst, then an ellipsis: rendering a whole
// multi-megabyte burst into a label would cost more than relaying it. The data log gets every byte.
constexpr qsizetype LabelBytes = 300;

// The labels get the rendering as text: bytes 128..255 are shown as their Latin-1 characters.
QString LabelText(QByteArrayView data, const QString& source)
{
    if (data.size() <= LabelBytes)
        return source + QStringLiteral(": ") + QString::fromLatin1(FormatDataBytes(data));
    QByteArray shown = FormatDataBytes(data.first(LabelBytes));
    shown.chop(2); // the line end belongs to the end of the burst, which is not shown
    return source + QStringLiteral(": ") + QString::fromLatin1(shown) + QChar(0x2026);
}

} // namespace

DataLog::DataLog(const RuntimeState& state, const Clock& clock, ErrorReporter& errors, StatusView& view)
    : m_state(state)
    , m_clock(clock)
    , m_errors(errors)
    , m_view(view)
{
}

void DataLog::WriteDataLog(QByteArrayView data, const QString& source)
{
    if (!m_state.LogData)
        return;
    try {
        const QString path = m_state.AppPath + FileName();
        const QFileInfo info(path);
        if (info.exists() && info.size() >= LogText::RollOverSize)
            LogText::RollOver(path, m_state.AppPath, QStringLiteral("DataLog "), QStringLiteral(".log"), m_clock.Now());
        QByteArray entry = ' ' + LogText::Encode(source) + ": ";
        entry += FormatDataBytes(data);
        LogText::AppendToFile(path, entry);
    } catch (const Failure& failure) {
        m_errors.Report(Reports::WritingDataLog, failure);
    }
}

void DataLog::ShowLastClientMessage(QByteArrayView data, const QString& source)
{
    m_view.ShowLastClientMessage(LabelText(data, source));
}

void DataLog::ShowLastRixMessage(QByteArrayView data, const QString& source)
{
    m_view.ShowLastRixMessage(LabelText(data, source));
}
