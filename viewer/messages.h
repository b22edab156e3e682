// Every message the viewer prints besides its listings and reports, the
// channel it goes to, and every way the process ends with its exit status.
//
// Operators and their scripts have read these texts for years, so several
// are kept exactly as they have always been, oddities included; each such
// text is marked "deliberate" in messages.cpp. Do not tidy them up.
#pragma once

#include <string_view>

#include "viewer/viewer.h"

// Exit statuses: usage, version, the normal ends and most refusals end
// quietly; a failed connection or a bad address is a failure.
constexpr int exit_quiet = 0;
constexpr int exit_failure = 1;
// Returned by the option routines when the viewer goes on.
constexpr int keep_going = -1;

// Tells of missed flows, flushes standard output, restores the terminal
// and ends with status.
[[noreturn]] void viewer_exit(const flow_context& ctx, int status);
// SIGTERM, SIGHUP, SIGQUIT: as viewer_exit, then ends by that signal.
[[noreturn]] void end_by_signal(const flow_context& ctx, int signal_number);
// The end-of-run line on standard error about flows missed by the
// exporters' sequence numbers; nothing when none were missed.
void report_loss_at_end(const flow_context& ctx);

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
int refuse_interval_zero();
int refuse_live_seconds(const char* arg);
int refuse_live_outside_top();

void note_as_filter(int as);
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
[[noreturn]] void fail_socket(const flow_context& ctx);
[[noreturn]] void fail_host_lookup(const flow_context& ctx);
[[noreturn]] void fail_connect(const flow_context& ctx);
[[noreturn]] void fail_keepalive(const flow_context& ctx);
void warn_interrupt_not_caught();
void report_terminal_unreadable();
void report_key_mode_refused();

// --- the event loop and its keys

[[noreturn]] void fail_wait(const flow_context& ctx);
void show_key_help();
[[noreturn]] void quit_by_key(const flow_context& ctx);
[[noreturn]] void quit_by_interrupt(const flow_context& ctx);

// --- the relay stream

[[noreturn]] void end_of_stream(const flow_context& ctx);
[[noreturn]] void fail_read(const flow_context& ctx);
void report_bad_version(unsigned version);
void report_strange_count(unsigned count);

// --- flows, AS names, reports

[[noreturn]] void end_at_flow_limit(const flow_context& ctx);
void report_asn_no_memory();
void report_asn_unopened();
// The bad entry's number (or none read yet) and the last good name (or none).
void report_asn_bad_entry(const long* number, const char* last_name);
void show_no_stats();
void show_no_exporters();
void note_untracked_exporters(unsigned long long datagrams, unsigned long long flows);
// Under the live view's summary, when any flow was missed.
void print_live_loss_line(const flow_context& ctx);
void report_unknown_report_type();
[[noreturn]] void fail_out_of_memory(const flow_context& ctx, const char* what);
