#include "files/NativeFile.h"

#include <QFile>
#include <QScopeGuard>
#include <QVarLengthArray>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>
#else
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>
#endif

namespace NativeFile {

namespace {

Failure NotRegular()
{
    return Failure{NotRegularFile,
                   QStringLiteral("not a regular file (a link, FIFO, device or directory): left alone")};
}

Failure TooLarge(qint64 maxBytes)
{
    return Failure{NotRegularFile, QStringLiteral("larger than %1 bytes: left alone").arg(maxBytes)};
}

} // namespace

#ifdef Q_OS_UNIX

namespace {

Failure SystemFailure(int error)
{
    return Failure{error, QString::fromLocal8Bit(std::strerror(error))};
}

// Opens path without following a link in its last part and without waiting for a FIFO's other end,
// then refuses whatever is not a regular file. -1 (errno ENOENT) when nothing stands at path.
int OpenRegular(const QString& path, int flags, struct stat& info)
{
    const QByteArray name = QFile::encodeName(path);
    int fd = -1;
    do
        fd = ::open(name.constData(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        // A link (ELOOP), a directory opened for writing (EISDIR), a FIFO with no reader (ENXIO).
        if (error == ELOOP || error == EISDIR || error == ENXIO)
            throw NotRegular();
        if (error == ENOENT)
            return -1;
        throw SystemFailure(error);
    }
    if (::fstat(fd, &info) != 0) {
        const int error = errno;
        ::close(fd);
        throw SystemFailure(error);
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        throw NotRegular();
    }
    return fd;
}

// Writes all of parts from done (counted over them all) on, each call gathering whatever is left;
// -1 with errno on failure, a write that takes nothing counting as a full disk.
int WriteFrom(int fd, std::span<const QByteArrayView> parts, qsizetype& done)
{
    qsizetype total = 0;
    for (QByteArrayView part : parts)
        total += part.size();
    while (done < total) {
        QVarLengthArray<iovec, 4> left;
        qsizetype skip = done;
        for (QByteArrayView part : parts) {
            if (skip >= part.size()) {
                skip -= part.size();
                continue;
            }
            left.append(iovec{const_cast<char*>(part.data() + skip), size_t(part.size() - skip)});
            skip = 0;
        }
        const ssize_t n = ::writev(fd, left.data(), int(left.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return -1;
        }
        done += n;
    }
    return 0;
}

} // namespace

std::optional<QByteArray> ReadWhole(const QString& path, qint64 maxBytes)
{
    struct stat info { };
    const int fd = OpenRegular(path, O_RDONLY, info);
    if (fd < 0)
        return std::nullopt;
    if (qint64(info.st_size) > maxBytes) {
        ::close(fd);
        throw TooLarge(maxBytes);
    }
    QByteArray bytes;
    bytes.reserve(qsizetype(info.st_size));
    char chunk[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            throw SystemFailure(error);
        }
        if (n == 0)
            break;
        if (bytes.size() + n > maxBytes) { // it grew while being read
            ::close(fd);
            throw TooLarge(maxBytes);
        }
        bytes.append(chunk, n);
    }
    ::close(fd);
    return bytes;
}

void ReplaceWhole(const QString& path, const QByteArray& bytes)
{
    const QByteArray target = QFile::encodeName(path);
    // A fixed name beside the file: what an interrupted earlier save left there is replaced.
    const QByteArray beside = target + ".new";
    ::unlink(beside.constData());
    const int fd = ::open(beside.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        throw SystemFailure(errno);
    const QByteArrayView whole = bytes;
    qsizetype done = 0;
    if (WriteFrom(fd, std::span(&whole, 1), done) != 0 || ::fsync(fd) != 0) {
        const int error = errno;
        ::close(fd);
        ::unlink(beside.constData());
        throw SystemFailure(error);
    }
    if (::close(fd) != 0 || ::rename(beside.constData(), target.constData()) != 0) {
        const int error = errno;
        ::unlink(beside.constData());
        throw SystemFailure(error);
    }
    // The rename itself reaches the disk with the folder's own sync.
    const qsizetype slash = target.lastIndexOf('/');
    const QByteArray folder = slash > 0 ? target.left(slash) : QByteArray(slash == 0 ? "/" : ".");
    const int folderFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
}

bool RenameNoReplace(const QString& from, const QString& to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
#ifdef Q_OS_LINUX
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EEXIST)
        return false;
    if (errno != EINVAL && errno != ENOSYS)
        throw SystemFailure(errno);
        // A file system that cannot refuse by itself: look first.
#endif
    struct stat info { };
    if (::lstat(target.constData(), &info) == 0)
        return false;
    if (::rename(source.constData(), target.constData()) != 0)
        throw SystemFailure(errno);
    return true;
}

bool Remove(const QString& path)
{
    return ::unlink(QFile::encodeName(path).constData()) == 0;
}

struct AppendFile::Native {
    int Fd = -1;
    dev_t Device = 0;
    ino_t Inode = 0;
};

AppendFile::AppendFile()
    : m_native(std::make_unique<Native>())
{
}

AppendFile::~AppendFile()
{
    Close();
}

SpareDescriptor::SpareDescriptor()
{
    Take();
}

SpareDescriptor::~SpareDescriptor()
{
    Release();
}

void SpareDescriptor::Release()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void SpareDescriptor::Take()
{
    if (m_fd < 0)
        m_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void AppendFile::Open(const QString& path, SpareDescriptor* spare)
{
    Close();
    struct stat info { };
    int fd = -1;
    try {
        fd = OpenRegular(path, O_WRONLY | O_APPEND | O_CREAT, info);
    } catch (const Failure& failure) {
        if (spare == nullptr || (failure.Code != EMFILE && failure.Code != ENFILE))
            throw;
        spare->Release();
        const auto takeBack = qScopeGuard([spare] { spare->Take(); });
        fd = OpenRegular(path, O_WRONLY | O_APPEND | O_CREAT, info);
    }
    if (fd < 0)
        throw SystemFailure(ENOENT); // the folder itself is missing
    m_native->Fd = fd;
    m_native->Device = info.st_dev;
    m_native->Inode = info.st_ino;
    m_size = qint64(info.st_size);
}

void AppendFile::Close()
{
    if (m_native->Fd >= 0)
        ::close(m_native->Fd);
    m_native->Fd = -1;
}

bool AppendFile::IsOpen() const
{
    return m_native->Fd >= 0;
}

void AppendFile::Write(std::span<const QByteArrayView> parts, qsizetype& done)
{
    const qsizetype before = done;
    const int result = WriteFrom(m_native->Fd, parts, done);
    m_size += done - before;
    if (result != 0)
        throw SystemFailure(errno);
}

bool AppendFile::CutBack(qint64 size)
{
    struct stat info { };
    if (::fstat(m_native->Fd, &info) != 0 || qint64(info.st_size) != m_size
        || ::ftruncate(m_native->Fd, off_t(size)) != 0)
        return false;
    m_size = size;
    return true;
}

bool AppendFile::StillAt(const QString& path)
{
    struct stat info { };
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0 || info.st_dev != m_native->Device
        || info.st_ino != m_native->Inode)
        return false;
    m_size = qint64(info.st_size);
    return true;
}

struct HeldLock::Native {
    int Fd = -1;
};

HeldLock::HeldLock()
    : m_native(std::make_unique<Native>())
{
}

HeldLock::~HeldLock()
{
    // The file stays: removing it would let a newcomer lock a new file while another still holds
    // the old one open and locked.
    if (m_native->Fd >= 0)
        ::close(m_native->Fd);
}

bool HeldLock::TryLock(const QString& path, qint64& holder)
{
    struct stat info { };
    const int fd = OpenRegular(path, O_RDWR | O_CREAT, info);
    if (fd < 0)
        throw SystemFailure(ENOENT); // the folder itself is missing
    int result = 0;
    do
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK) {
            char text[24] = {};
            const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
            holder = n > 0 ? std::strtoll(text, nullptr, 10) : 0;
            ::close(fd);
            return false;
        }
        ::close(fd);
        throw SystemFailure(error);
    }
    // Written over the last holder's id before the rest is cut, so a reader never finds it empty.
    // Only for the message of a second program: a full disk does not stop the relay over it.
    const QByteArray id = QByteArray::number(qint64(::getpid())) + '\n';
    [[maybe_unused]] const bool written = ::pwrite(fd, id.constData(), size_t(id.size()), 0) == ssize_t(id.size())
        && ::ftruncate(fd, off_t(id.size())) == 0;
    m_native->Fd = fd;
    return true;
}

