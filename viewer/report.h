// Top reports: a closed interval ranked by bytes, sized to the screen.
#pragma once

#include <cstdint>

#include "viewer/intervals.h"
#include "viewer/viewer.h"

// Prints stats as a report of the configured type, or the no-stats line
// when no interval has closed yet (stats is null).
void render_report(const interval_stats* stats, const flow_context& ctx);

void print_summary(const interval_stats& stats);

// The entries of a table in report order (more bytes first, equal bytes by
// rising index, entries of 0 bytes never), at most limit of them, written to
// ranked (room for stats_block_entries per written block). Returns how many.
int rank_entries(const stats_table& table, int limit, std::uint16_t* ranked);

// One cell each, for entry `index` of the column's table, named (AS names
// from the table, protocols and ports from the system's databases).
void as_cell(const asn_table& names, const double* table, int index, int seconds, double total);
void proto_cell(const asn_table& names, const double* table, int index, int seconds,
                double total);
void tcp_cell(const asn_table& names, const double* table, int index, int seconds, double total);
void udp_cell(const asn_table& names, const double* table, int index, int seconds, double total);

void print_cell(const char* name, int number, int seconds, double bytes, double total);
