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

namespace {

using cell_fn = void (*)(std::FILE*, const asn_table&, const double*, int, int, double);

// Closed intervals are at least a second long; a hand-made or clock-stepped
// interval of 0 or less is rated as one second rather than dividing by it.
int rate_seconds(int seconds) { return std::max(seconds, 1); }

// One column of a section: its table and its entries in report order, as
// many as the section has rows (or fewer, when fewer hold any bytes).
struct column {
    const double* table = nullptr;
    std::unique_ptr<std::uint16_t[]> ranked;
    int count = 0;
};

column rank_column(const stats_table* table, int rows, const flow_context& ctx)
{
    column c;
    if (!table || rows <= 0)
        return c;
    c.table = table->entries();
    std::size_t room = 0;
    for (std::size_t block = 0; block < stats_table_blocks; ++block)
        room += table->block_written(block) ? stats_block_entries : 0;
    if (room == 0)
        return c;
    c.ranked.reset(new (std::nothrow) std::uint16_t[room]);
    if (!c.ranked) {
        errno = ENOMEM;
        fail_out_of_memory(ctx, "report ranking");
    }
    c.count = rank_entries(*table, rows, c.ranked.get());
    return c;
}

// The column heading line; each "%%" comes out as one per-cent sign.
void format_header(report_kind type, char* text, std::size_t size)
{
    switch (type) {
    case report_kind::proto:
        std::snprintf(text, size, "Rank|--Proto Name/Num---|-bw;%% of total-|\n");
        break;
    case report_kind::tcpport:
        std::snprintf(text, size,
                      "    |-----TCP Port------|-bw;%% of total-| "
                      "|-----TCP Port------|-bw,%% of total-|\n");
        break;
    case report_kind::udpport:
        std::snprintf(text, size,
                      "    |-----UDP Port------|-bw;%% of total-| "
                      "|-----UDP Port------|-bw,%% of total-|\n");
        break;
    default:
        std::snprintf(text, size,
                      "    |----AS Name/Num----|-bw;%% of total-| "
                      "|----AS Name/Num----|-bw,%% of total-|\n");
        break;
    }
}

const char source_dest_line[] =
    "Rank|-------------Source----------------| |---------------Dest----------------|";

// One cell, or nothing once the column has no entry left for the row.
void print_column_cell(std::FILE* out, const asn_table& names, cell_fn cell, const column& c,
                       int row, int seconds, double total)
{
    if (row < c.count)
        cell(out, names, c.table, c.ranked[row], seconds, total);
}

// Prints rows numbered from 1 for the section's columns (dst has no table
// in a one-column report). Rows past the ranked entries are empty.
void print_rows(std::FILE* out, const asn_table& names, int rows, cell_fn cell,
                const stats_table* src_table, const stats_table* dst_table, int seconds,
                double total, const flow_context& ctx)
{
    const column src = rank_column(src_table, rows, ctx);
    const column dst = rank_column(dst_table, rows, ctx);
    for (int row = 0; row < rows; ++row) {
        std::fprintf(out, "%2d:", row + 1);
        print_column_cell(out, names, cell, src, row, seconds, total);
        if (dst_table) {
            std::fputc(' ', out);
            print_column_cell(out, names, cell, dst, row, seconds, total);
        }
        std::fputc('\n', out);
    }
}

// seconds * 1024 as a wide integer product, so long intervals don't overflow.
double per_second_k(int seconds)
{
    return static_cast<double>(static_cast<long long>(rate_seconds(seconds)) * 1024);
}

const char* service_name(int port, const char* proto)
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

// One report of stats over the given seconds, ending at end_time: the
// layout a closed report and the live view share.
void render_interval(std::FILE* out, const interval_stats& stats, int seconds,
                     std::time_t end_time, summary_kind kind, const flow_context& ctx)
{
    const flow_filter& filter = *ctx.filter;
    const bool two_sections = filter.router.has_value() && filter.ifindex != 0;

    report_kind type = ctx.config->report_type;
    if (type < report_kind::as || type > report_kind::udpport) {
        report_unknown_report_type();
        type = report_kind::as;
    }

    cell_fn cell = as_cell;
    int reserve = 6;
    const stats_table* in_src = &stats.in_src_as;
    const stats_table* in_dst = &stats.in_dst_as;
    const stats_table* out_src = &stats.out_src_as;
    const stats_table* out_dst = &stats.out_dst_as;
    if (type == report_kind::proto) {
        cell = proto_cell;
        reserve = 4;
        in_src = &stats.in_proto;
        out_src = &stats.out_proto;
        in_dst = out_dst = nullptr;
    } else if (type == report_kind::tcpport) {
        cell = tcp_cell;
        in_src = &stats.in_tcp_src;
        in_dst = &stats.in_tcp_dst;
        out_src = &stats.out_tcp_src;
        out_dst = &stats.out_tcp_dst;
    } else if (type == report_kind::udpport) {
        cell = udp_cell;
        in_src = &stats.in_udp_src;
        in_dst = &stats.in_udp_dst;
        out_src = &stats.out_udp_src;
        out_dst = &stats.out_udp_dst;
    }
    const bool two_columns = in_dst != nullptr;

    const asn_table& names = *ctx.names;

    char header[128];
    format_header(type, header, sizeof header);

    print_summary_line(out, kind, seconds, end_time);

    const double k = per_second_k(seconds);
    // A screen length so far below zero that taking the reserve off would
    // wrap round gives no rows, as any other negative length does.
    const int spare = std::max(ctx.config->lines, INT_MIN + reserve) - reserve;
    if (!two_sections) {
        std::fprintf(out, " Total %10.0fkbits/s, %10.0fkpps\n", 8 * stats.in_bytes / k,
                     stats.in_packets / k);
        if (two_columns)
            std::fprintf(out, "%s\n", source_dest_line);
        std::fputs(header, out);
        print_rows(out, names, spare, cell, in_src, in_dst, seconds, stats.in_bytes, ctx);
        return;
    }

    if (two_columns)
        std::fprintf(out, "%s\n", source_dest_line);
    std::fputs(header, out);
    std::fprintf(out,
                 "                          O   U   T   B   O   U   N   D"
                 "  (total %.0fkbits/s, %.0fkpps)\n",
                 8 * stats.out_bytes / k, stats.out_packets / k);
    print_rows(out, names, spare / 2 + 1, cell, out_src, out_dst, seconds, stats.out_bytes, ctx);
    std::fprintf(out,
                 "                            I   N   B   O   U   N   D"
                 "    (total %.0fkbits/s, %.0fkpps)\n",
                 8 * stats.in_bytes / k, stats.in_packets / k);
    print_rows(out, names, spare / 2, cell, in_src, in_dst, seconds, stats.in_bytes, ctx);
}

}  // namespace

