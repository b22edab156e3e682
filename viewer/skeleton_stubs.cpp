// TEMPORARY link stubs so that every helper can build while the real
// routines are written. Each owner deletes its functions from here when its
// own file defines them. This file must be gone before anything lands.
#include <cstdlib>

#include "viewer/asn_names.h"
#include "viewer/clock.h"
#include "viewer/flow_filter.h"
#include "viewer/intervals.h"
#include "viewer/listings.h"
#include "viewer/options.h"
#include "viewer/packet_reader.h"
#include "viewer/report.h"
#include "viewer/terminal.h"

// --- clock, intervals, report (top mode) ---
std::time_t clock_now() { std::abort(); }
void set_clock(clock_fn) { std::abort(); }
int report_minute(std::time_t) { std::abort(); }
void interval_stats_deleter::operator()(interval_stats*) const { std::abort(); }
void stats_table_deleter::operator()(double*) const { std::abort(); }
interval_stats_ptr new_interval_stats() { std::abort(); }
void stats_alloc(interval_stats&) { std::abort(); }
void stats_free(interval_stats&) { std::abort(); }
void rollover_check(flow_context&) { std::abort(); }
void accumulate(const nf5_record&, flow_context&) { std::abort(); }
void render_report(const interval_stats*, const flow_context&) { std::abort(); }

// --- options, AS names, listings ---
int parse_options(int, char*[], flow_context&) { std::abort(); }
void reconcile_mode(viewer_config&) { std::abort(); }
int Init_ASN_Lookups() { std::abort(); }
int load_asn_file(const char*) { std::abort(); }
const char* asn_name(int) { std::abort(); }
void print_dump(const nf5_record&, double, const char*) { std::abort(); }
void print_shortdump(const nf5_record&, double, const char*) { std::abort(); }
void print_colondump(const nf5_record&, double, const char*) { std::abort(); }
const char* bytes_text(std::uint32_t) { std::abort(); }

// --- terminal, reader, filter ---
void terminal_mode(int) { std::abort(); }
void viewer_exit(int) { std::abort(); }
ssize_t read_n(int, void*, std::size_t) { std::abort(); }
void account_flow(const nf5_record&, const std::uint32_t*, flow_context&) { std::abort(); }
double flows_shown() { std::abort(); }
