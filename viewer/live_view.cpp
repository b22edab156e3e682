// The live view: when it is due, and its frame, in place or plain.
#include "viewer/live_view.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "viewer/clock.h"
#include "viewer/exporters.h"
#include "viewer/report.h"

namespace {

// What print wrote to the stream it was given. Empty when no memory.
template <typename Print>
std::string text_of(Print print)
{
    char* buf = nullptr;
    std::size_t size = 0;
    std::FILE* f = open_memstream(&buf, &size);
    if (!f)
        return {};
    print(f);
    std::fclose(f);
    std::string text(buf, size);
    std::free(buf);
    return text;
}

struct window {
    int rows = 0;  // 0: not known
    int cols = 0;
};

// The window's size now; it can change at any time.
window window_size(const live_screen& live)
{
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0)
        return {ws.ws_row, ws.ws_col};
    return {live.rows, live.cols};
}

// A frame built in memory and written at once.
struct frame {
    const live_screen& live;
    int width;  // columns a line may take; 0: no limit
    std::string text;

    // One line, its line end given or not, cut to the window: a character
    // is a column (the bytes that continue a UTF-8 character take none, and
    // a character is never split), carriage returns are dropped.
    void line(std::string_view s)
    {
        text += live.clear_line;
        int used = 0;
        bool cut = false;
        for (const char c : s) {
            const auto u = static_cast<unsigned char>(c);
            if (c == '\r' || c == '\n')
                continue;
            if ((u & 0xc0) == 0x80) {
                if (!cut)
                    text += c;
                continue;
            }
            cut = cut || (width > 0 && used == width);
            if (!cut) {
                text += c;
                ++used;
            }
        }
        if (!s.empty() && s.back() == '\n')
            text += '\n';
    }
};

// The lines of text, each with its line end.
template <typename Each>
void each_line(std::string_view text, Each each)
{
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::size_t n = end == std::string_view::npos ? text.size() : end + 1;
        each(text.substr(0, n));
        text.remove_prefix(n);
    }
}

int count_lines(std::string_view text)
{
    int n = 0;
    each_line(text, [&](std::string_view) { ++n; });
    return n;
}

// The exporter page's heading.
void print_exporters_heading(std::FILE* out, std::time_t now)
{
    std::tm local{};
    localtime_r(&now, &local);
    char text[64] = "";
    if (!asctime_r(&local, text))
        text[0] = '\0';
    text[strcspn(text, "\n")] = '\0';
    std::fprintf(out, "Exporters as of %s; a, p, t or u shows the report again\n", text);
}

// The summary line first, then the spot for the loss lines, then the
// report: as much of it as the window holds below them, stopping short of
// the bottom so that the screen never scrolls, with a last row for the
// cursor and the key help. Every line clears what the last frame left on
// it, what is below the frame is cleared.
void report_in_place(flow_context& ctx, std::time_t now, frame& f, int rows)
{
    const std::string summary = text_of([&](std::FILE* out) {
        print_running_summary(out, ctx, now);
    });
    const std::string loss =
        text_of([&](std::FILE* out) { print_live_loss_lines(out, *ctx.exporters); });
    const int loss_lines = count_lines(loss);
    // Unknown rows: the whole report.
    const long room = rows <= 0 ? -1 : std::max(0, rows - 2 - std::max(1, loss_lines));
    const std::string body = text_of([&](std::FILE* out) {
        render_running_interval(out, ctx, now, room);
    });

    f.line(summary);
    if (loss_lines == 0)
        f.text += ctx.live->clear_line;  // the loss lines' spot, empty
    each_line(loss, [&](std::string_view l) { f.line(l); });
    each_line(body, [&](std::string_view l) { f.line(l); });
}

// The heading and the exporter table, as many lines as the window holds
// above its last row.
void exporters_in_place(const flow_context& ctx, std::time_t now, frame& f, int rows)
{
    const std::string table = text_of([&](std::FILE* out) {
        print_exporters_heading(out, now);
        print_exporters(out, *ctx.exporters);
    });
    int room = rows <= 0 ? -1 : std::max(0, rows - 1);
    each_line(table, [&](std::string_view l) {
        if (room != 0)
            f.line(l);
        if (room > 0)
            --room;
    });
}

void show_in_place(flow_context& ctx, std::time_t now)
{
    const live_screen& live = *ctx.live;
    const window w = window_size(live);
    frame f{live, w.cols > 1 && !live.last_column ? w.cols - 1 : w.cols, live.home};
    if (live.page == live_page::exporters)
        exporters_in_place(ctx, now, f, w.rows);
    else
        report_in_place(ctx, now, f, w.rows);
    f.text += live.clear_below;
    std::fflush(stdout);
    std::fwrite(f.text.data(), 1, f.text.size(), stdout);
    std::fflush(stdout);
}

// Anywhere else the page is printed as it is, report or table.
void show_plain(flow_context& ctx, std::time_t now)
{
    if (ctx.live->page == live_page::exporters) {
        print_exporters_heading(stdout, now);
        print_exporters(stdout, *ctx.exporters);
        return;
    }
    print_running_summary(stdout, ctx, now);
    print_live_loss_lines(stdout, *ctx.exporters);
    render_running_interval(stdout, ctx, now);
}

}  // namespace

void show_live_view(flow_context& ctx)
{
    const std::time_t now = clock_now(*ctx.clock);
    ctx.live->last_refresh = now;
    if (ctx.live->page == live_page::report && !ctx.stats->current)
        return;
    if (ctx.live->in_place)
        show_in_place(ctx, now);
    else
        show_plain(ctx, now);
}

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
