#include "viewer/options.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "common/net_address.h"
#include "viewer/messages.h"
#include "viewer/report_kinds.h"

namespace {

constexpr char option_letters[] = "0:a:bc:hi:l:m:n:p:P:r:s:t:vx:A:L:Su:";

// Seconds between two showings of the running interval.
constexpr int live_min_seconds = 1;
constexpr int live_max_seconds = 3600;

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

// "%d" of the argument as wide as a 32-bit AS number needs; one that does
// not start with a number leaves the field as it was.
void read_wide(const char* arg, long long& field)
{
    long long value = 0;
    if (parse_leading_decimal(arg, &value))
        field = value;
}

int set_mode(const char* arg, viewer_config& config)
{
    std::string_view word = first_word(arg);
    if (word == "shortdump")
        config.mode = display_mode::shortdump;
    else if (word == "colondump")
        config.mode = display_mode::colondump;
    else if (word == "dump")
        config.mode = display_mode::dump;
    else if (word == "top")
        config.mode = display_mode::top;
    else if (word == "json")
        config.mode = display_mode::json;
    else
        return refuse_mode(word);
    return keep_going;
}

int set_report_type(const char* arg, viewer_config& config)
{
    const std::string_view word = first_word(arg);
    const report_kind_entry* kind = report_kind_for_word(word);
    if (!kind)
        return refuse_report_type(word);
    config.report_type = kind->kind;
    return keep_going;
}

// [host]:port, the form an IPv6 address takes.
int set_bracketed_server(char* scratch, viewer_config& config)
{
    char* close = std::strchr(scratch, ']');
    if (close == nullptr || close == scratch + 1)
        return refuse_server_name(scratch);
    if (close[1] != ':' || close[2] == '\0') {
        close[1] = '\0';
        return refuse_server_port(scratch);
    }
    *close = '\0';
    std::strcpy(config.server, scratch + 1);
    config.server_bracketed = true;
    read_int(close + 2, config.port);
    return keep_going;
}

int set_server(const char* arg, viewer_config& config)
{
    // The first word, cut to what the server field holds.
    char scratch[server_text_size + 1];
    static_assert(server_text_size == 100, "the scan width below");
    if (std::sscanf(arg, "%100s", scratch) != 1)
        scratch[0] = '\0';
    config.server_given = true;
    if (scratch[0] == '[')
        return set_bracketed_server(scratch, config);

    char* rest = nullptr;
    const char* host = strtok_r(scratch, ":", &rest);
    if (host == nullptr)
        return refuse_server_name(scratch);
    // The server and how it was given change together: a refused -s
    // leaves the one before it whole.
    std::strcpy(config.server, host);
    config.server_bracketed = false;
    const char* port = strtok_r(nullptr, ":", &rest);
    if (port == nullptr)
        return refuse_server_port(scratch);
    read_int(port, config.port);
    return keep_going;
}

int set_router(const char* arg, flow_filter& filter)
{
    char text[server_text_size + 1];
    if (std::sscanf(arg, "%100s", text) != 1)
        text[0] = '\0';
    in_addr addr{};
    net_address a;
    if (inet_aton(text, &addr) != 0)
        a = net_address::from_v4_net(addr.s_addr);
    else if (std::strchr(text, ':') == nullptr || !parse_address(text, &a))
        return refuse_router(text);
    filter.router = a;
    note_router_filter(text);
    return keep_going;
}

int set_ifindex(const char* arg, flow_filter& filter)
{
    if (!filter.router)
        return refuse_ifindex_before_router();
    read_int(arg, filter.ifindex);
    note_ifindex(filter.ifindex);
    return keep_going;
}

// The first `bits` bits of a, the rest cleared.
net_address masked(net_address a, int bits)
{
    for (int i = bits; i < 128; ++i)
        a.bytes[static_cast<std::size_t>(i / 8)] &= static_cast<std::uint8_t>(~(0x80 >> (i % 8)));
    return a;
}

// An IPv6 prefix: address/length, the length 0 to 128. As for IPv4, the
// address's bits beyond the length are let go.
int set_v6_prefix(const char* arg, flow_filter& filter)
{
    char text[101] = "";
    int length = 0;
    const int got = std::sscanf(arg, "%100[0123456789abcdefABCDEF:.]/%d\n", text, &length);
    net_address a;
    if (got < 1)
        return refuse_prefix(arg);
    if (!parse_address(text, &a))
        return refuse_prefix(text);
    if (got < 2)
        return refuse_prefix_without_length(arg);
    if (length < 0 || length > 128)
        return refuse_v6_prefix_length(length, arg);
    filter.prefix = net_prefix{masked(a, length), length};
    note_prefix_filter(text, length);
    return keep_going;
}

int set_prefix(const char* arg, flow_filter& filter)
{
    if (first_word(arg).find(':') != std::string_view::npos)
        return set_v6_prefix(arg, filter);
    // Digits and dots, at most 100 of them: a longer address is cut there
    // and no longer reads as an address.
    char text[101] = "";
    int length = 0;
    int got = std::sscanf(arg, "%100[0123456789.]/%d\n", text, &length);
    in_addr addr{};
    if (got < 1)
        return refuse_prefix(arg);
    if (inet_aton(text, &addr) == 0)
        return refuse_prefix(text);
    if (got < 2)
        return refuse_prefix_without_length(arg);
    if (length < 0 || length > 32)
        return refuse_prefix_length(length, arg);
    filter.prefix = net_prefix{masked(net_address::from_v4_net(addr.s_addr), 96 + length),
                               96 + length};
    note_prefix_filter(text, length);
    return keep_going;
}

int set_interval(const char* arg, viewer_config& config)
{
    // Intervals are whole minutes that the rollover divides by.
    int minutes = config.interval;
    read_int(arg, minutes);
    if (minutes == 0)
        return refuse_interval_zero();
    config.interval = minutes;
    note_interval(config.interval);
    return keep_going;
}

int set_live_seconds(const char* arg, viewer_config& config)
{
    int seconds = 0;
    if (std::sscanf(arg, "%d", &seconds) != 1 || seconds < live_min_seconds ||
        seconds > live_max_seconds)
        return refuse_live_seconds(arg);
    config.live_seconds = seconds;
    return keep_going;
}

// -u [address:]port, [IPv6 address]:port or port: where exports come in.
int set_udp(const char* arg, viewer_config& config)
{
    const std::string_view word = first_word(arg);
    std::string_view address, port = word;
    if (!word.empty() && word.front() == '[') {
        const std::size_t close = word.find(']');
        if (close == std::string_view::npos || close + 1 >= word.size() || word[close + 1] != ':')
            return refuse_udp(arg);
        address = word.substr(1, close - 1);
        port = word.substr(close + 2);
    } else if (const std::size_t colon = word.find(':'); colon != std::string_view::npos) {
        // An IPv6 address without brackets could end in what looks a port.
        if (word.find(':', colon + 1) != std::string_view::npos)
            return refuse_udp(arg);
        address = word.substr(0, colon);
        port = word.substr(colon + 1);
    }
    long long number = 0;
    const std::string port_text(port);
    if (!parse_count(port_text.c_str(), 1, 65535, &number))
        return refuse_udp(arg);
    net_address a;
    if (!address.empty() && !parse_address(address, &a))
        return refuse_udp(arg);
    config.udp_port = static_cast<int>(number);
    if (!address.empty())
        config.udp_address = a;
    else
        config.udp_address.reset();
    return keep_going;
}

int apply_option(int letter, const char* arg, const char* program, flow_context& ctx)
{
    viewer_config& config = *ctx.config;
    flow_filter& filter = *ctx.filter;
    switch (letter) {
    case '0':
        read_wide(arg, config.zero_as);
        return keep_going;
    case 'a':
        read_wide(arg, filter.as);
        note_as_filter(filter.as);
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
        note_lines(config.lines);
        return keep_going;
    case 'm':
        return set_mode(arg, config);
    case 'n':
        return set_ifindex(arg, filter);
    case 'p':
        read_int(arg, filter.port);
        note_port_filter(filter.port);
        return keep_going;
    case 'P':
        read_int(arg, filter.proto);
        note_proto_filter(filter.proto);
        return keep_going;
    case 'r':
        return set_router(arg, filter);
    case 's':
        return set_server(arg, config);
    case 't':
        return set_report_type(arg, config);
    case 'v':
        return show_version();
    case 'x':
        return set_prefix(arg, filter);
    case 'A':
        config.asn_file = arg;
        return keep_going;
    case 'L':
        return set_live_seconds(arg, config);
    case 'S':
        config.sampling = true;
        return keep_going;
    case 'u':
        return set_udp(arg, config);
    default:  // -h, an unknown letter or a missing argument
        return show_usage(program);
    }
}

// Whether the options ask for JSON lines (-m json, the last -m up to an
// option that ends the parse): a look ahead, before any option prints.
bool asks_for_json(int argc, char* argv[])
{
    const int saved_opterr = opterr;
    opterr = 0;
    optind = 0;
    bool json = false;
    for (int letter; (letter = getopt(argc, argv, option_letters)) != -1;) {
        if (letter == '?' || letter == ':' || letter == 'h' || letter == 'v')
            break;
        if (letter == 'm')
            json = first_word(optarg) == "json";
    }
    opterr = saved_opterr;
    return json;
}

}  // namespace

