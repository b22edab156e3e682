// The viewer's messages: see messages.h.
#include "viewer/messages.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Where the notes go: standard output, unless it carries JSON lines.
std::FILE* notes = nullptr;
std::FILE* out() { return notes ? notes : stdout; }

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
    "  -S            In top mode, scale bytes and packets by the sampling interval\n"
    "  -u <[address:]port>\n"
    "                Receive NetFlow v5, v9 and IPFIX directly on this UDP port, no\n"
    "                relay; an IPv6 address in brackets: [2001:db8::1]:2055\n"
    "                -s takes an IPv6 relay the same way; -r and -x take IPv6 too\n"
    "  -m json       One JSON object per flow, one per line, for other programs\n";

}  // namespace

void send_notes_to(std::FILE* stream) { notes = stream; }

void report_system_error(const char* what)
{
    const int saved_errno = errno;
    std::fflush(stdout);
    errno = saved_errno;
    std::perror(what);
}

// --- the command line

int show_usage(const char* program)
{
    std::fprintf(out(), "Usage: %s [ [option 1]  [option 2] ... [option n] ]\n", program);
    std::fputs(usage_body, out());  // deliberate: "occurences", "Usa a", "the cruft"
    return exit_quiet;
}

int show_version()
{
    // The number comes from the build; the date is part of the text.
    std::fputs("nelk version " NELK_VERSION ", October 4 2001\n", out());
    return exit_quiet;
}

int refuse_mode(std::string_view word)
{
    std::fprintf(out(), "Mode %.*s not supported.  Available modes:\n",
                 static_cast<int>(word.size()), word.data());
    std::fputs(" dump\n shortdump\n colondump\n top\n json\n", out());
    return exit_quiet;
}

int refuse_report_type(std::string_view word)
{
    std::fprintf(out(), "Top mode %.*s not supported.  Available top modes:\n",
                 static_cast<int>(word.size()), word.data());
    std::fputs(" as\n proto\n tcpport\n udpport\n", out());
    return exit_quiet;
}

int refuse_server_name(const char* scratch)
{
    std::fprintf(out(), "strtok could not find a server name in '%s'\n", scratch);
    return exit_quiet;
}

int refuse_server_port(const char* scratch)
{
    std::fprintf(out(), "strtok could not find a port number in '%s'\n", scratch);
    return exit_quiet;
}

int refuse_router(const char* text)
{
    std::fprintf(out(), "Error: invalid router address %s\n", text);
    return exit_failure;
}

int refuse_ifindex_before_router()
{
    // Deliberate: the option is -n, the text has always said -e, and it has
    // no line end.
    std::fputs("Error: must specify a router with -r before using -e.", out());
    return exit_quiet;
}

int refuse_prefix(const char* text)
{
    std::fprintf(out(), "Error: invalid prefix %s\n", text);
    return exit_failure;
}

int refuse_prefix_without_length(const char* arg)
{
    std::fprintf(out(),
                 "Error: prefix %s has no length; give it as address/length, "
                 "for example 10.0.0.0/8\n",
                 arg);
    return exit_failure;
}

int refuse_prefix_length(int length, const char* arg)
{
    std::fprintf(out(), "Error: invalid prefix length %d in %s; it must be 0 to 32\n", length, arg);
    return exit_failure;
}

int refuse_v6_prefix_length(int length, const char* arg)
{
    std::fprintf(out(), "Error: invalid prefix length %d in %s; it must be 0 to 128\n", length,
                 arg);
    return exit_failure;
}

int refuse_udp(const char* arg)
{
    std::fprintf(out(),
                 "Error: invalid UDP port %s; give port, address:port or [IPv6 address]:port, "
                 "for example 2055, 192.0.2.1:2055 or [2001:db8::1]:2055\n",
                 arg);
    return exit_failure;
}

int refuse_udp_with_server()
{
    std::fprintf(out(),
                 "Error: -u and -s exclude each other: receive exports directly with -u, or "
                 "from a relay with -s\n");
    return exit_failure;
}

int refuse_interval_zero()
{
    std::fprintf(out(), "Error: invalid report interval 0; it must be at least 1 minute\n");
    return exit_failure;
}

int refuse_live_seconds(const char* arg)
{
    std::fprintf(out(), "Error: invalid live view period %s; it must be 1 to 3600 seconds\n", arg);
    return exit_failure;
}

int refuse_live_outside_top()
{
    std::fprintf(out(), "Error: -L shows the running interval of top mode; use it with -m top\n");
    return exit_failure;
}

void note_as_filter(long long as) { std::fprintf(out(), "Filtering for AS %lld\n", as); }
void note_interval(int minutes) { std::fprintf(out(), "Setting report interval to %d\n", minutes); }
void note_lines(int lines) { std::fprintf(out(), "Setting screen length to %d lines\n", lines); }
void note_port_filter(int port) { std::fprintf(out(), "Filtering for port %d\n", port); }
void note_proto_filter(int proto) { std::fprintf(out(), "Filtering for protocol %d\n", proto); }
void note_router_filter(const char* text)
{
    std::fprintf(out(), "Filtering for router %s\n", text);
}

void note_ifindex(int ifindex)
{
    std::fprintf(out(), "Displaying stats only for interface index %d\n", ifindex);
}

