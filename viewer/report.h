// Top reports: a closed interval ranked by bytes, sized to the screen.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "viewer/intervals.h"
#include "viewer/viewer.h"

// Prints stats as a report of the configured type, or the no-stats line
// when no interval has closed yet (stats is null).
void render_report(const interval_stats* stats, const flow_context& ctx);

void print_summary(const interval_stats& stats);

// The live view's report: the running interval (stats->current) over the
// seconds since the last rollover (at least 1), ending now, in the layout
// of a closed report under a "Running interval" summary line. The summary
// line, then the rest: at most max_lines lines of it (negative: all), so
// that a window shows what it can hold and nothing more is made.
void print_running_summary(std::FILE* out, const flow_context& ctx, std::time_t now);
void render_running_interval(std::FILE* out, const flow_context& ctx, std::time_t now,
                             long max_lines = -1);
// now - last_time, at least 1.
int running_seconds(const flow_stats& stats, std::time_t now);

// An entry of a column in report order.
struct ranked_entry {
    std::uint32_t number;  // AS number, protocol or port
    double bytes;
};

// The entries of a table in report order (more bytes first, equal bytes by
// rising number, entries of 0 bytes never), at most limit of them, written
// to ranked (room for stats_block_entries per written block and for every
// wide AS number). Returns how many.
int rank_entries(const stats_table& table, int limit, ranked_entry* ranked);

// One cell each, for a number of the column and its bytes, named (AS names
// from the table, protocols and ports from the system's databases).
void as_cell(std::FILE* out, const asn_table& names, std::uint32_t number, double bytes,
             int seconds, double total);
void proto_cell(std::FILE* out, const asn_table& names, std::uint32_t number, double bytes,
                int seconds, double total);
void tcp_cell(std::FILE* out, const asn_table& names, std::uint32_t number, double bytes,
              int seconds, double total);
void udp_cell(std::FILE* out, const asn_table& names, std::uint32_t number, double bytes,
              int seconds, double total);

// " %13.13s(%5d)" and the rate and share. A number of more than five
// digits (a 32-bit AS number) takes its columns from the name, so that
// the cell stays 38 wide and the number is never cut.
void print_cell(std::FILE* out, const char* name, std::uint32_t number, int seconds,
                double bytes, double total);
