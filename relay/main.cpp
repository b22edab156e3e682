// nelkd: NetFlow v5 relay.
#include <err.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "relay/relay.h"

int main(int argc, char* argv[])
{
    ensure_std_descriptors();

    option_result opts = parse_options(argc, argv);
    switch (opts.outcome) {
    case option_outcome::run:
        break;
    case option_outcome::usage:
        print_usage(argv[0]);
        return 0;
    case option_outcome::bad_bufsize:
        errno = EINVAL;
        err(1, "too low buffer size or bad format: %s", opts.bad_arg);
    case option_outcome::bad_port:
        errx(1, "port out of range (0 to 65535): %s", opts.bad_arg);
    case option_outcome::bad_address:
        errx(1, "not an IPv4 address for -b (such as 192.0.2.10): %s", opts.bad_arg);
    case option_outcome::bad_prefixes:
        errx(1, "bad prefix list (address/length, length 0 to 32, no bits beyond the length, "
                "comma-separated): %s",
             opts.bad_arg);
    case option_outcome::bad_limit:
        errx(1, "viewers per address out of range (1 to %d): %s", relay_max_clients,
             opts.bad_arg);
    case option_outcome::bad_metrics:
        errx(1, "no file name for -M: '%s'", opts.bad_arg);
    case option_outcome::bad_user:
        errx(1, "no user name for -U: '%s'", opts.bad_arg);
    }
    relay_settings& s = opts.settings;
    // The daemon works from /, so a relative name is made whole here.
    if (!s.metrics_path.empty() && s.metrics_path.front() != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd))
            s.metrics_path = std::string(cwd) + "/" + s.metrics_path;
    }
    debug_mode = s.debug ? 1 : 0;
    // Debug lines are for watching the relay live, also through a pipe.
    if (debug_mode)
        std::setvbuf(stdout, nullptr, _IOLBF, 0);

    relay_sockets socks = open_relay_sockets(s);
    // Only once the ports are ours (a second relay started by mistake must
    // not reset the file), and while we still talk to the terminal.
    if (!s.metrics_path.empty() && !write_metrics(s.metrics_path, {}, {}))
        fatal_error(("metrics file " + s.metrics_path).c_str());
    std::printf("Listening on UDP port %d and TCP port %d (with a backlog of %d)\n", s.udpport,
                s.tcpport, relay_backlog);
    if (!debug_mode)
        become_daemon();
    // A viewer that resets its connection must cost only its slot.
    std::signal(SIGPIPE, SIG_IGN);
    // No SA_RESTART: the signal must end the loop's wait.
    struct sigaction sa{};
    sa.sa_handler = request_counters;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGUSR1, &sa, nullptr);
    // From here on a standard output that nobody reads must not stall us.
    if (debug_mode)
        start_unblocking_output();

    relay_loop(socks, s);
}
