#include "net/NativeSocket.h"

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#ifdef Q_OS_LINUX
#include <linux/sockios.h>
#endif
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#endif

namespace NativeSocket {

namespace {

sockaddr_in MakeAddress(quint32 ipv4, quint16 port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(ipv4);
    return address;
}

#ifdef Q_OS_WIN
int LastError()
{
    return WSAGetLastError();
}
#else
int LastError()
{
    return errno;
}

#ifndef Q_OS_LINUX
bool SetNonBlockingCloseOnExec(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 && fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}
#endif
#endif

} // namespace

void Initialise()
{
#ifdef Q_OS_WIN
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
#endif
}

Handle Open(int& error)
{
#ifdef Q_OS_WIN
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        error = LastError();
        return InvalidHandle;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    return Handle(s);
#elif defined(Q_OS_LINUX)
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        error = LastError();
    return fd < 0 ? InvalidHandle : Handle(fd);
#else
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0 || !SetNonBlockingCloseOnExec(fd)) {
        error = LastError();
        if (fd >= 0)
            ::close(fd);
        return InvalidHandle;
    }
    return Handle(fd);
#endif
}

int Listen(Handle handle, quint32 ipv4, quint16 port)
{
#ifndef Q_OS_WIN
    // A restarted relay must get its port back while old connections sit in TIME_WAIT.
    const int on = 1;
    setsockopt(int(handle), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
    const sockaddr_in address = MakeAddress(ipv4, port);
    if (bind(handle, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return LastError();
    if (listen(handle, SOMAXCONN) != 0)
        return LastError();
    return 0;
}

Handle Accept(Handle listener, int& error, quint32& peerAddress, quint16& peerPort)
{
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    peerAddress = 0;
    peerPort = 0;
#if defined(Q_OS_LINUX)
    const int fd = accept4(int(listener), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        error = LastError();
        return InvalidHandle;
    }
    peerAddress = ntohl(peer.sin_addr.s_addr);
    peerPort = ntohs(peer.sin_port);
    return Handle(fd);
#elif defined(Q_OS_WIN)
    SOCKET s = accept(SOCKET(listener), reinterpret_cast<sockaddr*>(&peer), &length);
    if (s == INVALID_SOCKET) {
        error = LastError();
        return InvalidHandle;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    peerAddress = ntohl(peer.sin_addr.s_addr);
    peerPort = ntohs(peer.sin_port);
    return Handle(s);
#else
    const int fd = accept(int(listener), reinterpret_cast<sockaddr*>(&peer), &length);
    if (fd < 0 || !SetNonBlockingCloseOnExec(fd)) {
        error = LastError();
        if (fd >= 0)
            ::close(fd);
        return InvalidHandle;
    }
    peerAddress = ntohl(peer.sin_addr.s_addr);
    peerPort = ntohs(peer.sin_port);
    return Handle(fd);
#endif
}

int Connect(Handle handle, quint32 ipv4, quint16 port)
{
    const sockaddr_in address = MakeAddress(ipv4, port);
    if (connect(handle, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return 0;
    const int error = LastError();
    return IsInProgress(error) ? 0 : error;
}

int TakePendingError(Handle handle)
{
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(handle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
        return LastError();
    return error;
}

void SetNoDelay(Handle handle)
{
    const int on = 1;
    setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

void SetKeepAlive(Handle handle)
{
    const int on = 1;
    setsockopt(handle, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
#if defined(TCP_KEEPIDLE) && defined(TCP_KEEPINTVL)
    const int idle = KeepAliveIdleSeconds;
    const int interval = KeepAliveIntervalSeconds;
    setsockopt(handle, IPPROTO_TCP, TCP_KEEPIDLE, reinterpret_cast<const char*>(&idle), sizeof idle);
    setsockopt(handle, IPPROTO_TCP, TCP_KEEPINTVL, reinterpret_cast<const char*>(&interval), sizeof interval);
#endif
#ifdef TCP_USER_TIMEOUT
    // With a user timeout the kernel gives up on unanswered probes when it runs out and never counts
    // them, so the probe count would be one more call per connection for nothing.
    const unsigned int timeout = UserTimeoutMs;
    setsockopt(handle, IPPROTO_TCP, TCP_USER_TIMEOUT, reinterpret_cast<const char*>(&timeout), sizeof timeout);
#elif defined(TCP_KEEPCNT)
    const int probes = KeepAliveProbes;
    setsockopt(handle, IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<const char*>(&probes), sizeof probes);
#endif
}

qint64 Receive(Handle handle, char* buffer, qint64 capacity, int& error)
{
#ifdef Q_OS_WIN
    const int n = recv(SOCKET(handle), buffer, int(qMin<qint64>(capacity, INT_MAX)), 0);
#else
    const ssize_t n = recv(int(handle), buffer, size_t(capacity), 0);
#endif
    if (n < 0)
        error = LastError();
    return qint64(n);
}

qint64 Send(Handle handle, const char* data, qint64 size, int& error)
{
#ifdef Q_OS_WIN
    const int n = send(SOCKET(handle), data, int(qMin<qint64>(size, INT_MAX)), 0);
#else
    // MSG_NOSIGNAL: a peer that went away is an error code here, not a SIGPIPE.
    const ssize_t n = send(int(handle), data, size_t(size), MSG_NOSIGNAL);
#endif
    if (n < 0)
        error = LastError();
    return qint64(n);
}

qint64 SendParts(Handle handle, const Span* parts, int count, int& error)
{
    constexpr int MaxParts = 64;
    count = qMin(count, MaxParts);
#ifdef Q_OS_WIN
    WSABUF buffers[MaxParts];
    for (int i = 0; i < count; ++i)
        buffers[i] = {ULONG(parts[i].Size), const_cast<char*>(parts[i].Data)};
    DWORD sent = 0;
    if (WSASend(SOCKET(handle), buffers, DWORD(count), &sent, 0, nullptr, nullptr) != 0) {
        error = LastError();
        return -1;
    }
    return qint64(sent);
#else
    iovec vectors[MaxParts];
    for (int i = 0; i < count; ++i)
        vectors[i] = {const_cast<char*>(parts[i].Data), size_t(parts[i].Size)};
    msghdr message{};
    message.msg_iov = vectors;
    message.msg_iovlen = size_t(count);
    const ssize_t n = sendmsg(int(handle), &message, MSG_NOSIGNAL);
    if (n < 0)
        error = LastError();
    return qint64(n);
#endif
}

void Close(Handle handle)
{
#ifdef Q_OS_WIN
    closesocket(SOCKET(handle));
#else
    ::close(int(handle));
#endif
}

void Abort(Handle handle)
{
    const linger hard{1, 0};
    setsockopt(handle, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
    Close(handle);
}

qint64 Unacknowledged(Handle handle)
{
#ifdef Q_OS_LINUX
    int bytes = 0;
    if (ioctl(int(handle), SIOCOUTQ, &bytes) != 0 || bytes < 0)
        return 0;
    return bytes;
#else
    Q_UNUSED(handle);
    return 0;
#endif
}

qint64 Unread(Handle handle)
{
#ifdef Q_OS_WIN
    u_long bytes = 0;
    return ioctlsocket(SOCKET(handle), FIONREAD, &bytes) == 0 ? qint64(bytes) : 0;
#else
    int bytes = 0;
    return ioctl(int(handle), FIONREAD, &bytes) == 0 && bytes > 0 ? bytes : 0;
#endif
}

QString PeerAddress(Handle handle)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getpeername(handle, reinterpret_cast<sockaddr*>(&address), &length) != 0 || address.sin_family != AF_INET)
        return {};
    return DottedAddress(ntohl(address.sin_addr.s_addr));
}

QString DottedAddress(quint32 ip)
{
    return QStringLiteral("%1.%2.%3.%4").arg(ip >> 24).arg((ip >> 16) & 0xff).arg((ip >> 8) & 0xff).arg(ip & 0xff);
}

quint16 LocalPort(Handle handle)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

namespace {

bool End(Handle handle, bool local, quint32& ipv4, quint16& port)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    const int result = local ? getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length)
                             : getpeername(handle, reinterpret_cast<sockaddr*>(&address), &length);
    if (result != 0 || address.sin_family != AF_INET)
        return false;
    ipv4 = ntohl(address.sin_addr.s_addr);
    port = ntohs(address.sin_port);
    return true;
}

} // namespace

bool LocalEnd(Handle handle, quint32& ipv4, quint16& port)
{
    return End(handle, true, ipv4, port);
}

bool PeerEnd(Handle handle, quint32& ipv4, quint16& port)
{
    return End(handle, false, ipv4, port);
}

bool IsWouldBlock(int error)
{
#ifdef Q_OS_WIN
    return error == WSAEWOULDBLOCK;
#else
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
#endif
}

bool IsTimedOut(int error)
{
#ifdef Q_OS_WIN
    return error == WSAETIMEDOUT;
#else
    return error == ETIMEDOUT;
#endif
}

bool IsReset(int error)
{
#ifdef Q_OS_WIN
    return error == WSAECONNRESET;
#else
    return error == ECONNRESET;
#endif
}

bool IsInProgress(int error)
{
#ifdef Q_OS_WIN
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
#else
    return error == EINPROGRESS || error == EINTR;
#endif
}

bool IsResourceShortage(int error)
{
#ifdef Q_OS_WIN
    return error == WSAEMFILE || error == WSAENOBUFS;
#else
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
#endif
}

bool IsConnectionAcceptError(int error)
{
#ifdef Q_OS_WIN
    return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAENETDOWN || error == WSAEINTR;
#else
    switch (error) {
    case ECONNABORTED:
    case EPROTO:
    case EINTR:
    case EPERM: // a firewall rule refused this one connection
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENOPROTOOPT:
    case EOPNOTSUPP:
#ifdef ENONET
    case ENONET:
#endif
        return true;
    default:
        return false;
    }
#endif
}

std::optional<bool> HostHasAddress(quint32 ipv4)
{
#ifdef Q_OS_WIN
    return std::nullopt;
#else
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0)
        return std::nullopt;
    bool found = IsLoopback(ipv4);
    for (const ifaddrs* entry = interfaces; entry != nullptr && !found; entry = entry->ifa_next) {
        if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET)
            found = ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr) == ipv4;
    }
    freeifaddrs(interfaces);
    return found;
#endif
}

QString ErrorText(int error)
{
#ifdef Q_OS_WIN
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   DWORD(error), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    const QString result = QString::fromWCharArray(text).trimmed();
    LocalFree(text);
    return result;
#else
    return QString::fromLocal8Bit(strerror(error));
#endif
}

} // namespace NativeSocket
