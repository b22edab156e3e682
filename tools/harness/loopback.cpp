#include "tools/harness/loopback.h"

#include <dirent.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/net_address.h"
#include "tools/harness/process.h"

namespace harness {

namespace {

using clock = std::chrono::steady_clock;

int left_ms(clock::time_point end)
{
    const auto left = std::chrono::duration_cast<milliseconds>(end - clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// The lines of the kernel's tables (IPv6 and IPv4) whose local address is
// at port, split into their fields.
std::vector<std::vector<std::string>> table_rows(const char* v6, const char* v4, int port)
{
    char want[16];
    std::snprintf(want, sizeof want, ":%04X", port);
    std::vector<std::vector<std::string>> rows;
    for (const char* table : {v6, v4}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // the names of the columns
        while (std::getline(in, line)) {
            std::istringstream words(line);
            std::vector<std::string> f;
            for (std::string w; words >> w;)
                f.push_back(w);
            if (f.size() > 9 && f[1].size() >= 5 && f[1].compare(f[1].size() - 5, 5, want) == 0)
                rows.push_back(f);
        }
    }
    return rows;
}

// The bytes waiting in the UDP socket bound to port; -1 when none is bound.
long udp_queued(int port)
{
    for (const auto& f : table_rows("/proc/net/udp6", "/proc/net/udp", port))
        return std::strtol(f[4].substr(f[4].find(':') + 1).c_str(), nullptr, 16);
    return -1;
}

// From an address of either family (127.x.y.z or ::1) to the loopback
// address of the same family.
struct endpoints {
    sockaddr_storage local{}, remote{};
    socklen_t local_len = 0, remote_len = 0;
    int family = AF_INET;
};

bool endpoints_for(const char* from, int port, endpoints* e)
{
    net_address a = net_address::from_v4_net(htonl(INADDR_LOOPBACK));
    if (from && !parse_address(from, &a))
        return false;
    e->family = a.is_v4() ? AF_INET : AF_INET6;
    if (from)
        e->local_len = to_sockaddr(a, 0, &e->local);
    const net_address to = a.is_v4() ? net_address::from_v4_net(htonl(INADDR_LOOPBACK)) : a;
    e->remote_len = to_sockaddr(to, static_cast<std::uint16_t>(port), &e->remote);
    return true;
}

unique_fd socket_from(int type, const endpoints& e)
{
    unique_fd fd(socket(e.family, type | SOCK_CLOEXEC, 0));
    if (fd && e.local_len > 0 &&
        bind(fd.get(), reinterpret_cast<const sockaddr*>(&e.local), e.local_len) != 0)
        fd.reset();
    return fd;
}

// Receives what arrives before `end`: the byte count, 0 at the end of the
// stream, -1 on an error (a reset), -2 when nothing came in time.
ssize_t recv_by(int fd, std::span<std::uint8_t> buf, clock::time_point end)
{
    for (;;) {
        pollfd pfd{fd, POLLIN, 0};
        const int r = poll(&pfd, 1, left_ms(end));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return -2;
        const ssize_t n = recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n >= 0 || (errno != EAGAIN && errno != EINTR))
            return n < 0 ? -1 : n;
    }
}

bool send_to(int fd, const endpoints& e, std::span<const std::uint8_t> data)
{
    return sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&e.remote),
                  e.remote_len) == static_cast<ssize_t>(data.size());
}

}  // namespace

pid_t tcp_port_owner(int port)
{
    // The listening socket's inode (state 0A), then the process with a
    // descriptor on that inode.
    std::string target;
    for (const auto& f : table_rows("/proc/net/tcp6", "/proc/net/tcp", port))
        if (f[3] == "0A") {
            target = "socket:[" + f[9] + "]";
            break;
        }
    if (target.empty())
        return -1;
    DIR* proc = opendir("/proc");
    if (!proc)
        return -1;
    pid_t found = -1;
    while (dirent* d = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(d->d_name, &end, 10);
        if (*end != '\0' || pid <= 0)
            continue;
        const std::string fd_dir = std::string("/proc/") + d->d_name + "/fd";
        DIR* fds = opendir(fd_dir.c_str());
        if (!fds)
            continue;
        while (dirent* f = readdir(fds)) {
            char link[64];
            const ssize_t n = readlink((fd_dir + "/" + f->d_name).c_str(), link, sizeof link);
            if (n > 0 && target.compare(0, std::string::npos, link, static_cast<std::size_t>(n)) == 0) {
                found = static_cast<pid_t>(pid);
                break;
            }
        }
        closedir(fds);
        if (found > 0)
            break;
    }
    closedir(proc);
    return found;
}

