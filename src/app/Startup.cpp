#include "app/Startup.h"

#include "core/Constants.h"
#include "core/Failure.h"
#include "core/RuntimeState.h"
#include "core/StatusView.h"
#include "files/FileAccess.h"
#include "net/TCPIP.h"

void RunStartup(RuntimeState& state, StatusView& view, ErrorReporter& errors, Relay& relay,
                const QString& applicationDir)
{
    view.SetCaption(Constants::CaptionDisconnected);
    state.AppPath = ProgramFolder(applicationDir);
    ReadSettingsFile(state, errors); // reports what it cannot read, and the defaults or what it read stand
    view.ShowPortSummary(PortSummaryText(state));
    try {
        relay.SetupClientSocket(0);
        if (state.OperationMode == Constants::ListenMode) {
            state.ConnectionCount = 0;
            state.ConnectedClients = 0;
            relay.ListenForClients(state.ClientIPPort);
        } else {
            const int slot = relay.CreateSlot();
            state.Slot(slot).ClientAddress = state.ClientIPAddress;
            relay.SetupServerSocket(slot);
            relay.ConnectToSwitcher(slot);
            // A new socket object inherits nothing, so the client side is prepared explicitly.
            relay.SetupClientSocket(slot);
            relay.ConnectToClient(slot);
        }
    } catch (const Failure& failure) {
        errors.Report(Reports::OpeningSockets, failure);
    }
    // Even when the listening port could not be opened (the poll keeps trying it), the window and
    // the greeting must be ready for the first client.
    UpdateConnectionLabels(state, view, errors);
    state.LoginString = MakeRixString(Constants::LoginText);
    relay.tmrPoll.start();
}

void RunShutdown(const RuntimeState& state, ErrorReporter& errors, Relay& relay)
{
    relay.tmrPoll.stop();
    WriteSettingsFile(state, errors); // reports a write that failed
    // The relay closes whatever happened to the settings: a shutdown that never finished would hang.
    relay.CloseAllSockets();
}
