#include "viewer/report.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "viewer/asn_names.h"
#include "viewer/exits.h"
#include "viewer/report_kinds.h"

namespace {

// Closed intervals are at least a second long; a hand-made or clock-stepped
// interval of 0 or less is rated as one second rather than dividing by it.
int rate_seconds(int seconds) { return std::max(seconds, 1); }

// One column of a section: its entries in report order, as many as the
// section has rows (or fewer, when fewer hold any bytes).
struct column {
    std::unique_ptr<ranked_entry[]> ranked;
    int count = 0;
};

column rank_column(const stats_table* table, int rows, const flow_context& ctx)
{
    column c;
    if (!table || !*table || rows <= 0)
        return c;
    std::size_t room = table->wide ? table->wide->used : 0;
    for (std::size_t block = 0; block < stats_table_blocks; ++block)
        room += table->block_written(block) ? stats_block_entries : 0;
    if (room == 0)
        return c;
    c.ranked.reset(new (std::nothrow) ranked_entry[room]);
    if (!c.ranked) {
        errno = ENOMEM;
        fail_out_of_memory(ctx, "report ranking");
    }
    c.count = rank_entries(*table, rows, c.ranked.get());
    return c;
}

const char source_dest_line[] =
    "Rank|-------------Source----------------| |---------------Dest----------------|\n";

// The lines a rendering may still print after its summary line: a live
// view cut to its window makes no line it would not show.
struct line_budget {
    long left;  // negative: no limit

    // True when one more line may be printed, and takes it.
    bool take()
    {
        if (left == 0)
            return false;
        if (left > 0)
            --left;
        return true;
    }
    // As many of the wanted rows as may be printed, taken.
    int rows(int wanted)
    {
        if (left < 0 || wanted <= 0)
            return wanted;
        const int n = static_cast<int>(std::min<long>(wanted, left));
        left -= n;
        return n;
    }
};

// Prints rows numbered from 1 for the section's columns (dst is null in a
// one-column report). Rows past the ranked entries are empty.
void print_rows(std::FILE* out, int rows, const report_kind_entry& kind,
                const stats_table* src_table, const stats_table* dst_table, int seconds,
                double total, const flow_context& ctx)
{
    const column src = rank_column(src_table, rows, ctx);
    const column dst = rank_column(dst_table, rows, ctx);
    const auto cell = [&](const column& c, int row) {
        if (row < c.count)
            kind.cell(out, *ctx.names, c.ranked[row].number, c.ranked[row].bytes, seconds, total);
    };
    for (int row = 0; row < rows; ++row) {
        std::fprintf(out, "%2d:", row + 1);
        cell(src, row);
        if (dst_table) {
            std::fputc(' ', out);
            cell(dst, row);
        }
        std::fputc('\n', out);
    }
}

// seconds * 1024 as a wide integer product, so long intervals don't overflow.
double per_second_k(int seconds)
{
    return static_cast<double>(static_cast<long long>(rate_seconds(seconds)) * 1024);
}

const char* service_name(std::uint32_t port, const char* proto)
{
    const servent* s = getservbyport(htons(static_cast<std::uint16_t>(port)), proto);
    return s ? s->s_name : "unknown";
}

// Which summary line a rendering begins with: a closed interval's, or the
// running interval's in the live view.
enum class summary_kind { closed, running };

void print_summary_line(std::FILE* out, summary_kind kind, int s, std::time_t end_time)
{
    std::tm local{};
    localtime_r(&end_time, &local);
    char text[64] = "";
    if (!asctime_r(&local, text))
        text[0] = '\0';
    const std::size_t len = std::strlen(text);
    if (len > 0)
        text[len - 1] = '\0';
    const int h = s / 3600, m = (s % 3600) / 60, sec = s % 60;
    if (kind == summary_kind::closed)
        std::fprintf(out, "Summary for interval (%2.2d:%2.2d:%2.2d total) ending %s\n", h, m, sec,
                     text);
    else
        std::fprintf(out, "Running interval (%2.2d:%2.2d:%2.2d so far) ending %s\n", h, m, sec,
                     text);
}

// The report of stats over the given seconds below its summary line: the
// layout a closed report and the live view share, at most max_lines long.
void render_body(std::FILE* out, const interval_stats& stats, int seconds,
                 const report_kind_entry& kind, const flow_context& ctx, long max_lines)
{
    const flow_filter& filter = *ctx.filter;
    const bool two_sections = filter.router.has_value() && filter.ifindex != 0;
    const auto table = [&](stats_table interval_stats::*t) { return t ? &(stats.*t) : nullptr; };
    line_budget lines{max_lines};

    const double k = per_second_k(seconds);
    // A screen length so far below zero that taking the reserve off would
    // wrap round gives no rows, as any other negative length does.
    const int spare = std::max(ctx.config->lines, INT_MIN + kind.reserve) - kind.reserve;
    if (!two_sections) {
        if (lines.take())
            std::fprintf(out, " Total %10.0fkbits/s, %10.0fkpps\n", 8 * stats.in_bytes / k,
                         stats.in_packets / k);
        if (kind.in_dst && lines.take())
            std::fputs(source_dest_line, out);
        if (lines.take())
            std::fputs(kind.header, out);
        print_rows(out, lines.rows(spare), kind, table(kind.in_src), table(kind.in_dst), seconds,
                   stats.in_bytes, ctx);
        return;
    }

    if (kind.in_dst && lines.take())
        std::fputs(source_dest_line, out);
    if (lines.take())
        std::fputs(kind.header, out);
    if (lines.take())
        std::fprintf(out,
                     "                          O   U   T   B   O   U   N   D"
                     "  (total %.0fkbits/s, %.0fkpps)\n",
                     8 * stats.out_bytes / k, stats.out_packets / k);
    print_rows(out, lines.rows(spare / 2 + 1), kind, table(kind.out_src), table(kind.out_dst),
               seconds, stats.out_bytes, ctx);
    if (lines.take())
        std::fprintf(out,
                     "                            I   N   B   O   U   N   D"
                     "    (total %.0fkbits/s, %.0fkpps)\n",
                     8 * stats.in_bytes / k, stats.in_packets / k);
    print_rows(out, lines.rows(spare / 2), kind, table(kind.in_src), table(kind.in_dst), seconds,
               stats.in_bytes, ctx);
}

// The configured kind; a value that is no kind reports as AS.
const report_kind_entry& configured_kind(const flow_context& ctx)
{
    const report_kind_entry* kind = report_kind_entry_of(ctx.config->report_type);
    return kind ? *kind : report_kinds[0];
}

}  // namespace