#else // Windows: no FIFOs to wait on; links and folders are refused through QFileInfo.

namespace {

Failure FileFailure(const QFileDevice& file)
{
    return Failure{int(file.error()), file.errorString()};
}

// Throws for a link or anything but a regular file at path; false when nothing stands there.
bool CheckRegular(const QString& path)
{
    const QFileInfo info(path);
    if (info.isSymLink() || info.isJunction() || (info.exists() && !info.isFile()))
        throw NotRegular();
    return info.exists();
}

} // namespace

std::optional<QByteArray> ReadWhole(const QString& path, qint64 maxBytes)
{
    if (!CheckRegular(path))
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw FileFailure(file);
    if (file.size() > maxBytes)
        throw TooLarge(maxBytes);
    return file.read(maxBytes);
}

void ReplaceWhole(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        throw FileFailure(file);
}

bool RenameNoReplace(const QString& from, const QString& to)
{
    if (QFileInfo::exists(to) || QFileInfo(to).isSymLink())
        return false;
    QFile file(from);
    if (!file.rename(to))
        throw FileFailure(file);
    return true;
}

bool Remove(const QString& path)
{
    return QFile::remove(path);
}

struct AppendFile::Native {
    QFile File;
    QString Path;
};

AppendFile::AppendFile()
    : m_native(std::make_unique<Native>())
{
}

