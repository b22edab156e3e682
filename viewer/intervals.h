// Top mode's report intervals: per-AS, per-protocol and per-port byte sums,
// inbound and outbound, and the rollover that closes an interval.
#pragma once

#include <cstddef>
#include <ctime>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

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

// AS numbers above 65535 that one table sums in one interval. The AS
// report ranks them all up to this many; a new one beyond that is summed
// under AS_TRANS, the number a v5 export gives every such AS.
constexpr std::size_t wide_as_limit = 65536;

struct wide_sum {
    std::uint32_t number = 0;  // 0: the slot is free (no wide number is 0)
    double bytes = 0;
};

// The sums of the wide numbers: open addressing, at most half full, grown
// as numbers come, to 2 * wide_as_limit slots at most.
struct wide_sums {
    std::vector<wide_sum> slots;  // a power of two long
    std::size_t used = 0;
};

// One table of byte sums, indexed by AS number, protocol or port: 65536
// direct entries in an anonymous mapping of its own, so they come zeroed
// and go back to the system when freed; writing an entry marks its block.
// AS tables add the wide numbers' sums beside them.
struct stats_table {
    stats_table_memory* mem = nullptr;
    std::unique_ptr<wide_sums> wide;

    stats_table() = default;
    explicit stats_table(stats_table_memory* m) : mem(m) {}
    stats_table(stats_table&& o) noexcept
        : mem(std::exchange(o.mem, nullptr)), wide(std::move(o.wide))
    {
    }
    stats_table& operator=(stats_table&& o) noexcept
    {
        if (this != &o) {
            reset();
            mem = std::exchange(o.mem, nullptr);
            wide = std::move(o.wide);
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

    // Adds bytes to an AS number of any width.
    void add_as(std::uint32_t number, double bytes)
    {
        if (number < stats_table_entries) [[likely]]
            (*this)[number] += bytes;
        else
            add_wide(number, bytes);
    }
    [[gnu::cold]] void add_wide(std::uint32_t number, double bytes);
    // The sum of an AS number of any width.
    double as_sum(std::uint32_t number) const;
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
// counted scale times (a sampled export's interval).
void accumulate(const flow_record& rec, flow_context& ctx, double scale = 1);
