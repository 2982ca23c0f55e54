// tolvaned: the relay without a window, on QtCore and QtNetwork alone, for running as a service.
#include "app/CommandLine.h"
#include "app/Engine.h"
#include "app/FolderLock.h"
#include "app/Process.h"
#include "app/SettingsCheck.h"
#include "core/RuntimeState.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    PrepareProcess("tolvaned");
    Options options;
    if (const std::optional<int> exitCode = ParseCommandLine(ArgumentList(argc, argv), ProgramKind::Service, options))
        return *exitCode;

    QCoreApplication app(argc, argv);
    if (options.Check)
        return RunSettingsCheck(ProgramKind::Service, options);
    const QString folder = ChooseProgramFolder(ProgramKind::Service, options);
    if (folder.isEmpty())
        return 2;
    const FolderLock lock(ProgramKind::Service, folder);
    if (!lock.Held())
        return 2;

    RuntimeState state;
    NullStatusView view;
    Engine engine(state, view);
    engine.ApplyOptions(options);
    HandleSignals(&app, engine, [&engine] { engine.Stop([] { QCoreApplication::quit(); }); });
    // Says in the journal where this relay keeps its files, and tells the service manager it is ready.
    engine.Start(folder);
    return QCoreApplication::exec();
}
