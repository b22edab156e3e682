// Every message the viewer prints besides its listings and reports, and the
// channel it goes to. The catalogue only prints: the ways the process ends
// are in exits.h, which prints through it.
//
// Operators and their scripts have read these texts for years, so several
// are kept exactly as they have always been, oddities included; each such
// text is marked "deliberate" in messages.cpp. Do not tidy them up.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

// Exit statuses: usage, version, the normal ends and most refusals end
// quietly; a failed connection or a bad address is a failure.
constexpr int exit_quiet = 0;
constexpr int exit_failure = 1;
// Returned by the option routines when the viewer goes on.
constexpr int keep_going = -1;

// Where every text below that is not said to go to standard error goes:
// standard output, or (while standard output carries JSON lines for a
// program) standard error.
void send_notes_to(std::FILE* stream);

// A failed system call on standard error, after everything printed so far:
// what, a colon, a blank and errno's text.
void report_system_error(const char* what);

// --- the command line: each refusal prints its text and returns its status

int show_usage(const char* program);
int show_version();
int refuse_mode(std::string_view word);
int refuse_report_type(std::string_view word);
int refuse_server_name(const char* scratch);
int refuse_server_port(const char* scratch);
int refuse_router(const char* text);
int refuse_ifindex_before_router();
int refuse_prefix(const char* text);
int refuse_prefix_without_length(const char* arg);
int refuse_prefix_length(int length, const char* arg);
int refuse_v6_prefix_length(int length, const char* arg);
int refuse_udp(const char* arg);
int refuse_udp_with_server();
int refuse_interval_zero();
int refuse_live_seconds(const char* arg);
int refuse_live_outside_top();

void note_as_filter(long long as);
void note_interval(int minutes);
void note_lines(int lines);
void note_ifindex(int ifindex);
void note_port_filter(int port);
void note_proto_filter(int proto);
void note_router_filter(const char* text);
void note_prefix_filter(const char* text, int length);
void note_default_report_type();
void warn_report_type_without_top();

// --- start-up and the connection

void note_report_interval(int minutes);
void note_starting();
void warn_interrupt_not_caught();
void report_terminal_unreadable();
void report_key_mode_refused();

// --- the event loop and its keys

void note_wait_failed();
void show_key_help();
void note_quitting();
void note_interrupted();

// --- the relay stream

void note_connection_closed();
void report_framed_out_of_step();
void report_bad_version(unsigned version);
void report_strange_count(unsigned count);

// --- flows, AS names, reports

void note_flow_limit(int limit);
void report_asn_no_memory();
void report_asn_unopened();
// The bad entry's number (or none read yet) and the last good name (or none).
void report_asn_bad_entry(const long* number, const char* last_name);
void show_no_stats();
void show_no_exporters(std::FILE* out);
void note_untracked_exporters(std::FILE* out, unsigned long long datagrams,
                              unsigned long long flows);

// What a sequence number counts: v5 flows, v9 export packets, IPFIX data
// records.
enum class sequence_unit { flows, v9_packets, ipfix_records };
// Under the live view's summary, for a unit in which anything was missed.
void print_live_loss_line(std::FILE* out, sequence_unit unit, unsigned long long missed, double percent,
                          unsigned long long exporters);
// At the end of the run, on standard error.
void report_loss_at_end(sequence_unit unit, unsigned long long missed, unsigned long long sent,
                        double percent);
void report_untracked_at_end(unsigned long long datagrams, unsigned long long flows);
void report_unknown_report_type();
void report_out_of_memory(const char* what);