void note_prefix_filter(const char* text, int length)
{
    std::fprintf(out(), "Filtering for prefix %s/%d\n", text, length);
}

// Deliberate: these two have no line end; the next line follows on.
void note_default_report_type() { std::fputs("topmode not set with -t, defaulting to as.", out()); }
void warn_report_type_without_top()
{
    std::fputs("Warning: topmode set but mode not set to top", out());
}

// --- start-up and the connection

void note_report_interval(int minutes)
{
    std::fprintf(out(), "Using report interval of %d minute(s)\n", minutes);
}

// A status line, overwritten by what comes next.
void note_starting() { std::fprintf(out(), "Starting. Hit '?' for help with keys.\r"); }

void warn_interrupt_not_caught() { std::fprintf(out(), "Warning: can't catch interrupt signal\n"); }

// Deliberate: the terminal's reports keep their historical names.
void report_terminal_unreadable() { std::fprintf(out(), "ioctl\n"); }
void report_key_mode_refused() { std::fprintf(out(), "ioctl2\n"); }

// --- the event loop and its keys

void note_wait_failed()
{
    std::fprintf(out(), "select (read) error");  // deliberate: no line end
}

void show_key_help()
{
    std::fprintf(out(),
                 "\rKeys: (a)AS, (p)proto, (t)tcp, (u)udp, (q)uit                             \r");
}

void note_quitting()
{
    std::fprintf(out(),
                 "\rQuitting...                                                               \n");
}

void note_interrupted() { std::fprintf(out(), "Received interrupt.  Exiting.\n"); }

// --- the relay stream

void note_connection_closed() { std::fprintf(out(), "connection closed\n"); }

void report_framed_out_of_step()
{
    std::fflush(stdout);
    std::fprintf(stderr, "nelk: the framed stream is out of step (a frame length no frame "
                         "has); ending\n");
}

void report_bad_version(unsigned version)
{
    std::fprintf(out(), "Bad netflow packet.  Version is %u, should be 5.\n", version);
}

void report_strange_count(unsigned count)
{
    std::fprintf(out(), "Strange netflow packet.  Record count is %u\n", count);
}

// --- flows, AS names, reports

void note_flow_limit(int limit)
{
    std::fprintf(out(), "Flow limit reached (%d).  Exiting\n", limit);
}

void report_asn_no_memory() { report_system_error("out of memory"); }
void report_asn_unopened() { report_system_error("fopen"); }

void report_asn_bad_entry(const long* number, const char* last_name)
{
    report_system_error("Init_ASN_Lookups error: fscanf");
    // What was never read, as in a bad first entry, shows as (none).
    if (number)
        std::fprintf(out(), "Init_ASN_Lookups error: asn=%ld, asnname=%s\n", *number,
                     last_name ? last_name : "(none)");
    else
        std::fprintf(out(), "Init_ASN_Lookups error: asn=(none), asnname=(none)\n");
}

void show_no_stats()
{
    // Deliberate: "As least", and a status line with no line end.
    std::fprintf(out(),
                 "No stats to display.  As least one report interval needs to pass        \r");
}

void show_no_exporters(std::FILE* out)
{
    // Overwrites a status line as the quit line does.
    std::fprintf(out, "\rNo exporter seen yet.%53s\n", "");
}

void note_untracked_exporters(std::FILE* out, unsigned long long datagrams,
                              unsigned long long flows)
{
    std::fprintf(out,
                 "Not tracked, more domains from one address than are kept: %llu datagrams, "
                 "%llu flows\n",
                 datagrams, flows);
}

namespace {

const char* unit_words(sequence_unit unit)
{
    switch (unit) {
    case sequence_unit::v9_packets:
        return "NetFlow v9 export packets";
    case sequence_unit::ipfix_records:
        return "IPFIX data records";
    default:
        return "flows";
    }
}

}  // namespace

void print_live_loss_line(std::FILE* out, sequence_unit unit, unsigned long long missed, double percent,
                          unsigned long long exporters)
{
    if (unit == sequence_unit::flows)
        std::fprintf(out, "Missed flows: %llu (%.2f%%) from %llu exporter(s)\n", missed, percent,
                     exporters);
    else
        std::fprintf(out, "Missed %s: %llu (%.2f%%) from %llu exporter(s)\n", unit_words(unit),
                     missed, percent, exporters);
}

void report_loss_at_end(sequence_unit unit, unsigned long long missed, unsigned long long sent,
                        double percent)
{
    std::fprintf(stderr, "nelk: %llu of %llu %s missed (%.2f%%) by sequence numbers\n", missed,
                 sent, unit_words(unit), percent);
}

void report_untracked_at_end(unsigned long long datagrams, unsigned long long flows)
{
    std::fprintf(stderr,
                 "nelk: %llu datagrams (%llu flows) not tracked by exporter: their loss, if "
                 "any, is not counted\n",
                 datagrams, flows);
}

void report_unknown_report_type()
{
    std::fprintf(out(),
                 "Report interval expired, but I don't know what type of report to generate!\n");
    std::fprintf(out(), "Defaulting to AS report\n");
}

void report_out_of_memory(const char* what)
{
    const int err = errno;
    std::fflush(stdout);
    std::fprintf(stderr, "nelk: out of memory for the %s: %s\n", what, std::strerror(err));
}
