#include "ui/Program.h"

#include "ui/frmSetup.h"

#include <QCoreApplication>
#include <QGuiApplication>

Program::Program(const QString& applicationDir, QObject* parent)
    : QObject(parent)
    , Errors(State, SystemClock)
    , MainWindow(State)
    , Events(State, SystemClock, Errors)
    , Data(State, SystemClock, Errors, MainWindow)
    , Net(State, MainWindow, Errors, Events, Data)
    , m_applicationDir(applicationDir)
{
    connect(&MainWindow, &frmMain::Closing, this, &Program::OnWindowClosing);
    connect(MainWindow.mnuSetup, &QAction::triggered, this, &Program::OpenSetup);
}

void Program::OpenSetup()
{
    auto* dialog = new frmSetup(State, Net, MainWindow, Errors, &MainWindow);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->open();
}

void Program::Start()
{
    // Without a display nobody can see the window: it still takes every update, but it is not shown,
    // so the relay never waits behind a repaint that no one will look at.
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        MainWindow.show();
    Net.Start(m_applicationDir);
}

void Program::Stop()
{
    MainWindow.close();
}

void Program::OnWindowClosing()
{
    Net.Shutdown();
    QCoreApplication::quit();
}
