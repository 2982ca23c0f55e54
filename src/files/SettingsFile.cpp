#include "files/SettingsFile.h"

#include "core/Constants.h"
#include "core/Failure.h"
#include "core/NumberFromText.h"
#include "core/RuntimeState.h"
#include "files/LogText.h"

#include <QFile>
#include <QSaveFile>
#include <QStringList>

namespace {

const QString FileName = QStringLiteral("iplog.ini");

// Items end at a comma or a line end; blanks before an item are skipped; an item that starts with a
// double quote runs to the closing quote (quotes not included). Blanks after an item are dropped.
QStringList SplitItems(const QString& text)
{
    QStringList items;
    qsizetype pos = 0;
    const qsizetype end = text.size();
    const auto isLineEnd = [](QChar c) { return c == u'\n' || c == u'\r'; };
    while (pos < end) {
        while (pos < end && (text[pos] == u' ' || text[pos] == u'\t'))
            ++pos;
        QString item;
        if (pos < end && text[pos] == u'"') {
            const qsizetype close = text.indexOf(u'"', pos + 1);
            const qsizetype stop = close < 0 ? end : close;
            item = text.mid(pos + 1, stop - pos - 1);
            pos = stop < end ? stop + 1 : end;
            while (pos < end && text[pos] != u',' && !isLineEnd(text[pos]))
                ++pos; // whatever follows the closing quote up to the delimiter is not part of it
        } else {
            const qsizetype start = pos;
            while (pos < end && text[pos] != u',' && !isLineEnd(text[pos]))
                ++pos;
            item = text.mid(start, pos - start);
            while (item.endsWith(u' ') || item.endsWith(u'\t'))
                item.chop(1);
        }
        items.append(item);
        // One delimiter ends the item: a comma, or a line end (CR LF counts once).
        if (pos < end && text[pos] == u',') {
            ++pos;
        } else if (pos < end && text[pos] == u'\r') {
            ++pos;
            if (pos < end && text[pos] == u'\n')
                ++pos;
        } else if (pos < end) {
            ++pos;
        }
    }
    return items;
}

void ApplyItem(RuntimeState& state, const QString& item)
{
    // The value stands at a fixed place, one past the key; the character in between is not looked at.
    const auto value = [&item](qsizetype keyLength) { return item.mid(keyLength + 1); };
    if (item.startsWith(QLatin1String("RIX IP Port"))) {
        const int v = NumberFromText(value(11));
        state.RixIPPort = v > 0 ? v : Constants::DefaultRixIPPort;
    } else if (item.startsWith(QLatin1String("RIX IP Address"))) {
        const QString v = value(14);
        state.RixIPAddress = v.isEmpty() ? Constants::DefaultIPAddress : v;
    } else if (item.startsWith(QLatin1String("Client IP Port"))) {
        const int v = NumberFromText(value(14));
        state.ClientIPPort = v >= 0 ? v : Constants::DefaultClientIPPort;
    } else if (item.startsWith(QLatin1String("Client IP Address"))) {
        const QString v = value(17);
        state.ClientIPAddress = v.isEmpty() ? Constants::DefaultIPAddress : v;
    } else if (item.startsWith(QLatin1String("Packet Size"))) {
        int v = NumberFromText(value(11));
        if (v <= 1024)
            v = Constants::DefaultPacketSize;
        state.PacketSize = qint16(v >= Constants::DefaultPacketSize ? Constants::DefaultPacketSize : v);
    } else if (item.startsWith(QLatin1String("Server Mode"))) {
        state.OperationMode = value(11) == QLatin1String("Yes") ? Constants::ListenMode : Constants::ConnectMode;
    } else if (item.startsWith(QLatin1String("Log Data"))) {
        state.LogData = value(8) == QLatin1String("Yes");
    }
}

} // namespace

bool ReadSettingsFile(RuntimeState& state, ErrorReporter& errors)
{
    const QString path = state.AppPath + FileName;
    if (!QFile::exists(path)) {
        state.RixIPPort = Constants::DefaultRixIPPort;
        state.ClientIPPort = Constants::DefaultClientIPPort;
        state.RixIPAddress = Constants::DefaultIPAddress;
        state.ClientIPAddress = Constants::DefaultIPAddress;
        state.PacketSize = Constants::DefaultPacketSize;
        state.LogData = false;
        return true;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        errors.Report(Reports::ReadingSettings, Failure{int(file.error()), file.errorString()});
        return false;
    }
    const QString text = QString::fromLocal8Bit(file.readAll());
    file.close();

    // A line that cannot be used is reported and skipped; the other lines still count, and the
    // file stays as the user wrote it.
    bool complete = true;
    for (const QString& item : SplitItems(text)) {
        try {
            ApplyItem(state, item);
        } catch (const Failure& failure) {
            errors.Report(Reports::ReadingSettings, failure);
            complete = false;
        }
    }
    return complete;
}

bool WriteSettingsFile(const RuntimeState& state, ErrorReporter& errors)
{
    QString text = QStringLiteral("CONFIGURATION\r\n");
    text += QStringLiteral("RIX IP Port=%1\r\n").arg(state.RixIPPort);
    text += QStringLiteral("RIX IP Address=") + state.RixIPAddress + QStringLiteral("\r\n");
    text += QStringLiteral("Client IP Port=%1\r\n").arg(state.ClientIPPort);
    text += QStringLiteral("Client IP Address=") + state.ClientIPAddress + QStringLiteral("\r\n");
    text += QStringLiteral("Packet Size=%1\r\n").arg(state.PacketSize);
    text += QStringLiteral("Server Mode=") + QLatin1String(state.OperationMode == Constants::ListenMode ? "Yes" : "No")
        + QStringLiteral("\r\n");
    text += QStringLiteral("Log Data=") + QLatin1String(state.LogData ? "Yes" : "No") + QStringLiteral("\r\n");

    // Written beside the old file and renamed over it, so a failed write leaves the old one whole.
    QSaveFile file(state.AppPath + FileName);
    const QByteArray bytes = LogText::Encode(text);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        errors.Report(Reports::WritingSettings, Failure{int(file.error()), file.errorString()});
        return false;
    }
    return true;
}
