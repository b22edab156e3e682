// The viewer's ends: see exits.h.
#include "viewer/exits.h"

#include <signal.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "viewer/exporters.h"
#include "viewer/messages.h"
#include "viewer/terminal.h"

namespace {

[[noreturn]] void fail(const flow_context& ctx, const char* what, int status)
{
    report_system_error(what);
    viewer_exit(ctx, status);
}

}  // namespace

void viewer_exit(const flow_context& ctx, int status)
{
    std::fflush(stdout);
    report_loss_at_end(*ctx.exporters);
    terminal_mode(*ctx.terminal, terminal_request::restore);
    std::exit(status);
}

void end_by_signal(const flow_context& ctx, int signal_number)
{
    std::fflush(stdout);
    report_loss_at_end(*ctx.exporters);
    terminal_mode(*ctx.terminal, terminal_request::restore);
    // The default action now, delivered at once: the parent sees the signal.
    std::signal(signal_number, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal_number);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    std::raise(signal_number);
    std::_Exit(128 + signal_number);
}

void fail_socket(const flow_context& ctx) { fail(ctx, "socket error", exit_quiet); }
void fail_host_lookup(const flow_context& ctx) { fail(ctx, "gethostbyname error", exit_quiet); }
void fail_connect(const flow_context& ctx) { fail(ctx, "connect error", exit_failure); }
void fail_bind(const flow_context& ctx) { fail(ctx, "bind error", exit_failure); }

void fail_keepalive(const flow_context& ctx)
{
    // Deliberate: the "%s" is part of the text.
    fail(ctx, "setsockopt(rfd, KEEPALIVE):%s", exit_failure);
}

void fail_wait(const flow_context& ctx)
{
    note_wait_failed();
    viewer_exit(ctx, exit_quiet);
}

void quit_by_key(const flow_context& ctx)
{
    note_quitting();
    viewer_exit(ctx, exit_quiet);
}

void quit_by_interrupt(const flow_context& ctx)
{
    note_interrupted();
    viewer_exit(ctx, exit_quiet);
}

void fail_out_of_memory(const flow_context& ctx, const char* what)
{
    report_out_of_memory(what);
    viewer_exit(ctx, exit_failure);
}

void end_input(const flow_context& ctx, input_end end)
{
    switch (end) {
    case input_end::flow_limit:
        note_flow_limit(ctx.config->flow_limit);
        viewer_exit(ctx, exit_quiet);
    case input_end::read_failed:
        // Deliberate: named after the reading routine, whatever reads today.
        fail(ctx, "read_n", exit_quiet);
    case input_end::out_of_step:
        report_framed_out_of_step();
        viewer_exit(ctx, exit_failure);
    case input_end::end_of_stream:
    case input_end::none:
        break;
    }
    note_connection_closed();
    viewer_exit(ctx, exit_quiet);
}
