// nelk: connects to a nelkd relay and shows the flows of its routers.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "viewer/asn_names.h"
#include "viewer/clock.h"
#include "viewer/event_loop.h"
#include "viewer/flow_filter.h"
#include "viewer/intervals.h"
#include "viewer/messages.h"
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

constexpr std::size_t output_buffer_size = 256 * 1024;

}  // namespace

int main(int argc, char* argv[])
{
    fill_standard_descriptors();
    // Listings go out in large writes; the loop flushes before every wait
    // and before every exit, so the operator sees each batch of flows whole.
    // The buffer belongs to standard output until the process ends.
    std::setvbuf(stdout, new char[output_buffer_size], _IOFBF, output_buffer_size);

    // Lives until the process ends: main never returns.
    auto viewer = std::make_unique<viewer_records>();
    flow_context& ctx = viewer->ctx;
    // A viewer whose reader has gone sees EPIPE and ends quietly.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGWINCH, SIG_IGN);

    const int status = parse_options(argc, argv, ctx);
    if (status != keep_going)
        std::exit(status);
    reconcile_mode(*ctx.config);
    ctx.templates->used = fields_used(*ctx.config, *ctx.filter);

    ctx.stats->last_time = clock_now(*ctx.clock);
    ctx.stats->last_minute = report_minute(clock_now(*ctx.clock));
    open_current_interval(ctx);

    // Colondump and json are for other programs: no AS names, no status lines.
    if (!for_programs(ctx.config->mode)) {
        std::fflush(stdout);  // option lines before the loader's reports
        if (ctx.config->asn_file)
            load_asn_file(*ctx.names, ctx.config->asn_file);
        else
            Init_ASN_Lookups(*ctx.names);
        note_report_interval(ctx.config->interval);
        note_starting();
    }
    connect_and_run(ctx.config->server, ctx.config->port, ctx);
}
