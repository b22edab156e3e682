// Relay throughput: NetFlow v5 datagrams of 30 records (frames of 1468
// bytes) sent as fast as they are relayed to nelkd on loopback, read back by 1, 16 and 64
// viewers, side by side with pmacct's nfacctd replicating the same traffic
// with its tee plugin to 1 and 16 UDP receivers. Then NetFlow v9 and IPFIX
// datagrams of the same size (30 records of 48 bytes) through nelkd's
// framed stream and through nfacctd's tee (v9), and the framed stream while
// a viewer connects every 10 ms and is handed 400 templates each time
// (replay: what that costs the other viewers).
//
// Reported per case:
//   dgram/s   datagrams each viewer received per second (mean over viewers)
//   in_drop   datagrams dropped at the relay's own UDP socket (never taken in)
//   lost      frames taken in by the relay but missing at a viewer, summed
//             over viewers (a viewer that keeps up loses none)
//   bad       frames out of order or out of step (must be 0)
//   cpu_ns    the relay's CPU time per datagram taken in (nelkd only)
//
// RELAY_BENCH_BASE=path/to/another/nelkd adds the same cases for that
// binary (BM_nelkd_base), run side by side, to compare two builds.
// RELAY_BENCH_RATE=N paces the sender at N datagrams a second instead of
// flat out, so that both builds see batches of the same size and their
// cpu_ns compare like with like.
//
// nfacctd comes from Debian's pmacct package: bench/relay_bench_setup.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/framed_stream.h"
#include "common/nf5.h"
#include "common/unique_fd.h"
#include "tools/loopback.h"

namespace {

using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr unsigned records = 30;
constexpr std::size_t datagram_size = nf5_header_size + records * nf5_record_size;  // 1464
constexpr std::uint32_t probe_seq = 0xffffffffu;
constexpr milliseconds send_time(3000);

enum flavor { v5, v9, ipfix };
const char* const flavor_name[] = {"v5", "v9", "ipfix"};

// Where the datagram's number is: v5 flow_sequence, the v9 and IPFIX
// header's sequence number.
std::size_t seq_offset(flavor f)
{
    return f == v5 ? 16 : f == v9 ? 12 : 8;
}

// A datagram of 30 records, 1464 bytes of every flavor, numbered as seq.
// v9 and IPFIX: one data set of template 256 (twelve 4-byte fields),
// IPFIX's with four bytes of padding.
std::vector<std::uint8_t> datagram(flavor f, std::uint32_t seq)
{
    std::vector<std::uint8_t> d(datagram_size);
    if (f == v5) {
        nf5_header h{};
        h.version = nf5_version;
        h.count = records;
        encode_nf5_header(d.data(), h);
        for (unsigned i = 0; i < records; ++i) {
            nf5_record r{};
            r.srcaddr = htonl(0xc0000200u + i);
            r.dstaddr = htonl(0xc6336400u + seq % 256);
            r.dPkts = 1 + i;
            r.dOctets = 1500 * (1 + i);
            r.srcport = 443;
            r.dstport = static_cast<std::uint16_t>(32768 + i);
            r.prot = 6;
            encode_nf5_record(d.data() + nf5_header_size + i * nf5_record_size, r);
        }
    } else {
        std::uint8_t* p = d.data();
        const std::size_t head = f == v9 ? 20 : 16;
        store_be16(p, f == v9 ? 9 : 10);
        store_be16(p + 2, f == v9 ? records : datagram_size);
        store_be32(p + (f == v9 ? 8 : 4), 1700000000);
        store_be32(p + (f == v9 ? 16 : 12), 1);  // source id, observation domain
        store_be16(p + head, 256);
        store_be16(p + head + 2, static_cast<std::uint16_t>(datagram_size - head));
        for (std::size_t i = head + 4; i + 4 <= head + 4 + records * 48; i += 4)
            store_be32(p + i, static_cast<std::uint32_t>(i * 2654435761u));
    }
    store_be32(d.data() + seq_offset(f), seq);
    return d;
}

// Templates 256 and up, `count` of them, twelve 4-byte fields each: the
// first is what the data datagrams use.
std::vector<std::uint8_t> templates(flavor f, unsigned count)
{
    const std::size_t head = f == v9 ? 20 : 16, record = 4 + 12 * 4;
    std::vector<std::uint8_t> d(head + 4 + count * record);
    std::uint8_t* p = d.data();
    store_be16(p, f == v9 ? 9 : 10);
    store_be16(p + 2, static_cast<std::uint16_t>(f == v9 ? count : d.size()));
    store_be32(p + (f == v9 ? 16 : 12), 1);
    store_be16(p + head, f == v9 ? 0 : 2);
    store_be16(p + head + 2, static_cast<std::uint16_t>(d.size() - head));
    p += head + 4;
    for (unsigned t = 0; t < count; ++t) {
        store_be16(p, static_cast<std::uint16_t>(256 + t));
        store_be16(p + 2, 12);
        for (unsigned i = 0; i < 12; ++i) {
            store_be16(p + 4 + 4 * i, static_cast<std::uint16_t>(1 + (i + t) % 100));
            store_be16(p + 6 + 4 * i, 4);
        }
        p += record;
    }
    return d;
}

// Drops counted by the kernel for the UDP socket bound to port.
long udp_drops(int port)
{
    std::ifstream in("/proc/net/udp");
    std::string line;
    char want[16];
    std::snprintf(want, sizeof want, ":%04X", port);
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string sl, local;
        f >> sl >> local;
        if (local.size() < 5 || local.compare(local.size() - 5, 5, want) != 0)
            continue;
        std::string last, field;
        while (f >> field)
            last = field;
        return std::stol(last);
    }
    return 0;
}

