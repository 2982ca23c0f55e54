#include "ui/Program.h"

#include "ui/frmSetup.h"

#include <QCoreApplication>
#include <QGuiApplication>

Program::Program(const QString& folder, QObject* parent)
    : QObject(parent)
    , MainWindow(State)
    , Core(State, MainWindow)
    , m_folder(folder)
{
    MainWindow.WatchLinks(Core.Counters, Core.Net);
    Core.Listeners.Add(MainWindow);
    connect(&MainWindow, &frmMain::Closing, this, &Program::OnWindowClosing);
    connect(MainWindow.mnuSetup, &QAction::triggered, this, &Program::OpenSetup);
}

void Program::OpenSetup()
{
    auto* dialog = new frmSetup(State, Core.Applier, Core.Errors, &MainWindow);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->open();
}

void Program::Start()
{
    // Without a display nobody can see the window: it still takes every update, but it is not shown,
    // so the relay never waits behind a repaint that no one will look at.
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        MainWindow.show();
    Core.Start(m_folder);
}

void Program::Stop()
{
    MainWindow.close();
}

void Program::OnWindowClosing()
{
    Core.Stop([] { QCoreApplication::quit(); });
}
