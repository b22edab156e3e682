#include "viewer/intervals.h"

#include <sys/mman.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "viewer/clock.h"
#include "viewer/report.h"
#include "viewer/terminal.h"

namespace {

constexpr std::size_t table_bytes = stats_table_entries * sizeof(double);

// All fourteen tables, for the routines that treat them alike.
constexpr stats_table interval_stats::*all_tables[] = {
    &interval_stats::in_src_as,   &interval_stats::in_dst_as,
    &interval_stats::out_src_as,  &interval_stats::out_dst_as,
    &interval_stats::in_proto,    &interval_stats::out_proto,
    &interval_stats::in_tcp_src,  &interval_stats::in_tcp_dst,
    &interval_stats::out_tcp_src, &interval_stats::out_tcp_dst,
    &interval_stats::in_udp_src,  &interval_stats::in_udp_dst,
    &interval_stats::out_udp_src, &interval_stats::out_udp_dst,
};

// One direction of traffic: its totals and tables.
struct side {
    double interval_stats::*bytes;
    double interval_stats::*packets;
    stats_table interval_stats::*src_as;
    stats_table interval_stats::*dst_as;
    stats_table interval_stats::*proto;
    stats_table interval_stats::*tcp_src;
    stats_table interval_stats::*tcp_dst;
    stats_table interval_stats::*udp_src;
    stats_table interval_stats::*udp_dst;
};

constexpr side inbound = {
    &interval_stats::in_bytes,   &interval_stats::in_packets,
    &interval_stats::in_src_as,  &interval_stats::in_dst_as,
    &interval_stats::in_proto,   &interval_stats::in_tcp_src,
    &interval_stats::in_tcp_dst, &interval_stats::in_udp_src,
    &interval_stats::in_udp_dst,
};

constexpr side outbound = {
    &interval_stats::out_bytes,   &interval_stats::out_packets,
    &interval_stats::out_src_as,  &interval_stats::out_dst_as,
    &interval_stats::out_proto,   &interval_stats::out_tcp_src,
    &interval_stats::out_tcp_dst, &interval_stats::out_udp_src,
    &interval_stats::out_udp_dst,
};

// flow_stats.packets at the last rollover check: the check acts once per
// packet, at its first record.
double last_checked_packets = 0;

// Report minute of the last checked time; localtime runs only when the
// clock has moved on since.
std::time_t cached_time = -1;
int cached_minute = -1;

// Anonymous pages come zero-filled and go back to the system when unmapped,
// so a rollover neither clears memory by hand nor leaves freed tables on
// the heap.
stats_table new_table()
{
    void* p = mmap(nullptr, table_bytes, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        stats_out_of_memory("report interval table");
    return stats_table(static_cast<double*>(p));
}

void add(interval_stats& s, const side& d, const nf5_record& rec,
         double bytes, double packets)
{
    s.*d.bytes += bytes;
    s.*d.packets += packets;
    (s.*d.src_as)[rec.src_as] += bytes;
    (s.*d.dst_as)[rec.dst_as] += bytes;
    (s.*d.proto)[rec.prot] += bytes;
    if (rec.prot == 6) {
        (s.*d.tcp_src)[rec.srcport] += bytes;
        (s.*d.tcp_dst)[rec.dstport] += bytes;
    } else if (rec.prot == 17) {
        (s.*d.udp_src)[rec.srcport] += bytes;
        (s.*d.udp_dst)[rec.dstport] += bytes;
    }
}

void close_interval(flow_context& ctx, std::time_t now, int minute)
{
    flow_stats& st = *ctx.stats;
    st.last_minute = minute;
    // A clock stepped back (or not moved) would give a length of 0 or less
    // and divide the report's rates by it; one second is the floor.
    long long length = static_cast<long long>(now) - st.last_time;
    if (length < 1)
        length = 1;
    if (length > INT_MAX)
        length = INT_MAX;
    st.last_time = now;

    if (st.last_report)
        stats_free(*st.last_report);
    else
        st.last_report = new_interval_stats();

    interval_stats& last = *st.last_report;
    interval_stats& cur = *st.current;
    last.seconds = static_cast<int>(length);
    last.end_time = now;
    last.in_bytes = cur.in_bytes;
    last.out_bytes = cur.out_bytes;
    last.in_packets = cur.in_packets;
    last.out_packets = cur.out_packets;
    for (auto table : all_tables)
        last.*table = std::move(cur.*table);

    stats_alloc(cur);
    render_report(&last, ctx);
}

}  // namespace

void stats_table_deleter::operator()(double* table) const
{
    munmap(table, table_bytes);
}

void interval_stats_deleter::operator()(interval_stats* s) const { delete s; }

void stats_out_of_memory(const char* what)
{
    const int err = errno;
    std::fflush(stdout);
    std::fprintf(stderr, "nelk: out of memory for the %s: %s\n", what,
                 std::strerror(err));
    viewer_exit(1);
}

interval_stats_ptr new_interval_stats()
{
    interval_stats* s = new (std::nothrow) interval_stats;
    if (!s) {
        errno = ENOMEM;
        stats_out_of_memory("report interval");
    }
    return interval_stats_ptr(s);
}

void stats_alloc(interval_stats& stats)
{
    for (auto table : all_tables)
        stats.*table = new_table();
    stats.in_bytes = 0;
    stats.out_bytes = 0;
    stats.in_packets = 0;
    stats.out_packets = 0;
}

void stats_free(interval_stats& stats)
{
    for (auto table : all_tables)
        (stats.*table).reset();
}

void rollover_check(flow_context& ctx)
{
    flow_stats& st = *ctx.stats;
    if (st.packets == last_checked_packets)
        return;
    last_checked_packets = st.packets;

    const std::time_t now = clock_now();
    if (now != cached_time) {
        cached_minute = report_minute(now);
        cached_time = now;
    }
    // A negative interval counts like its absolute value; 0 is refused at
    // start-up and would never close an interval here.
    const long long interval = std::llabs(ctx.config->interval);
    if (interval != 0 && cached_minute % interval == 0 &&
        cached_minute != st.last_minute)
        close_interval(ctx, now, cached_minute);
}

void accumulate(const nf5_record& rec, flow_context& ctx)
{
    interval_stats& s = *ctx.stats->current;
    const double bytes = rec.dOctets;
    const double packets = rec.dPkts;
    const int ifindex = ctx.filter->ifindex;
    if (ifindex != 0 && ifindex == rec.output)
        add(s, outbound, rec, bytes, packets);
    if (ifindex == 0 || ifindex == rec.input)
        add(s, inbound, rec, bytes, packets);
}