int parse_options(int argc, char* argv[], flow_context& ctx)
{
    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "nelk";
    // JSON lines are for a program: standard output carries nothing else,
    // from the first option's note on.
    send_notes_to(asks_for_json(argc, argv) ? stderr : stdout);
    optind = 0;  // glibc: start afresh, as on a first call
    for (;;) {
        // getopt reports a bad option on standard error; what the options
        // before it printed comes first.
        std::fflush(stdout);
        int letter = getopt(argc, argv, option_letters);
        if (letter == -1)
            break;
        int status = apply_option(letter, optarg, program, ctx);
        if (status != keep_going)
            return status;
    }
    // Only top mode has a running interval to show; -m may follow -L.
    if (ctx.config->live_seconds != 0 && ctx.config->mode != display_mode::top)
        return refuse_live_outside_top();
    // One source of exports: a relay, or the routers themselves.
    if (ctx.config->udp_port >= 0 && ctx.config->server_given)
        return refuse_udp_with_server();
    return keep_going;
}

void reconcile_mode(viewer_config& config)
{
    if (config.report_type == report_kind::none && config.mode == display_mode::top) {
        note_default_report_type();
        config.report_type = report_kind::as;
    } else if (config.report_type != report_kind::none && config.mode != display_mode::top) {
        warn_report_type_without_top();
    }
}
