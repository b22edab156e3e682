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

#include "common/unique_fd.h"
#include "viewer/exporters.h"
#include "viewer/intervals.h"
#include "viewer/messages.h"
#include "viewer/packet_reader.h"
#include "viewer/report.h"
#include "viewer/terminal.h"

namespace {

// Set by on_interrupt, acted on by the loop right after its wait.
volatile std::sig_atomic_t interrupted = 0;

// Everything printed so far goes out before the loop waits. When nobody
// reads standard output any more, there is no one to show flows to.
void flush_output(const flow_context& ctx)
{
    if (std::fflush(stdout) != 0 && errno == EPIPE)
        viewer_exit(ctx, exit_quiet);
}

int connect_to_relay(const char* server, int port, const flow_context& ctx)
{
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

// SIGINT stays blocked except inside the wait, so the flag cannot be set
// between the test and the wait. Returns the mask the wait runs with.
sigset_t catch_interrupt()
{
    sigset_t block, during_wait;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigprocmask(SIG_BLOCK, &block, &during_wait);
    sigdelset(&during_wait, SIGINT);

    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGINT, &sa, nullptr) != 0) {
        // Without the handler, SIGINT keeps its own effect.
        warn_interrupt_not_caught();
        sigprocmask(SIG_UNBLOCK, &block, nullptr);
    }
    return during_wait;
}

}  // namespace

void on_interrupt(int signal_number)
{
    if (signal_number == SIGINT)
        interrupted = 1;
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
    report_kind report_type = report_kind::none;
    switch (key) {
    case 3:  // Control-C: in key mode a byte, not a signal
    case 'q':
        quit_by_key(ctx);
    case 'a':
        report_type = report_kind::as;
        break;
    case 'p':
        report_type = report_kind::proto;
        break;
    case 't':
        report_type = report_kind::tcpport;
        break;
    case 'u':
        report_type = report_kind::udpport;
        break;
    case 'e':
        print_exporters(*ctx.exporters);
        return;
    default:  // the help line stays as it always was: e is not on it
        show_key_help();
        return;
    }
    ctx.config->report_type = report_type;
    render_report(ctx.stats->last_report.get(), ctx);
}

void connect_and_run(const char* server, int port, flow_context& ctx)
{
    // The start-up lines are out before the host lookup and the connect,
    // either of which can take a while.
    std::fflush(stdout);
    const int rfd = connect_to_relay(server, port, ctx);
    if (rfd >= FD_SETSIZE) {
        errno = EMFILE;
        fail_socket(ctx);
    }
    const sigset_t wait_mask = catch_interrupt();

    std::fflush(stdout);
    const bool keys = ctx.config->mode != display_mode::colondump;
    if (keys)
        terminal_mode(*ctx.terminal, terminal_request::keys);

    packet_reader reader;
    bool watch_stdin = keys;
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        if (watch_stdin)
            FD_SET(STDIN_FILENO, &readable);
        FD_SET(rfd, &readable);
        flush_output(ctx);

        if (::pselect(rfd + 1, &readable, nullptr, nullptr, nullptr, &wait_mask) < 0) {
            if (errno == EINTR) {
                // Only SIGINT ends the viewer; other signals just wake it.
                if (interrupted)
                    quit_by_interrupt(ctx);
                continue;
            }
            fail_wait(ctx);
        }
        if (interrupted)
            quit_by_interrupt(ctx);

        // Frames before keys.
        if (FD_ISSET(rfd, &readable))
            read_packet(reader, rfd, ctx);
        if (watch_stdin && FD_ISSET(STDIN_FILENO, &readable)) {
            const int key = read_key();
            if (key < 0)
                watch_stdin = false;  // end of input: flows go on, keys stop
            else
                handle_key(key, ctx);
        }
    }
}
