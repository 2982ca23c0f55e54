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
    virtual void ShowConnectionCount(const QString& text) = 0;
    // One line per connected client, lowest slot first; an empty list hides them all.
    virtual void ShowClientLines(const QStringList& lines) = 0;
    virtual void ShowLastClientMessage(const QString& text) = 0;
    virtual void ShowLastRixMessage(const QString& text) = 0;
};

class RuntimeState;
class ErrorReporter;

// Rebuilds the client lines from the connection table (lowest slot first) and records how many are
// shown. Called after every change of the table.
void UpdateConnectionLabels(RuntimeState& state, StatusView& view, ErrorReporter& errors);
