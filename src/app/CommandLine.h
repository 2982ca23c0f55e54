#pragma once

#include "net/ClientAdmission.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

// tolvane has a window; tolvaned is the same relay without one, for running as a service.
enum class ProgramKind { Window, Service };

// What the command line of tolvane and tolvaned can say. None of it touches iplog.ini.
struct Options {
    QString Folder; // empty: the program's own folder
    QString ListenAddress;
    std::vector<AllowedNetwork> Allowed;
    int MaxClients = ClientAdmission::DefaultMaxClients;
    int KeepLogs = 0;
    bool QuietSessions = false; // --quiet-sessions: no journal line at each session's end
    // --metrics: where the metrics endpoint listens; port 0 when there is none.
    QString MetricsAddress;
    quint16 MetricsPort = 0;
    bool Check = false; // --check: the settings are read and checked, and the program ends
};

// Reads the arguments (the program name first). Help, the version and any error are printed here.
// Returns the exit status when the program is to end at once: 0 after --help or --version, 2 for
// an option it cannot use. Needs no application object, so it runs before any window or socket.
std::optional<int> ParseCommandLine(const QStringList& arguments, ProgramKind kind, Options& options);

// The folder the program's files live in: --folder (made if missing), else the program's own folder.
// When that one cannot be written, or is a folder of installed programs such as /usr/bin, tolvane
// uses the per-user data folder and says so on stderr, and tolvaned refuses. Empty after a message
// on stderr: exit 2. For --check it only looks: no folder is made, nothing written, and what it
// says goes to stdout with the rest of the check.
QString ChooseProgramFolder(ProgramKind kind, const Options& options);

// The arguments as Qt would give them, taken before the application object exists.
QStringList ArgumentList(int argc, char* argv[]);
