#pragma once

#include <QString>
#include <QStringList>

// What the status window shows, one call per thing. The window implements it; the engine never
// sees more of the window than this.
class StatusView {
public:
    virtual ~StatusView() = default;
    virtual void SetCaption(const QString& caption) = 0;
    virtual void ShowPortSummary(const QString& text) = 0;
    // Whether the client side is open as the mode asks: false while listen mode has no listening
    // socket (the port is in use, or is not a port). Connect mode listens on nothing and says true.
    virtual void ShowListening(bool listening) = 0;
    virtual void ShowConnectionCount(const QString& text) = 0;
    // The connected clients changed: the window reads its lines (ConnectedClientLines) when it next
    // draws, so a burst of connects costs one list, not one per connect.
    virtual void ClientLinesChanged() = 0;
    virtual void ShowLastClientMessage(const QString& text) = 0;
    virtual void ShowLastRixMessage(const QString& text) = 0;
    // False for a view that shows no messages (a service): the relay then builds no label text for
    // every burst it passes on.
    virtual bool ShowsMessages() const { return true; }
};

class RuntimeState;
class ErrorReporter;

// Tells the view that the client lines changed; the view counts and builds them when it draws.
// Called after every change of the connection table. The name and the parameters stay from the
// system, where it rebuilt the label controls.
void UpdateConnectionLabels(RuntimeState& state, StatusView& view, ErrorReporter& errors);

// One line per connected client, lowest slot first: its address and " -> Connected".
QStringList ConnectedClientLines(const RuntimeState& state);
