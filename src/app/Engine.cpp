#include "app/Engine.h"

#include "app/MetricsText.h"
#include "app/SettingsCheck.h"
#include "app/Startup.h"
#include "core/CheckIPAddress.h"
#include "core/RuntimeState.h"
#include "files/Journal.h"

#include <utility>

namespace {

RelayEventHub MakeHub(RelayEvents& counters, RelayEvents& sessions, RelayEvents& events, RelayEvents& data,
                      RelayEvents& labels)
{
    RelayEventHub hub;
    hub.Add(counters);
    hub.Add(sessions);
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
    , Counters(SystemClock)
    , Sessions(Counters)
    , Events(state, SystemClock, Errors)
    , Data(state, SystemClock, Errors)
    , Labels(view)
    , Listeners(MakeHub(Counters, Sessions, Events, Data, Labels))
    , Net(state, view, Errors, Listeners, SystemClock)
    , Status(state, Net, Counters, SystemClock)
    , Applier(state, Net, view)
    , Metrics([this] { return MetricsText(*this); })
{
}

void Engine::ApplyOptions(const Options& options)
{
    Net.Admission.ListenAddress = options.ListenAddress;
    Net.Admission.Allowed = options.Allowed;
    Net.Admission.MaxClients = options.MaxClients;
    State.KeepLogs = options.KeepLogs;
    Sessions.Quiet = options.QuietSessions;
    m_metricsAddress = options.MetricsAddress;
    m_metricsPort = options.MetricsPort;
}

void Engine::Start(const QString& folder)
{
    m_startedMs = SystemClock.MonotonicMs();
    RunStartup(State, View, Errors, Net, folder);
    Counters.SetGreetingBytes(State.LoginString.size());
    JournalSettingsProblems(State, Net.Admission.ListenAddress);
    Status.Started(folder);
    StartMetrics();
}

void Engine::StartMetrics()
{
    if (m_metricsPort == 0)
        return;
    const QString endpoint = m_metricsAddress + u':' + QString::number(m_metricsPort);
    quint32 address = 0;
    ParseDottedIPv4(m_metricsAddress, address); // checked by the command line
    try {
        Metrics.Start(address, m_metricsPort);
        Journal::Write(Journal::Priority::Info, QStringLiteral("metrics at http://%1/metrics").arg(endpoint));
    } catch (const Failure& failure) {
        Errors.Report(Reports::OpeningMetricsEndpoint(endpoint), failure);
        Journal::Write(Journal::Priority::Error,
                       QStringLiteral("metrics NOT served on %1: %2; the relay runs on without them")
                           .arg(endpoint, failure.Description));
    }
}

void Engine::Stop(std::function<void()> whenStopped)
{
    const bool first = !std::exchange(m_stopping, true);
    if (first) {
        Metrics.Stop();
        Status.Stopping();
        QObject::connect(
            &Net, &Relay::Closed, &Net, [this] { Status.Stopped(); }, Qt::SingleShotConnection);
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

std::optional<SettingsChange> Engine::ReloadSettings()
{
    if (m_stopping) {
        // The settings file has been written and the relay is closing: nothing more is taken in.
        Journal::Write(Journal::Priority::Warning, QStringLiteral("iplog.ini not re-read: the relay is shutting down"));
        return std::nullopt;
    }
    Status.Reloading();
    // Read aside and checked first: what cannot be used is not applied, and its one report says why.
    RuntimeState edited;
    static_cast<Settings&>(edited) = State;
    edited.AppPath = State.AppPath;
    SilentReporter silent;
    ReadSettingsFile(edited, silent);
    if (const QStringList problems = SettingsProblems(edited, Net.Admission.ListenAddress); !problems.isEmpty()) {
        ReportSettingsNotApplied(Errors, problems);
        Status.Reloaded({}); // the journal has its warning; the relay is ready as it was
        return std::nullopt;
    }
    const SettingsChange change = Applier.Apply(edited);
    // The file as now read is what the shutdown compares with: an edit the operator has applied is
    // not a change made in the program, and a later edit not yet applied is theirs to keep.
    State.SettingsRead = edited.SettingsRead;
    Status.Reloaded(QStringLiteral("iplog.ini re-read: ") + Applier.Describe(change));
    return change;
}
