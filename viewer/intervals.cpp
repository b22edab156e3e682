#include "viewer/intervals.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "viewer/clock.h"
#include "viewer/exits.h"

namespace {

constexpr std::size_t table_bytes = sizeof(stats_table_memory);

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

// Anonymous pages come zero-filled, and a table never written stays a
// mapping with no memory behind it.
stats_table new_table()
{
    void* p = mmap(nullptr, table_bytes, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return stats_table(p == MAP_FAILED ? nullptr : static_cast<stats_table_memory*>(p));
}

constexpr std::size_t wide_first_slots = 64;

// Where number's slot is, or the free slot where it would go.
std::size_t wide_slot(const std::vector<wide_sum>& slots, std::uint32_t number)
{
    const std::size_t mask = slots.size() - 1;
    std::size_t i = static_cast<std::size_t>(number * 0x9e3779b97f4a7c15ull >> 32) & mask;
    while (slots[i].number != 0 && slots[i].number != number)
        i = (i + 1) & mask;
    return i;
}

// Twice the slots, or the first ones; false when memory has run out.
bool grow(wide_sums& w)
{
    try {
        std::vector<wide_sum> bigger(w.slots.empty() ? wide_first_slots : 2 * w.slots.size());
        for (const wide_sum& e : w.slots)
            if (e.number != 0)
                bigger[wide_slot(bigger, e.number)] = e;
        w.slots.swap(bigger);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void add(interval_stats& s, const side& d, const flow_record& rec,
         double bytes, double packets)
{
    s.*d.bytes += bytes;
    s.*d.packets += packets;
    (s.*d.src_as).add_as(rec.src_as, bytes);
    (s.*d.dst_as).add_as(rec.dst_as, bytes);
    (s.*d.proto)[rec.prot] += bytes;
    if (rec.prot == 6) {
        (s.*d.tcp_src)[rec.srcport] += bytes;
        (s.*d.tcp_dst)[rec.dstport] += bytes;
    } else if (rec.prot == 17) {
        (s.*d.udp_src)[rec.srcport] += bytes;
        (s.*d.udp_dst)[rec.dstport] += bytes;
    }
}

// A record, with its tables when asked; ends the viewer when memory has
// run out.
interval_stats_ptr interval_or_fail(const flow_context& ctx, bool with_tables)
{
    interval_stats_ptr s = new_interval_stats();
    if (!s)
        fail_out_of_memory(ctx, "report interval");
    if (with_tables && !stats_alloc(*s))
        fail_out_of_memory(ctx, "report interval table");
    return s;
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

    if (!st.last_report)
        st.last_report = st.spare ? std::move(st.spare) : interval_or_fail(ctx, false);

    // The closed interval's tables move to the last report, none copied; the
    // report they replace lends its tables to the interval that begins,
    // cleared where it held traffic. Two intervals' tables are all the
    // viewer ever holds, and a rollover makes no system call.
    interval_stats& last = *st.last_report;
    interval_stats& cur = *st.current;
    last.seconds = static_cast<int>(length);
    last.end_time = now;
    last.in_bytes = cur.in_bytes;
    last.out_bytes = cur.out_bytes;
    last.in_packets = cur.in_packets;
    last.out_packets = cur.out_packets;
    for (auto table : all_tables)
        std::swap(last.*table, cur.*table);

    if (cur.in_src_as)
        stats_clear(cur);
    else if (!stats_alloc(cur))
        fail_out_of_memory(ctx, "report interval table");
}

}  // namespace

void stats_table::reset()
{
    if (mem)
        munmap(mem, table_bytes);
    mem = nullptr;
    wide.reset();
}

void stats_table::add_wide(std::uint32_t number, double bytes)
{
    if (!wide)
        wide.reset(new (std::nothrow) wide_sums);
    if (wide) {
        wide_sums& w = *wide;
        if (!w.slots.empty()) {
            wide_sum& e = w.slots[wide_slot(w.slots, number)];
            if (e.number == number) {
                e.bytes += bytes;
                return;
            }
        }
        if (w.used < wide_as_limit && ((w.used + 1) * 2 <= w.slots.size() || grow(w))) {
            w.slots[wide_slot(w.slots, number)] = {number, bytes};
            ++w.used;
            return;
        }
    }
    // No room (or no memory) for another: summed as a v5 export gives it.
    (*this)[as_trans] += bytes;
}

double stats_table::as_sum(std::uint32_t number) const
{
    if (number < stats_table_entries)
        return (*this)[number];
    if (!wide || wide->slots.empty())
        return 0;
    const wide_sum& e = wide->slots[wide_slot(wide->slots, number)];
    return e.number == number ? e.bytes : 0;
}

void interval_stats_deleter::operator()(interval_stats* s) const { delete s; }

interval_stats_ptr new_interval_stats()
{
    interval_stats* s = new (std::nothrow) interval_stats;
    if (!s)
        errno = ENOMEM;
    return interval_stats_ptr(s);
}

bool stats_alloc(interval_stats& stats)
{
    bool whole = true;
    for (auto table : all_tables) {
        stats.*table = new_table();
        whole = whole && stats.*table;
    }
    stats.in_bytes = 0;
    stats.out_bytes = 0;
    stats.in_packets = 0;
    stats.out_packets = 0;
    return whole;
}

void open_current_interval(flow_context& ctx)
{
    flow_stats& st = *ctx.stats;
    // Colondump and json are for other programs: they never report, so they
    // have no tables.
    st.current = interval_or_fail(ctx, !for_programs(ctx.config->mode));
    // Mappings that nothing has touched cost no memory; short of address
    // space, the viewer says so now rather than at its first report.
    if (ctx.config->mode == display_mode::top)
        st.spare = interval_or_fail(ctx, true);
}

void stats_clear(interval_stats& stats)
{
    for (auto table : all_tables) {
        if (wide_sums* w = (stats.*table).wide.get()) {
            std::fill(w->slots.begin(), w->slots.end(), wide_sum{});
            w->used = 0;
        }
        stats_table_memory& m = *(stats.*table).mem;
        for (std::size_t block = 0; block < stats_table_blocks; ++block) {
            if (m.written[block]) {
                std::fill_n(m.entries + block * stats_block_entries, stats_block_entries, 0.0);
                m.written[block] = 0;
            }
        }
    }
    stats.in_bytes = 0;
    stats.out_bytes = 0;
    stats.in_packets = 0;
    stats.out_packets = 0;
}


bool rollover_check(flow_context& ctx)
{
    const std::time_t now = clock_now(*ctx.clock);
    const int minute = cached_report_minute(*ctx.clock, now);
    // A negative interval counts like its absolute value; 0 is refused at
    // start-up and would never close an interval here.
    const long long interval = std::llabs(ctx.config->interval);
    if (interval == 0 || minute % interval != 0 || minute == ctx.stats->last_minute)
        return false;
    close_interval(ctx, now, minute);
    return true;
}

void accumulate(const flow_record& rec, flow_context& ctx, double scale)
{
    interval_stats& s = *ctx.stats->current;
    // Exact for v5: a 32-bit count times a 14-bit interval fits a double's
    // mantissa.
    const double bytes = static_cast<double>(rec.bytes) * scale;
    const double packets = static_cast<double>(rec.packets) * scale;
    const long long ifindex = ctx.filter->ifindex;
    if (ifindex != 0 && ifindex == rec.output)
        add(s, outbound, rec, bytes, packets);
    if (ifindex == 0 || ifindex == rec.input)
        add(s, inbound, rec, bytes, packets);
}
