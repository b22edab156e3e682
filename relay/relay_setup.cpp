// Start-up: the command line, the UDP and TCP sockets, and detaching.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <csignal>
#include <cstdio>
#include <cstdlib>

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
        std::printf(format, value);
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

int bind_any(int fd, int port)
{
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<std::uint16_t>(port));
    sin.sin_addr.s_addr = htonl(INADDR_ANY);
    return bind(fd, reinterpret_cast<const sockaddr*>(&sin), sizeof sin);
}

}  // namespace

option_result parse_options(int argc, char* argv[])
{
    option_result r;
    optind = 0;  // a fresh scan, also when called more than once
    int c;
    while ((c = getopt(argc, argv, "u:t:s:d")) != -1) {
        long long v = 0;
        switch (c) {
        case 'u':
        case 't':
            if (!read_decimal(optarg, &v))
                break;  // no number: the port stays as it was
            if (!valid_port(v)) {
                r.outcome = option_outcome::bad_port;
                r.bad_arg = optarg;
                return r;
            }
            (c == 'u' ? r.settings.udpport : r.settings.tcpport) = static_cast<int>(v);
            break;
        case 's':
            if (!read_decimal(optarg, &v) || v < relay_min_bufsize) {
                r.outcome = option_outcome::bad_bufsize;
                r.bad_arg = optarg;
                return r;
            }
            // The kernel caps the buffers at its own limit anyway.
            r.settings.bufsize = v > INT_MAX ? INT_MAX : static_cast<int>(v);
            break;
        case 'd':
            r.settings.debug = true;
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
    if (set_int_option(fd, SOL_SOCKET, SO_SNDBUF, bufsize) < 0)
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
}

relay_sockets open_relay_sockets(const relay_settings& s)
{
    relay_sockets socks;
    socks.udp = open_socket(SOCK_DGRAM, "socket (udp) error");
    if (bind_any(socks.udp.get(), s.udpport) < 0)
        fatal_error("bind UDP error");
    tune_udp_socket(socks.udp.get(), s.bufsize);

    socks.listen = open_socket(SOCK_STREAM, "socket (tcp) error");
    set_int_option(socks.listen.get(), SOL_SOCKET, SO_REUSEADDR, 1);
    if (bind_any(socks.listen.get(), s.tcpport) < 0)
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
