// nelkd: NetFlow relay.
#include <cerrno>
#include <csignal>
#include <cstdio>
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
        refuse_start(true, "too low buffer size or bad format: %s", opts.bad_arg);
    case option_outcome::bad_port:
        refuse_start(false, "port out of range (0 to 65535): %s", opts.bad_arg);
    case option_outcome::bad_address:
        refuse_start(false, "not an IPv4 address for -b (such as 192.0.2.10): %s", opts.bad_arg);
    case option_outcome::bad_prefixes:
        refuse_start(false,
                     "bad prefix list (address/length, length 0 to 32, no bits beyond the "
                     "length, comma-separated): %s",
                     opts.bad_arg);
    case option_outcome::bad_limit:
        refuse_start(false, "viewers per address out of range (1 to %d): %s", relay_max_clients,
                     opts.bad_arg);
    case option_outcome::bad_metrics:
        refuse_start(false, "no file name for -M: '%s'", opts.bad_arg);
    case option_outcome::bad_user:
        refuse_start(false, "no user name for -U: '%s'", opts.bad_arg);
    case option_outcome::bad_expiry:
        refuse_start(false, "template expiry out of range (1 to %ld seconds): %s",
                     relay_max_template_ttl_s, opts.bad_arg);
    }
    const relay_settings& s = opts.settings;
    debug_mode = s.debug ? 1 : 0;
    // Debug lines are for watching the relay live, also through a pipe.
    if (debug_mode)
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
    else
        close_inherited_descriptors();

    relay_sockets socks = open_relay_sockets(s);
    metrics_file metrics;
    if (!s.metrics_path.empty() && !open_metrics(s.metrics_path, &metrics))
        fatal_error(("metrics file " + s.metrics_path).c_str());
    // Everything is open: the relay need not be root to parse what the
    // network sends.
    if (!s.user.empty()) {
        switch (run_as_user(s.user)) {
        case user_outcome::done:
            break;
        case user_outcome::no_user:
            refuse_start(false, "no such user for -U: %s", s.user.c_str());
        case user_outcome::failed:
            refuse_start(true, "cannot run as user %s", s.user.c_str());
        }
    }
    if (geteuid() == 0)
        report_warning("running as root: -U USER would have the relay give up root once its "
                       "ports are open\n");
    // Only once the ports are ours (a second relay started by mistake must
    // not reset the file), as the user the relay runs as, and while we
    // still talk to the terminal.
    if (metrics.dir && !write_metrics(metrics, {}, {}))
        fatal_error(("metrics file " + s.metrics_path).c_str());
    std::printf("Listening on UDP port %d and TCP port %d (with a backlog of %d)\n", s.udpport,
                s.tcpport, relay_backlog);
    if (!debug_mode)
        become_daemon();
    // A viewer that resets its connection must cost only its slot.
    std::signal(SIGPIPE, SIG_IGN);
    // No SA_RESTART: the signals must end the loop's wait.
    struct sigaction sa{};
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = request_counters;
    sigaction(SIGUSR1, &sa, nullptr);
    sa.sa_handler = request_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    // From here on a standard output that nobody reads must not stall us.
    if (debug_mode)
        start_unblocking_output();

    relay_loop(socks, metrics, s);
}
