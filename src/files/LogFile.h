#pragma once

#include "core/Failure.h"
#include "core/Throttle.h"
#include "files/NativeFile.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <initializer_list>

class RuntimeState;

// One log in the program folder, held open for appending: lines reach the system at once, with no
// open, stat or close per line. At most once a second it checks that the log's name still leads to
// the file it holds, and takes up the new one when that was deleted, moved or replaced. A new or
// empty file gets the log's header before anything else; a full one is first moved aside to a dated
// copy, never over an existing one, and the oldest copies beyond RuntimeState::KeepLogs go.
class LogFile {
public:
    struct Kind {
        QString Name; // "Eventlog.txt"
        QString RolledPrefix; // "EventLog "
        QString RolledExtension; // ".txt"
        QByteArray Header; // empty for a log without one
    };
    LogFile(Kind kind, const RuntimeState& state, const Clock& clock);
    // A descriptor kept in reserve for opening this log when the process has none left.
    void KeepSpare(NativeFile::SpareDescriptor* spare) { m_spare = spare; }

    // Before an entry: follows the name to its file and moves a full log aside. Throws Failure only
    // when a full log cannot be moved; a log that cannot be opened is left to Append.
    void Prepare();
    // Appends bytes from done on, opening the file first when needed. Throws Failure; done then says
    // how far it got, so that a retry goes on where this one stopped.
    void Append(QByteArrayView bytes, qsizetype& done);
    // Appends the parts, one after another in one gathered write, whole or not at all: what a failed
    // write added is cut back. Throws Failure. Bytes that cannot be cut back are ended by a line
    // break before the next bytes appended.
    void AppendWhole(std::initializer_list<QByteArrayView> parts);
    // How many times the file has been rolled over since the start.
    qint64 RollOvers() const { return m_rollOvers; }

private:
    void Follow();
    void Open();
    void RollOver();
    void DeleteOldCopies();

    const Kind m_kind;
    const RuntimeState& m_state;
    const Clock& m_clock;
    NativeFile::AppendFile m_file;
    NativeFile::SpareDescriptor* m_spare = nullptr;
    qint64 m_rollOvers = 0;
    QString m_folder;
    QString m_path;
    qint64 m_checkedAt = -1; // on the steady clock
    // The last dated name used, so that a log filling several times a minute is not searched anew.
    QString m_lastStem;
    int m_nextCopy = 2;
    // The file ends in part of an entry that could not be cut back.
    bool m_torn = false;
};

// A log that keeps failing writes one failure report a minute, not one per entry: the failures in
// between are counted, and the next report written says how many were left out. The minute is
// measured on the steady clock, whatever the system time is set to meanwhile.
class FloodLimit {
public:
    explicit FloodLimit(const Clock& clock);
    static constexpr qint64 QuietMs = 60'000;

    // True within a minute of the last report written.
    bool Quiet() const { return !m_reports.Due(ThisLog); }
    void LeaveOut() { m_reports.LeaveOut(ThisLog); }
    // The failure as it is to be written now, with the count of those left out; a new minute starts.
    Failure Written(const Failure& failure);

private:
    static constexpr int ThisLog = 0; // the one kind of report: this log failing
    Throttle<int> m_reports;
};
