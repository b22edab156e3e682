// nelk: connects to a nelkd relay and shows the flows of its routers.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "viewer/asn_names.h"
#include "viewer/clock.h"
#include "viewer/event_loop.h"
#include "viewer/intervals.h"
#include "viewer/options.h"
#include "viewer/viewer.h"

namespace {

// A viewer started with standard input, output or error closed would get
// its relay socket as one of them: keys read from the stream, listings
// written into it. /dev/null takes any such gap first.
void fill_standard_descriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        const int null_fd = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null_fd >= 0 && null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
}

}  // namespace

int main(int argc, char* argv[])
{
    fill_standard_descriptors();
    // Listings go out in large writes; the loop flushes before every wait
    // and before every exit, so the operator sees each batch of flows whole.
    static char output_buffer[256 * 1024];
    std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);

    viewer_config config;
    flow_filter filter;
    flow_stats stats;
    stats.current = new_interval_stats();
    // A viewer whose reader has gone sees EPIPE and ends quietly.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGWINCH, SIG_IGN);
    flow_context ctx{&config, &filter, &stats};

    const int status = parse_options(argc, argv, ctx);
    if (status >= 0)
        std::exit(status);
    reconcile_mode(config);

    stats.last_time = clock_now();
    stats.last_minute = report_minute(clock_now());

    // Colondump is for other programs: no intervals, no AS names.
    if (config.mode != mode_colondump) {
        stats_alloc(*stats.current);
        std::fflush(stdout);  // option lines before the loader's reports
        Init_ASN_Lookups();
        std::printf("Using report interval of %d minute(s)\n", config.interval);
        std::printf("Starting. Hit '?' for help with keys.\r");
    }
    connect_and_run(config.server, config.port, ctx);
}
