#pragma once

#include "app/CommandLine.h"
#include "app/MetricsServer.h"
#include "app/ServiceStatus.h"
#include "app/SessionLines.h"
#include "app/SettingsApplier.h"
#include "core/Clock.h"
#include "core/RelayCounters.h"
#include "core/RelayEvents.h"
#include "core/StatusView.h"
#include "files/DataLabel.h"
#include "files/FileAccess.h"
#include "net/Relay.h"

#include <functional>
#include <optional>

class RuntimeState;

// The relay program without its window: the logs and the relay put together once, with the start-up
// and shutdown that tie them to the program folder and "iplog.ini". tolvane puts its window over
// it; tolvaned runs it alone. The state and the view are the caller's, since the window is built
// on the state before the engine is built on the window.
class Engine final {
public:
    Engine(RuntimeState& state, StatusView& view);

    // The command line's listener address, allow-list, cap, number of dated logs kept, whether session
    // lines are written, and the metrics endpoint; before Start.
    void ApplyOptions(const Options& options);
    // The start-up sequence for a program whose files live in folder; the poll runs from then on. Then
    // the metrics endpoint, when asked for: one that cannot listen is reported, and the relay runs on.
    void Start(const QString& folder);
    // The orderly shutdown: settings written, what is queued for peers given its time to go out, every
    // socket closed; then whenStopped runs (at once, when nothing was queued or the relay has already
    // closed). A second call only adds its whenStopped.
    void Stop(std::function<void()> whenStopped = {});

    // "iplog.ini" read again while running, as the operator edited it, and checked before anything is
    // applied: a file with a problem (SettingsProblems) changes nothing, and the error log and the
    // journal say what and why. A usable one is applied as the setup dialog's settings are (Applier),
    // and the journal says what it changed. A key missing from the file leaves its setting as it is.
    // Empty when the file was refused.
    std::optional<SettingsChange> ReloadSettings();
    // When Start ran, on the steady clock.
    qint64 StartedMs() const { return m_startedMs; }

    RuntimeState& State;
    StatusView& View;
    Clock SystemClock;
    ErrorLog Errors;
    // The relay's listeners, in this order: the counters, the session lines (which read them), the
    // event log, the data log, the window's labels.
    RelayCounters Counters;
    SessionLines Sessions;
    EventLog Events;
    DataLog Data;
    LastMessageLabels Labels;
    RelayEventHub Listeners;
    Relay Net;
    // The journal's lines and the service manager's status.
    ServiceStatus Status;
    // New settings, from the setup dialog or a re-read of iplog.ini, reach the relay here.
    SettingsApplier Applier;
    // GET /metrics, from Start until Stop.
    MetricsServer Metrics;

private:
    void StartMetrics();

    bool m_stopping = false;
    qint64 m_startedMs = 0;
    QString m_metricsAddress;
    quint16 m_metricsPort = 0;
};

// A view nobody looks at: tolvaned's window.
class NullStatusView final : public StatusView {
public:
    void SetCaption(const QString&) override { }
    void ShowPortSummary(const QString&) override { }
    void ShowListening(bool) override { }
    void ShowConnectionCount(const QString&) override { }
    void ClientLinesChanged() override { }
    void ShowLastClientMessage(const QString&) override { }
    void ShowLastRixMessage(const QString&) override { }
    bool ShowsMessages() const override { return false; }
};
