// Start-up: the command line, the UDP and TCP sockets, and detaching.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <grp.h>
#include <pwd.h>
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

bool valid_port(long long v)
{
    return v >= 0 && v <= 65535;
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

// Every socket must fit in select's descriptor sets.
unique_fd open_socket(int family, int type, const char* what)
{
    unique_fd fd(socket(family, type | SOCK_CLOEXEC, 0));
    if (fd && fd.get() >= FD_SETSIZE) {
        fd.reset();
        errno = EMFILE;
    }
    if (!fd)
        fatal_error(what);
    return fd;
}

// The addresses to bind: those of -b, else the wildcard of IPv6, which
// takes IPv4 too, or of IPv4 on a host without IPv6.
struct bind_target {
    int family;
    net_address addr;  // unused for the wildcards
    bool wildcard;
};

bool host_has_ipv6()
{
    unique_fd probe(socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!probe)
        return false;
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_addr = in6addr_any;
    // Port 0: a free port of the kernel's choice, given back at close.
    return bind(probe.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0;
}

std::vector<bind_target> bind_targets(const relay_settings& s)
{
    std::vector<bind_target> t;
    for (const net_address& a : s.bind_addrs)
        t.push_back({a.is_v4() ? AF_INET : AF_INET6, a, false});
    if (t.empty())
        t.push_back({host_has_ipv6() ? AF_INET6 : AF_INET, {}, true});
    return t;
}

int bind_to(int fd, const bind_target& t, int port)
{
    sockaddr_storage ss{};
    socklen_t len;
    if (t.wildcard && t.family == AF_INET6) {
        // Both families on one socket: IPv4 peers arrive as ::ffff:a.b.c.d.
        set_int_option(fd, IPPROTO_IPV6, IPV6_V6ONLY, 0);
        auto& sin6 = reinterpret_cast<sockaddr_in6&>(ss);
        sin6.sin6_family = AF_INET6;
        sin6.sin6_port = htons(static_cast<std::uint16_t>(port));
        sin6.sin6_addr = in6addr_any;
        len = sizeof sin6;
    } else if (t.wildcard) {
        auto& sin = reinterpret_cast<sockaddr_in&>(ss);
        sin.sin_family = AF_INET;
        sin.sin_port = htons(static_cast<std::uint16_t>(port));
        sin.sin_addr.s_addr = htonl(INADDR_ANY);
        len = sizeof sin;
    } else {
        if (t.family == AF_INET6)
            set_int_option(fd, IPPROTO_IPV6, IPV6_V6ONLY, 1);
        len = to_sockaddr(t.addr, static_cast<std::uint16_t>(port), &ss);
    }
    return bind(fd, reinterpret_cast<const sockaddr*>(&ss), len);
}

unique_fd open_listener(const bind_target& t, int port)
{
    unique_fd fd = open_socket(t.family, SOCK_STREAM, "socket (tcp) error");
    set_int_option(fd.get(), SOL_SOCKET, SO_REUSEADDR, 1);
    if (bind_to(fd.get(), t, port) < 0)
        fatal_error("bind TCP error");
    if (listen(fd.get(), relay_backlog) < 0)
        fatal_error("listen error");
    // A viewer that gives up between select and accept must not block us.
    fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) | O_NONBLOCK);
    return fd;
}

option_result refuse(option_result r, option_outcome why)
{
    r.outcome = why;
    r.bad_arg = optarg;
    return r;
}

}  // namespace