void render_report(const interval_stats* stats, const flow_context& ctx)
{
    if (!stats) {
        show_no_stats();
        return;
    }
    if (!report_kind_entry_of(ctx.config->report_type))
        report_unknown_report_type();
    print_summary_line(stdout, summary_kind::closed, stats->seconds, stats->end_time);
    render_body(stdout, *stats, stats->seconds, configured_kind(ctx), ctx, -1);
}

int running_seconds(const flow_stats& stats, std::time_t now)
{
    const long long s = static_cast<long long>(now) - stats.last_time;
    return static_cast<int>(std::clamp<long long>(s, 1, INT_MAX));
}

void print_running_summary(std::FILE* out, const flow_context& ctx, std::time_t now)
{
    print_summary_line(out, summary_kind::running, running_seconds(*ctx.stats, now), now);
}

void render_running_interval(std::FILE* out, const flow_context& ctx, std::time_t now,
                             long max_lines)
{
    const flow_stats& stats = *ctx.stats;
    if (!stats.current)
        return;
    render_body(out, *stats.current, running_seconds(stats, now), configured_kind(ctx), ctx,
                max_lines);
}

void print_summary(const interval_stats& stats)
{
    print_summary_line(stdout, summary_kind::closed, stats.seconds, stats.end_time);
}

int rank_entries(const stats_table& column, int limit, ranked_entry* ranked)
{
    // The blocks that were written hold every entry with bytes; only those
    // entries are ordered, and only as far as the rows go, so a report costs
    // what its data costs, however long the screen.
    const double* table = column.entries();
    int n = 0;
    for (std::size_t block = 0; block < stats_table_blocks; ++block) {
        if (!column.block_written(block))
            continue;
        const std::size_t first = block * stats_block_entries;
        for (std::size_t i = first; i < first + stats_block_entries; ++i)
            if (table[i] > 0)
                ranked[n++] = {static_cast<std::uint32_t>(i), table[i]};
    }
    if (column.wide)
        for (const wide_sum& e : column.wide->slots)
            if (e.number != 0 && e.bytes > 0)
                ranked[n++] = {e.number, e.bytes};
    const auto before = [](const ranked_entry& a, const ranked_entry& b) {
        return a.bytes > b.bytes || (a.bytes == b.bytes && a.number < b.number);
    };
    const int shown = std::clamp(limit, 0, n);
    std::partial_sort(ranked, ranked + shown, ranked + n, before);
    return shown;
}

void as_cell(std::FILE* out, const asn_table& names, std::uint32_t number, double bytes,
             int seconds, double total)
{
    print_cell(out, asn_name(names, number), number, seconds, bytes, total);
}

void proto_cell(std::FILE* out, const asn_table&, std::uint32_t number, double bytes,
                int seconds, double total)
{
    const protoent* p = getprotobynumber(static_cast<int>(number));
    print_cell(out, p ? p->p_name : "unknown", number, seconds, bytes, total);
}

void tcp_cell(std::FILE* out, const asn_table&, std::uint32_t number, double bytes, int seconds,
              double total)
{
    print_cell(out, service_name(number, "tcp"), number, seconds, bytes, total);
}

void udp_cell(std::FILE* out, const asn_table&, std::uint32_t number, double bytes, int seconds,
              double total)
{
    print_cell(out, service_name(number, "udp"), number, seconds, bytes, total);
}

void print_cell(std::FILE* out, const char* name, std::uint32_t number, int seconds,
                double bytes, double total)
{
    // 65536 to 99999 fit the five columns; from 100000 on each digit more
    // is a column less of the name (eight are left for ten digits).
    int name_width = 13;
    for (std::uint32_t n = number; n >= 100000; n /= 10)
        --name_width;
    std::fprintf(out, " %*.*s(%5u)", name_width, name_width, name, number);
    const double rate = bytes * 8 / rate_seconds(seconds);
    // Rounded to single precision before printing: 4 of 80000 shows 0.00.
    const float share = static_cast<float>(bytes / total * 100);
    if (rate >= 10240)
        std::fprintf(out, " %6.0fk; %6.2f%%", rate / 1024, share);
    else
        std::fprintf(out, " %6.0fb; %6.2f%%", rate, share);
}
