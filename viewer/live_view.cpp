// The live view: when it is due, and its frame, in place or plain.
#include "viewer/live_view.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "viewer/clock.h"
#include "viewer/exporters.h"
#include "viewer/report.h"

namespace {

// The report of the running interval as text; empty when no memory.
std::string render_to_text(const flow_context& ctx, std::time_t now)
{
    char* buf = nullptr;
    std::size_t size = 0;
    std::FILE* f = open_memstream(&buf, &size);
    if (!f)
        return {};
    render_running_interval(f, ctx, now);
    std::fclose(f);
    std::string text(buf, size);
    std::free(buf);
    return text;
}

// The screen's length now; the window can change size at any time.
int screen_rows(const live_screen& live)
{
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0)
        return ws.ws_row;
    return live.rows;
}

// The summary line first, then the spot for the loss line, then the rest.
// In place, every line clears what the last frame left on it, the frame
// stops short of the bottom so that the screen never scrolls, and what
// is below the frame is cleared; all of it goes out in one write.
void write_frame(const flow_context& ctx, std::string_view text)
{
    const live_screen& live = *ctx.live;
    const std::size_t first_end = text.find('\n');
    const std::string_view summary =
        text.substr(0, first_end == std::string_view::npos ? text.size() : first_end + 1);
    std::string_view rest = text.substr(summary.size());

    if (!live.in_place) {
        std::fwrite(summary.data(), 1, summary.size(), stdout);
        print_live_loss_lines(*ctx.exporters);
        std::fwrite(rest.data(), 1, rest.size(), stdout);
        return;
    }

    // Room below the summary line and the loss line, and a last row for
    // the cursor and the key help.
    const int rows = screen_rows(live);
    long room = rows >= 3 ? rows - 3 : (rows > 0 ? 0 : -1);
    std::fflush(stdout);
    std::fputs(live.home.c_str(), stdout);
    std::fputs(live.clear_line.c_str(), stdout);
    std::fwrite(summary.data(), 1, summary.size(), stdout);
    std::fputs(live.clear_line.c_str(), stdout);
    print_live_loss_lines(*ctx.exporters);
    while (!rest.empty() && room != 0) {
        const std::size_t end = rest.find('\n');
        const std::size_t n = end == std::string_view::npos ? rest.size() : end + 1;
        std::fputs(live.clear_line.c_str(), stdout);
        std::fwrite(rest.data(), 1, n, stdout);
        rest.remove_prefix(n);
        if (room > 0)
            --room;
    }
    std::fputs(live.clear_below.c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace

bool live_refresh_due(const flow_context& ctx, std::time_t now)
{
    const live_screen& live = *ctx.live;
    if (now < live.last_refresh)
        return true;
    std::time_t since = live.last_refresh;
    // A rollover has just shown a closed report: it stays a full period.
    if (ctx.stats->last_time > since && ctx.stats->last_time <= now)
        since = ctx.stats->last_time;
    return now - since >= ctx.config->live_seconds;
}

void show_live_view(flow_context& ctx)
{
    const std::time_t now = clock_now(*ctx.clock);
    ctx.live->last_refresh = now;
    const std::string text = render_to_text(ctx, now);
    if (!text.empty())
        write_frame(ctx, text);
}

timespec live_wait()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    // A millisecond past the second, so that time() has moved on.
    const long ns = 1'000'000'000L - now.tv_nsec + 1'000'000L;
    if (ns >= 1'000'000'000L)
        return {1, 0};
    return {0, ns};
}
