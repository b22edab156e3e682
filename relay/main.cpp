// nelkd: NetFlow v5 relay.
#include <err.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

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
    }
    const relay_settings& s = opts.settings;
    debug_mode = s.debug ? 1 : 0;
    // Debug lines are for watching the relay live, also through a pipe.
    if (debug_mode)
        std::setvbuf(stdout, nullptr, _IOLBF, 0);

    relay_sockets socks = open_relay_sockets(s);
    std::printf("Listening on UDP port %d and TCP port %d (with a backlog of %d)\n", s.udpport,
                s.tcpport, relay_backlog);
    if (!debug_mode)
        become_daemon();
    // A viewer that resets its connection must cost only its slot.
    std::signal(SIGPIPE, SIG_IGN);

    relay_loop(socks.udp.release(), socks.listen.release(), s.bufsize);
}
