#pragma once

#include "app/CommandLine.h"
#include "core/Failure.h"

#include <QStringList>

class RuntimeState;

// Why the relay cannot work with these settings, one line each: an iplog.ini that could not be read
// (or a line of it), a port that is not a port, an address that is not one, a RIX address and port
// that are the relay's own client listener, a listen address this host does not have. Empty when
// all are usable. One set of rules for --check, the start-up and a reload.
QStringList SettingsProblems(const RuntimeState& settings, const QString& listenAddress);

// --check: iplog.ini from the program folder a start would choose, and the options, printed on
// stdout with every problem found. Opens no socket and writes no file. The exit status: 0 when all
// are usable, 2 when not.
int RunSettingsCheck(ProgramKind kind, const Options& options);

// At start-up: each problem of the settings as a warning in the journal. The relay starts anyway,
// and the poll reports and retries as it always has.
void JournalSettingsProblems(const RuntimeState& settings, const QString& listenAddress);

// A reload that found problems changes nothing: one error-log line and one journal warning say
// which values and why.
void ReportSettingsNotApplied(ErrorReporter& errors, const QStringList& problems);

// Takes reports and writes them nowhere: for reading iplog.ini where its problems are wanted from
// SettingsRead rather than in the error log.
class SilentReporter final : public ErrorReporter {
public:
    void LogError(const QString&, const QString&, const Failure&) override { }
};
