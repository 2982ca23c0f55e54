#pragma once

#include "app/CommandLine.h"
#include "files/NativeFile.h"

#include <QString>

// One relay per program folder: two would write the same logs and, at shutdown, the same iplog.ini.
// A relay holds the lock on "tolvane.lock" in its folder for as long as it runs; the system lets it
// go when the process ends, however it ends, so a crash never leaves the folder locked. Taken once the
// folder is chosen, before any log or socket is opened.
class FolderLock {
public:
    // Takes the lock, or says on stderr why not: another relay holds the folder (named with its
    // process id), or the lock file cannot be used.
    FolderLock(ProgramKind kind, const QString& folder);

    bool Held() const { return m_held; }
    // Why the lock was not taken, for a message box; empty while held.
    QString Refusal() const { return m_refusal; }

    static QString FileName() { return QStringLiteral("tolvane.lock"); }

private:
    NativeFile::HeldLock m_lock;
    bool m_held = false;
    QString m_refusal;
};
