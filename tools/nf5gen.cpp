// nf5gen: sends synthetic NetFlow v5 datagrams over UDP, paced or flat out,
// to feed nelkd in the demo, the tests and the benchmarks, or to check that a
// deployed relay passes exports through.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/unique_fd.h"
#include "tools/nf5_synth.h"

namespace {

constexpr std::uint64_t max_rate = 1000000;
constexpr std::uint64_t max_count = 1000000000000ULL;
constexpr double max_seconds = 365.0 * 86400;
constexpr std::int64_t ns_per_s = 1000000000;

volatile std::sig_atomic_t stop_requested = 0;

void on_stop_signal(int) { stop_requested = 1; }

void usage(std::FILE* out)
{
    std::fprintf(out,
        "usage: nf5gen [-a addr] [-p port] [-b addr] [-r rate] [-c count] [-t seconds]\n"
        "              [-n records] [-s seed] [-h]\n"
        "Sends synthetic NetFlow v5 datagrams over UDP, e.g. to nelkd's UDP port.\n"
        "  -a addr     destination IPv4 address (default 127.0.0.1)\n"
        "  -p port     destination UDP port, 1-65535 (default 4444)\n"
        "  -b addr     local IPv4 address to send from: the router address a relay\n"
        "              reports (default: chosen by the system)\n"
        "  -r rate     datagrams per second, 1-%llu, or 0 for as fast as possible\n"
        "              (default 100)\n"
        "  -c count    stop after count datagrams, 1-%llu\n"
        "  -t seconds  stop after this many seconds, 0.001-%.0f, fractions allowed\n"
        "  -n records  flow records per datagram, 1-30 (default: random 1-30 each)\n"
        "  -s seed     0-18446744073709551615 (default 1); the same seed and options\n"
        "              send the same records\n"
        "  -h          print this help and exit\n"
        "With -c and -t the first limit reached ends the run; with neither it runs\n"
        "until SIGINT or SIGTERM. At the end one line goes to standard error:\n"
        "  nf5gen: sent D datagrams, R records, B bytes in S s\n"
        "Exit status 0, or 1 for a bad argument or a failed socket or send.\n",
        static_cast<unsigned long long>(max_rate), static_cast<unsigned long long>(max_count),
        max_seconds);
}

[[noreturn]] void bad_argument(const char* what, const char* arg, const char* range)
{
    std::fprintf(stderr, "nf5gen: bad %s '%s' (%s)\n", what, arg, range);
    std::fprintf(stderr, "Try 'nf5gen -h' for help.\n");
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

void parse_ipv4(const char* what, const char* s, in_addr& out)
{
    if (inet_pton(AF_INET, s, &out) != 1)
        bad_argument(what, s, "dotted IPv4 address expected");
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
    std::fprintf(stderr, "nf5gen: sent %llu datagrams, %llu records, %llu bytes in %.3f s",
                 t.datagrams, t.records, t.bytes, static_cast<double>(elapsed_ns) / 1e9);
    if (t.dropped)
        std::fprintf(stderr, ", %llu not sent", t.dropped);
    std::fputc('\n', stderr);
}

}  // namespace

int main(int argc, char** argv)
{
    sockaddr_in dst{};
    dst.sin_family = AF_INET;
    dst.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    dst.sin_port = htons(4444);
    sockaddr_in src{};
    src.sin_family = AF_INET;
    bool bind_src = false;
    std::uint64_t rate = 100;
    std::uint64_t count = 0;  // 0: no count limit
    double seconds = 0;       // 0: no time limit
    unsigned fixed_records = 0;  // 0: random per datagram
    std::uint64_t seed = 1;

    int c;
    while ((c = getopt(argc, argv, "a:p:b:r:c:t:n:s:h")) != -1) {
        std::uint64_t v = 0;
        switch (c) {
        case 'a':
            parse_ipv4("address", optarg, dst.sin_addr);
            break;
        case 'b':
            parse_ipv4("source address", optarg, src.sin_addr);
            bind_src = true;
            break;
        case 'p':
            if (!parse_u64(optarg, 1, 65535, v))
                bad_argument("port", optarg, "1 to 65535");
            dst.sin_port = htons(static_cast<std::uint16_t>(v));
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
            std::fprintf(stderr, "Try 'nf5gen -h' for help.\n");
            return 1;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "nf5gen: unexpected argument '%s'\nTry 'nf5gen -h' for help.\n",
                     argv[optind]);
        return 1;
    }

    unique_fd sock(socket(AF_INET, SOCK_DGRAM, 0));
    if (!sock) {
        std::perror("nf5gen: socket");
        return 1;
    }
    if (bind_src && bind(sock.get(), reinterpret_cast<sockaddr*>(&src), sizeof src) != 0) {
        std::perror("nf5gen: bind");
        return 1;
    }

    struct sigaction sa{};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a signal must cut a sleep short
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    nf5_synth synth = nf5_synth_seed(seed);
    std::uint8_t buf[nf5_synth_max_datagram];
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

        unsigned n = fixed_records ? fixed_records : 1 + nf5_synth_below(synth, nf5_synth_max_records);
        timespec wall;
        clock_gettime(CLOCK_REALTIME, &wall);
        std::size_t len = nf5_synth_datagram(synth, buf, n, static_cast<std::uint32_t>(wall.tv_sec),
                                             static_cast<std::uint32_t>(wall.tv_nsec));
        ++total;
        ssize_t rc;
        do {
            rc = sendto(sock.get(), buf, len, 0, reinterpret_cast<sockaddr*>(&dst), sizeof dst);
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
            std::perror("nf5gen: send");
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
