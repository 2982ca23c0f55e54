#include "app/Engine.h"

#include "app/SettingsCheck.h"
#include "app/Startup.h"
#include "core/RuntimeState.h"

#include <utility>

namespace {

// The settings "iplog.ini" holds, and nothing else of the state.
void CopySettings(const RuntimeState& from, RuntimeState& to)
{
    to.ClientIPPort = from.ClientIPPort;
    to.ClientIPAddress = from.ClientIPAddress;
    to.RixIPPort = from.RixIPPort;
    to.RixIPAddress = from.RixIPAddress;
    to.OperationMode = from.OperationMode;
    to.LogData = from.LogData;
    to.PacketSize = from.PacketSize;
    to.SettingsRead = from.SettingsRead; // what the file held when these settings were read from it
}

RelayEventHub MakeHub(RelayEvents& events, RelayEvents& data, RelayEvents& labels)
{
    RelayEventHub hub;
    hub.Add(events);
    hub.Add(data);
    hub.Add(labels);
    return hub;
}

} // namespace

Engine::Engine(RuntimeState& state, StatusView& view)
    : State(state)
    , View(view)
    , Errors(state, SystemClock)
    , Events(state, SystemClock, Errors)
    , Data(state, SystemClock, Errors)
    , Labels(view)
    , Listeners(MakeHub(Events, Data, Labels))
    , Net(state, view, Errors, Listeners, SystemClock)
    , Status(state, Net, SystemClock)
{
}

void Engine::Start(const QString& folder)
{
    RunStartup(State, View, Errors, Net, folder);
    JournalSettingsProblems(State, Net.Admission.ListenAddress);
    Status.Started(folder);
}

void Engine::Stop(std::function<void()> whenStopped)
{
    const bool first = !std::exchange(m_stopping, true);
    if (first) {
        Status.Stopping();
        QObject::connect(&Net, &Relay::Closed, &Net, [this] { Status.Stopped(); }, Qt::SingleShotConnection);
    }
    if (whenStopped) {
        if (Net.IsClosed())
            whenStopped();
        else
            QObject::connect(&Net, &Relay::Closed, &Net, std::move(whenStopped), Qt::SingleShotConnection);
    }
    if (first)
        RunShutdown(State, Errors, Net);
}

Engine::SettingsChange Engine::ReloadSettings()
{
    RuntimeState edited;
    CopySettings(State, edited);
    edited.AppPath = State.AppPath;
    // Read aside and checked first: what cannot be used is not applied, and its one report says why.
    SilentReporter silent;
    ReadSettingsFile(edited, silent);
    if (const QStringList problems = SettingsProblems(edited, Net.Admission.ListenAddress); !problems.isEmpty()) {
        ReportSettingsNotApplied(Errors, problems);
        SettingsChange refused;
        refused.Refused = true;
        return refused;
    }

    SettingsChange change;
    change.ClientSide = edited.OperationMode != State.OperationMode || edited.ClientIPPort != State.ClientIPPort
        || edited.ClientIPAddress != State.ClientIPAddress;
    change.RixSide = edited.RixIPPort != State.RixIPPort || edited.RixIPAddress != State.RixIPAddress;
    change.Other = edited.LogData != State.LogData || edited.PacketSize != State.PacketSize;
    CopySettings(edited, State);
    // The file as now read is what the shutdown compares with: an edit the operator has applied is
    // not a change made in the program, and a later edit not yet applied is theirs to keep.
    State.SettingsRead = edited.SettingsRead;
    if (change.ClientSide)
        Net.CloseClientSide();
    if (change.RixSide)
        Net.ReconnectRixSide();
    View.ShowPortSummary(PortSummaryText(State));
    return change;
}
