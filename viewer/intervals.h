// Top mode's report intervals: per-AS, per-protocol and per-port byte sums,
// inbound and outbound, and the rollover that closes an interval.
#pragma once

#include <cstddef>
#include <ctime>
#include <memory>

#include "common/nf5.h"
#include "viewer/viewer.h"

constexpr std::size_t stats_table_entries = 65536;

// One table of 65536 byte sums, indexed by AS number, protocol or port.
struct stats_table_deleter {
    void operator()(double* table) const;
};
using stats_table = std::unique_ptr<double[], stats_table_deleter>;

struct interval_stats {
    double in_bytes = 0;
    double out_bytes = 0;
    double in_packets = 0;
    double out_packets = 0;
    stats_table in_src_as;
    stats_table in_dst_as;
    stats_table out_src_as;
    stats_table out_dst_as;
    stats_table in_proto;
    stats_table out_proto;
    stats_table in_tcp_src;
    stats_table in_tcp_dst;
    stats_table out_tcp_src;
    stats_table out_tcp_dst;
    stats_table in_udp_src;
    stats_table in_udp_dst;
    stats_table out_udp_src;
    stats_table out_udp_dst;
    int seconds = 0;
    std::time_t end_time = 0;
};

// A new record without tables (stats_alloc gives it its tables).
interval_stats_ptr new_interval_stats();

// Gives the record fourteen zeroed tables and zero totals.
void stats_alloc(interval_stats& stats);
// Frees the record's tables, not the record.
void stats_free(interval_stats& stats);

// Once per packet, at its first record: closes the current interval when a
// boundary minute has come, keeps it as the last report and prints it.
void rollover_check(flow_context& ctx);

// Adds one accepted record to the current interval.
void accumulate(const nf5_record& rec, flow_context& ctx);

// Ends the viewer, status 1, when a table or record cannot be allocated.
[[noreturn]] void stats_out_of_memory(const char* what);
