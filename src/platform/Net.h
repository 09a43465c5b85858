// TCP client sockets for the download, shaped by the exchange it carries out: start the socket
// library, one blocking stream socket, readiness waits with a time limit, peeks and reads.
// Every call is made on the download thread; nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace platform::net {

using SocketHandle = long long;
inline constexpr SocketHandle kInvalidSocket = -1;

// Starts the socket library asking for version 2.0. Returns false when it cannot be started;
// versionGranted is the version word granted (low byte major). POSIX: always true, 0x0002.
bool Startup(uint16_t& versionGranted);
// Releases what Startup() took. POSIX: nothing.
void Cleanup();

// A blocking IPv4 stream socket, or kInvalidSocket.
SocketHandle CreateTcpSocket();
// A dotted IPv4 address, else a host name's first 4-byte address; network order. Empty when
// neither gives one.
std::optional<uint32_t> ResolveIPv4(const std::string& address);
// Blocking connect (the system's own time limit). port in host order.
bool Connect(SocketHandle s, uint32_t addressNetworkOrder, uint16_t port);
// One blocking send; the count sent, or -1.
long long Send(SocketHandle s, const void* data, size_t count);

enum class WaitResult { Readable, TimedOut, Failed };
// Waits up to ms for data (or the peer's close) to read. Failed: the wait failed or the socket
// is in error.
WaitResult WaitReadable(SocketHandle s, uint32_t ms);
// One recv(); with peek the bytes stay queued. The count read, 0 when the peer has closed the
// connection, -1 on failure.
long long Receive(SocketHandle s, void* data, size_t count, bool peek);
// True when the peer has shut down its sending side: nothing beyond the bytes already queued
// will come. Does not wait.
bool PeerClosed(SocketHandle s);
// Shuts the socket down both ways and closes it.
void ShutdownAndClose(SocketHandle s);

}  // namespace platform::net
