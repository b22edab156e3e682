// Start-up: the command line, the UDP and TCP sockets, and detaching.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "relay/relay.h"

namespace {

// Reads a leading decimal number the way "%d" does: blanks and a sign
// allowed, anything after the digits ignored. False when there is none.
bool read_decimal(const char* arg, long long* value)
{
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(arg, &end, 10);
    if (end == arg)
        return false;
    *value = v;
    return true;
}

bool valid_port(long long v)
{
    return v >= 0 && v <= 65535;
}

// A whole argument of digits only, within [low, high].
bool read_count(const char* arg, int low, int high, int* value)
{
    long long v = 0;
    for (const char* p = arg; *p; ++p) {
        if (*p < '0' || *p > '9' || v > high)
            return false;
        v = v * 10 + (*p - '0');
    }
    if (*arg == '\0' || v < low || v > high)
        return false;
    *value = static_cast<int>(v);
    return true;
}

// A dotted-quad IPv4 address, nothing before or after it.
bool read_address(std::string_view text, std::uint32_t* host_order)
{
    char buf[INET_ADDRSTRLEN];
    if (text.empty() || text.size() >= sizeof buf)
        return false;
    text.copy(buf, text.size());
    buf[text.size()] = '\0';
    in_addr a{};
    if (inet_pton(AF_INET, buf, &a) != 1)
        return false;
    *host_order = ntohl(a.s_addr);
    return true;
}

bool read_prefix(std::string_view text, prefix* out)
{
    std::string_view addr = text;
    int length = 32;
    if (auto slash = text.find('/'); slash != std::string_view::npos) {
        addr = text.substr(0, slash);
        std::string digits(text.substr(slash + 1));
        if (!read_count(digits.c_str(), 0, 32, &length))
            return false;
    }
    std::uint32_t a = 0;
    if (!read_address(addr, &a))
        return false;
    std::uint32_t mask = length == 0 ? 0 : ~std::uint32_t{0} << (32 - length);
    // 192.0.2.77/24 is more likely a slip than a wish for 192.0.2.0/24.
    if ((a & ~mask) != 0)
        return false;
    *out = {a, mask};
    return true;
}

int get_int_option(int fd, int level, int name, int* value)
{
    socklen_t len = sizeof *value;
    return getsockopt(fd, level, name, value, &len);
}

// Debug line showing an option's value; a value that cannot be read is
// reported instead of shown.
void show_option(int fd, int level, int name, const char* format, const char* what)
{
    int value = 0;
    if (get_int_option(fd, level, name, &value) < 0)
        report_error(what);
    else
        debug_line(format, value);
}

int set_int_option(int fd, int level, int name, int value)
{
    return setsockopt(fd, level, name, &value, sizeof value);
}

// Both sockets must fit in select's descriptor sets.
unique_fd open_socket(int type, const char* what)
{
    unique_fd fd(socket(AF_INET, type | SOCK_CLOEXEC, 0));
    if (fd && fd.get() >= FD_SETSIZE) {
        fd.reset();
        errno = EMFILE;
    }
    if (!fd)
        fatal_error(what);
    return fd;
}

// addr in network order; 0 is every local address.
int bind_to(int fd, std::uint32_t addr, int port)
{
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<std::uint16_t>(port));
    sin.sin_addr.s_addr = addr;
    return bind(fd, reinterpret_cast<const sockaddr*>(&sin), sizeof sin);
}

option_result refuse(option_result r, option_outcome why)
{
    r.outcome = why;
    r.bad_arg = optarg;
    return r;
}

}  // namespace

bool parse_prefixes(const char* text, prefix_list& list)
{
    std::string_view rest = text;
    prefix_list found;
    for (;;) {
        auto comma = rest.find(',');
        prefix p;
        if (!read_prefix(rest.substr(0, comma), &p))
            return false;
        found.push_back(p);
        if (comma == std::string_view::npos)
            break;
        rest.remove_prefix(comma + 1);
    }
    list.insert(list.end(), found.begin(), found.end());
    return true;
}

option_result parse_options(int argc, char* argv[])
{
    option_result r;
    optind = 0;  // a fresh scan, also when called more than once
    int c;
    while ((c = getopt(argc, argv, "u:t:s:drb:e:a:m:M:")) != -1) {
        long long v = 0;
        switch (c) {
        case 'u':
        case 't':
            if (!read_decimal(optarg, &v))
                break;  // no number: the port stays as it was
            if (!valid_port(v))
                return refuse(r, option_outcome::bad_port);
            (c == 'u' ? r.settings.udpport : r.settings.tcpport) = static_cast<int>(v);
            break;
        case 's':
            if (!read_decimal(optarg, &v) || v < relay_min_bufsize)
                return refuse(r, option_outcome::bad_bufsize);
            // The kernel caps the buffers at its own limit anyway.
            r.settings.bufsize = v > INT_MAX ? INT_MAX : static_cast<int>(v);
            break;
        case 'd':
            r.settings.debug = true;
            break;
        case 'r':
            r.settings.unchecked = true;
            break;
        case 'b': {
            std::uint32_t a = 0;
            if (!read_address(optarg, &a))
                return refuse(r, option_outcome::bad_address);
            r.settings.bind_addr = htonl(a);
            break;
        }
        case 'e':
        case 'a':
            // Given more than once, the lists add up.
            if (!parse_prefixes(optarg, c == 'e' ? r.settings.exporters : r.settings.viewers))
                return refuse(r, option_outcome::bad_prefixes);
            break;
        case 'm':
            if (!read_count(optarg, 1, relay_max_clients, &r.settings.per_address))
                return refuse(r, option_outcome::bad_limit);
            break;
        case 'M':
            if (*optarg == '\0')
                return refuse(r, option_outcome::bad_metrics);
            r.settings.metrics_path = optarg;
            break;
        default:
            r.outcome = option_outcome::usage;
            return r;
        }
    }
    return r;
}

