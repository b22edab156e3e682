// The viewer's messages and exits: see messages.h.
#include "viewer/messages.h"

#include <signal.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "viewer/exporters.h"
#include "viewer/terminal.h"

namespace {

constexpr char usage_body[] =
    "Options:\n"
    "  -0 <ASN>      Replace AS number 0 occurences with this AS number\n"
    "  -a <ASN>      Only display flows to/from this AS number\n"
    "  -b            Display big flows (only shows flows with the most bytes\n"
    "                or packets received so far)\n"
    "  -c <count>    Exit after <count> flows are received.\n"
    "  -h            Display the cruft you are reading.\n"
    "  -i <interval> How long to wait between report generations (in minutes)\n"
    "  -l <lines>    The length of your display in lines.  Defaults to 24. Usa a\n"
    "                larger number if you want top mode to display more lines.\n"
    "  -m <mode>     The name of the mode of operation to use:\n"
    "                - 'dump' display flow detail\n"
    "                - 'shortdump' flow details in a more compact fashion\n"
    "                - 'colondump' flow details in somewhat machine-readable fashion\n"
    "                - 'top' generates reports of top average utilization\n"
    "  -n <intnum>   Specify the interface by SNMP ifIndex number\n"
    "  -p <port>     Only display flows to/from this tcp or udp port number\n"
    "  -P <proto>    Only display flows using this IP protocol number\n"
    "  -r <router>   Only display flows reported by this router IP address\n"
    "  -s <server:port>\n"
    "                The hostname or IP address and port number of the nelk server\n"
    "  -t <topmode>  The type of report to generate when in top mode:\n"
    "                - 'as' AS report\n"
    "                - 'proto' Protocol report\n"
    "                - 'tcpport' TCP port report\n"
    "                - 'udpport' UDP port report\n"
    "  -v            Display version number\n"
    "  -x <prefix>   Only display flows to/from this IP prefix\n"
    "                The format for <prefix> is 'address/length', for example\n"
    "                1.2.3.4/30 or 10.0.0.0/8\n"
    "  -A <file>     Read AS names from <file> instead of the installed file\n"
    "  -L <seconds>  In top mode, show the running interval every <seconds> (1-3600)\n"
    "  -S            In top mode, scale bytes and packets by the sampling interval\n";

// A failed system call, reported after everything already printed.
void report_system_error(const char* what)
{
    const int saved_errno = errno;
    std::fflush(stdout);
    errno = saved_errno;
    std::perror(what);
}

[[noreturn]] void fail(const flow_context& ctx, const char* what, int status)
{
    report_system_error(what);
    viewer_exit(ctx, status);
}

}  // namespace

void viewer_exit(const flow_context& ctx, int status)
{
    std::fflush(stdout);
    report_loss_at_end(ctx);
    terminal_mode(*ctx.terminal, terminal_request::restore);
    std::exit(status);
}

