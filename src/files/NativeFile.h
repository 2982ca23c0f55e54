#pragma once

#include "core/Failure.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <memory>
#include <optional>
#include <span>

// Every file-system call of the program, and the rules they keep in one place: only regular files
// are read or written, never through a symbolic link, never waiting on a FIFO or a device, and
// nothing is created anywhere but at the path given (always a name in the program folder).
// Failures throw Failure with the system's code and text; the rest of src/files speaks Qt.
namespace NativeFile {

// The code of a Failure for a path that names something other than a regular file: a symbolic
// link (dangling or not), a FIFO, a device or a directory.
inline constexpr int NotRegularFile = -2;

// The whole content of the file at path, or nothing when no file of that name exists. A file of
// more than maxBytes is refused rather than read.
std::optional<QByteArray> ReadWhole(const QString& path, qint64 maxBytes);

// Replaces the file at path whole or not at all: the bytes go to a new file beside it, every write
// is checked, the new file is synced to the disk and only then renamed over path. On any failure
// the file at path is left exactly as it was.
void ReplaceWhole(const QString& path, const QByteArray& bytes);

// Renames from to to unless something already stands at to: then false, and nothing is changed.
bool RenameNoReplace(const QString& from, const QString& to);

// Deletes the file at path (a link itself, never its target). False when it could not.
bool Remove(const QString& path);

// Whether standard error is the stream that JOURNAL_STREAM ("device:inode") names: the journal.
bool StandardErrorIs(const QByteArray& deviceAndInode);
// Whether a short line written to standard error now goes out without waiting: false while it is a
// pipe or socket whose reader has stopped reading and whose buffer is full.
bool StandardErrorHasRoom();

// A descriptor held in reserve, so that the error log can still be opened when the process has run
// out of them: let go for the moment the log is opened, and taken back after.
class SpareDescriptor {
public:
    SpareDescriptor();
    ~SpareDescriptor();
    SpareDescriptor(const SpareDescriptor&) = delete;
    SpareDescriptor& operator=(const SpareDescriptor&) = delete;

    void Release();
    // Takes one again, when it holds none and one is free.
    void Take();

private:
    int m_fd = -1;
};

// A lock the system lets go when its holder ends, however it ends (a crash, kill -9): held from
// TryLock until the object goes. The locked file names its holder by process id.
class HeldLock {
public:
    HeldLock();
    ~HeldLock();
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;

    // Locks the regular file at path, made when missing, and writes this process's id into it.
    // False when another process holds the lock: holder is then the id that process wrote (0 when
    // it cannot be read). Throws Failure when the file cannot be opened or locked at all.
    bool TryLock(const QString& path, qint64& holder);

private:
    struct Native;
    std::unique_ptr<Native> m_native;
};

// Sends one datagram to the Unix datagram socket socketName names: a path, or an abstract name
// when it starts with '@' (how a service manager hands out its notification socket). Never waits:
// a receiver whose queue is full fails the send. Throws Failure when it could not be sent.
void SendDatagram(const QByteArray& socketName, QByteArrayView message);

// A regular file held open for appending, with its size kept here rather than asked for per write.
class AppendFile {
public:
    AppendFile();
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Opens the file at path for appending, creating it when missing. When the process is out of
    // descriptors, the spare one (if given) is let go for it.
    void Open(const QString& path, SpareDescriptor* spare = nullptr);
    void Close();
    bool IsOpen() const;
    qint64 Size() const { return m_size; }
    // Writes bytes from done on to the end, advancing done; on failure done says how far it got.
    void Write(QByteArrayView bytes, qsizetype& done) { Write(std::span(&bytes, 1), done); }
    // The same for parts written one after another, in one gathered write while the system takes
    // them whole; done counts over all the parts together.
    void Write(std::span<const QByteArrayView> parts, qsizetype& done);
    // Cuts the file back to size bytes (what a write that failed part-way added). Only this writer's
    // own bytes go: when the file is not the size this writer left it, nothing is cut. False when
    // the file could not be cut back.
    bool CutBack(qint64 size);
    // Whether path still names the file held open: false when it was deleted, moved or replaced.
    // The size is refreshed on the way, for writers other than this one.
    bool StillAt(const QString& path);

private:
    struct Native;
    std::unique_ptr<Native> m_native;
    qint64 m_size = 0;
};

} // namespace NativeFile
