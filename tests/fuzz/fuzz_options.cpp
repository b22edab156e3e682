// Both command lines fed arbitrary words: the input split at NUL bytes is
// the argument vector after the program name, given to the viewer's and to
// the relay's option parser in turn. Neither parser ends the process: each
// returns what it decided (the relay's main turns a refusal into err's exit
// status), so every input, refused ones included, is checked here.
#include <arpa/inet.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/net_address.h"
#include "relay/relay.h"
#include "tests/fuzz/quiet_output.h"
#include "viewer/options.h"
#include "viewer/viewer.h"

namespace {

constexpr std::size_t words_max = 64;

// A fresh, writable argument vector: getopt reorders it.
struct arguments {
    std::vector<std::string> words;
    std::vector<char*> argv;

    arguments(const char* program, const std::vector<std::string>& from)
    {
        words.push_back(program);
        words.insert(words.end(), from.begin(), from.end());
        for (auto& w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(words.size()); }
};

bool inside(const char* p, const arguments& args)
{
    for (const auto& w : args.words)
        if (p >= w.data() && p <= w.data() + w.size())
            return true;
    return false;
}

void viewer_options(const std::vector<std::string>& words)
{
    arguments args("nelk", words);
    viewer_records v;
    const viewer_config& config = v.config;
    const flow_filter& filter = v.filter;
    int status;
    {
        fuzz::quiet_stderr quiet;
        status = parse_options(args.argc(), args.argv.data(), v.ctx);
        if (status < 0)
            reconcile_mode(v.config);
    }
    fuzz::check(status == -1 || status == 0 || status == 1, "viewer status not -1, 0 or 1");
    const std::size_t server_len = strnlen(config.server, sizeof config.server);
    fuzz::check(server_len > 0 && server_len < sizeof config.server,
                "server name empty or without its end");
    // One word, the host part of host:port (or of [host]:port). A host
    // without brackets is taken as typed up to its colon, a stray bracket
    // and all: the name look-up refuses it.
    for (std::size_t i = 0; i < server_len; ++i)
        fuzz::check((config.server_bracketed ? config.server[i] != ']'
                                             : config.server[i] != ':') &&
                        !std::isspace(static_cast<unsigned char>(config.server[i])),
                    "server name with a colon (a bracket in brackets) or white space");
    if (filter.prefix) {
        // A length in range, the prefix already masked.
        const net_prefix& p = *filter.prefix;
        fuzz::check(p.length >= 0 && p.length <= 128, "prefix length out of range");
        for (int i = p.length; i < 128; ++i)
            fuzz::check((p.net.bytes[static_cast<std::size_t>(i / 8)] & (0x80 >> (i % 8))) == 0,
                        "prefix not masked");
        fuzz::check(!p.net.is_v4() || p.length >= 96, "IPv4 prefix shorter than the mapped part");
    }
    fuzz::check(config.udp_port < 0 || !config.server_given || status >= 0,
                "-u and -s both let through");
    fuzz::check(config.udp_port < 0 || (config.udp_port >= 1 && config.udp_port <= 65535),
                "UDP port out of range");
    if (status < 0) {
        // What the viewer goes on with.
        fuzz::check(config.interval != 0, "report interval of 0 let through");
        fuzz::check(config.mode >= display_mode::top && config.mode <= display_mode::json,
                    "unknown mode");
        fuzz::check(config.mode != display_mode::top || config.report_type != report_kind::none,
                    "top mode without a report type");
        fuzz::check(filter.ifindex == 0 || filter.router.has_value(),
                    "ifIndex without a router");
    }
}

void relay_options(const std::vector<std::string>& words)
{
    arguments args("nelkd", words);
    option_result r;
    {
        fuzz::quiet_stderr quiet;
        r = parse_options(args.argc(), args.argv.data());
    }
    switch (r.outcome) {
    case option_outcome::run:
        fuzz::check(r.settings.udpport >= 0 && r.settings.udpport <= 65535, "UDP port range");
        fuzz::check(r.settings.tcpport >= 0 && r.settings.tcpport <= 65535, "TCP port range");
        fuzz::check(r.settings.bufsize >= relay_min_bufsize, "buffer size below the floor");
        fuzz::check(r.settings.per_address >= 0 && r.settings.per_address <= relay_max_clients,
                    "viewers per address out of range");
        fuzz::check(r.settings.template_ttl_s >= 1 &&
                        r.settings.template_ttl_s <= relay_max_template_ttl_s,
                    "template expiry out of range");
        for (const prefix_list* list : {&r.settings.exporters, &r.settings.viewers})
            for (const net_prefix& p : *list) {
                fuzz::check(p.length >= 0 && p.length <= 128, "prefix length out of range");
                for (int bit = p.length; bit < 128; ++bit)
                    fuzz::check((p.net.bytes[bit / 8] & (0x80 >> (bit % 8))) == 0,
                                "prefix with bits beyond its length");
            }
        break;
    case option_outcome::usage:
        break;
    case option_outcome::bad_bufsize:
    case option_outcome::bad_port:
    case option_outcome::bad_address:
    case option_outcome::bad_prefixes:
    case option_outcome::bad_limit:
    case option_outcome::bad_metrics:
    case option_outcome::bad_user:
    case option_outcome::bad_expiry:
        fuzz::check(r.bad_arg != nullptr && inside(r.bad_arg, args),
                    "refusal without the argument it names");
        break;
    default:
        fuzz::broken("unknown outcome");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::silence_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> words;
    const char* p = reinterpret_cast<const char*>(data);
    const char* end = p + size;
    while (words.size() < words_max) {
        const char* nul = static_cast<const char*>(std::memchr(p, '\0', end - p));
        words.emplace_back(p, nul ? nul : end);
        if (!nul)
            break;
        p = nul + 1;
    }
    viewer_options(words);
    relay_options(words);
    return 0;
}
