// Every way the viewer ends, with its exit status: each prints its message
// from the catalogue (messages.h), tells of missed flows, restores the
// terminal and ends the process. Only the loop and start-up call these;
// the routines below them return to the loop.
#pragma once

#include "viewer/flow_record.h"
#include "viewer/messages.h"
#include "viewer/viewer.h"

// Tells of missed flows, flushes standard output, restores the terminal
// and ends with status.
[[noreturn]] void viewer_exit(const flow_context& ctx, int status);
// SIGTERM, SIGHUP, SIGQUIT: as viewer_exit, then ends by that signal.
[[noreturn]] void end_by_signal(const flow_context& ctx, int signal_number);

[[noreturn]] void fail_socket(const flow_context& ctx);
[[noreturn]] void fail_host_lookup(const flow_context& ctx);
[[noreturn]] void fail_connect(const flow_context& ctx);
[[noreturn]] void fail_keepalive(const flow_context& ctx);
[[noreturn]] void fail_bind(const flow_context& ctx);
[[noreturn]] void fail_wait(const flow_context& ctx);
[[noreturn]] void quit_by_key(const flow_context& ctx);
[[noreturn]] void quit_by_interrupt(const flow_context& ctx);
[[noreturn]] void fail_out_of_memory(const flow_context& ctx, const char* what);

// The end that handling input came to (not input_end::none).
[[noreturn]] void end_input(const flow_context& ctx, input_end end);
