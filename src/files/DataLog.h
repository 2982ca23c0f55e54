#pragma once

#include "core/RelayEvents.h"
#include "files/LogFile.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

class Clock;
class ErrorReporter;
class RuntimeState;

// Control bytes made visible: 0..31 except LF and CR become "^" + (byte + 64); every other byte
// stays as it is. CR LF is added unless the data ends in LF.
QByteArray FormatDataBytes(QByteArrayView data);
// The same into text, whose memory is used again.
void FormatDataBytes(QByteArrayView data, QByteArray& text);

// "DataLog.log": every relayed burst, prefixed by its source, when data logging is on; rolled over
// to "DataLog MMDDYY HHMM.log" at 2,048,000 bytes. While it keeps failing, its reports are limited to
// one a minute. It listens to the relay for the bursts.
class DataLog final : public RelayEvents {
public:
    DataLog(const RuntimeState& state, const Clock& clock, ErrorReporter& errors);

    void WriteDataLog(QByteArrayView data, const QString& source);
    void BurstRelayed(From, int, QByteArrayView data, const QString& source) override { WriteDataLog(data, source); }

    static QString FileName() { return QStringLiteral("DataLog.log"); }
    // Bursts written whole since the start; roll-overs.
    qint64 Written() const { return m_written; }
    qint64 RollOvers() const { return m_file.RollOvers(); }

private:
    const RuntimeState& m_state;
    ErrorReporter& m_errors;
    LogFile m_file;
    FloodLimit m_limit;
    qint64 m_written = 0;
    // The last burst rendered, kept for the next: its memory stays with the log, at most twice the
    // largest burst plus two bytes.
    QByteArray m_text;
};
