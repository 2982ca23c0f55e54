#pragma once

#include <functional>

class Engine;
class QObject;

// What the mains of tolvane and tolvaned share.

// Before anything else: signals caught, the program's name and version set, Qt's plain event
// dispatcher preferred.
void PrepareProcess(const char* name);

// SIGTERM and SIGINT run stop; SIGHUP re-reads iplog.ini into the engine and says on stderr (the
// journal, under systemd) what it applied, with the service manager told it is reloading meanwhile.
void HandleSignals(QObject* context, Engine& engine, std::function<void()> stop);
