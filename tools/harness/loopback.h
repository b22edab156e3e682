// Loopback traffic for the tests and benchmarks that run nelkd and nelk on
// this machine: free ports of either family, sockets to and from 127.0.0.1
// (or another 127.x.y.z) and ::1, bounded reads, and what the kernel's
// socket tables say of a port. Traffic goes to loopback addresses only.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/unique_fd.h"

namespace harness {

using std::chrono::milliseconds;

// 127.0.0.1 at port.
inline sockaddr_in loopback(int port)
{
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<std::uint16_t>(port));
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sin;
}

// A port of 127.0.0.1 (or ::1) that no socket of type (SOCK_STREAM or
// SOCK_DGRAM) holds at this moment, or -1.
inline int free_port(int type, int family = AF_INET)
{
    unique_fd fd(socket(family, type | SOCK_CLOEXEC, 0));
    sockaddr_storage ss{};
    socklen_t len = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (family == AF_INET6) {
        auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_addr = in6addr_loopback;
    } else {
        *reinterpret_cast<sockaddr_in*>(&ss) = loopback(0);
    }
    auto* sa = reinterpret_cast<sockaddr*>(&ss);
    if (!fd || bind(fd.get(), sa, len) < 0 || getsockname(fd.get(), sa, &len) < 0)
        return -1;
    return ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                    : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

inline int free_tcp_port() { return free_port(SOCK_STREAM); }
inline int free_udp_port() { return free_port(SOCK_DGRAM); }

// --- what the kernel's socket tables say (both families)

// The process holding a listening TCP socket on port, -1 when none is seen.
pid_t tcp_port_owner(int port);
// Waits until some process listens on the TCP port; its pid, or -1 at the
// time-out.
pid_t wait_tcp_listener(int port, milliseconds timeout);
// True when a UDP socket is bound to port.
bool udp_port_bound(int port);
// Waits until a UDP socket is bound to port; false at the time-out.
bool wait_udp_bound(int port, milliseconds timeout);
// True once nothing waits in the UDP socket bound to port and the process
// pid that reads it sleeps again: all that was sent to it is handled.
bool udp_drained(int port, pid_t pid);
// Datagrams the kernel dropped at the UDP socket bound to port.
long udp_drops(int port);

// --- sockets

// A connected TCP socket to the loopback address at port; invalid on
// failure. `from` is the local address to connect from (another 127.x.y.z,
// or ::1 to connect over IPv6 to ::1); a rcvbuf above 0 sets SO_RCVBUF
// before connecting (a small one makes a slow reader).
unique_fd tcp_connect(int port, int rcvbuf = 0, const char* from = nullptr);

// A listening TCP socket on a free port of 127.0.0.1, which *port receives.
unique_fd tcp_listener(int* port, int backlog = 4);

// Both ends of a TCP connection over 127.0.0.1; invalid ends on failure.
struct tcp_pair {
    unique_fd accepted;   // the listener's end
    unique_fd connected;  // the end that connected
};
tcp_pair tcp_loopback_pair();

// Sends one datagram to the loopback address at port from a new socket,
// bound to `from` when given (::1 sends over IPv6 to ::1).
bool udp_send(int port, std::span<const std::uint8_t> data, const char* from = nullptr);

// An exporter's one UDP socket: bound to `from` (127.x.y.z, or ::1 for
// IPv6) at a port of the kernel's choice, which every datagram it sends
// comes from, as a router's do.
struct udp_exporter {
    unique_fd fd;
    std::string from;
    explicit udp_exporter(const char* address = "127.0.0.1");
    // To the loopback address of its family at port.
    bool send(int port, std::span<const std::uint8_t> data) const;
    int port() const;  // its own
};

// The local port of a socket.
int local_port(int fd);

// Writes all of bytes; false when the peer is gone.
bool send_all(int fd, std::span<const std::uint8_t> bytes);

// Reads exactly buf.size() bytes; false on end of stream, error or time-out.
bool read_exact(int fd, std::span<std::uint8_t> buf, milliseconds timeout);

// Reads whatever arrives until nothing comes for `quiet` or `limit` passes.
std::vector<std::uint8_t> read_available(int fd, milliseconds quiet, milliseconds limit);

// True when the peer closes (or resets) within the time-out; bytes that
// arrive before are thrown away, and counted in *seen when given.
bool wait_closed(int fd, milliseconds timeout, std::size_t* seen = nullptr);

}  // namespace harness
