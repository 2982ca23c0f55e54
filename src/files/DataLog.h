#pragma once

#include "files/LogFile.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

class Clock;
class ErrorReporter;
class RuntimeState;
class StatusView;

// Control bytes made visible: 0..31 except LF and CR become "^" + (byte + 64); every other byte
// stays as it is. CR LF is added unless the data ends in LF.
QByteArray FormatDataBytes(QByteArrayView data);

// "DataLog.log": every relayed burst, prefixed by its source, when data logging is on; rolled over
// to "DataLog MMDDYY HHMM.log" at 2,048,000 bytes. While it keeps failing, its reports are limited to
// one a minute. Also the two last-message labels.
class DataLog {
public:
    DataLog(const RuntimeState& state, const Clock& clock, ErrorReporter& errors, StatusView& view);

    void WriteDataLog(QByteArrayView data, const QString& source);
    void ShowLastClientMessage(QByteArrayView data, const QString& source);
    void ShowLastRixMessage(QByteArrayView data, const QString& source);

    static QString FileName() { return QStringLiteral("DataLog.log"); }

private:
    const RuntimeState& m_state;
    ErrorReporter& m_errors;
    StatusView& m_view;
    LogFile m_file;
    FloodLimit m_limit;
};
