#pragma once

#include <QString>

#include <optional>
#include <QtGlobal>

// The operating system's TCP calls, and nothing else. Every call returns a status; none throws.
// Error codes are the system's own (errno, or WSAGetLastError on Windows).
namespace NativeSocket {

using Handle = qintptr;
inline constexpr Handle InvalidHandle = -1;

// Once per process: Winsock start-up on Windows, SIGPIPE is avoided per call elsewhere.
void Initialise();

// A non-blocking, close-on-exec IPv4 stream socket, or InvalidHandle with error set.
Handle Open(int& error);
// Binds to the local IPv4 address (0: every local address) and port, and listens; 0 or an error code.
int Listen(Handle handle, quint32 ipv4, quint16 port);
// Takes one pending connection as a non-blocking socket, or InvalidHandle with error set (a would-block
// error when none is waiting). The peer's IPv4 address and port come with it, at no extra cost.
Handle Accept(Handle listener, int& error, quint32& peerAddress, quint16& peerPort);
// Starts a connection; 0 when it completed or is under way, else the refusal's error code.
int Connect(Handle handle, quint32 ipv4, quint16 port);
// The error that ended a connection attempt (0 when it succeeded), read and cleared.
int TakePendingError(Handle handle);
// Low latency for small relayed messages.
void SetNoDelay(Handle handle);

// A peer that vanished (power lost, a NAT or firewall that forgot the connection) is found: after a
// minute of silence a probe every 10 s, given up after 6 unanswered ones; and data of ours left
// unacknowledged for two minutes ends the connection too. The connection then fails as a reset does.
inline constexpr int KeepAliveIdleSeconds = 60;
inline constexpr int KeepAliveIntervalSeconds = 10;
inline constexpr int KeepAliveProbes = 6;
inline constexpr int UserTimeoutMs = 120000;
// Where the user timeout exists it ends the probing by itself, at the moment the sixth probe would.
static_assert(KeepAliveIdleSeconds + KeepAliveIntervalSeconds * KeepAliveProbes == UserTimeoutMs / 1000);
void SetKeepAlive(Handle handle);
// >0 bytes read; 0 the peer ended the stream; -1 with error set.
qint64 Receive(Handle handle, char* buffer, qint64 capacity, int& error);
// Bytes the kernel took (>=0), or -1 with error set.
qint64 Send(Handle handle, const char* data, qint64 size, int& error);
// A piece of output for SendParts.
struct Span {
    const char* Data;
    qint64 Size;
};
// Sends the pieces in order, as far as the kernel takes them, in one call: bytes taken (>=0), or -1
// with error set.
qint64 SendParts(Handle handle, const Span* parts, int count, int& error);
void Close(Handle handle);
// Closes with a reset: what the kernel still holds for the peer is thrown away, not sent later.
void Abort(Handle handle);
// Bytes written that the peer has not acknowledged yet: still in the kernel, unsent or in flight.
// 0 where the system cannot tell (Windows), and for a connection that has failed.
qint64 Unacknowledged(Handle handle);
// Bytes received from the peer and not read yet; 0 when the system cannot say.
qint64 Unread(Handle handle);
// The peer's dotted IPv4 address, empty when there is none.
QString PeerAddress(Handle handle);
QString DottedAddress(quint32 ipv4);
quint16 LocalPort(Handle handle);
// Both ends of a connection as IPv4 address and port; false when the system cannot say.
bool LocalEnd(Handle handle, quint32& ipv4, quint16& port);
bool PeerEnd(Handle handle, quint32& ipv4, quint16& port);
// Whether this host has the IPv4 address: one of its interfaces', or any on the loopback network,
// all of which Linux answers. Empty when the interfaces cannot be listed (a service allowed no
// netlink socket).
std::optional<bool> HostHasAddress(quint32 ipv4);
// 127.0.0.0/8.
constexpr bool IsLoopback(quint32 ipv4)
{
    return ipv4 >> 24 == 127;
}

bool IsWouldBlock(int error);
// The peer reset the connection.
bool IsReset(int error);
// The peer stopped answering: keepalive probes, or unacknowledged data, timed out.
bool IsTimedOut(int error);
bool IsInProgress(int error);
// Descriptor or buffer exhaustion: accepting may succeed again later.
bool IsResourceShortage(int error);
// An accept error that concerns only the one connection being taken (it was aborted, or the network
// failed it): the next pending connection may be fine.
bool IsConnectionAcceptError(int error);
QString ErrorText(int error);

} // namespace NativeSocket
