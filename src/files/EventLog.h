#pragma once

#include "core/RelayEvents.h"
#include "files/LogFile.h"
#include "files/LogText.h"

#include <QString>

class Clock;
class ErrorReporter;
class RuntimeState;

// "Eventlog.txt": one line per client connect and disconnect, rolled over to
// "EventLog MMDDYY HHMM.txt" at 2,048,000 bytes. A line is tried six times; while the log keeps
// failing, its reports are limited to one group a minute. It listens to the relay: "RIX Connected",
// "RIX Disconnected" and "Client Refused" are its lines.
class EventLog : public RelayEvents {
public:
    EventLog(const RuntimeState& state, const Clock& clock, ErrorReporter& errors);

    void LogEvent(const QString& message, const QString& address);

    // Only a client the listener accepted has a line, the connection made in connect mode has none;
    // a session that the shutdown ends has none either; a refusal has one when it is due.
    void ClientConnected(int slot, const QString& address, quint16 port, Arrival arrival) override;
    void ClientLeft(int slot, const QString& address, Ending how) override;
    void ClientRefused(const QString& address, Refusal why, bool lineDue) override;

    static QString FileName() { return QStringLiteral("Eventlog.txt"); }
    qint64 RollOvers() const { return m_file.RollOvers(); }
    static constexpr int AppendAttempts = 6;

protected:
    // One attempt at the rest of a line, from done on. Throws Failure.
    virtual void AppendAttempt(QByteArrayView bytes, qsizetype& done);

private:
    ErrorReporter& m_errors;
    LogText::Stamp m_stamp;
    LogFile m_file;
    FloodLimit m_limit;
};
