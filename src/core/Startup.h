#pragma once

#include <QByteArray>
#include <QString>

class ErrorReporter;
class RuntimeState;
class StatusView;

// The steps of start-up and shutdown that belong to the layers above core (settings file, sockets,
// login string). The relay provides them; the order they run in is fixed by RunStartup and
// RunShutdown. Steps that report their own failures return normally; the others throw Failure.
class StartupSteps {
public:
    virtual ~StartupSteps() = default;
    virtual bool ReadSettingsFile() = 0;
    virtual bool WriteSettingsFile() = 0;
    virtual void SetupClientSocket(int index) = 0;
    virtual void SetupServerSocket(int index) = 0;
    // Makes wscktClient(0) listen on the port (throws when it cannot).
    virtual void ListenForClients(int port) = 0;
    // Counts a new slot, creates its two socket objects and grows the tables (throws on overflow).
    virtual int CreateSlot() = 0;
    virtual void ConnectToSwitcher(int index) = 0;
    virtual void ConnectToClient(int index) = 0;
    virtual QByteArray MakeRixString(const QString& text) = 0;
    // Closes every slot's sockets, slot 0 included, lowest first (throws when a close fails).
    virtual void CloseAllSockets() = 0;
};

// The folder of the program file with exactly one trailing separator.
QString ProgramFolder(const QString& applicationDir);

void RunStartup(RuntimeState& state, StatusView& view, ErrorReporter& errors, StartupSteps& steps,
                const QString& applicationDir);
void RunShutdown(ErrorReporter& errors, StartupSteps& steps);
