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

namespace {

using cell_fn = void (*)(const double*, std::uint8_t*, int, double);
using taken_table = std::unique_ptr<std::uint8_t[]>;

// Closed intervals are at least a second long; a hand-made or clock-stepped
// interval of 0 or less is rated as one second rather than dividing by it.
int rate_seconds(int seconds) { return std::max(seconds, 1); }

taken_table new_taken()
{
    std::uint8_t* p = new (std::nothrow) std::uint8_t[stats_table_entries]();
    if (!p) {
        errno = ENOMEM;
        stats_out_of_memory("report ranking");
    }
    return taken_table(p);
}

// The column heading line; each "%%" comes out as one per-cent sign.
void format_header(int type, char* text, std::size_t size)
{
    switch (type) {
    case report_proto:
        std::snprintf(text, size, "Rank|--Proto Name/Num---|-bw;%% of total-|\n");
        break;
    case report_tcpport:
        std::snprintf(text, size,
                      "    |-----TCP Port------|-bw;%% of total-| "
                      "|-----TCP Port------|-bw,%% of total-|\n");
        break;
    case report_udpport:
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

// Prints rows numbered from 1; src_taken/dst_taken are the column's own.
void print_rows(int rows, cell_fn cell, const double* src, std::uint8_t* src_taken,
                const double* dst, std::uint8_t* dst_taken, int seconds, double total)
{
    for (int row = 1; row <= rows; ++row) {
        std::printf("%2d:", row);
        cell(src, src_taken, seconds, total);
        if (dst) {
            std::printf(" ");
            cell(dst, dst_taken, seconds, total);
        }
        std::printf("\n");
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

}  // namespace

void render_report(const interval_stats* stats, const flow_context& ctx)
{
    if (!stats) {
        std::printf("No stats to display.  As least one report interval needs to pass        \r");
        return;
    }
    const flow_filter& filter = *ctx.filter;
    const bool two_sections = filter.router.has_value() && filter.ifindex != 0;

    int type = ctx.config->report_type;
    if (type < report_as || type > report_udpport) {
        std::printf("Report interval expired, but I don't know what type of report to generate!\n");
        std::printf("Defaulting to AS report\n");
        type = report_as;
    }

    cell_fn cell = as_cell;
    int reserve = 6;
    const double* in_src = stats->in_src_as.get();
    const double* in_dst = stats->in_dst_as.get();
    const double* out_src = stats->out_src_as.get();
    const double* out_dst = stats->out_dst_as.get();
    if (type == report_proto) {
        cell = proto_cell;
        reserve = 4;
        in_src = stats->in_proto.get();
        out_src = stats->out_proto.get();
        in_dst = out_dst = nullptr;
    } else if (type == report_tcpport) {
        cell = tcp_cell;
        in_src = stats->in_tcp_src.get();
        in_dst = stats->in_tcp_dst.get();
        out_src = stats->out_tcp_src.get();
        out_dst = stats->out_tcp_dst.get();
    } else if (type == report_udpport) {
        cell = udp_cell;
        in_src = stats->in_udp_src.get();
        in_dst = stats->in_udp_dst.get();
        out_src = stats->out_udp_src.get();
        out_dst = stats->out_udp_dst.get();
    }
    const bool two_columns = in_dst != nullptr;

    taken_table in_src_taken = new_taken();
    taken_table out_src_taken = new_taken();
    taken_table in_dst_taken = two_columns ? new_taken() : nullptr;
    taken_table out_dst_taken = two_columns ? new_taken() : nullptr;

    char header[128];
    format_header(type, header, sizeof header);

    print_summary(*stats);

    const int seconds = stats->seconds;
    const double k = per_second_k(seconds);
    // A screen length so far below zero that taking the reserve off would
    // wrap round gives no rows, as any other negative length does.
    const int spare = std::max(ctx.config->lines, INT_MIN + reserve) - reserve;
    if (!two_sections) {
        std::printf(" Total %10.0fkbits/s, %10.0fkpps\n", 8 * stats->in_bytes / k,
                    stats->in_packets / k);
        if (two_columns)
            std::printf("%s\n", source_dest_line);
        std::printf("%s", header);
        print_rows(spare, cell, in_src, in_src_taken.get(), in_dst, in_dst_taken.get(),
                   seconds, stats->in_bytes);
        return;
    }

    if (two_columns)
        std::printf("%s\n", source_dest_line);
    std::printf("%s", header);
    std::printf("                          O   U   T   B   O   U   N   D"
                "  (total %.0fkbits/s, %.0fkpps)\n",
                8 * stats->out_bytes / k, stats->out_packets / k);
    print_rows(spare / 2 + 1, cell, out_src, out_src_taken.get(), out_dst,
               out_dst_taken.get(), seconds, stats->out_bytes);
    std::printf("                            I   N   B   O   U   N   D"
                "    (total %.0fkbits/s, %.0fkpps)\n",
                8 * stats->in_bytes / k, stats->in_packets / k);
    print_rows(spare / 2, cell, in_src, in_src_taken.get(), in_dst, in_dst_taken.get(),
               seconds, stats->in_bytes);
}

void print_summary(const interval_stats& stats)
{
    const int s = stats.seconds;
    std::tm local{};
    localtime_r(&stats.end_time, &local);
    char text[64] = "";
    if (!asctime_r(&local, text))
        text[0] = '\0';
    const std::size_t len = std::strlen(text);
    if (len > 0)
        text[len - 1] = '\0';
    std::printf("Summary for interval (%2.2d:%2.2d:%2.2d total) ending %s\n", s / 3600,
                (s % 3600) / 60, s % 60, text);
}

int pick_top(const double* table, std::uint8_t* taken)
{
    double best = 0;
    int best_index = -1;
    for (int i = 0; i < static_cast<int>(stats_table_entries); ++i) {
        if (table[i] > best && !taken[i]) {
            best = table[i];
            best_index = i;
        }
    }
    if (best_index >= 0)
        taken[best_index] = 1;
    return best_index;
}

void as_cell(const double* table, std::uint8_t* taken, int seconds, double total)
{
    const int i = pick_top(table, taken);
    if (i >= 0)
        print_cell(asn_name(i), i, seconds, table[i], total);
}

void proto_cell(const double* table, std::uint8_t* taken, int seconds, double total)
{
    const int i = pick_top(table, taken);
    if (i < 0)
        return;
    const protoent* p = getprotobynumber(i);
    print_cell(p ? p->p_name : "unknown", i, seconds, table[i], total);
}

void tcp_cell(const double* table, std::uint8_t* taken, int seconds, double total)
{
    const int i = pick_top(table, taken);
    if (i >= 0)
        print_cell(service_name(i, "tcp"), i, seconds, table[i], total);
}

void udp_cell(const double* table, std::uint8_t* taken, int seconds, double total)
{
    const int i = pick_top(table, taken);
    if (i >= 0)
        print_cell(service_name(i, "udp"), i, seconds, table[i], total);
}

void print_cell(const char* name, int number, int seconds, double bytes, double total)
{
    std::printf(" %13.13s(%5d)", name, number);
    const double rate = bytes * 8 / rate_seconds(seconds);
    // Rounded to single precision before printing: 4 of 80000 shows 0.00.
    const float share = static_cast<float>(bytes / total * 100);
    if (rate >= 10240)
        std::printf(" %6.0fk; %6.2f%%", rate / 1024, share);
    else
        std::printf(" %6.0fb; %6.2f%%", rate, share);
}
