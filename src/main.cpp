// tolvane: the relay with its status window, or without one when there is no display.
#include "app/CommandLine.h"
#include "app/FolderLock.h"
#include "app/Process.h"
#include "app/SettingsCheck.h"
#include "files/Journal.h"
#include "ui/Program.h"

#include <QApplication>
#include <QMessageBox>

namespace {

QtMessageHandler defaultMessageHandler = nullptr;
bool displayFallback = false;

// The offscreen platform warns on every window size change; under a service that would flood the
// journal with a line that says nothing about the relay. When a display that is set cannot be
// opened, Qt's own lines about it give way to our one line.
void FilterPlatformNoise(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (message.startsWith(QLatin1String("This plugin does not support propagateSizeHints")))
        return;
    // A shell without a login session (root's, say) has no runtime folder; Qt makes one of its own
    // in /tmp and carries on, and the relay keeps nothing there.
    if (message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")))
        return;
    if (displayFallback
        && (message.startsWith(QLatin1String("could not connect to display"))
            || message.startsWith(QLatin1String("Could not load the Qt platform plugin"))
            || message.startsWith(QLatin1String("Could not find the Qt platform plugin"))
            || message.startsWith(QLatin1String("Failed to create wl_display"))))
        return;
    defaultMessageHandler(type, context, message);
}

// A user's choice of platform stands. With no display at all, Qt would abort: the relay runs
// without a window instead. With one that is set, the window platform is tried first and offscreen
// after it, so a display that has gone away (a stale DISPLAY) does not abort either.
void ChoosePlatform()
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return;
    const bool x11 = !qEnvironmentVariableIsEmpty("DISPLAY");
    const bool wayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    if (!x11 && !wayland) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        Journal::Write(Journal::Priority::Info,
                       QStringLiteral("no display found; running without a window (offscreen)"));
        return;
    }
    qputenv("QT_QPA_PLATFORM", wayland ? "wayland;xcb;offscreen" : "xcb;offscreen");
    displayFallback = true;
}

} // namespace

int main(int argc, char* argv[])
{
    PrepareProcess("tolvane");
    Options options;
    if (const std::optional<int> exitCode = ParseCommandLine(ArgumentList(argc, argv), ProgramKind::Window, options))
        return *exitCode;
    if (options.Check) {
        // No window for a check: it runs the same with or without a display.
        QCoreApplication app(argc, argv);
        return RunSettingsCheck(ProgramKind::Window, options);
    }
    ChoosePlatform();
    defaultMessageHandler = qInstallMessageHandler(FilterPlatformNoise);

    // The window keeps Qt's event dispatcher (tolvaned has one of its own on epoll): the platform
    // plugin's dispatcher delivers window-system events, which only Qt's private API can do.
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    if (displayFallback && QGuiApplication::platformName() == QLatin1String("offscreen"))
        Journal::Write(Journal::Priority::Warning,
                       QStringLiteral("the display could not be opened; running without a window (offscreen)"));
    const QString folder = ChooseProgramFolder(ProgramKind::Window, options);
    if (folder.isEmpty())
        return 2;
    const FolderLock lock(ProgramKind::Window, folder);
    if (!lock.Held()) {
        if (QGuiApplication::platformName() != QLatin1String("offscreen"))
            QMessageBox::critical(nullptr, QStringLiteral("Tolvane"), lock.Refusal());
        return 2;
    }

    Program program(folder);
    program.Core.ApplyOptions(options);
    HandleSignals(&program, program.Core, [&program] { program.Stop(); });
    program.Start();
    return QApplication::exec();
}