void render_report(const interval_stats* stats, const flow_context& ctx)
{
    if (!stats) {
        show_no_stats();
        return;
    }
    render_interval(stdout, *stats, stats->seconds, stats->end_time, summary_kind::closed, ctx);
}

int running_seconds(const flow_stats& stats, std::time_t now)
{
    const long long s = static_cast<long long>(now) - stats.last_time;
    return static_cast<int>(std::clamp<long long>(s, 1, INT_MAX));
}

void render_running_interval(std::FILE* out, const flow_context& ctx, std::time_t now)
{
    const flow_stats& stats = *ctx.stats;
    if (!stats.current)
        return;
    render_interval(out, *stats.current, running_seconds(stats, now), now,
                    summary_kind::running, ctx);
}


void print_summary(const interval_stats& stats)
{
    print_summary_line(stdout, summary_kind::closed, stats.seconds, stats.end_time);
}

int rank_entries(const stats_table& column, int limit, std::uint16_t* ranked)
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
                ranked[n++] = static_cast<std::uint16_t>(i);
    }
    const auto before = [table](std::uint16_t a, std::uint16_t b) {
        return table[a] > table[b] || (table[a] == table[b] && a < b);
    };
    const int shown = std::clamp(limit, 0, n);
    std::partial_sort(ranked, ranked + shown, ranked + n, before);
    return shown;
}

void as_cell(std::FILE* out, const asn_table& names, const double* table, int index,
             int seconds, double total)
{
    print_cell(out, asn_name(names, index), index, seconds, table[index], total);
}

void proto_cell(std::FILE* out, const asn_table&, const double* table, int index, int seconds,
                double total)
{
    const protoent* p = getprotobynumber(index);
    print_cell(out, p ? p->p_name : "unknown", index, seconds, table[index], total);
}

void tcp_cell(std::FILE* out, const asn_table&, const double* table, int index, int seconds,
              double total)
{
    print_cell(out, service_name(index, "tcp"), index, seconds, table[index], total);
}

void udp_cell(std::FILE* out, const asn_table&, const double* table, int index, int seconds,
              double total)
{
    print_cell(out, service_name(index, "udp"), index, seconds, table[index], total);
}

void print_cell(std::FILE* out, const char* name, int number, int seconds, double bytes,
                double total)
{
    std::fprintf(out, " %13.13s(%5d)", name, number);
    const double rate = bytes * 8 / rate_seconds(seconds);
    // Rounded to single precision before printing: 4 of 80000 shows 0.00.
    const float share = static_cast<float>(bytes / total * 100);
    if (rate >= 10240)
        std::fprintf(out, " %6.0fk; %6.2f%%", rate / 1024, share);
    else
        std::fprintf(out, " %6.0fb; %6.2f%%", rate, share);
}