void ensure_std_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0 && null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
}

void tune_udp_socket(int fd, int bufsize)
{
    if (debug_mode)
        show_option(fd, SOL_SOCKET, SO_RCVBUF, "Before setsockopt, SO_RCVBUF is %d\n",
                    "getsockopt SO_RCVBUF");
    if (set_int_option(fd, SOL_SOCKET, SO_RCVBUF, bufsize) < 0)
        std::perror("setsockopt SO_RCVBUF:");
    if (debug_mode)
        show_option(fd, SOL_SOCKET, SO_RCVBUF, "After setsockopt, SO_RCVBUF is %d\n",
                    "getsockopt SO_RCVBUF");
}

void tune_client_socket(int fd, int bufsize)
{
    if (debug_mode)
        show_option(fd, SOL_SOCKET, SO_SNDBUF, "Before setsockopt, SO_SNDBUF is %d\n",
                    "getsockopt SO_SNDBUF");
    if (set_int_option(fd, SOL_SOCKET, SO_SNDBUF, std::min(bufsize, relay_max_sndbuf)) < 0)
        report_error("setsockopt SO_SNDBUF");
    if (debug_mode) {
        show_option(fd, SOL_SOCKET, SO_SNDBUF, "After setsockopt, SO_SNDBUF is %d\n",
                    "getsockopt SO_SNDBUF");
        show_option(fd, SOL_SOCKET, SO_SNDLOWAT, "Before setsockopt, SO_SNDLOWAT is %d\n",
                    "getsockopt SO_SNDLOWAT");
    }
    // Linux does not let the low-water mark be changed; debug mode says so.
    int lowat_rc = set_int_option(fd, SOL_SOCKET, SO_SNDLOWAT, relay_sndlowat);
    if (debug_mode) {
        if (lowat_rc < 0)
            report_error("setsockopt SO_SNDLOWAT");
        show_option(fd, SOL_SOCKET, SO_SNDLOWAT, "After setsockopt, SO_SNDLOWAT is %d\n",
                    "getsockopt SO_SNDLOWAT");
        show_option(fd, IPPROTO_TCP, TCP_NODELAY, "Before setsockopt, TCP_NODELAY is %d\n",
                    "getsockopt TCP_NODELAY");
    }
    int nodelay_rc = set_int_option(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    if (debug_mode) {
        if (nodelay_rc < 0)
            report_error("setsockopt TCP_NODELAY");
        show_option(fd, IPPROTO_TCP, TCP_NODELAY, "After setsockopt, TCP_NODELAY is %d\n",
                    "getsockopt TCP_NODELAY");
    }
    // A viewer with nothing to receive is probed after a minute, so that
    // its silence shows; see viewer_vanished. No TCP_USER_TIMEOUT: the
    // kernel applies it to window probes too and would drop a viewer that
    // is alive but paused.
    set_int_option(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    set_int_option(fd, IPPROTO_TCP, TCP_KEEPIDLE, 60);
    set_int_option(fd, IPPROTO_TCP, TCP_KEEPINTVL, 10);
    set_int_option(fd, IPPROTO_TCP, TCP_KEEPCNT, 6);
}

// Every answer from the peer, to data, to a window probe or to a
// keep-alive probe, resets the kernel's time since the last ACK. A paused
// viewer answers window probes, which come at least every two minutes.
bool viewer_vanished(int fd, long silence_ms)
{
    tcp_info ti{};
    socklen_t len = sizeof ti;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &ti, &len) < 0)
        return false;
    return static_cast<long>(ti.tcpi_last_ack_recv) > silence_ms;
}

relay_sockets open_relay_sockets(const relay_settings& s)
{
    relay_sockets socks;
    socks.udp = open_socket(SOCK_DGRAM, "socket (udp) error");
    if (bind_to(socks.udp.get(), s.bind_addr, s.udpport) < 0)
        fatal_error("bind UDP error");
    tune_udp_socket(socks.udp.get(), s.bufsize);

    socks.listen = open_socket(SOCK_STREAM, "socket (tcp) error");
    set_int_option(socks.listen.get(), SOL_SOCKET, SO_REUSEADDR, 1);
    if (bind_to(socks.listen.get(), s.bind_addr, s.tcpport) < 0)
        fatal_error("bind TCP error");
    if (listen(socks.listen.get(), relay_backlog) < 0)
        fatal_error("listen error");
    // A viewer that gives up between select and accept must not block us.
    fcntl(socks.listen.get(), F_SETFL, fcntl(socks.listen.get(), F_GETFL) | O_NONBLOCK);
    return socks;
}

void become_daemon()
{
    std::printf("Forking into background.  Future messages will be sent to syslog\n");
    // Flushed here, or the child would print the start-up lines again when
    // it exits.
    std::fflush(stdout);
    use_syslog = 1;
    pid_t pid = fork();
    if (pid < 0)
        fatal_error("fork error");
    if (pid > 0)
        std::exit(0);
    setsid();
    if (chdir("/") < 0) {
        // nothing to do: the daemon needs no working directory
    }
    umask(0);
    std::signal(SIGWINCH, SIG_IGN);
}
