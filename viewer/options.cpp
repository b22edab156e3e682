#include "viewer/options.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr char option_letters[] = "0:a:bc:hi:l:m:n:p:P:r:s:t:vx:";

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
    "                1.2.3.4/30 or 10.0.0.0/8\n";

// Exit statuses: usage, version and most refusals end quietly; a bad
// address is a failure.
constexpr int exit_quiet = 0;
constexpr int exit_failure = 1;
constexpr int keep_going = -1;

int print_usage(const char* program)
{
    std::printf("Usage: %s [ [option 1]  [option 2] ... [option n] ]\n", program);
    std::fputs(usage_body, stdout);
    return exit_quiet;
}

// The first word of an argument, as "%s" scans it, however long it is.
std::string_view first_word(const char* arg)
{
    while (*arg != '\0' && std::isspace(static_cast<unsigned char>(*arg)))
        ++arg;
    const char* end = arg;
    while (*end != '\0' && !std::isspace(static_cast<unsigned char>(*end)))
        ++end;
    return {arg, static_cast<std::size_t>(end - arg)};
}

// "%d" of the argument; one that does not start with a number leaves the
// field as it was.
void read_int(const char* arg, int& field)
{
    int value = 0;
    if (std::sscanf(arg, "%d", &value) == 1)
        field = value;
}

int set_mode(const char* arg, viewer_config& config)
{
    std::string_view word = first_word(arg);
    if (word == "shortdump")
        config.mode = mode_shortdump;
    else if (word == "colondump")
        config.mode = mode_colondump;
    else if (word == "dump")
        config.mode = mode_dump;
    else if (word == "top")
        config.mode = mode_top;
    else {
        std::printf("Mode %.*s not supported.  Available modes:\n", static_cast<int>(word.size()),
                    word.data());
        std::puts(" dump\n shortdump\n colondump\n top");
        return exit_quiet;
    }
    return keep_going;
}

int set_report_type(const char* arg, viewer_config& config)
{
    std::string_view word = first_word(arg);
    if (word == "as")
        config.report_type = report_as;
    else if (word == "proto")
        config.report_type = report_proto;
    else if (word == "tcpport")
        config.report_type = report_tcpport;
    else if (word == "udpport")
        config.report_type = report_udpport;
    else {
        std::printf("Top mode %.*s not supported.  Available top modes:\n",
                    static_cast<int>(word.size()), word.data());
        std::puts(" as\n proto\n tcpport\n udpport");
        return exit_quiet;
    }
    return keep_going;
}

int set_server(const char* arg, viewer_config& config)
{
    // The first word, cut to what the server field holds.
    char scratch[server_text_size + 1];
    static_assert(server_text_size == 100, "the scan width below");
    if (std::sscanf(arg, "%100s", scratch) != 1)
        scratch[0] = '\0';

    char* rest = nullptr;
    const char* host = strtok_r(scratch, ":", &rest);
    if (host == nullptr) {
        std::printf("strtok could not find a server name in '%s'\n", scratch);
        return exit_quiet;
    }
    std::strcpy(config.server, host);
    const char* port = strtok_r(nullptr, ":", &rest);
    if (port == nullptr) {
        std::printf("strtok could not find a port number in '%s'\n", scratch);
        return exit_quiet;
    }
    read_int(port, config.port);
    return keep_going;
}

int set_router(const char* arg, flow_filter& filter)
{
    char text[server_text_size + 1];
    if (std::sscanf(arg, "%100s", text) != 1)
        text[0] = '\0';
    in_addr addr{};
    if (inet_aton(text, &addr) == 0) {
        std::printf("Error: invalid router address %s\n", text);
        return exit_failure;
    }
    filter.router = addr.s_addr;
    std::printf("Filtering for router %s\n", text);
    return keep_going;
}

int set_ifindex(const char* arg, flow_filter& filter)
{
    if (!filter.router) {
        std::fputs("Error: must specify a router with -r before using -e.", stdout);
        return exit_quiet;
    }
    read_int(arg, filter.ifindex);
    std::printf("Displaying stats only for interface index %d\n", filter.ifindex);
    return keep_going;
}

