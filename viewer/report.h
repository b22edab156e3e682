// Top reports: a closed interval ranked by bytes, sized to the screen.
#pragma once

#include <cstdint>

#include "viewer/intervals.h"
#include "viewer/viewer.h"

// Prints stats as a report of the configured type, or the no-stats line
// when no interval has closed yet (stats is null).
void render_report(const interval_stats* stats, const flow_context& ctx);

void print_summary(const interval_stats& stats);

// Index of the largest untaken non-zero entry (lowest index on ties), marked
// taken; -1 when none is left.
int pick_top(const double* table, std::uint8_t* taken);

void as_cell(const double* table, std::uint8_t* taken, int seconds, double total);
void proto_cell(const double* table, std::uint8_t* taken, int seconds, double total);
void tcp_cell(const double* table, std::uint8_t* taken, int seconds, double total);
void udp_cell(const double* table, std::uint8_t* taken, int seconds, double total);

void print_cell(const char* name, int number, int seconds, double bytes, double total);
