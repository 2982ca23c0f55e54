#pragma once

#include "app/ServiceStatus.h"
#include "core/Clock.h"
#include "core/RelayEvents.h"
#include "core/StatusView.h"
#include "files/DataLabel.h"
#include "files/FileAccess.h"
#include "net/Relay.h"

#include <functional>

class RuntimeState;

// The relay program without its window: the logs and the relay put together once, with the start-up
// and shutdown that tie them to the program folder and "iplog.ini". tolvane puts its window over
// it; tolvaned runs it alone. The state and the view are the caller's, since the window is built
// on the state before the engine is built on the window.
class Engine final {
public:
    Engine(RuntimeState& state, StatusView& view);

    // The start-up sequence for a program whose files live in folder; the poll runs from then on.
    void Start(const QString& folder);
    // The orderly shutdown: settings written, what is queued for peers given its time to go out, every
    // socket closed; then whenStopped runs (at once, when nothing was queued or the relay has already
    // closed). A second call only adds its whenStopped.
    void Stop(std::function<void()> whenStopped = {});

    // What a re-read of the settings file changed.
    struct SettingsChange {
        bool ClientSide = false; // client port, client address or mode: every client was dropped
        bool RixSide = false;    // RIX port or address: every connected RIX side re-connected
        bool Other = false;      // data logging or packet size
        bool Refused = false;    // the file had a problem (SettingsProblems): nothing was applied
    };
    // "iplog.ini" read again while running, as the operator edited it. What changed is applied the
    // way the setup dialog applies it: new client settings end the client connections and the client
    // side follows them, new RIX settings re-connect the RIX side; clients keep their connections
    // when only the RIX side changed. A key missing from the file leaves its setting as it is.
    // A file with a problem changes nothing: the error log and the journal say what and why.
    SettingsChange ReloadSettings();

    RuntimeState& State;
    StatusView& View;
    Clock SystemClock;
    ErrorLog Errors;
    // The relay's listeners, in this order: the event log, the data log, the window's labels.
    EventLog Events;
    DataLog Data;
    LastMessageLabels Labels;
    RelayEventHub Listeners;
    Relay Net;
    // The journal's lines and the service manager's status.
    ServiceStatus Status;

private:
    bool m_stopping = false;
};

// A view nobody looks at: tolvaned's window.
class NullStatusView final : public StatusView {
public:
    void SetCaption(const QString&) override {}
    void ShowPortSummary(const QString&) override {}
    void ShowListening(bool) override {}
    void ShowConnectionCount(const QString&) override {}
    void ClientLinesChanged() override {}
    void ShowLastClientMessage(const QString&) override {}
    void ShowLastRixMessage(const QString&) override {}
    bool ShowsMessages() const override { return false; }
};