option_result parse_options(int argc, char* argv[])
{
    option_result r;
    optind = 0;  // a fresh scan, also when called more than once
    int c;
    while ((c = getopt(argc, argv, "u:t:s:drb:e:a:m:M:F:U:T:")) != -1) {
        long long v = 0;
        switch (c) {
        case 'u':
        case 't':
            if (!parse_leading_decimal(optarg, &v))
                break;  // no number: the port stays as it was
            if (!valid_port(v))
                return refuse(r, option_outcome::bad_port);
            (c == 'u' ? r.settings.udpport : r.settings.tcpport) = static_cast<int>(v);
            break;
        case 'F':
            // A new option: the whole argument is the port.
            if (!parse_count(optarg, 0, 65535, &v))
                return refuse(r, option_outcome::bad_port);
            r.settings.framed_port = static_cast<int>(v);
            break;
        case 'U':
            if (*optarg == '\0')
                return refuse(r, option_outcome::bad_user);
            r.settings.user = optarg;
            break;
        case 'T':
            if (!parse_count(optarg, 1, relay_max_template_ttl_s, &v))
                return refuse(r, option_outcome::bad_expiry);
            r.settings.template_ttl_s = static_cast<long>(v);
            break;
        case 's':
            if (!parse_leading_decimal(optarg, &v) || v < relay_min_bufsize)
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
            net_address a;
            if (!parse_address(optarg, &a))
                return refuse(r, option_outcome::bad_address);
            r.settings.bind_addrs.push_back(a);
            break;
        }
        case 'e':
        case 'a':
            // Given more than once, the lists add up.
            if (!parse_prefixes(optarg, c == 'e' ? r.settings.exporters : r.settings.viewers))
                return refuse(r, option_outcome::bad_prefixes);
            break;
        case 'm':
            if (!parse_count(optarg, 1, relay_max_clients, &v))
                return refuse(r, option_outcome::bad_limit);
            r.settings.per_address = static_cast<int>(v);
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
        report_error("setsockopt SO_RCVBUF:");
    if (debug_mode)
        show_option(fd, SOL_SOCKET, SO_RCVBUF, "After setsockopt, SO_RCVBUF is %d\n",
                    "getsockopt SO_RCVBUF");
}

void tune_client_socket(int fd, int bufsize)
{
    if (debug_mode)
        show_option(fd, SOL_SOCKET, SO_SNDBUF, "Before setsockopt, SO_SNDBUF is %d\n",
                    "getsockopt SO_SNDBUF");
    // Linux doubles what it is given (for its own bookkeeping): half the cap
    // makes the buffer the documented 1 MiB at most.
    if (set_int_option(fd, SOL_SOCKET, SO_SNDBUF, std::min(bufsize, relay_max_sndbuf / 2)) < 0)
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
    const std::vector<bind_target> targets = bind_targets(s);
    // Every UDP port before any TCP one: a relay that cannot have its
    // exports' port opens no listener.
    for (const bind_target& t : targets) {
        unique_fd fd = open_socket(t.family, SOCK_DGRAM, "socket (udp) error");
        if (bind_to(fd.get(), t, s.udpport) < 0)
            fatal_error("bind UDP error");
        tune_udp_socket(fd.get(), s.bufsize);
        socks.udp.push_back(std::move(fd));
    }
    for (const bind_target& t : targets)
        socks.listen.push_back(open_listener(t, s.tcpport));
    if (s.framed_port >= 0)
        for (const bind_target& t : targets)
            socks.framed.push_back(open_listener(t, s.framed_port));
    return socks;
}

user_outcome run_as_user(const std::string& user)
{
    const passwd* pw = getpwnam(user.c_str());
    if (!pw)
        return user_outcome::no_user;
    const uid_t uid = pw->pw_uid;
    const gid_t gid = pw->pw_gid;
    uid_t ru, eu, su;
    gid_t rg, eg, sg;
    auto ids_are = [&] {
        return getresuid(&ru, &eu, &su) == 0 && getresgid(&rg, &eg, &sg) == 0 && ru == uid &&
               eu == uid && su == uid && rg == gid && eg == gid && sg == gid;
    };
    // Started so by a service manager: nothing to give up, and the calls
    // below may not even be allowed.
    if (ids_are())
        return user_outcome::done;
    if (initgroups(user.c_str(), gid) != 0 || setresgid(gid, gid, gid) != 0 ||
        setresuid(uid, uid, uid) != 0)
        return user_outcome::failed;
    if (!ids_are() || (uid != 0 && (setuid(0) == 0 || seteuid(0) == 0))) {
        errno = EPERM;
        return user_outcome::failed;
    }
    return user_outcome::done;
}

void close_inherited_descriptors()
{
    close_range(3, ~0U, 0);
}

void become_daemon()
{
    std::printf("Forking into background.  Future messages will be sent to syslog\n");
    // Flushed here, or the child would print the start-up lines again when
    // it exits.
    std::fflush(stdout);
    start_syslog();
    pid_t pid = fork();
    if (pid < 0)
        fatal_error("fork error");
    if (pid > 0)
        std::exit(0);
    setsid();
    if (chdir("/") < 0) {
        // nothing to do: the daemon needs no working directory
    }
    umask(022);
    // The terminal, or a pipe such as nelkd | cat, is let go: whoever
    // started the relay sees the end of its output once the parent exits.
    int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd >= 0) {
        for (int fd = 0; fd <= 2; ++fd)
            dup2(null_fd, fd);
        if (null_fd > 2)
            close(null_fd);
    }
    std::signal(SIGWINCH, SIG_IGN);
}

void print_usage(const char* prog)
{
    std::printf("Usage: %s [ -u <udpport> ] [ -t <tcpport> ]\n", prog);
    std::printf("  -u <udpport>  Listen on UDP port <udpport> for netflow packets.  Default %d\n",
                relay_default_port);
    std::printf("  -t <tcpport>  Listen on TCP port <tcpport> for client connections.  Default %d\n",
                relay_default_port);
    std::printf("  -s <bufsize>  Set tcp/udp buffer size.  Default %d\n", relay_default_bufsize);
    std::printf("  -d            Debug.  Don't become a daemon, displays all messages on stdout,\n");
    std::printf("                displays lots of extra information\n");
    std::printf("  -b <address>  Bind both ports to this local IPv4 address.  Default any\n");
    std::printf("  -e <prefixes> Relay datagrams only from these exporters (a.b.c.d/len,...)\n");
    std::printf("  -a <prefixes> Serve only viewers from these addresses (a.b.c.d/len,...)\n");
    std::printf("  -m <count>    Serve at most <count> viewers from one address\n");
    std::printf("  -r            Relay every datagram unchecked, not only whole NetFlow v5\n");
    std::printf("  -M <file>     Write counters to <file> every 10 s (Prometheus text format)\n");
    std::printf("  -F <tcpport>  Serve the framed stream (NetFlow v5, v9, IPFIX; IPv4 and IPv6)\n");
    std::printf("  -U <user>     Run as <user> once the ports and files are open\n");
    std::printf("  -T <seconds>  Forget templates not refreshed for <seconds>.  Default %ld\n",
                template_default_ttl_s);
}
