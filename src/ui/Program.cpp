#include "ui/Program.h"

#include <QCoreApplication>

Program::Program(const QString& applicationDir, QObject* parent)
    : QObject(parent)
    , Errors(State, SystemClock)
    , Events(State, SystemClock, Errors)
    , Data(State, SystemClock, Errors, MainWindow)
    , Net(State, MainWindow, Errors, Events, Data)
    , m_applicationDir(applicationDir)
{
    connect(&MainWindow, &frmMain::Closing, this, &Program::OnWindowClosing);
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
