// Top mode's report intervals: per-AS, per-protocol and per-port byte sums,
// inbound and outbound, and the rollover that closes an interval.
#pragma once

#include <cstddef>
#include <ctime>
#include <cstdint>
#include <memory>
#include <utility>

#include "viewer/flow_record.h"
#include "viewer/viewer.h"

constexpr std::size_t stats_table_entries = 65536;
// Entries are grouped in blocks of a page. A table knows which blocks were
// ever written, so that ranking reads the blocks that hold traffic rather
// than all 65536 entries.
constexpr std::size_t stats_block_entries = 512;
constexpr std::size_t stats_table_blocks = stats_table_entries / stats_block_entries;

struct stats_table_memory {
    double entries[stats_table_entries];
    std::uint8_t written[stats_table_blocks];
};

// One table of 65536 byte sums, indexed by AS number, protocol or port: an
// anonymous mapping of its own, so it comes zeroed and goes back to the
// system when freed. Writing an entry marks its block.
struct stats_table {
    stats_table_memory* mem = nullptr;

    stats_table() = default;
    explicit stats_table(stats_table_memory* m) : mem(m) {}
    stats_table(stats_table&& o) noexcept : mem(std::exchange(o.mem, nullptr)) {}
    stats_table& operator=(stats_table&& o) noexcept
    {
        if (this != &o) {
            reset();
            mem = std::exchange(o.mem, nullptr);
        }
        return *this;
    }
    stats_table(const stats_table&) = delete;
    stats_table& operator=(const stats_table&) = delete;
    ~stats_table() { reset(); }

    void reset();
    explicit operator bool() const { return mem != nullptr; }
    double& operator[](std::size_t i)
    {
        mem->written[i / stats_block_entries] = 1;
        return mem->entries[i];
    }
    double operator[](std::size_t i) const { return mem->entries[i]; }
    const double* entries() const { return mem ? mem->entries : nullptr; }
    bool block_written(std::size_t block) const { return mem->written[block] != 0; }
};

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

// A new record without tables (stats_alloc gives it its tables); null when
// memory has run out.
interval_stats_ptr new_interval_stats();

// Gives the record fourteen zeroed tables and zero totals. False when memory
// has run out (stats_free then frees the tables it did get).
[[nodiscard]] bool stats_alloc(interval_stats& stats);
// Zeroes the tables (where they were written) and the totals.
void stats_clear(interval_stats& stats);

// The record for the interval being filled, and in top mode its tables;
// ends the viewer when memory has run out.
void open_current_interval(flow_context& ctx);

// Once per datagram, before its records: closes the current interval when
// a boundary minute has come and keeps it as the last report. True when it
// closed one: the caller's loop prints it.
[[nodiscard]] bool rollover_check(flow_context& ctx);

// Adds one accepted flow to the current interval, its bytes and packets
// counted scale times (a sampled export's interval). The AS tables hold
// 16-bit numbers: a 32-bit AS number counts as AS_TRANS there.
void accumulate(const flow_record& rec, flow_context& ctx, double scale = 1);
