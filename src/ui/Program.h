#pragma once

#include "core/Clock.h"
#include "core/RuntimeState.h"
#include "files/FileAccess.h"
#include "net/Relay.h"
#include "ui/frmMain.h"

#include <QObject>

// The whole program, put together once: state, logs, window and relay, in that order, so that
// everything a part uses is built before it.
class Program final : public QObject {
    Q_OBJECT
public:
    explicit Program(const QString& applicationDir, QObject* parent = nullptr);

    // Shows the window and runs the start-up sequence.
    void Start();
    // The orderly shutdown, as if the window had been closed; the application then quits.
    void Stop();

    RuntimeState State;
    Clock SystemClock;
    ErrorLog Errors;
    frmMain MainWindow;
    EventLog Events;
    DataLog Data;
    Relay Net;

    // File menu "&Setup": the setup dialog, modal over the window while the relay keeps running.
    void OpenSetup();

private:
    void OnWindowClosing();

    QString m_applicationDir;
};
