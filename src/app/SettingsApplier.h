#pragma once

#include "core/Settings.h"

#include <QString>

class Relay;
class RuntimeState;
class StatusView;

// What applying new settings changed.
struct SettingsChange {
    bool ClientSide = false; // mode, client port or client address: every client dropped, the side re-opened
    bool RixSide = false; // RIX port or address: every connected RIX side re-connected
    bool Other = false; // data logging or packet size: stored, taken from the next burst on
};

// The one place where new settings reach the running relay, for the setup dialog and a re-read of
// "iplog.ini" alike, so that the same change does the same from either.
class SettingsApplier final : public SettingsTarget {
public:
    SettingsApplier(RuntimeState& state, Relay& relay, StatusView& view);

    // Stores wanted and applies what differs from the running settings: new client settings end the
    // client connections and the client side follows them; new RIX settings re-connect the RIX side
    // while the clients stay. The window shows the ports either way.
    SettingsChange Apply(const Settings& wanted);
    // What a change did, in the journal's words: "client side re-opened (listening on 0.0.0.0:1100),
    // RIX side re-connected (127.0.0.1:1200)", or "nothing changed".
    QString Describe(const SettingsChange& change) const;

    // The setup dialog's settings: applied, and a change is written to the journal.
    void ApplySettings(const Settings& wanted) override;

private:
    RuntimeState& m_state;
    Relay& m_relay;
    StatusView& m_view;
};
