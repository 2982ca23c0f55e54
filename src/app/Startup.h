#pragma once

#include <QString>

class ErrorReporter;
class Relay;
class RuntimeState;
class StatusView;

// The start-up sequence for a program living in applicationDir: caption, program folder,
// "iplog.ini", port summary, then the client side (a listener, or slot 1 connecting out), the labels
// and the login string. The poll runs from its end on.
void RunStartup(RuntimeState& state, StatusView& view, ErrorReporter& errors, Relay& relay,
                const QString& applicationDir);
// The shutdown sequence: the poll stops, the settings are written, and the relay begins to close
// (Relay::Closed says when every socket is).
void RunShutdown(const RuntimeState& state, ErrorReporter& errors, Relay& relay);
