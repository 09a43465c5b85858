#include "platform/Net.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform::net {

namespace {
int Fd(SocketHandle s) { return static_cast<int>(s); }
}  // namespace

bool Startup(uint16_t& versionGranted) {
    versionGranted = 0x0002;
    return true;
}

void Cleanup() {}

SocketHandle CreateTcpSocket() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return fd < 0 ? kInvalidSocket : fd;
}

std::optional<uint32_t> ResolveIPv4(const std::string& address) {
    in_addr parsed{};
    if (inet_pton(AF_INET, address.c_str(), &parsed) == 1) return parsed.s_addr;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(address.c_str(), nullptr, &hints, &found) != 0 || !found) return std::nullopt;
    std::optional<uint32_t> result;
    if (found->ai_family == AF_INET && found->ai_addrlen >= sizeof(sockaddr_in))
        result = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return result;
}

bool Connect(SocketHandle s, uint32_t addressNetworkOrder, uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = addressNetworkOrder;
    int rc;
    do {
        rc = connect(Fd(s), reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

long long Send(SocketHandle s, const void* data, size_t count) {
    // MSG_NOSIGNAL: a peer that has gone must give a failed send, not end the process.
    ssize_t sent;
    do {
        sent = send(Fd(s), data, count, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent;
}

WaitResult WaitReadable(SocketHandle s, uint32_t ms) {
    pollfd p{};
    p.fd = Fd(s);
    p.events = POLLIN;
    const int rc = poll(&p, 1, static_cast<int>(ms));
    if (rc < 0) return errno == EINTR ? WaitResult::TimedOut : WaitResult::Failed;
    if (rc == 0) return WaitResult::TimedOut;
    // A hang-up still leaves queued bytes (and the end of the stream) to read.
    if (p.revents & POLLIN) return WaitResult::Readable;
    if (p.revents & (POLLERR | POLLNVAL)) return WaitResult::Failed;
    return WaitResult::Readable;  // POLLHUP alone: the read reports the close
}

long long Receive(SocketHandle s, void* data, size_t count, bool peek) {
    ssize_t got;
    do {
        got = recv(Fd(s), data, count, peek ? MSG_PEEK : 0);
    } while (got < 0 && errno == EINTR);
    return got;
}

bool PeerClosed(SocketHandle s) {
    pollfd p{};
    p.fd = Fd(s);
    p.events = POLLRDHUP;
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

void ShutdownAndClose(SocketHandle s) {
    if (s == kInvalidSocket) return;
    shutdown(Fd(s), SHUT_RDWR);  // fails harmlessly on a socket that never connected
    close(Fd(s));
}

}  // namespace platform::net
