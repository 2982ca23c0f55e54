#include "core/Startup.h"

#include "core/Constants.h"
#include "core/Failure.h"
#include "core/RuntimeState.h"
#include "core/StatusView.h"

QString ProgramFolder(const QString& applicationDir)
{
    if (applicationDir.endsWith(u'/') || applicationDir.endsWith(u'\\'))
        return applicationDir;
    return applicationDir + u'/';
}

void RunStartup(RuntimeState& state, StatusView& view, ErrorReporter& errors, StartupSteps& steps,
                const QString& applicationDir)
{
    try {
        view.SetCaption(Constants::CaptionDisconnected);
        state.AppPath = ProgramFolder(applicationDir);
        steps.ReadSettingsFile();
        view.ShowPortSummary(PortSummaryText(state));
        steps.SetupClientSocket(0);
        if (state.OperationMode == Constants::ListenMode) {
            state.ConnectionCount = 0;
            state.ConnectedClients = 0;
            steps.ListenForClients(state.ClientIPPort);
        } else {
            const int slot = steps.CreateSlot();
            state.Slot(slot).ClientAddress = state.ClientIPAddress;
            steps.SetupServerSocket(slot);
            steps.ConnectToSwitcher(slot);
            // A new socket object inherits nothing, so the client side is prepared explicitly.
            steps.SetupClientSocket(slot);
            steps.ConnectToClient(slot);
        }
    } catch (const Failure& failure) {
        errors.Report(Reports::OpeningSockets, failure);
    }
    // Even when the listening port could not be opened (the poll keeps trying it), the window and
    // the greeting must be ready for the first client.
    UpdateConnectionLabels(state, view, errors);
    state.LoginString = steps.MakeRixString(Constants::LoginText);
}

void RunShutdown(ErrorReporter& errors, StartupSteps& steps)
{
    try {
        steps.WriteSettingsFile();
        steps.CloseAllSockets();
    } catch (const Failure& failure) {
        errors.Report(Reports::UnloadingForm, failure);
    }
}