AppendFile::~AppendFile() = default;

SpareDescriptor::SpareDescriptor() = default;
SpareDescriptor::~SpareDescriptor() = default;
void SpareDescriptor::Release() { }
void SpareDescriptor::Take() { }

void AppendFile::Open(const QString& path, SpareDescriptor*)
{
    Close();
    CheckRegular(path);
    m_native->File.setFileName(path);
    // Unbuffered: every line reaches the system at once.
    if (!m_native->File.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        throw FileFailure(m_native->File);
    m_native->Path = path;
    m_size = m_native->File.size();
}

void AppendFile::Close()
{
    m_native->File.close();
}

bool AppendFile::IsOpen() const
{
    return m_native->File.isOpen();
}

void AppendFile::Write(std::span<const QByteArrayView> parts, qsizetype& done)
{
    qsizetype start = 0; // where the part begins, counted over all the parts
    for (QByteArrayView part : parts) {
        while (done < start + part.size()) {
            const qint64 n = m_native->File.write(part.data() + (done - start), start + part.size() - done);
            if (n <= 0)
                throw FileFailure(m_native->File);
            done += n;
            m_size += n;
        }
        start += part.size();
    }
}

bool AppendFile::CutBack(qint64 size)
{
    if (m_native->File.size() != m_size || !m_native->File.resize(size))
        return false;
    m_size = size;
    return true;
}

bool AppendFile::StillAt(const QString& path)
{
    const QFileInfo info(path);
    if (path != m_native->Path || info.isSymLink() || !info.isFile())
        return false;
    m_size = m_native->File.size();
    return true;
}

struct HeldLock::Native {
    std::unique_ptr<QLockFile> File;
};

HeldLock::HeldLock()
    : m_native(std::make_unique<Native>())
{
}

HeldLock::~HeldLock() = default;

bool HeldLock::TryLock(const QString& path, qint64& holder)
{
    CheckRegular(path);
    auto file = std::make_unique<QLockFile>(path);
    // Never stale by age; a lock whose process is gone is stale all the same.
    file->setStaleLockTime(0);
    if (file->tryLock(0)) {
        m_native->File = std::move(file);
        return true;
    }
    if (file->error() != QLockFile::LockFailedError)
        throw Failure{int(file->error()), QStringLiteral("the lock file cannot be made")};
    QString host;
    QString application;
    if (!file->getLockInfo(&holder, &host, &application))
        holder = 0;
    return false;
}

#endif

bool StandardErrorIs(const QByteArray& deviceAndInode)
{
#ifdef Q_OS_UNIX
    struct stat info { };
    if (deviceAndInode.isEmpty() || ::fstat(STDERR_FILENO, &info) != 0)
        return false;
    return deviceAndInode == QByteArray::number(quint64(info.st_dev)) + ':' + QByteArray::number(quint64(info.st_ino));
#else
    Q_UNUSED(deviceAndInode);
    return false;
#endif
}

bool StandardErrorHasRoom()
{
#ifdef Q_OS_UNIX
    pollfd stderrReady{STDERR_FILENO, POLLOUT, 0};
    return ::poll(&stderrReady, 1, 0) == 1 && (stderrReady.revents & POLLOUT) != 0;
#else
    return true;
#endif
}

void SendDatagram(const QByteArray& socketName, QByteArrayView message)
{
#ifdef Q_OS_UNIX
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketName.size() < 2 || size_t(socketName.size()) >= sizeof address.sun_path)
        throw Failure{ENAMETOOLONG, QStringLiteral("not a usable socket name")};
    std::memcpy(address.sun_path, socketName.constData(), size_t(socketName.size()));
    // An abstract name has no file behind it: its first byte is a zero, and no zero ends it.
    const bool abstract = address.sun_path[0] == '@';
    if (abstract)
        address.sun_path[0] = '\0';
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(socketName.size()) + (abstract ? 0 : 1));
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        throw SystemFailure(errno);
    ssize_t sent = -1;
    do
        sent = ::sendto(fd, message.data(), size_t(message.size()), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address), length);
    while (sent < 0 && errno == EINTR);
    const int error = sent < 0 ? errno : 0;
    ::close(fd);
    if (error != 0)
        throw SystemFailure(error);
#else
    Q_UNUSED(socketName);
    Q_UNUSED(message);
    throw Failure{-1, QStringLiteral("no Unix datagram sockets on this system")};
#endif
}

} // namespace NativeFile
