#pragma once

#include "app/Engine.h"
#include "core/RuntimeState.h"
#include "ui/frmMain.h"

#include <QObject>

// tolvane: the engine under its window. State, window and engine are built in that order, so that
// everything a part uses is built before it.
class Program final : public QObject {
    Q_OBJECT
public:
    explicit Program(const QString& folder, QObject* parent = nullptr);

    // Shows the window and runs the start-up sequence.
    void Start();
    // The orderly shutdown, as if the window had been closed; the application then quits.
    void Stop();

    RuntimeState State;
    frmMain MainWindow;
    Engine Core;

    // File menu "&Setup": the setup dialog, modal over the window while the relay keeps running.
    void OpenSetup();

private:
    void OnWindowClosing();

    QString m_folder;
};
