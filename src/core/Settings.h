#pragma once

#include <QString>

// The seven settings "iplog.ini" holds: what the setup dialog and a re-read of the file change while
// the relay runs.
struct Settings {
    int ClientIPPort = 0;
    QString ClientIPAddress;
    int RixIPPort = 0;
    QString RixIPAddress;
    qint16 OperationMode = 0;
    bool LogData = false;
    qint16 PacketSize = 0;
};

// Whatever puts new settings into effect in the running relay: the setup dialog hands its settings
// over here, and never touches the relay itself.
class SettingsTarget {
public:
    virtual ~SettingsTarget() = default;
    // Stores wanted and applies what differs from the running settings.
    virtual void ApplySettings(const Settings& wanted) = 0;
};