void end_by_signal(const flow_context& ctx, int signal_number)
{
    std::fflush(stdout);
    report_loss_at_end(ctx);
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

// --- the command line

int show_usage(const char* program)
{
    std::printf("Usage: %s [ [option 1]  [option 2] ... [option n] ]\n", program);
    std::fputs(usage_body, stdout);  // deliberate: "occurences", "Usa a", "the cruft"
    return exit_quiet;
}

int show_version()
{
    // The number comes from the build; the date is part of the text.
    std::puts("nelk version " NELK_VERSION ", October 4 2001");
    return exit_quiet;
}

int refuse_mode(std::string_view word)
{
    std::printf("Mode %.*s not supported.  Available modes:\n", static_cast<int>(word.size()),
                word.data());
    std::puts(" dump\n shortdump\n colondump\n top");
    return exit_quiet;
}

int refuse_report_type(std::string_view word)
{
    std::printf("Top mode %.*s not supported.  Available top modes:\n",
                static_cast<int>(word.size()), word.data());
    std::puts(" as\n proto\n tcpport\n udpport");
    return exit_quiet;
}

int refuse_server_name(const char* scratch)
{
    std::printf("strtok could not find a server name in '%s'\n", scratch);
    return exit_quiet;
}

int refuse_server_port(const char* scratch)
{
    std::printf("strtok could not find a port number in '%s'\n", scratch);
    return exit_quiet;
}

int refuse_router(const char* text)
{
    std::printf("Error: invalid router address %s\n", text);
    return exit_failure;
}

int refuse_ifindex_before_router()
{
    // Deliberate: the option is -n, the text has always said -e, and it has
    // no line end.
    std::fputs("Error: must specify a router with -r before using -e.", stdout);
    return exit_quiet;
}

int refuse_prefix(const char* text)
{
    std::printf("Error: invalid prefix %s\n", text);
    return exit_failure;
}

int refuse_prefix_without_length(const char* arg)
{
    std::printf("Error: prefix %s has no length; give it as address/length, "
                "for example 10.0.0.0/8\n",
                arg);
    return exit_failure;
}

int refuse_prefix_length(int length, const char* arg)
{
    std::printf("Error: invalid prefix length %d in %s; it must be 0 to 32\n", length, arg);
    return exit_failure;
}

int refuse_interval_zero()
{
    std::printf("Error: invalid report interval 0; it must be at least 1 minute\n");
    return exit_failure;
}

int refuse_live_seconds(const char* arg)
{
    std::printf("Error: invalid live view period %s; it must be 1 to 3600 seconds\n", arg);
    return exit_failure;
}

int refuse_live_outside_top()
{
    std::printf("Error: -L shows the running interval of top mode; use it with -m top\n");
    return exit_failure;
}

void note_as_filter(int as) { std::printf("Filtering for AS %d\n", as); }
void note_interval(int minutes) { std::printf("Setting report interval to %d\n", minutes); }
void note_lines(int lines) { std::printf("Setting screen length to %d lines\n", lines); }
void note_port_filter(int port) { std::printf("Filtering for port %d\n", port); }
void note_proto_filter(int proto) { std::printf("Filtering for protocol %d\n", proto); }
void note_router_filter(const char* text) { std::printf("Filtering for router %s\n", text); }

void note_ifindex(int ifindex)
{
    std::printf("Displaying stats only for interface index %d\n", ifindex);
}

void note_prefix_filter(const char* text, int length)
{
    std::printf("Filtering for prefix %s/%d\n", text, length);
}

// Deliberate: these two have no line end; the next line follows on.
void note_default_report_type() { std::fputs("topmode not set with -t, defaulting to as.", stdout); }
void warn_report_type_without_top()
{
    std::fputs("Warning: topmode set but mode not set to top", stdout);
}

// --- start-up and the connection

void note_report_interval(int minutes)
{
    std::printf("Using report interval of %d minute(s)\n", minutes);
}

// A status line, overwritten by what comes next.
void note_starting() { std::printf("Starting. Hit '?' for help with keys.\r"); }

void fail_socket(const flow_context& ctx) { fail(ctx, "socket error", exit_quiet); }
void fail_host_lookup(const flow_context& ctx) { fail(ctx, "gethostbyname error", exit_quiet); }
void fail_connect(const flow_context& ctx) { fail(ctx, "connect error", exit_failure); }

void fail_keepalive(const flow_context& ctx)
{
    // Deliberate: the "%s" is part of the text.
    fail(ctx, "setsockopt(rfd, KEEPALIVE):%s", exit_failure);
}

void warn_interrupt_not_caught() { std::printf("Warning: can't catch interrupt signal\n"); }

// Deliberate: the terminal's reports keep their historical names.
void report_terminal_unreadable() { std::printf("ioctl\n"); }
void report_key_mode_refused() { std::printf("ioctl2\n"); }

// --- the event loop and its keys

void fail_wait(const flow_context& ctx)
{
    std::printf("select (read) error");  // deliberate: no line end
    viewer_exit(ctx, exit_quiet);
}

void show_key_help()
{
    std::printf("\rKeys: (a)AS, (p)proto, (t)tcp, (u)udp, (q)uit                             \r");
}

void quit_by_key(const flow_context& ctx)
{
    std::printf("\rQuitting...                                                               \n");
    viewer_exit(ctx, exit_quiet);
}

void quit_by_interrupt(const flow_context& ctx)
{
    std::printf("Received interrupt.  Exiting.\n");
    viewer_exit(ctx, exit_quiet);
}

// --- the relay stream

void end_of_stream(const flow_context& ctx)
{
    std::printf("connection closed\n");
    viewer_exit(ctx, exit_quiet);
}

// Deliberate: named after the reading routine, whatever reads today.
void fail_read(const flow_context& ctx) { fail(ctx, "read_n", exit_quiet); }

void report_bad_version(unsigned version)
{
    std::printf("Bad netflow packet.  Version is %u, should be 5.\n", version);
}

void report_strange_count(unsigned count)
{
    std::printf("Strange netflow packet.  Record count is %u\n", count);
}

// --- flows, AS names, reports

void end_at_flow_limit(const flow_context& ctx)
{
    std::printf("Flow limit reached (%d).  Exiting\n", ctx.config->flow_limit);
    viewer_exit(ctx, exit_quiet);
}

void report_asn_no_memory() { report_system_error("out of memory"); }
void report_asn_unopened() { report_system_error("fopen"); }

void report_asn_bad_entry(const long* number, const char* last_name)
{
    report_system_error("Init_ASN_Lookups error: fscanf");
    // What was never read, as in a bad first entry, shows as (none).
    if (number)
        std::printf("Init_ASN_Lookups error: asn=%ld, asnname=%s\n", *number,
                    last_name ? last_name : "(none)");
    else
        std::printf("Init_ASN_Lookups error: asn=(none), asnname=(none)\n");
}

void show_no_stats()
{
    // Deliberate: "As least", and a status line with no line end.
    std::printf("No stats to display.  As least one report interval needs to pass        \r");
}

void show_no_exporters()
{
    // Overwrites a status line as the quit line does.
    std::printf("\rNo exporter seen yet.%53s\n", "");
}

void note_untracked_exporters(unsigned long long datagrams, unsigned long long flows)
{
    std::printf("More exporters than the table holds: %llu datagrams, %llu flows "
                "not counted by exporter\n",
                datagrams, flows);
}

void print_live_loss_line(const flow_context& ctx)
{
    const loss_summary loss = summarize_loss(*ctx.exporters);
    if (loss.missed == 0)
        return;
    std::printf("Missed flows: %llu (%.2f%%) from %llu exporter(s)\n",
                static_cast<unsigned long long>(loss.missed),
                loss_percent(loss.missed, loss.flows),
                static_cast<unsigned long long>(loss.exporters));
}

void report_loss_at_end(const flow_context& ctx)
{
    const loss_summary loss = summarize_loss(*ctx.exporters);
    if (loss.missed == 0)
        return;
    std::fprintf(stderr, "nelk: %llu of %llu flows missed (%.2f%%) by sequence numbers\n",
                 static_cast<unsigned long long>(loss.missed),
                 static_cast<unsigned long long>(loss.missed + loss.flows),
                 loss_percent(loss.missed, loss.flows));
}

void report_unknown_report_type()
{
    std::printf("Report interval expired, but I don't know what type of report to generate!\n");
    std::printf("Defaulting to AS report\n");
}

void fail_out_of_memory(const flow_context& ctx, const char* what)
{
    const int err = errno;
    std::fflush(stdout);
    std::fprintf(stderr, "nelk: out of memory for the %s: %s\n", what, std::strerror(err));
    viewer_exit(ctx, exit_failure);
}
