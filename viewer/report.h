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
// of a closed report under a "Running interval" summary line.
void render_running_interval(std::FILE* out, const flow_context& ctx, std::time_t now);
// now - last_time, at least 1.
int running_seconds(const flow_stats& stats, std::time_t now);

// The entries of a table in report order (more bytes first, equal bytes by
// rising index, entries of 0 bytes never), at most limit of them, written to
// ranked (room for stats_block_entries per written block). Returns how many.
int rank_entries(const stats_table& table, int limit, std::uint16_t* ranked);

// One cell each, for entry `index` of the column's table, named (AS names
// from the table, protocols and ports from the system's databases).
void as_cell(std::FILE* out, const asn_table& names, const double* table, int index,
             int seconds, double total);
void proto_cell(std::FILE* out, const asn_table& names, const double* table, int index,
                int seconds, double total);
void tcp_cell(std::FILE* out, const asn_table& names, const double* table, int index,
              int seconds, double total);
void udp_cell(std::FILE* out, const asn_table& names, const double* table, int index,
              int seconds, double total);

void print_cell(std::FILE* out, const char* name, int number, int seconds, double bytes,
                double total);