int set_prefix(const char* arg, flow_filter& filter)
{
    // Digits and dots, at most 100 of them: a longer address is cut there
    // and no longer reads as an address.
    char text[101] = "";
    int length = 0;
    int got = std::sscanf(arg, "%100[0123456789.]/%d\n", text, &length);
    in_addr addr{};
    if (got < 1) {
        std::printf("Error: invalid prefix %s\n", arg);
        return exit_failure;
    }
    if (inet_aton(text, &addr) == 0) {
        std::printf("Error: invalid prefix %s\n", text);
        return exit_failure;
    }
    if (got < 2) {
        std::printf("Error: prefix %s has no length; give it as address/length, "
                    "for example 10.0.0.0/8\n",
                    arg);
        return exit_failure;
    }
    if (length < 0 || length > 32) {
        std::printf("Error: invalid prefix length %d in %s; it must be 0 to 32\n", length, arg);
        return exit_failure;
    }
    std::uint32_t mask = length == 0 ? 0 : ~std::uint32_t{0} << (32 - length);
    filter.prefix_mask = htonl(mask);
    filter.prefix = addr.s_addr & htonl(mask);
    std::printf("Filtering for prefix %s/%d\n", text, length);
    return keep_going;
}

int set_interval(const char* arg, viewer_config& config)
{
    // Intervals are whole minutes that the rollover divides by.
    int minutes = config.interval;
    read_int(arg, minutes);
    if (minutes == 0) {
        std::printf("Error: invalid report interval 0; it must be at least 1 minute\n");
        return exit_failure;
    }
    config.interval = minutes;
    std::printf("Setting report interval to %d\n", config.interval);
    return keep_going;
}

int apply_option(int letter, const char* arg, const char* program, flow_context& ctx)
{
    viewer_config& config = *ctx.config;
    flow_filter& filter = *ctx.filter;
    switch (letter) {
    case '0':
        read_int(arg, config.zero_as);
        return keep_going;
    case 'a':
        read_int(arg, filter.as);
        std::printf("Filtering for AS %d\n", filter.as);
        return keep_going;
    case 'b':
        filter.big = 1;
        ctx.stats->max_bytes = 0;
        ctx.stats->max_packets = 0;
        return keep_going;
    case 'c':
        read_int(arg, config.flow_limit);
        return keep_going;
    case 'i':
        return set_interval(arg, config);
    case 'l':
        read_int(arg, config.lines);
        std::printf("Setting screen length to %d lines\n", config.lines);
        return keep_going;
    case 'm':
        return set_mode(arg, config);
    case 'n':
        return set_ifindex(arg, filter);
    case 'p':
        read_int(arg, filter.port);
        std::printf("Filtering for port %d\n", filter.port);
        return keep_going;
    case 'P':
        read_int(arg, filter.proto);
        std::printf("Filtering for protocol %d\n", filter.proto);
        return keep_going;
    case 'r':
        return set_router(arg, filter);
    case 's':
        return set_server(arg, config);
    case 't':
        return set_report_type(arg, config);
    case 'v':
        std::puts("nelk version " NELK_VERSION ", October 4 2001");
        return exit_quiet;
    case 'x':
        return set_prefix(arg, filter);
    default:  // -h, an unknown letter or a missing argument
        return print_usage(program);
    }
}

}  // namespace

int parse_options(int argc, char* argv[], flow_context& ctx)
{
    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "nelk";
    optind = 0;  // glibc: start afresh, as on a first call
    for (;;) {
        // getopt reports a bad option on standard error; what the options
        // before it printed comes first.
        std::fflush(stdout);
        int letter = getopt(argc, argv, option_letters);
        if (letter == -1)
            return keep_going;
        int status = apply_option(letter, optarg, program, ctx);
        if (status != keep_going)
            return status;
    }
}

void reconcile_mode(viewer_config& config)
{
    if (config.report_type == report_none && config.mode == mode_top) {
        std::fputs("topmode not set with -t, defaulting to as.", stdout);
        config.report_type = report_as;
    } else if (config.report_type != report_none && config.mode != mode_top) {
        std::fputs("Warning: topmode set but mode not set to top", stdout);
    }
}
