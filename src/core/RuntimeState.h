#pragma once

#include "core/Settings.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

// One connection slot's record: the client side of slot i.
struct ConnectionRecord {
    bool Connected = false;
    QString ClientAddress;
    QByteArray ClientData; // received from the client, not yet sent to the RIX
};

// What the settings reader found in "iplog.ini". The settings are written back at shutdown only when
// they were changed in the program since (their text differs from Text), or when the file still
// holds what was read and that was a settings file (or nothing). So the shutdown never replaces a
// file it could not read, nor one the operator edited while the program ran, with settings nobody
// changed.
struct SettingsFileRecord {
    enum class Found { NoFile, Settings, Unusable };
    Found Kind = Found::NoFile;
    QByteArray Digest; // of the bytes read
    QString Text; // SettingsText of the settings right after reading
    // Why the file, or a line of it, could not be used; empty when it was read whole.
    QStringList Problems;
    // The settings a file that was read does not name ("RIX IP Port"): they kept the value they had.
    QStringList Missing;
};

// The program's shared state. It lives once, is passed by reference, and is touched only on the
// main thread. Slots run from 1 to ConnectionCount; row 0 of the table exists but is unused. Its
// first part is the running settings ("iplog.ini"), so that the settings can be taken and stored
// as one value.
class RuntimeState : public Settings {
public:
    // Set once at start-up. AppPath always ends in a separator.
    QString AppPath;
    QByteArray LoginString;
    // How many dated copies of each log are kept; at a roll-over the oldest beyond it are deleted.
    // 0 keeps them all. Set from the command line (--keep-logs), never from iplog.ini.
    int KeepLogs = 0;
    // "iplog.ini" as the settings reader last found it, so that the shutdown writes it back only
    // when that is safe and meant.
    SettingsFileRecord SettingsRead;

    // Connections.
    qint16 ConnectionCount = 0;
    std::vector<ConnectionRecord> ConnectionTable;
    qint16 ConnectedClients = 0;

    // Slot creation, the table half: grows ConnectionTable so that row ConnectionCount exists,
    // keeping every existing row. The caller has already counted the slot and created its two
    // socket objects.
    void GrowTables();

    // The record of slot i; a slot outside 1..ConnectionCount is a failure of the caller.
    ConnectionRecord& Slot(int i);
};

// Guarded 16-bit counter steps: a result outside -32768..32767 throws Failure and leaves the
// counter as it was.
void IncrementCounter(qint16& counter);
void DecrementCounter(qint16& counter);

// The connections label text: at least four digits, zero-padded.
QString ConnectionCountText(int connectedClients);

// The folder of the program file with exactly one trailing separator, as AppPath keeps it.
QString ProgramFolder(const QString& applicationDir);

// The port summary: "RIX IP Port:1200/Client IP Port:1100".
QString PortSummaryText(const RuntimeState& state);
