// flowgen: sends synthetic NetFlow exports over UDP, paced or flat out, to
// feed nelkd or nelk -u in the demo and the tests, or to check that a
// deployed relay passes exports through: v5, v9 and IPFIX, as one exporter
// or several side by side, from IPv4 or IPv6 source addresses.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/export_checks.h"
#include "common/net_address.h"
#include "common/unique_fd.h"
#include "tools/export_synth.h"
#include "tools/nf5_synth.h"

namespace {

constexpr std::uint64_t max_rate = 1000000;
constexpr std::uint64_t max_count = 1000000000000ULL;
constexpr double max_seconds = 365.0 * 86400;
constexpr std::int64_t ns_per_s = 1000000000;
constexpr std::size_t max_exporters = 16;

volatile std::sig_atomic_t stop_requested = 0;

void on_stop_signal(int) { stop_requested = 1; }

void usage(std::FILE* out)
{
    std::fprintf(out,
        "usage: flowgen [-a addr] [-p port] [-b addr] [-e version[@addr]]... [-r rate]\n"
        "               [-c count] [-t seconds] [-n records] [-s seed] [-h]\n"
        "Sends synthetic NetFlow v5, v9 and IPFIX exports over UDP, e.g. to nelkd's\n"
        "UDP port or to nelk -u.\n"
        "  -a addr     destination address, IPv4 or IPv6; once for each family: each\n"
        "              exporter sends to the one of its own family (default 127.0.0.1,\n"
        "              and ::1 for IPv6 exporters)\n"
        "  -p port     destination UDP port, 1-65535 (default 4444)\n"
        "  -b addr     local address to send from: the router address a relay\n"
        "              reports (default: chosen by the system)\n"
        "  -e version[@addr]\n"
        "              an exporter of NetFlow version 5, 9 or 10 (IPFIX), sending from\n"
        "              addr (default: -b's); up to %zu, each with its own socket,\n"
        "              taking turns (default: one v5 exporter). v9 and IPFIX carry\n"
        "              IPv6 flows and 32-bit AS numbers besides IPv4 ones\n"
        "  -r rate     datagrams per second of all exporters together, 1-%llu, or 0\n"
        "              for as fast as possible (default 100)\n"
        "  -c count    stop after count datagrams, 1-%llu\n"
        "  -t seconds  stop after this many seconds, 0.001-%.0f, fractions allowed\n"
        "  -n records  flow records per datagram, 1-30 (default: random 1-30 each);\n"
        "              a v9 or IPFIX datagram carries at most %u\n"
        "  -s seed     0-18446744073709551615 (default 1); the same seed and options\n"
        "              send the same records (the n-th exporter uses seed + n - 1)\n"
        "  -h          print this help and exit\n"
        "With -c and -t the first limit reached ends the run; with neither it runs\n"
        "until SIGINT or SIGTERM. At the end one line goes to standard error:\n"
        "  flowgen: sent D datagrams, R records, B bytes in S s\n"
        "Exit status 0, or 1 for a bad argument or a failed socket or send.\n",
        max_exporters, static_cast<unsigned long long>(max_rate),
        static_cast<unsigned long long>(max_count), max_seconds, export_synth_max_records);
}

[[noreturn]] void bad_argument(const char* what, const char* arg, const char* range)
{
    std::fprintf(stderr, "flowgen: bad %s '%s' (%s)\n", what, arg, range);
    std::fprintf(stderr, "Try 'flowgen -h' for help.\n");
    std::exit(1);
}

// Whole decimal digits only: strtoull would take a sign, blanks or "0x".
bool parse_u64(const char* s, std::uint64_t lo, std::uint64_t hi, std::uint64_t& out)
{
    if (*s < '0' || *s > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(s, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

bool parse_seconds(const char* s, double& out)
{
    if ((*s < '0' || *s > '9') && *s != '.')
        return false;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(s, &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < 0.001 || v > max_seconds)
        return false;
    out = v;
    return true;
}

net_address parse_host(const char* what, const char* s)
{
    net_address a;
    if (!parse_address(s, &a))
        bad_argument(what, s, "an IPv4 or IPv6 address expected");
    return a;
}

std::int64_t now_ns(clockid_t clock)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return std::int64_t{ts.tv_sec} * ns_per_s + ts.tv_nsec;
}

void sleep_until(std::int64_t t)
{
    timespec ts{static_cast<time_t>(t / ns_per_s), static_cast<long>(t % ns_per_s)};
    // An interrupted sleep just returns: the loop rechecks the stop flag.
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
}

struct totals {
    unsigned long long datagrams = 0, records = 0, bytes = 0, dropped = 0;
};

void print_summary(const totals& t, std::int64_t elapsed_ns)
{
    std::fprintf(stderr, "flowgen: sent %llu datagrams, %llu records, %llu bytes in %.3f s",
                 t.datagrams, t.records, t.bytes, static_cast<double>(elapsed_ns) / 1e9);
    if (t.dropped)
        std::fprintf(stderr, ", %llu not sent", t.dropped);
    std::fputc('\n', stderr);
}

// One exporter as given on the command line.
struct exporter_spec {
    std::uint16_t version = nf5_version;
    bool has_source = false;
    net_address source;
};

exporter_spec parse_exporter(const char* arg)
{
    const char* range = "5, 9 or 10, then @ and a source address if any";
    std::string text = arg;
    std::string address;
    if (const std::size_t at = text.find('@'); at != std::string::npos) {
        address = text.substr(at + 1);
        text.resize(at);
    }
    exporter_spec e;
    if (text == "5" || text == "9" || text == "10")
        e.version = static_cast<std::uint16_t>(std::stoi(text));
    else
        bad_argument("exporter", arg, range);
    if (!address.empty() || std::strchr(arg, '@')) {
        if (!parse_address(address, &e.source))
            bad_argument("exporter", arg, range);
        e.has_source = true;
    }
    return e;
}

// A running exporter: its socket, where it sends, and its synthesiser.
struct exporter_run {
    std::uint16_t version = nf5_version;
    unique_fd sock;
    sockaddr_storage to{};
    socklen_t to_len = 0;
    nf5_synth v5;
    export_synth templated;
};

// Writes the exporter's next datagram into buf; returns its length, and
// its flow records in n.
std::size_t next_datagram(exporter_run& x, std::uint8_t* buf, std::size_t size, unsigned fixed,
                          unsigned& n)
{
    timespec wall;
    clock_gettime(CLOCK_REALTIME, &wall);
    const auto secs = static_cast<std::uint32_t>(wall.tv_sec);
    const auto nsecs = static_cast<std::uint32_t>(wall.tv_nsec);
    if (x.version == nf5_version) {
        n = fixed ? fixed : 1 + nf5_synth_below(x.v5, nf5_synth_max_records);
        return nf5_synth_datagram(x.v5, {buf, size}, n, secs, nsecs);
    }
    const unsigned most = export_synth_max_records;
    n = fixed ? std::min(fixed, most) : 1 + nf5_synth_below(x.templated.flows, most);
    const std::vector<std::uint8_t> m = export_synth_message(x.templated, n, secs, nsecs);
    if (m.size() > size)
        return 0;
    std::memcpy(buf, m.data(), m.size());
    return m.size();
}

}  // namespace

int main(int argc, char** argv)
{
    net_address dst4 = net_address::from_v4_net(htonl(INADDR_LOOPBACK));
    net_address dst6;
    dst6.bytes[15] = 1;
    bool default_v6 = false;  // the first -a was IPv6
    bool dst_given = false;
    std::uint16_t port = 4444;
    bool bind_src = false;
    net_address src;
    std::vector<exporter_spec> specs;
    std::uint64_t rate = 100;
    std::uint64_t count = 0;  // 0: no count limit
    double seconds = 0;       // 0: no time limit
    unsigned fixed_records = 0;  // 0: random per datagram
    std::uint64_t seed = 1;

    int c;
    while ((c = getopt(argc, argv, "a:p:b:e:r:c:t:n:s:h")) != -1) {
        std::uint64_t v = 0;
        switch (c) {
        case 'a': {
            const net_address a = parse_host("address", optarg);
            (a.is_v4() ? dst4 : dst6) = a;
            if (!dst_given)
                default_v6 = !a.is_v4();
            dst_given = true;
            break;
        }
        case 'b':
            src = parse_host("source address", optarg);
            bind_src = true;
            break;
        case 'e':
            if (specs.size() == max_exporters)
                bad_argument("exporter", optarg, "at most 16 exporters");
            specs.push_back(parse_exporter(optarg));
            break;
        case 'p':
            if (!parse_u64(optarg, 1, 65535, v))
                bad_argument("port", optarg, "1 to 65535");
            port = static_cast<std::uint16_t>(v);
            break;
        case 'r':
            if (!parse_u64(optarg, 0, max_rate, rate))
                bad_argument("rate", optarg, "0 to 1000000 datagrams per second, 0 for flat out");
            break;
        case 'c':
            if (!parse_u64(optarg, 1, max_count, count))
                bad_argument("count", optarg, "1 to 1000000000000 datagrams");
            break;
        case 't':
            if (!parse_seconds(optarg, seconds))
                bad_argument("time", optarg, "0.001 to 31536000 seconds");
            break;
        case 'n':
            if (!parse_u64(optarg, 1, nf5_synth_max_records, v))
                bad_argument("record count", optarg, "1 to 30 records per datagram");
            fixed_records = static_cast<unsigned>(v);
            break;
        case 's':
            if (!parse_u64(optarg, 0, UINT64_MAX, seed))
                bad_argument("seed", optarg, "0 to 18446744073709551615");
            break;
        case 'h':
            usage(stdout);
            return 0;
        default:  // getopt has named the option
            std::fprintf(stderr, "Try 'flowgen -h' for help.\n");
            return 1;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "flowgen: unexpected argument '%s'\nTry 'flowgen -h' for help.\n",
                     argv[optind]);
        return 1;
    }
    if (specs.empty())
        specs.push_back({});

    std::vector<exporter_run> exporters(specs.size());
    for (std::size_t i = 0; i < specs.size(); ++i) {
        const exporter_spec& spec = specs[i];
        exporter_run& x = exporters[i];
        const bool has_source = spec.has_source || bind_src;
        const net_address& from = spec.has_source ? spec.source : src;
        const bool v6 = has_source ? !from.is_v4() : default_v6;
        x.version = spec.version;
        x.to_len = to_sockaddr(v6 ? dst6 : dst4, port, &x.to);
        x.sock = unique_fd(socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0));
        if (!x.sock) {
            std::perror("flowgen: socket");
            return 1;
        }
        if (has_source) {
            sockaddr_storage ss{};
            const socklen_t len = to_sockaddr(from, 0, &ss);
            if (bind(x.sock.get(), reinterpret_cast<sockaddr*>(&ss), len) != 0) {
                const int e = errno;
                std::fprintf(stderr, "flowgen: bind %s: %s\n", address_text(from).c_str(),
                             std::strerror(e));
                return 1;
            }
        }
        const std::uint64_t own_seed = seed + i;
        if (x.version == nf5_version)
            x.v5 = nf5_synth_seed(own_seed);
        else
            x.templated = export_synth_seed(own_seed, x.version, static_cast<std::uint32_t>(i + 1));
    }

    struct sigaction sa{};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a signal must cut a sleep short
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    std::uint8_t buf[2048];
    static_assert(sizeof buf >= nf5_synth_max_datagram);
    totals sent;
    int status = 0;

    const std::int64_t start = now_ns(CLOCK_MONOTONIC);
    const std::int64_t end =
        seconds > 0 ? start + static_cast<std::int64_t>(seconds * 1e9) : INT64_MAX;
    // Pacing against a schedule, not per-datagram sleeps: datagram k of the
    // current second is due at epoch + k / rate, and whatever is due is sent
    // together after each wake-up. The epoch moves on every second so the
    // arithmetic stays small, and jumps to now after a stall of over a
    // second, so a stopped generator does not burst afterwards.
    std::int64_t epoch = start;
    std::uint64_t in_epoch = 0;
    std::uint64_t total = 0;

    while (!stop_requested && (count == 0 || total < count)) {
        std::int64_t now = now_ns(CLOCK_MONOTONIC);
        if (now >= end)
            break;
        if (rate > 0) {
            if (in_epoch == rate) {
                epoch += ns_per_s;
                in_epoch = 0;
            }
            std::int64_t due = epoch + static_cast<std::int64_t>(in_epoch * ns_per_s / rate);
            if (now - due > ns_per_s) {
                epoch = now;
                in_epoch = 0;
            } else if (due > now) {
                sleep_until(due < end ? due : end);
                continue;
            }
            ++in_epoch;
        }

        // The exporters take turns.
        exporter_run& x = exporters[total % exporters.size()];
        unsigned n = 0;
        const std::size_t len = next_datagram(x, buf, sizeof buf, fixed_records, n);
        ++total;
        ssize_t rc;
        do {
            rc = sendto(x.sock.get(), buf, len, 0, reinterpret_cast<sockaddr*>(&x.to), x.to_len);
        } while (rc < 0 && errno == EINTR && !stop_requested);
        if (rc < 0) {
            if (errno == EINTR)
                break;
            if (errno == ENOBUFS || errno == EAGAIN || errno == ECONNREFUSED) {
                // Lost like a datagram on a congested link; the sequence
                // numbers show the gap to the receiver.
                ++sent.dropped;
                continue;
            }
            std::perror("flowgen: send");
            status = 1;
            break;
        }
        ++sent.datagrams;
        sent.records += n;
        sent.bytes += len;
    }

    print_summary(sent, now_ns(CLOCK_MONOTONIC) - start);
    return status;
}
