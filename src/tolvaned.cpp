// tolvaned: the relay without a window, on QtCore alone, for running as a service.
#include "app/CommandLine.h"
#include "app/Engine.h"
#include "app/FolderLock.h"
#include "app/Process.h"
#include "app/SettingsCheck.h"
#include "core/RuntimeState.h"
#include "files/Journal.h"
#include "net/NativeSocket.h"

#include <QCoreApplication>

#ifdef Q_OS_LINUX
#include "net/EpollDispatcher.h"
#endif

int main(int argc, char* argv[])
{
    PrepareProcess("tolvaned");
    Options options;
    if (const std::optional<int> exitCode = ParseCommandLine(ArgumentList(argc, argv), ProgramKind::Service, options))
        return *exitCode;

#ifdef Q_OS_LINUX
    // One epoll_wait per wake-up: the relay's sockets, timers and Qt's notifiers in one set. Without
    // it (no descriptors left at start) Qt's own dispatcher serves, one system call slower per wake-up.
    int error = 0;
    if (std::unique_ptr<EpollDispatcher> dispatcher = EpollDispatcher::Create(error))
        QCoreApplication::setEventDispatcher(dispatcher.release());
    else
        Journal::Write(Journal::Priority::Warning,
                       QStringLiteral("the epoll event loop could not be set up (%1); "
                                      "running on Qt's own")
                           .arg(NativeSocket::ErrorText(error)));
#endif
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
