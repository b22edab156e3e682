// The connection set-up, the select loop and the key table.
#include "viewer/event_loop.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/unique_fd.h"
#include "viewer/clock.h"
#include "viewer/exits.h"
#include "viewer/exporters.h"
#include "viewer/intervals.h"
#include "viewer/live_view.h"
#include "viewer/messages.h"
#include "viewer/report.h"
#include "viewer/report_kinds.h"
#include "viewer/signals.h"
#include "viewer/terminal.h"
#include "viewer/terminfo.h"
#include "viewer/udp_input.h"

namespace {

// Everything printed so far goes out before the loop waits. When nobody
// reads standard output any more, there is no one to show flows to.
void flush_output(const flow_context& ctx)
{
    if (std::fflush(stdout) != 0 && errno == EPIPE)
        viewer_exit(ctx, exit_quiet);
}

// A relay given as [host]:port: an IPv6 address (or a name of one).
int connect_bracketed(const char* server, int port, const flow_context& ctx)
{
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(server, nullptr, &hints, &found) != 0 || found == nullptr)
        fail_host_lookup(ctx);
    sockaddr_in6 addr{};
    std::memcpy(&addr, found->ai_addr, sizeof addr);
    ::freeaddrinfo(found);
    addr.sin6_port = htons(static_cast<std::uint16_t>(port));
    unique_fd rfd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!rfd)
        fail_socket(ctx);
    if (::connect(rfd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        fail_connect(ctx);
    return rfd.release();
}

int connect_to_relay(const char* server, int port, const flow_context& ctx)
{
    if (ctx.config->server_bracketed) {
        unique_fd rfd(connect_bracketed(server, port, ctx));
        const int on = 1;
        if (::setsockopt(rfd.get(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0)
            fail_keepalive(ctx);
        return rfd.release();
    }
    unique_fd rfd(::socket(AF_INET, SOCK_STREAM, 0));
    if (!rfd)
        fail_socket(ctx);

    const hostent* host = ::gethostbyname(server);
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4 ||
        host->h_addr_list[0] == nullptr)
        fail_host_lookup(ctx);

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    std::memcpy(&addr.sin_addr, host->h_addr_list[0], 4);
    if (::connect(rfd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        fail_connect(ctx);

    const int on = 1;
    if (::setsockopt(rfd.get(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0)
        fail_keepalive(ctx);

    // The socket stays open for the whole run.
    return rfd.release();
}

// Acts on a signal that asked the viewer to end, if one came.
void end_if_signalled(const flow_context& ctx)
{
    const int sig = pending_end();
    if (sig == SIGINT)
        quit_by_interrupt(ctx);
    if (sig != 0)
        end_by_signal(ctx, sig);
}

// Waits for the relay or a key: with the signals that end the viewer held
// off until the wait begins, so none slips in between the look at them and
// the wait; without a time-out unless the live view needs one. Between
// waits the signals are let through, so that a blocked write returns.
int wait_for_input(int nfds, fd_set* readable, const timespec* timeout)
{
    const sigset_t ending = ending_signals();
    sigset_t during_wait;
    sigprocmask(SIG_BLOCK, &ending, &during_wait);
    int r = -1;
    errno = EINTR;
    if (pending_end() == 0)
        r = ::pselect(nfds, readable, nullptr, nullptr, timeout, &during_wait);
    const int saved_errno = errno;
    sigprocmask(SIG_SETMASK, &during_wait, nullptr);
    errno = saved_errno;
    return r;
}

// Each closed interval's report, then the rest of what was read, handled
// by handle(source, ctx) until no interval closes.
template <typename Source>
input_end follow(Source& source, input_outcome r, flow_context& ctx,
                 input_outcome (*handle)(Source&, flow_context&))
{
    while (r.interval_closed) {
        render_report(ctx.stats->last_report.get(), ctx);
        if (r.end != input_end::none)
            break;
        r = handle(source, ctx);
    }
    return r.end;
}

}  // namespace

input_end follow_input(packet_reader& reader, input_outcome r, flow_context& ctx)
{
    return follow(reader, r, ctx, handle_frames);
}

input_end follow_datagrams(udp_receiver& rx, input_outcome r, flow_context& ctx)
{
    return follow(rx, r, ctx, handle_datagrams);
}

int read_key()
{
    std::fflush(nullptr);
    unsigned char c;
    ssize_t r;
    do
        r = ::read(STDIN_FILENO, &c, 1);
    while (r < 0 && errno == EINTR);
    return r == 1 ? c : -1;
}

void handle_key(int key, flow_context& ctx)
{
    const bool live = ctx.config->live_seconds > 0;
    if (key == 3 || key == 'q')  // Control-C: in key mode a byte, not a signal
        quit_by_key(ctx);
    if (key == 'e') {
        // Under -L the table is a page of the live view, redrawn in place
        // like the report until a report key is pressed.
        if (live) {
            ctx.live->page = live_page::exporters;
            show_live_view(ctx);
        } else {
            print_exporters(stdout, *ctx.exporters);
        }
        return;
    }
    const report_kind_entry* kind = report_kind_for_key(key);
    if (!kind) {
        show_key_help();  // the help line stays as it always was: e is not on it
        return;
    }
    ctx.config->report_type = kind->kind;
    // The live view shows the new type at once; closed reports use it from
    // the next one on.
    if (live) {
        ctx.live->page = live_page::report;
        show_live_view(ctx);
    } else {
        render_report(ctx.stats->last_report.get(), ctx);
    }
}

void connect_and_run(const char* server, int port, flow_context& ctx)
{
    // The start-up lines are out before the host lookup and the connect,
    // either of which can take a while.
    std::fflush(stdout);
    const bool direct = ctx.config->udp_port >= 0;
    const int rfd = direct ? open_export_socket(ctx) : connect_to_relay(server, port, ctx);
    if (rfd >= FD_SETSIZE) {
        errno = EMFILE;
        fail_socket(ctx);
    }
    if (!catch_ending_signals())
        warn_interrupt_not_caught();

    std::fflush(stdout);
    const bool keys = !for_programs(ctx.config->mode);
    if (keys) {
        terminal_mode(*ctx.terminal, terminal_request::keys);
        if (ctx.terminal->saved)
            publish_saved_terminal(&*ctx.terminal->saved);
    }
    const bool live = ctx.config->live_seconds > 0;
    if (live)
        load_screen_sequences(*ctx.live, STDOUT_FILENO);

    packet_reader reader;
    std::unique_ptr<udp_receiver> receiver;
    if (direct)
        receiver = std::make_unique<udp_receiver>();
    bool watch_stdin = keys;
    for (;;) {
        if (live && live_refresh_due(ctx, clock_now(*ctx.clock)))
            show_live_view(ctx);

        fd_set readable;
        FD_ZERO(&readable);
        if (watch_stdin)
            FD_SET(STDIN_FILENO, &readable);
        FD_SET(rfd, &readable);
        flush_output(ctx);
        end_if_signalled(ctx);

        timespec timeout{};
        if (live)
            timeout = live_wait();
        const int ready = wait_for_input(rfd + 1, &readable, live ? &timeout : nullptr);
        end_if_signalled(ctx);
        if (ready < 0) {
            // Other signals just wake the loop.
            if (errno == EINTR)
                continue;
            fail_wait(ctx);
        }
        if (ready == 0)
            continue;  // the live view's time-out

        // Frames before keys.
        if (FD_ISSET(rfd, &readable)) {
            const input_end end =
                direct ? follow_datagrams(*receiver, receive_exports(*receiver, rfd, ctx), ctx)
                       : follow_input(reader, read_packet(reader, rfd, ctx), ctx);
            if (end != input_end::none)
                end_input(ctx, end);
        }
        if (watch_stdin && FD_ISSET(STDIN_FILENO, &readable)) {
            const int key = read_key();
            if (key < 0)
                watch_stdin = false;  // end of input: flows go on, keys stop
            else
                handle_key(key, ctx);
        }
    }
}
