#pragma once

#include <functional>

class QObject;

// The Unix signals a relay that runs for months receives (nothing on other systems).
namespace Signals {

// First thing in main, before Qt starts: SIGTERM, SIGINT and SIGHUP from then on wait in a pipe
// for the event loop, so one that arrives during start-up is acted on once start-up is done instead
// of killing the process half-way. SIGPIPE, SIGUSR1, SIGUSR2 and SIGALRM are ignored.
void Catch();

// Once the application object exists: onStop runs for the first SIGTERM or SIGINT (the orderly
// shutdown), onReload for every SIGHUP, both on the main thread.
void Deliver(QObject* context, std::function<void()> onStop, std::function<void()> onReload);

} // namespace Signals