// A program the benchmark started, in a process group of its own so that
// its helpers (nfacctd forks its plugins) go with it. The benchmark is their
// subreaper, so every one of them is reaped here.
struct child {
    pid_t pid = -1;
    ~child()
    {
        if (pid <= 0)
            return;
        kill(-pid, SIGTERM);
        for (int i = 0; i < 200 && waitpid(pid, nullptr, WNOHANG) != pid; ++i)
            std::this_thread::sleep_for(milliseconds(10));
        kill(-pid, SIGKILL);
        waitpid(pid, nullptr, WNOHANG);
        // The group's other members, orphaned to us.
        for (int i = 0; i < 100; ++i) {
            pid_t r = waitpid(-1, nullptr, WNOHANG);
            if (r < 0)
                break;
            if (r == 0)
                std::this_thread::sleep_for(milliseconds(10));
        }
    }
};

void spawn(child& c, std::vector<std::string> argv)
{
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::vector<char*> args;
    for (std::string& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    c.pid = fork();
    if (c.pid == 0) {
        setpgid(0, 0);
        int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        execv(args[0], args.data());
        _exit(127);
    }
    if (c.pid > 0)
        setpgid(c.pid, c.pid);
}

// One viewer's side: a TCP connection to nelkd (the relay stream, or the
// framed stream after its greeting) or a UDP receiver of the tee.
struct viewer {
    enum { udp, relay_stream, framed_stream } mode = udp;
    flavor f = v5;
    unique_fd fd;
    std::vector<std::uint8_t> carry;
    std::size_t greeting_left = 0;
    // Once the measured traffic flows, every viewer but the first counts
    // frames by their bytes, which the kernel drops without copying them:
    // one reader thread for all could not copy 16 streams at the relay's
    // pace. Every frame then has one size, and in_frame bytes of the one
    // under way are in.
    bool counting = false;
    std::size_t in_frame = 0;
    std::atomic<long> received{0};
    long bad = 0;
    long replayed = 0;
    bool probed = false;
    long last = -1;

    std::size_t head_bytes() const { return mode == framed_stream ? 4 : 1; }
    std::size_t length_at(const std::uint8_t* p) const
    {
        return mode == framed_stream ? load_be32(p) : relay_addr_size + datagram_size;
    }

    void frame(const std::uint8_t* p, std::size_t n)
    {
        const std::uint8_t* d = p;
        if (mode == relay_stream) {
            d += relay_addr_size;
            n -= relay_addr_size;
        } else if (mode == framed_stream) {
            if (n < framed_head_size || p[4] != framed_live) {
                replayed += n >= framed_head_size && p[4] == framed_replayed;
                bad += n < framed_head_size || p[4] != framed_replayed;
                return;
            }
            d += framed_head_size;
            n -= framed_head_size;
        }
        if (n != datagram_size)
            return;  // templates
        if (load_be16(d) != (f == v5 ? 5 : f == v9 ? 9 : 10)) {
            ++bad;
            return;
        }
        std::uint32_t seq = load_be32(d + seq_offset(f));
        if (seq == probe_seq) {
            probed = true;
            return;
        }
        if (static_cast<long>(seq) <= last)
            ++bad;
        last = seq;
        received.store(received.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }

    std::size_t data_frame_size() const
    {
        return datagram_size + (mode == framed_stream  ? framed_head_size
                                : mode == relay_stream ? relay_addr_size
                                                       : 0);
    }

    void start_counting()
    {
        counting = true;
        in_frame = carry.size();
    }

    // Reads what is waiting; false when nothing was.
    bool read(std::span<std::uint8_t> buf)
    {
        if (!counting) {
            ssize_t got = recv(fd.get(), buf.data(), buf.size(), 0);
            if (got > 0)
                take(buf.data(), static_cast<std::size_t>(got));
            return got > 0;
        }
        // TCP drops up to that many bytes; UDP a datagram, telling its size.
        ssize_t got = recv(fd.get(), nullptr, mode == udp ? 0 : 1 << 20, MSG_TRUNC);
        if (got <= 0)
            return false;
        if (mode == udp) {
            received.fetch_add(got == static_cast<ssize_t>(datagram_size),
                               std::memory_order_relaxed);
            return true;
        }
        in_frame += static_cast<std::size_t>(got);
        received.fetch_add(static_cast<long>(in_frame / data_frame_size()),
                           std::memory_order_relaxed);
        in_frame %= data_frame_size();
        return true;
    }

    // Frames back to back; only one cut by a read is copied.
    void take(const std::uint8_t* p, std::size_t n)
    {
        if (mode == udp) {
            frame(p, n);
            return;
        }
        while (n > 0) {
            if (greeting_left > 0) {
                const std::size_t k = std::min(greeting_left, n);
                greeting_left -= k;
                p += k;
                n -= k;
                continue;
            }
            if (!carry.empty()) {
                const std::size_t want = carry.size() < head_bytes() ? head_bytes()
                                                                     : length_at(carry.data());
                const std::size_t k = std::min(want - carry.size(), n);
                carry.insert(carry.end(), p, p + k);
                p += k;
                n -= k;
                if (carry.size() >= head_bytes() && carry.size() == length_at(carry.data())) {
                    frame(carry.data(), carry.size());
                    carry.clear();
                }
                continue;
            }
            if (n < head_bytes() || n < length_at(p)) {
                carry.assign(p, p + n);
                return;
            }
            const std::size_t len = length_at(p);
            frame(p, len);
            p += len;
            n -= len;
        }
    }
};

// Time the process has spent on a CPU, in nanoseconds.
long long cpu_ns(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    long long ns = -1;
    in >> ns;
    return ns;
}

struct run_result {
    double rate = 0;  // datagrams per second per viewer
    double cpu_ns = 0;  // relay CPU per datagram taken in
    long sent = 0;
    long in_drop = 0;
    long lost = 0;
    long bad = 0;
    bool ok = false;
};

// Sends to port as fast as the slowest viewer takes the frames, with at
// most `window` datagrams under way, while one thread reads every viewer.
// The window stays below what the relay's receive buffer holds, so what is
// measured is the relay's own pace, not how fast a kernel can drop.
// Templates (v9, IPFIX) go first, as a router sends them.
run_result measure(std::vector<viewer>& viewers, int in_port, flavor f, pid_t relay_pid = -1,
                   const std::vector<std::uint8_t>& first = {})
{
    run_result res;
    unique_fd ep(epoll_create1(EPOLL_CLOEXEC));
    for (std::size_t i = 0; i < viewers.size(); ++i) {
        fcntl(viewers[i].fd.get(), F_SETFL, O_NONBLOCK);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = i;
        epoll_ctl(ep.get(), EPOLL_CTL_ADD, viewers[i].fd.get(), &ev);
    }
    std::atomic<bool> reading{true}, counting{false};
    std::atomic<unsigned> progress{0};
    std::thread reader([&] {
        std::vector<std::uint8_t> buf(256 * 1024);
        std::vector<epoll_event> evs(viewers.size());
        while (reading.load(std::memory_order_relaxed)) {
            int n = epoll_wait(ep.get(), evs.data(), static_cast<int>(evs.size()), 50);
            if (counting.load(std::memory_order_relaxed))
                for (std::size_t i = 1; i < viewers.size(); ++i)
                    if (!viewers[i].counting)
                        viewers[i].start_counting();
            for (int i = 0; i < n; ++i) {
                viewer& v = viewers[evs[static_cast<std::size_t>(i)].data.u64];
                for (int rounds = 0; rounds < 16 && v.read(buf); ++rounds) {
                }
            }
            progress.fetch_add(1, std::memory_order_release);
            progress.notify_all();
        }
    });

    unique_fd out(socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in to = loopback(in_port);
    connect(out.get(), reinterpret_cast<sockaddr*>(&to), sizeof to);

    if (!first.empty())
        send(out.get(), first.data(), first.size(), 0);
    // Probes until every viewer is in the stream.
    std::vector<std::uint8_t> probe = datagram(f, probe_seq);
    auto all_in = [&] {
        for (const viewer& v : viewers)
            if (!v.probed)
                return false;
        return true;
    };
    for (int i = 0; i < 500 && !all_in(); ++i) {
        send(out.get(), probe.data(), probe.size(), 0);
        std::this_thread::sleep_for(milliseconds(10));
    }
    if (!all_in()) {
        reading = false;
        reader.join();
        return res;
    }
    std::this_thread::sleep_for(milliseconds(100));
    counting = true;

    constexpr std::size_t burst = 16;
    constexpr long window = 128;
    std::vector<std::vector<std::uint8_t>> batch;
    std::vector<iovec> iov(burst);
    std::vector<mmsghdr> msgs(burst);
    for (std::size_t i = 0; i < burst; ++i) {
        batch.push_back(datagram(f, 0));
        iov[i] = {batch[i].data(), batch[i].size()};
        msgs[i].msg_hdr = msghdr{};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    long drops_before = udp_drops(in_port);
    long long cpu_before = relay_pid > 0 ? cpu_ns(relay_pid) : -1;
    std::uint32_t seq = 0;
    auto start = clock_type::now();
    auto end = start + send_time;
    auto slowest = [&] {
        long least = viewers[0].received.load(std::memory_order_relaxed);
        for (const viewer& v : viewers)
            least = std::min(least, v.received.load(std::memory_order_relaxed));
        return least;
    };
    const char* rate_env = std::getenv("RELAY_BENCH_RATE");
    const double rate = rate_env ? std::atof(rate_env) : 0;
    while (clock_type::now() < end) {
        if (rate > 0)
            std::this_thread::sleep_until(
                start + std::chrono::duration_cast<clock_type::duration>(
                            std::chrono::duration<double>(seq / rate)));
        // A frame lost on the way would hold the window shut: give up on
        // it after a while.
        auto stuck = clock_type::now() + milliseconds(100);
        while (static_cast<long>(seq) + static_cast<long>(burst) - slowest() > window &&
               clock_type::now() < stuck) {
            unsigned seen = progress.load(std::memory_order_acquire);
            if (static_cast<long>(seq) + static_cast<long>(burst) - slowest() > window)
                progress.wait(seen);
        }
        for (std::size_t i = 0; i < burst; ++i)
            store_be32(batch[i].data() + seq_offset(f), seq + static_cast<std::uint32_t>(i));
        int n = sendmmsg(out.get(), msgs.data(), burst, 0);
        if (n > 0)
            seq += static_cast<std::uint32_t>(n);
    }
    double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    std::this_thread::sleep_for(milliseconds(500));  // the tail drains
    long long cpu_after = relay_pid > 0 ? cpu_ns(relay_pid) : -1;
    reading = false;
    reader.join();

    res.sent = seq;
    res.in_drop = udp_drops(in_port) - drops_before;
    long taken_in = res.sent - res.in_drop;
    if (cpu_before >= 0 && cpu_after >= 0 && taken_in > 0)
        res.cpu_ns = static_cast<double>(cpu_after - cpu_before) / static_cast<double>(taken_in);
    double total = 0;
    for (const viewer& v : viewers) {
        long received = v.received.load();
        total += static_cast<double>(received);
        res.lost += std::max(0L, taken_in - received);
        res.bad += v.bad;
    }
    res.rate = total / static_cast<double>(viewers.size()) / seconds;
    res.ok = true;
    return res;
}

void report(benchmark::State& state, const run_result& r)
{
    if (!r.ok) {
        state.SkipWithError("viewers never saw the stream");
        return;
    }
    state.counters["dgram/s"] = r.rate;
    state.counters["sent"] = static_cast<double>(r.sent);
    state.counters["in_drop"] = static_cast<double>(r.in_drop);
    state.counters["lost"] = static_cast<double>(r.lost);
    state.counters["bad"] = static_cast<double>(r.bad);
    if (r.cpu_ns > 0)
        state.counters["cpu_ns"] = r.cpu_ns;
}

// A viewer connects to the framed stream every 10 ms, takes what it is
// handed for up to 5 ms and leaves, for as long as it lives; `replays`
// counts the times its first frame was a replayed one.
struct churner {
    std::atomic<bool> running{true};
    long connects = 0;
    long replays = 0;
    std::thread t;

    explicit churner(int port)
        : t([this, port] {
              std::vector<std::uint8_t> buf(65536);
              while (running.load()) {
                  unique_fd fd(socket(AF_INET, SOCK_STREAM, 0));
                  sockaddr_in sin = loopback(port);
                  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0) {
                      ++connects;
                      auto end = clock_type::now() + milliseconds(5);
                      pollfd p{fd.get(), POLLIN, 0};
                      std::size_t got = 0;
                      while (clock_type::now() < end && poll(&p, 1, 1) >= 0) {
                          ssize_t n = recv(fd.get(), buf.data() + std::min(got, std::size_t{64}),
                                           buf.size() - 64, MSG_DONTWAIT);
                          got += n > 0 ? static_cast<std::size_t>(n) : 0;
                      }
                      const std::size_t kind_at = framed_greeting.size() + 4;
                      replays += got > kind_at && buf[kind_at] == framed_replayed;
                  }
                  fd.reset();
                  std::this_thread::sleep_for(milliseconds(10));
              }
          })
    {
    }
    void stop()
    {
        running = false;
        if (t.joinable())
            t.join();
    }
    ~churner() { stop(); }
};

int connect_viewer(int port)
{
    for (int i = 0; i < 200; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sin = loopback(port);
        if (connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0)
            return fd;
        close(fd);
        std::this_thread::sleep_for(milliseconds(10));
    }
    return -1;
}

// nelkd's relay stream (v5), or its framed stream (f), with a churning
// viewer handed 400 templates each time when asked.
void run_nelkd(benchmark::State& state, const std::string& nelkd, flavor f, bool framed,
               bool churn)
{
    const int n = static_cast<int>(state.range(0));
    for (auto _ : state) {
        int udp = free_port(SOCK_DGRAM), tcp = free_port(SOCK_STREAM),
            framed_port = free_port(SOCK_STREAM);
        child relay;
        std::vector<std::string> argv = {nelkd, "-d", "-u", std::to_string(udp), "-t",
                                         std::to_string(tcp)};
        if (framed) {
            argv.push_back("-F");
            argv.push_back(std::to_string(framed_port));
        }
        spawn(relay, argv);
        std::vector<viewer> viewers(static_cast<std::size_t>(n));
        for (viewer& v : viewers) {
            v.fd.reset(connect_viewer(framed ? framed_port : tcp));
            v.f = f;
            v.mode = framed ? viewer::framed_stream : viewer::relay_stream;
            v.greeting_left = framed ? framed_greeting.size() : 0;
        }
        const std::vector<std::uint8_t> first =
            f == v5 ? std::vector<std::uint8_t>{} : templates(f, churn ? 400 : 1);
        std::unique_ptr<churner> c;
        if (churn) {
            // The templates are held before anyone churns.
            unique_fd out(socket(AF_INET, SOCK_DGRAM, 0));
            sockaddr_in to = loopback(udp);
            sendto(out.get(), first.data(), first.size(), 0, reinterpret_cast<sockaddr*>(&to),
                   sizeof to);
            std::this_thread::sleep_for(milliseconds(100));
            c = std::make_unique<churner>(framed_port);
        }
        report(state, measure(viewers, udp, f, relay.pid, first));
        if (c) {
            c->stop();
            state.counters["churned"] = static_cast<double>(c->connects);
            state.counters["replays"] = static_cast<double>(c->replays);
            c.reset();
        }
    }
}

void BM_nelkd(benchmark::State& state)
{
    run_nelkd(state, std::string(NELK_BIN_DIR) + "/nelkd", v5, false, false);
}

void BM_nelkd_base(benchmark::State& state)
{
    run_nelkd(state, std::getenv("RELAY_BENCH_BASE"), v5, false, false);
}

void BM_nelkd_framed(benchmark::State& state)
{
    run_nelkd(state, std::string(NELK_BIN_DIR) + "/nelkd", static_cast<flavor>(state.range(1)),
              true, false);
}

void BM_nelkd_replay(benchmark::State& state)
{
    run_nelkd(state, std::string(NELK_BIN_DIR) + "/nelkd", v9, true, true);
}

void BM_nfacctd_tee(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    const flavor f = static_cast<flavor>(state.range(1));
    const char* nfacctd = "/usr/sbin/nfacctd";
    if (access(nfacctd, X_OK) != 0) {
        state.SkipWithError("nfacctd not installed: run bench/relay_bench_setup");
        for (auto _ : state) {
        }
        return;
    }
    for (auto _ : state) {
        int udp = free_port(SOCK_DGRAM);
        std::vector<viewer> viewers(static_cast<std::size_t>(n));
        std::string receivers = "id=1 ip=";
        for (std::size_t i = 0; i < viewers.size(); ++i) {
            viewer& v = viewers[i];
            v.f = f;
            v.fd.reset(socket(AF_INET, SOCK_DGRAM, 0));
            int size = 4 << 20;
            setsockopt(v.fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
            sockaddr_in sin = loopback(0);
            bind(v.fd.get(), reinterpret_cast<sockaddr*>(&sin), sizeof sin);
            socklen_t len = sizeof sin;
            getsockname(v.fd.get(), reinterpret_cast<sockaddr*>(&sin), &len);
            receivers += i ? ",127.0.0.1:" : "127.0.0.1:";
            receivers += std::to_string(ntohs(sin.sin_port));
        }
        char dir[] = "/tmp/relay-bench-XXXXXX";
        if (!mkdtemp(dir)) {
            state.SkipWithError("no temporary directory");
            continue;
        }
        std::string lst = std::string(dir) + "/receivers.lst";
        std::string conf = std::string(dir) + "/nfacctd.conf";
        std::ofstream(lst) << receivers << "\n";
        // Buffers as pmacct's own replicator example sets them.
        std::ofstream(conf) << "daemonize: false\n"
                            << "nfacctd_ip: 127.0.0.1\n"
                            << "nfacctd_port: " << udp << "\n"
                            << "nfacctd_pipe_size: 4194304\n"
                            << "plugins: tee[a]\n"
                            << "tee_receivers[a]: " << lst << "\n"
                            << "tee_transparent[a]: false\n"
                            << "tee_pipe_size[a]: 4194304\n"
                            << "plugin_buffer_size[a]: 10240\n"
                            << "plugin_pipe_size[a]: 10240000\n";
        {
            child tee;
            spawn(tee, {nfacctd, "-f", conf});
            report(state, measure(viewers, udp, f, -1, f == v5 ? std::vector<std::uint8_t>{}
                                                                : templates(f, 1)));
        }
        unlink(lst.c_str());
        unlink(conf.c_str());
        rmdir(dir);
    }
}

}  // namespace

// Side by side, so that all see the same machine at the same time.
int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    const bool base = std::getenv("RELAY_BENCH_BASE") != nullptr;
    auto add = [](const std::string& name, void (*fn)(benchmark::State&),
                  std::vector<std::int64_t> args) {
        benchmark::RegisterBenchmark(name.c_str(), fn)
            ->Args(args)
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    };
    for (int n : {1, 16, 64}) {
        add("BM_nelkd", BM_nelkd, {n});
        if (base)
            add("BM_nelkd_base", BM_nelkd_base, {n});
        if (n < 64)
            add("BM_nfacctd_tee", BM_nfacctd_tee, {n, v5});
    }
    for (int n : {1, 16}) {
        for (flavor f : {v9, ipfix})
            add(std::string("BM_nelkd_framed_") + flavor_name[f], BM_nelkd_framed, {n, f});
        add("BM_nfacctd_tee_v9", BM_nfacctd_tee, {n, v9});
    }
    add("BM_nelkd_replay", BM_nelkd_replay, {16});
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
