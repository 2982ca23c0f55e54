#include "ui/Program.h"

#include "ui/frmSetup.h"

#include <QCoreApplication>

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
