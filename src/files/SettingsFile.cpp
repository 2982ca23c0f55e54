#include "files/SettingsFile.h"

#include "core/Constants.h"
#include "core/Failure.h"
#include "core/NumberFromText.h"
#include "core/RuntimeState.h"
#include "files/LogText.h"
#include "files/NativeFile.h"

#include <QCryptographicHash>
#include <QStringList>

#include <optional>

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

// The settings a file holds, by the names its lines begin with.
const QStringList Keys
    = {QStringLiteral("RIX IP Port"),       QStringLiteral("RIX IP Address"), QStringLiteral("Client IP Port"),
       QStringLiteral("Client IP Address"), QStringLiteral("Packet Size"),    QStringLiteral("Server Mode"),
       QStringLiteral("Log Data")};

// The name of the setting the item set, or an empty text when it is none of them.
QString ApplyItem(RuntimeState& state, const QString& item)
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
    } else {
        return {};
    }
    for (const QString& key : Keys) {
        if (item.startsWith(key))
            return key;
    }
    return {};
}

// Eight short lines are a settings file; a file beyond this is not read, so memory stays bounded.
constexpr qint64 MaxFileSize = 16 * 1024 * 1024;

// The file's bytes for telling whether it changed on disk; absent when there is no file.
QByteArray DigestOf(const std::optional<QByteArray>& bytes)
{
    return bytes ? QCryptographicHash::hash(*bytes, QCryptographicHash::Sha256) : QByteArray();
}

} // namespace

bool ReadSettingsFile(RuntimeState& state, ErrorReporter& errors)
{
    const QString path = state.AppPath + FileName;
    std::optional<QByteArray> bytes;
    try {
        bytes = NativeFile::ReadWhole(path, MaxFileSize);
    } catch (const Failure& failure) {
        // Unreadable, or not a file at all: reported once, and kept as it is at shutdown.
        errors.Report(Reports::ReadingSettings, failure);
        state.SettingsRead = {SettingsFileRecord::Found::Unusable,
                              QByteArray(),
                              SettingsText(state),
                              {QStringLiteral("iplog.ini cannot be read: ") + failure.Description},
                              {}};
        return false;
    }
    if (!bytes) {
        state.RixIPPort = Constants::DefaultRixIPPort;
        state.ClientIPPort = Constants::DefaultClientIPPort;
        state.RixIPAddress = Constants::DefaultIPAddress;
        state.ClientIPAddress = Constants::DefaultIPAddress;
        state.PacketSize = Constants::DefaultPacketSize;
        state.LogData = false;
        state.SettingsRead = {SettingsFileRecord::Found::NoFile, QByteArray(), SettingsText(state), {}, {}};
        return true;
    }

    // A line that cannot be used is reported and skipped; the other lines still count, and the
    // file stays as the user wrote it.
    QStringList problems;
    QStringList missing = Keys;
    for (const QString& item : SplitItems(QString::fromLocal8Bit(*bytes))) {
        try {
            missing.removeOne(ApplyItem(state, item));
        } catch (const Failure& failure) {
            errors.Report(Reports::ReadingSettings, failure);
            problems.append(QStringLiteral("iplog.ini has a line that cannot be read (%1)").arg(failure.Description));
        }
    }
    const bool anySetting = missing.size() < Keys.size();
    // Empty, binary or UTF-16 text: nothing in it is a setting, so it is not ours to overwrite.
    if (!anySetting && problems.isEmpty()) {
        const Failure nothing{0, QStringLiteral("no setting could be read from it")};
        errors.Report(Reports::ReadingSettings, nothing);
        problems.append(QStringLiteral("iplog.ini cannot be used: ") + nothing.Description);
    }
    state.SettingsRead = {anySetting ? SettingsFileRecord::Found::Settings : SettingsFileRecord::Found::Unusable,
                          DigestOf(bytes), SettingsText(state), problems, missing};
    return problems.isEmpty();
}

bool WriteSettingsFile(const RuntimeState& state, ErrorReporter& errors)
{
    const QString path = state.AppPath + FileName;
    const QString text = SettingsText(state);
    const SettingsFileRecord& read = state.SettingsRead;
    try {
        if (text == read.Text) {
            // Nothing was changed in the program: the file is only brought to its written form, and
            // only when it still holds the settings (or the absence of a file) that were read.
            if (read.Kind == SettingsFileRecord::Found::Unusable)
                return true;
            std::optional<QByteArray> now;
            try {
                now = NativeFile::ReadWhole(path, MaxFileSize);
            } catch (const Failure&) {
                return true; // replaced by something that is not a file: the operator's doing
            }
            // Edited since start-up: left as the operator wrote it. A file deleted since is written
            // again, as it always was.
            if (now && DigestOf(now) != read.Digest)
                return true;
        }
        NativeFile::ReplaceWhole(path, LogText::Encode(text));
    } catch (const Failure& failure) {
        errors.Report(Reports::WritingSettings, failure);
        return false;
    }
    return true;
}

QString SettingsText(const Settings& settings)
{
    QString text = QStringLiteral("CONFIGURATION\r\n");
    text += QStringLiteral("RIX IP Port=%1\r\n").arg(settings.RixIPPort);
    text += QStringLiteral("RIX IP Address=") + settings.RixIPAddress + QStringLiteral("\r\n");
    text += QStringLiteral("Client IP Port=%1\r\n").arg(settings.ClientIPPort);
    text += QStringLiteral("Client IP Address=") + settings.ClientIPAddress + QStringLiteral("\r\n");
    text += QStringLiteral("Packet Size=%1\r\n").arg(settings.PacketSize);
    text += QStringLiteral("Server Mode=")
        + QLatin1String(settings.OperationMode == Constants::ListenMode ? "Yes" : "No") + QStringLiteral("\r\n");
    text += QStringLiteral("Log Data=") + QLatin1String(settings.LogData ? "Yes" : "No") + QStringLiteral("\r\n");
    return text;
}