pid_t wait_tcp_listener(int port, milliseconds timeout)
{
    const auto end = clock::now() + timeout;
    for (;;) {
        const pid_t owner = tcp_port_owner(port);
        if (owner > 0 || clock::now() >= end)
            return owner;
        std::this_thread::sleep_for(milliseconds(10));
    }
}

bool udp_port_bound(int port)
{
    return udp_queued(port) >= 0;
}

bool wait_udp_bound(int port, milliseconds timeout)
{
    const auto end = clock::now() + timeout;
    while (!udp_port_bound(port)) {
        if (clock::now() >= end)
            return false;
        std::this_thread::sleep_for(milliseconds(10));
    }
    return true;
}

bool udp_drained(int port, pid_t pid)
{
    return udp_queued(port) == 0 && run_state(pid) == 'S';
}

long udp_drops(int port)
{
    long drops = 0;
    for (const auto& f : table_rows("/proc/net/udp6", "/proc/net/udp", port))
        drops += std::atol(f.back().c_str());
    return drops;
}

unique_fd tcp_connect(int port, int rcvbuf, const char* from)
{
    endpoints e;
    if (!endpoints_for(from, port, &e))
        return unique_fd();
    unique_fd fd = socket_from(SOCK_STREAM, e);
    if (!fd)
        return fd;
    if (rcvbuf > 0)
        setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&e.remote), e.remote_len) < 0)
        fd.reset();
    return fd;
}

unique_fd tcp_listener(int* port, int backlog)
{
    unique_fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sin = loopback(0);
    socklen_t len = sizeof sin;
    if (!fd || bind(fd.get(), reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 ||
        listen(fd.get(), backlog) != 0 ||
        getsockname(fd.get(), reinterpret_cast<sockaddr*>(&sin), &len) != 0)
        return unique_fd();
    *port = ntohs(sin.sin_port);
    return fd;
}

tcp_pair tcp_loopback_pair()
{
    tcp_pair pair;
    int port = 0;
    const unique_fd listener = tcp_listener(&port, 1);
    pair.connected = tcp_connect(port);
    if (listener && pair.connected)
        pair.accepted.reset(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    return pair;
}

bool udp_send(int port, std::span<const std::uint8_t> data, const char* from)
{
    endpoints e;
    if (!endpoints_for(from, port, &e))
        return false;
    const unique_fd fd = socket_from(SOCK_DGRAM, e);
    return fd && send_to(fd.get(), e, data);
}

udp_exporter::udp_exporter(const char* address) : from(address)
{
    endpoints e;
    if (endpoints_for(address, 0, &e))
        fd = socket_from(SOCK_DGRAM, e);
}

bool udp_exporter::send(int port, std::span<const std::uint8_t> data) const
{
    endpoints e;
    return fd && endpoints_for(from.c_str(), port, &e) && send_to(fd.get(), e, data);
}

int udp_exporter::port() const
{
    return local_port(fd.get());
}

int local_port(int fd)
{
    sockaddr_storage me{};
    socklen_t len = sizeof me;
    getsockname(fd, reinterpret_cast<sockaddr*>(&me), &len);
    std::uint16_t port = 0;
    from_sockaddr(me, &port);
    return port;
}

bool send_all(int fd, std::span<const std::uint8_t> bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool read_exact(int fd, std::span<std::uint8_t> buf, milliseconds timeout)
{
    const auto end = clock::now() + timeout;
    std::size_t got = 0;
    while (got < buf.size()) {
        const ssize_t n = recv_by(fd, buf.subspan(got), end);
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

std::vector<std::uint8_t> read_available(int fd, milliseconds quiet, milliseconds limit)
{
    std::vector<std::uint8_t> all;
    std::vector<std::uint8_t> buf(65536);
    for (const auto end = clock::now() + limit; clock::now() < end;) {
        const ssize_t n = recv_by(fd, buf, std::min(end, clock::now() + quiet));
        if (n <= 0)
            break;
        all.insert(all.end(), buf.begin(), buf.begin() + n);
    }
    return all;
}

bool wait_closed(int fd, milliseconds timeout, std::size_t* seen)
{
    if (seen)
        *seen = 0;
    const auto end = clock::now() + timeout;
    std::uint8_t buf[4096];
    for (;;) {
        const ssize_t n = recv_by(fd, buf, end);
        if (n == 0 || n == -1)
            return true;
        if (n < 0)
            return false;
        if (seen)
            *seen += static_cast<std::size_t>(n);
    }
}

}  // namespace harness
