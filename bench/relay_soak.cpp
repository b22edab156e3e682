// Relay soak: the real nelkd with a full client table for minutes on end.
//
// A core of keeper viewers reads everything and checks that every frame
// arrives whole, in order and unchanged; around them churn viewers fill the
// rest of the 256 slots, connecting, reading a little and resetting, or
// connecting and stalling for seconds before they close; now and then the
// table is filled and a 257th viewer must be turned away. The sender feeds
// synthetic v5 exports as fast as the keepers take them (at most a window of
// datagrams under way), so a keeper that keeps up must lose nothing.
//
// Before and after the soak, with only the keepers connected, the relay's
// open descriptors and resident memory are taken from /proc: a viewer that
// left must leave nothing behind.
//
//   relay_soak [--seconds N] [--keepers N] [--warmup N] [--reject-every N]
//              [--relay PATH]
//
// Exit status 0 when every must-be-zero figure is zero, 1 when one is not,
// 2 on a usage or start-up failure, 130 when interrupted.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/nf5.h"
#include "common/unique_fd.h"
#include "tools/loopback.h"
#include "tools/nf5_synth.h"

namespace {

using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int total_viewers = 256;  // the relay's client table
constexpr std::size_t burst = 16;
constexpr std::uint64_t window = 128;  // datagrams under way, as relay_bench
constexpr std::size_t ledger_size = 1 << 16;
constexpr std::size_t keeper_buf = 256 * 1024;

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void on_signal(int)
{
    interrupted.store(true, std::memory_order_relaxed);
}

// --- the relay process and what /proc says about it

struct relay_process {
    pid_t pid = -1;
    int status = 0;
    bool died = false;  // ended on its own

    relay_process() = default;
    relay_process(const relay_process&) = delete;
    relay_process& operator=(const relay_process&) = delete;
    ~relay_process() { stop(); }

    bool alive()
    {
        if (pid <= 0)
            return false;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            died = true;
            pid = -1;
            return false;
        }
        return true;
    }

    void stop()
    {
        if (!alive())
            return;
        kill(pid, SIGTERM);
        for (int i = 0; i < 200; ++i) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return;
            }
            std::this_thread::sleep_for(milliseconds(10));
        }
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        pid = -1;
    }
};

bool spawn_relay(relay_process& r, const std::string& path, int udp, int tcp)
{
    std::string u = std::to_string(udp), t = std::to_string(tcp);
    pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        // Its own group, so a ^C reaches only the soak, which stops it.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        signal(SIGPIPE, SIG_DFL);
        int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        // Nothing of ours or of whoever started us stays open in the relay.
        close_range(3, ~0u, 0);
        execl(path.c_str(), path.c_str(), "-d", "-u", u.c_str(), "-t", t.c_str(),
            static_cast<char*>(nullptr));
        _exit(127);
    }
    r.pid = pid;
    return true;
}

int open_fds(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/fd", static_cast<int>(pid));
    DIR* d = opendir(path);
    if (!d)
        return -1;
    int n = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    closedir(d);
    return n;
}

struct mem_use {
    long rss_kb = -1;
    long hwm_kb = -1;
};

mem_use memory(pid_t pid)
{
    mem_use m;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    FILE* f = std::fopen(path, "r");
    if (!f)
        return m;
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
        std::sscanf(line, "VmRSS: %ld", &m.rss_kb);
        std::sscanf(line, "VmHWM: %ld", &m.hwm_kb);
    }
    std::fclose(f);
    return m;
}

// Datagrams the kernel dropped at the relay's UDP socket (never taken in).
long udp_drops(int port)
{
    FILE* f = std::fopen("/proc/net/udp", "r");
    if (!f)
        return 0;
    char line[512];
    long drops = 0;
    // The first line names the columns.
    bool header = true;
    while (std::fgets(line, sizeof line, f)) {
        if (std::exchange(header, false))
            continue;
        unsigned local_port = 0;
        if (std::sscanf(line, " %*d: %*x:%x", &local_port) != 1 ||
            local_port != static_cast<unsigned>(port))
            continue;
        const char* last = std::strrchr(line, ' ');
        if (last)
            drops += std::atol(last + 1);
    }
    std::fclose(f);
    return drops;
}

// Connects a listening socket turned away because its queue was full.
long listen_overflows()
{
    FILE* f = std::fopen("/proc/net/netstat", "r");
    if (!f)
        return 0;
    char names[4096], values[4096];
    long result = 0;
    while (std::fgets(names, sizeof names, f) && std::fgets(values, sizeof values, f)) {
        if (std::strncmp(names, "TcpExt:", 7) != 0)
            continue;
        char *ns = nullptr, *vs = nullptr;
        char* n = strtok_r(names, " \n", &ns);
        char* v = strtok_r(values, " \n", &vs);
        while (n && v) {
            if (std::strcmp(n, "ListenOverflows") == 0)
                result = std::atol(v);
            n = strtok_r(nullptr, " \n", &ns);
            v = strtok_r(nullptr, " \n", &vs);
        }
    }
    std::fclose(f);
    return result;
}

// Waits (bounded) until the relay holds want descriptors; returns the last
// count.
int settle_fds(pid_t pid, int want, milliseconds limit)
{
    auto end = clock_type::now() + limit;
    int n = open_fds(pid);
    while (n != want && clock_type::now() < end && !interrupted.load()) {
        std::this_thread::sleep_for(milliseconds(20));
        n = open_fds(pid);
    }
    return n;
}

// --- what was sent, for the keepers to check against

std::uint64_t digest(const std::uint8_t* p, std::size_t len)
{
    std::uint64_t h = 0x9e3779b97f4a7c15u ^ len;
    std::size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        h = (h ^ w) * 0xff51afd7ed558ccdu;
        h ^= h >> 32;
    }
    for (; i < len; ++i)
        h = (h ^ p[i]) * 0x100000001b3u;
    return h;
}

struct sent_datagram {
    std::uint32_t flow_sequence = 0;
    std::uint32_t len = 0;
    std::uint64_t hash = 0;
};

// The last ledger_size datagrams sent; entries below `published` are final.
struct ledger {
    std::unique_ptr<sent_datagram[]> ring = std::make_unique<sent_datagram[]>(ledger_size);
    std::atomic<std::uint64_t> published{0};
    const sent_datagram& at(std::uint64_t i) const { return ring[i % ledger_size]; }
};

// --- keepers: viewers that read everything

struct keeper {
    unique_fd fd;
    std::unique_ptr<std::uint8_t[]> buf = std::make_unique<std::uint8_t[]>(keeper_buf);
    std::size_t have = 0;
    bool synced = false;
    bool gone = false;  // the relay closed on it, or the stream broke
    std::uint64_t next = 0;  // ledger index of the next frame expected
    std::atomic<std::uint64_t> pos{0};  // next, for the sender's pacing
    long frames = 0;
    long missing = 0;  // frames skipped over
    long bad = 0;  // cut, spliced, changed, foreign or out of order
};

void check_frame(keeper& k, const ledger& led, const std::uint8_t* f, std::size_t len)
{
    const std::uint8_t* d = f + relay_addr_size;
    std::size_t dlen = len - relay_addr_size;
    if (load_net32(f) != htonl(INADDR_LOOPBACK)) {
        ++k.bad;
        return;
    }
    std::uint32_t seq = load_be32(d + 16);
    std::uint64_t pub = led.published.load(std::memory_order_acquire);
    std::uint64_t lo = pub > ledger_size ? pub - ledger_size : 0;
    std::uint64_t i = k.next;
    if (!k.synced) {
        // Joined mid-stream: find the frame among the recent ones.
        i = pub;
        while (i > lo && led.at(i - 1).flow_sequence != seq)
            --i;
        if (i == lo) {
            ++k.bad;
            return;
        }
        --i;
        k.synced = true;
        k.next = i;
    } else {
        if (i < lo)
            i = lo;
        // Forward over frames this viewer never got; sequences only grow.
        while (i<pub&& static_cast<std::int32_t>(seq - led.at(i).flow_sequence)> 0)
            ++i;
        if (i == pub || led.at(i).flow_sequence != seq) {
            ++k.bad;
            return;
        }
    }
    const sent_datagram& s = led.at(i);
    if (s.len != dlen || s.hash != digest(d, dlen))
        ++k.bad;
    else
        ++k.frames;
    k.missing += static_cast<long>(i - k.next);
    k.next = i + 1;
    k.pos.store(k.next, std::memory_order_release);
}

// Frames lie back to back; the header's count gives each one's length.
void take_frames(keeper& k, const ledger& led)
{
    std::size_t off = 0;
    while (k.have - off >= relay_frame_head_size) {
        const std::uint8_t* f = k.buf.get() + off;
        std::uint16_t version = load_be16(f + relay_addr_size);
        std::uint16_t count = load_be16(f + relay_addr_size + 2);
        if (version != nf5_version || count < 1 || count > nf5_synth_max_records) {
            // Out of step: nothing after this can be framed.
            ++k.bad;
            k.gone = true;
            return;
        }
        std::size_t len = relay_addr_size + nf5_datagram_size(count);
        if (k.have - off < len)
            break;
        check_frame(k, led, f, len);
        off += len;
    }
    std::memmove(k.buf.get(), k.buf.get() + off, k.have - off);
    k.have -= off;
}

struct progress_signal {
    std::atomic<unsigned> ticks{0};
    void bump()
    {
        ticks.fetch_add(1, std::memory_order_release);
        ticks.notify_all();
    }
};

void keeper_thread(std::vector<keeper*> ks, const ledger& led, progress_signal& prog,
    const std::atomic<bool>& stop)
{
    std::vector<pollfd> pfd(ks.size());
    for (std::size_t i = 0; i < ks.size(); ++i)
        pfd[i] = {ks[i]->fd.get(), POLLIN, 0};
    while (!stop.load(std::memory_order_relaxed)) {
        int r = poll(pfd.data(), pfd.size(), 50);
        for (std::size_t i = 0; r > 0 && i < ks.size(); ++i) {
            keeper& k = *ks[i];
            if (k.gone || !(pfd[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            for (int rounds = 0; rounds < 16 && !k.gone; ++rounds) {
                ssize_t got = recv(
                    k.fd.get(), k.buf.get() + k.have, keeper_buf - k.have, MSG_DONTWAIT);
                if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                    break;
                if (got <= 0) {
                    k.gone = true;
                    break;
                }
                k.have += static_cast<std::size_t>(got);
                take_frames(k, led);
            }
            if (k.gone)
                pfd[i].fd = -1;
        }
        prog.bump();
    }
}

// --- churn: the rest of the client table

struct rng {
    std::uint64_t s;
    std::uint64_t next()
    {
        std::uint64_t z = (s += 0x9e3779b97f4a7c15u);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        return z ^ (z >> 31);
    }
    long between(long lo, long hi) { return lo + static_cast<long>(next() % (hi - lo + 1)); }
};

struct churn_counts {
    std::atomic<long> connects{0};
    std::atomic<long> connect_failures{0};
    std::atomic<long> resets{0};
    std::atomic<long> stalls{0};
    std::atomic<long> early_eofs{0};  // a churn viewer the relay closed on
    std::atomic<long> unserved{0};  // closed before the relay sent it a byte
    std::atomic<long> half_open{0};  // held for a fill but never taken in by the relay
    std::atomic<long> rejections{0};  // 257th viewers turned away
    std::atomic<long> not_rejected{0};  // 257th viewers the relay kept (must be 0)
    std::atomic<long> fill_timeouts{0};
    std::atomic<long> fill_ms_max{0};  // longest wait for the relay to hold all 256
};

struct churner {
    enum { idle, connecting, reading, stalling } state = idle;
    bool staller = false;
    unique_fd fd;
    clock_type::time_point due{};  // next start, connect deadline or end of its turn
    long to_read = 0;
    bool served = false;  // the relay has sent it something
};

int queued(int fd)
{
    int n = 0;
    return ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

void reset_close(unique_fd& fd)
{
    linger lg{1, 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    fd.reset();
}

int start_connect(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in sin = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) < 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

// A 257th viewer: the relay must accept it and close it at once.
bool turned_away(int port)
{
    unique_fd fd(start_connect(port));
    if (!fd)
        return false;
    pollfd p{fd.get(), POLLIN, 0};
    // Connected or not, the relay's answer is an end of stream within a few
    // seconds.
    for (int i = 0; i < 30; ++i) {
        if (poll(&p, 1, 100) > 0) {
            char c;
            ssize_t n = recv(fd.get(), &c, 1, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno == ECONNRESET))
                return true;
            if (n > 0)
                return false;  // it is being relayed to
        }
    }
    return false;
}

struct churn_control {
    std::atomic<bool> active{false};
    std::atomic<bool> quiet{true};  // every churn viewer closed
    std::atomic<bool> stop{false};
};

void churn_thread(int slots, int port, pid_t relay, int idle_fds, milliseconds reject_every,
    churn_control& ctl, churn_counts& c)
{
    std::vector<churner> ch(static_cast<std::size_t>(slots));
    for (std::size_t i = 0; i < ch.size(); ++i)
        ch[i].staller = i % 3 == 2;
    rng r{0x50a4};
    std::vector<std::uint8_t> sink(64 * 1024);
    std::vector<pollfd> pfd(ch.size());
    bool filling = false;
    auto next_fill = clock_type::now();
    auto fill_start = next_fill;
    auto fill_sweep = next_fill;
    auto fill_end = next_fill;

    while (!ctl.stop.load()) {
        auto now = clock_type::now();
        bool active = ctl.active.load();
        if (!active) {
            for (churner& x : ch) {
                if (x.fd)
                    reset_close(x.fd);
                x.state = churner::idle;
                x.due = now;
            }
            filling = false;
            ctl.quiet.store(true);
            std::this_thread::sleep_for(milliseconds(10));
            continue;
        }
        ctl.quiet.store(false);

        if (!filling && now >= next_fill) {
            filling = true;
            fill_start = now;
            fill_sweep = now + milliseconds(3000);
            fill_end = now + milliseconds(20000);
        }
        if (filling) {
            int held = 0;
            for (churner& x : ch)
                held += x.state == churner::reading || x.state == churner::stalling;
            if (held == slots && open_fds(relay) - idle_fds >= total_viewers) {
                c.fill_ms_max = std::max(c.fill_ms_max.load(),
                    static_cast<long>(
                        std::chrono::duration_cast<milliseconds>(now - fill_start).count()));
                if (turned_away(port))
                    ++c.rejections;
                else
                    ++c.not_rejected;
                filling = false;
            } else if (now >= fill_sweep) {
                // A connect the relay's listen queue overflowed on looks
                // open from here but never gets a byte: connect it again.
                for (churner& x : ch) {
                    bool held_open = x.state == churner::reading || x.state == churner::stalling;
                    bool served = x.state == churner::reading ? x.served : queued(x.fd.get()) > 0;
                    if (held_open && !served) {
                        reset_close(x.fd);
                        x.state = churner::idle;
                        ++c.half_open;
                    }
                }
                fill_sweep = now + milliseconds(1000);
            }
            if (filling && now >= fill_end) {
                ++c.fill_timeouts;
                filling = false;
            }
            if (!filling)
                next_fill = clock_type::now() + reject_every;
        }

        // The relay's listen queue is short: a burst of connects beyond it
        // lingers half-open for seconds, so connects go out a few at a time.
        int starts = 0;
        for (std::size_t i = 0; i < ch.size(); ++i) {
            churner& x = ch[i];
            pfd[i] = {-1, 0, 0};
            switch (x.state) {
            case churner::idle:
                if ((now < x.due && !filling) || starts == 2)
                    break;
                ++starts;
                x.fd.reset(start_connect(port));
                if (!x.fd) {
                    ++c.connect_failures;
                    x.due = now + milliseconds(100);
                    break;
                }
                x.state = churner::connecting;
                x.due = now + milliseconds(3000);
                pfd[i] = {x.fd.get(), POLLOUT, 0};
                break;
            case churner::connecting:
                if (now >= x.due) {
                    ++c.connect_failures;
                    reset_close(x.fd);
                    x.state = churner::idle;
                    x.due = now + milliseconds(100);
                    break;
                }
                pfd[i] = {x.fd.get(), POLLOUT, 0};
                break;
            case churner::reading:
                if (!filling && (x.to_read <= 0 || now >= x.due)) {
                    reset_close(x.fd);
                    ++c.resets;
                    c.unserved += x.served ? 0 : 1;
                    x.state = churner::idle;
                    // Long enough for the relay to see the reset first.
                    x.due = now + milliseconds(r.between(20, 120));
                    break;
                }
                pfd[i] = {x.fd.get(), POLLIN, 0};
                break;
            case churner::stalling:
                if (!filling && now >= x.due) {
                    c.unserved += queued(x.fd.get()) == 0 ? 1 : 0;
                    x.fd.reset();
                    ++c.stalls;
                    x.state = churner::idle;
                    x.due = now + milliseconds(r.between(20, 120));
                }
                break;
            }
        }

        int n = poll(pfd.data(), pfd.size(), 10);
        now = clock_type::now();
        for (std::size_t i = 0; n > 0 && i < ch.size(); ++i) {
            churner& x = ch[i];
            if (pfd[i].fd < 0 || pfd[i].revents == 0)
                continue;
            if (x.state == churner::connecting) {
                int err = 0;
                socklen_t len = sizeof err;
                getsockopt(x.fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
                if (err != 0) {
                    ++c.connect_failures;
                    x.fd.reset();
                    x.state = churner::idle;
                    x.due = now + milliseconds(100);
                    continue;
                }
                ++c.connects;
                if (x.staller) {
                    x.state = churner::stalling;
                    x.due = now + milliseconds(r.between(1000, 8000));
                } else {
                    x.state = churner::reading;
                    x.served = false;
                    x.to_read = r.between(1, 64 * 1024);
                    x.due = now + milliseconds(r.between(20, 500));
                }
            } else if (x.state == churner::reading) {
                std::size_t want = filling
                                       ? sink.size()
                                       : std::min(sink.size(), static_cast<std::size_t>(x.to_read));
                ssize_t got = recv(x.fd.get(), sink.data(), want, MSG_DONTWAIT);
                if (got > 0) {
                    x.to_read -= got;
                    x.served = true;
                } else if (got == 0 ||
                           (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                    ++c.early_eofs;
                    x.fd.reset();
                    x.state = churner::idle;
                    x.due = now + milliseconds(100);
                }
            }
        }
    }
    for (churner& x : ch)
        if (x.fd)
            reset_close(x.fd);
    ctl.quiet.store(true);
}

// --- the sender

struct sender {
    unique_fd fd;
    nf5_synth synth = nf5_synth_seed(0x5eed);
    std::vector<std::vector<std::uint8_t>> bufs{
        burst, std::vector<std::uint8_t>(nf5_synth_max_datagram)};
    std::vector<iovec> iov{burst};
    std::vector<mmsghdr> msgs{burst};
    long pacing_timeouts = 0;
    bool failed = false;
};

std::uint64_t slowest(const std::vector<std::unique_ptr<keeper>>& ks)
{
    std::uint64_t least = UINT64_MAX;
    for (const auto& k : ks)
        if (!k->gone)
            least = std::min(least, k->pos.load(std::memory_order_acquire));
    return least;
}

// Sends for d, as fast as the slowest keeper takes the frames.
void send_for(sender& s, ledger& led, const std::vector<std::unique_ptr<keeper>>& ks,
    progress_signal& prog, clock_type::duration d)
{
    auto end = clock_type::now() + d;
    while (clock_type::now() < end && !interrupted.load() && !s.failed) {
        std::uint64_t pub = led.published.load(std::memory_order_relaxed);
        auto stuck = clock_type::now() + milliseconds(2000);
        while (pub + burst > slowest(ks) + window) {
            if (clock_type::now() >= stuck) {
                ++s.pacing_timeouts;
                break;
            }
            unsigned seen = prog.ticks.load(std::memory_order_acquire);
            if (pub + burst > slowest(ks) + window)
                prog.ticks.wait(seen);
        }
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        for (std::size_t i = 0; i < burst; ++i) {
            unsigned n = 1 + nf5_synth_below(s.synth, nf5_synth_max_records);
            std::size_t len = nf5_synth_datagram(s.synth, s.bufs[i], n,
                static_cast<std::uint32_t>(ts.tv_sec), static_cast<std::uint32_t>(ts.tv_nsec));
            sent_datagram& e = led.ring[(pub + i) % ledger_size];
            e.flow_sequence = load_be32(s.bufs[i].data() + 16);
            e.len = static_cast<std::uint32_t>(len);
            e.hash = digest(s.bufs[i].data(), len);
            s.iov[i] = {s.bufs[i].data(), len};
            s.msgs[i].msg_hdr = msghdr{};
            s.msgs[i].msg_hdr.msg_iov = &s.iov[i];
            s.msgs[i].msg_hdr.msg_iovlen = 1;
        }
        led.published.store(pub + burst, std::memory_order_release);
        // Every recorded datagram goes out, or the relay is gone.
        std::size_t done = 0;
        for (int tries = 0; done < burst && tries < 1000; ++tries) {
            int n = sendmmsg(
                s.fd.get(), s.msgs.data() + done, static_cast<unsigned>(burst - done), 0);
            if (n > 0)
                done += static_cast<std::size_t>(n);
            else if (errno != EINTR && errno != EAGAIN && errno != ENOBUFS)
                break;
        }
        if (done < burst)
            s.failed = true;
    }
}

bool connect_keeper(keeper& k, int port)
{
    for (int i = 0; i < 100; ++i) {
        k.fd.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in sin = loopback(port);
        if (connect(k.fd.get(), reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0)
            return true;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
}

void raise_fd_limit()
{
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < 4096) {
        rl.rlim_cur = std::min<rlim_t>(4096, rl.rlim_max);
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

[[noreturn]] void usage(const char* prog)
{
    std::fprintf(stderr,
        "usage: %s [--seconds N] [--keepers N] [--warmup N] [--reject-every N] "
        "[--relay PATH]\n",
        prog);
    std::exit(2);
}

}  // namespace

int main(int argc, char* argv[])
{
    long seconds = 180, warmup = 5, reject_every = 20;
    int keepers = 16;
    std::string relay_path = std::string(NELK_BIN_DIR) + "/nelkd";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc)
            usage(argv[0]);
        const char* v = argv[++i];
        char* end = nullptr;
        long n = std::strtol(v, &end, 10);
        bool num = *v && !*end;
        if (a == "--seconds" && num && n > 0 && n <= 86400)
            seconds = n;
        else if (a == "--keepers" && num && n >= 1 && n <= 64)
            keepers = static_cast<int>(n);
        else if (a == "--warmup" && num && n >= 1 && n <= 600)
            warmup = n;
        else if (a == "--reject-every" && num && n >= 1 && n <= 86400)
            reject_every = n;
        else if (a == "--relay")
            relay_path = v;
        else
            usage(argv[0]);
    }

    struct sigaction sa { };
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    raise_fd_limit();

    int udp = free_port(SOCK_DGRAM), tcp = free_port(SOCK_STREAM);
    if (udp < 0 || tcp < 0) {
        std::fprintf(stderr, "relay_soak: no free loopback port\n");
        return 2;
    }
    relay_process relay;
    if (!spawn_relay(relay, relay_path, udp, tcp)) {
        std::perror("relay_soak: fork");
        return 2;
    }

    // The relay is up once it answers; then it holds only its own descriptors.
    {
        keeper probe;
        if (!connect_keeper(probe, tcp) || !relay.alive()) {
            std::fprintf(stderr, "relay_soak: %s did not start\n", relay_path.c_str());
            return 2;
        }
    }
    std::this_thread::sleep_for(milliseconds(300));
    int idle_fds = open_fds(relay.pid);
    mem_use mem_start = memory(relay.pid);

    ledger led;
    progress_signal prog;
    std::vector<std::unique_ptr<keeper>> ks;
    for (int i = 0; i < keepers; ++i) {
        ks.push_back(std::make_unique<keeper>());
        if (!connect_keeper(*ks.back(), tcp)) {
            std::fprintf(stderr, "relay_soak: keeper %d could not connect\n", i);
            return 2;
        }
    }
    settle_fds(relay.pid, idle_fds + keepers, milliseconds(5000));

    sender snd;
    snd.fd.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in to = loopback(udp);
    connect(snd.fd.get(), reinterpret_cast<sockaddr*>(&to), sizeof to);
    long drops_start = udp_drops(udp);
    long overflows_start = listen_overflows();

    std::atomic<bool> stop_keepers{false};
    std::vector<std::thread> readers;
    const int reader_threads = 2;
    for (int t = 0; t < reader_threads; ++t) {
        std::vector<keeper*> mine;
        for (std::size_t i = static_cast<std::size_t>(t); i < ks.size(); i += reader_threads)
            mine.push_back(ks[i].get());
        readers.emplace_back(
            keeper_thread, mine, std::cref(led), std::ref(prog), std::cref(stop_keepers));
    }
    churn_control ctl;
    churn_counts counts;
    std::thread churn(churn_thread, total_viewers - keepers, tcp, relay.pid, idle_fds,
        milliseconds(reject_every * 1000), std::ref(ctl), std::ref(counts));
    // Threads end before anything they use goes, whatever way main leaves.
    struct joiner {
        std::atomic<bool>& a;
        churn_control& c;
        std::vector<std::thread>& r;
        std::thread& ch;
        ~joiner()
        {
            c.stop.store(true);
            if (ch.joinable())
                ch.join();
            a.store(true);
            for (std::thread& t : r)
                if (t.joinable())
                    t.join();
        }
    } join_all{stop_keepers, ctl, readers, churn};

    auto quiesce = [&] {
        ctl.active.store(false);
        for (int i = 0; i < 500 && !ctl.quiet.load(); ++i)
            std::this_thread::sleep_for(milliseconds(10));
        return settle_fds(relay.pid, idle_fds + keepers, milliseconds(5000));
    };

    // Warm-up: every path of the relay taken once, so that what it keeps
    // for good (pages of its frame buffers) is in before the first reading.
    std::printf("relay_soak: nelkd pid %d, udp %d, tcp %d; %d keepers, %d churn slots; "
                "warm-up %ld s, soak %ld s\n",
        static_cast<int>(relay.pid), udp, tcp, keepers, total_viewers - keepers, warmup, seconds);
    std::fflush(stdout);
    ctl.active.store(true);
    send_for(snd, led, ks, prog, std::chrono::seconds(warmup));
    int fds_before = quiesce();
    mem_use mem_before = memory(relay.pid);

    auto start = clock_type::now();
    std::uint64_t sent_before = led.published.load();
    ctl.active.store(true);
    long left = seconds;
    while (left > 0 && !interrupted.load() && !snd.failed && relay.alive()) {
        long step = std::min(left, 20L);
        send_for(snd, led, ks, prog, std::chrono::seconds(step));
        left -= step;
        mem_use m = memory(relay.pid);
        std::printf("relay_soak: %3.0f s: %llu datagrams sent, %ld connects, %ld resets, "
                    "%ld stalls, %ld rejections; relay %d fds, VmRSS %ld kB\n",
            std::chrono::duration<double>(clock_type::now() - start).count(),
            static_cast<unsigned long long>(led.published.load()), counts.connects.load(),
            counts.resets.load(), counts.stalls.load(), counts.rejections.load(),
            open_fds(relay.pid), m.rss_kb);
        std::fflush(stdout);
    }
    double elapsed = std::chrono::duration<double>(clock_type::now() - start).count();
    std::uint64_t sent_soak = led.published.load() - sent_before;
    bool relay_alive = relay.alive();
    int fds_after = relay_alive ? quiesce() : -1;

    // The tail: every keeper reaches the last datagram sent.
    std::uint64_t total = led.published.load();
    for (int i = 0; i < 250 && relay_alive && slowest(ks) < total; ++i)
        std::this_thread::sleep_for(milliseconds(20));
    mem_use mem_after = relay_alive ? memory(relay.pid) : mem_use{};
    long in_drop = udp_drops(udp) - drops_start;
    relay_alive = relay.alive();

    ctl.stop.store(true);
    churn.join();
    stop_keepers.store(true);
    for (std::thread& t : readers)
        t.join();

    // Closing the keepers too leaves the relay as it started.
    int fds_end = -1;
    if (relay_alive) {
        for (auto& k : ks)
            reset_close(k->fd);
        fds_end = settle_fds(relay.pid, idle_fds, milliseconds(5000));
    }
    relay_alive = relay.alive();

    if (interrupted.load()) {
        std::printf("relay_soak: interrupted\n");
        return 130;
    }

    long received = 0, bad = 0, worst_lost = 0, keepers_gone = 0;
    long least = LONG_MAX, most = 0;
    std::printf("\nframes lost per keeper:");
    for (const auto& k : ks) {
        // A datagram the kernel dropped before the relay took it in is
        // missing for every keeper alike and is not the relay's loss.
        long lost = k->missing + static_cast<long>(total - std::min(total, k->next)) - in_drop;
        lost = std::max(0L, lost);
        std::printf(" %ld", lost);
        worst_lost = std::max(worst_lost, lost);
        received += k->frames;
        least = std::min(least, k->frames);
        most = std::max(most, k->frames);
        bad += k->bad;
        keepers_gone += k->gone;
    }
    std::printf("\n");
    long rss_growth = mem_after.rss_kb - mem_before.rss_kb;
    std::printf("datagrams sent          %llu (%llu in %.0f s of soak, %.0f/s)\n",
        static_cast<unsigned long long>(total), static_cast<unsigned long long>(sent_soak), elapsed,
        static_cast<double>(sent_soak) / elapsed);
    std::printf("dropped at relay's UDP  %ld\n", in_drop);
    std::printf("frames relayed          %ld to %d keepers (%ld to %ld each)\n", received, keepers,
        least, most);
    std::printf("frames lost, worst      %ld\n", worst_lost);
    std::printf("bad frames              %ld\n", bad);
    std::printf("keepers dropped         %ld\n", keepers_gone);
    std::printf("relay descriptors       idle %d, before %d, after %d, end %d\n", idle_fds,
        fds_before, fds_after, fds_end);
    std::printf("relay VmRSS kB          start %ld, before %ld, after %ld\n", mem_start.rss_kb,
        mem_before.rss_kb, mem_after.rss_kb);
    std::printf("relay VmHWM kB          start %ld, before %ld, after %ld\n", mem_start.hwm_kb,
        mem_before.hwm_kb, mem_after.hwm_kb);
    std::printf("churn                   %ld connects, %ld resets, %ld stalls, "
                "%ld rejections\n",
        counts.connects.load(), counts.resets.load(), counts.stalls.load(),
        counts.rejections.load());
    std::printf("churn trouble           %ld kept 257th, %ld fills unfinished, "
                "%ld failed "
                "connects, %ld closed by relay\n",
        counts.not_rejected.load(), counts.fill_timeouts.load(), counts.connect_failures.load(),
        counts.early_eofs.load());
    std::printf("never accepted          %ld churn viewers closed unserved, %ld "
                "half-open at a "
                "fill; listen queue overflows %ld (system-wide); longest fill %ld ms\n",
        counts.unserved.load(), counts.half_open.load(), listen_overflows() - overflows_start,
        counts.fill_ms_max.load());
    std::printf("sender                  %ld pacing timeouts%s\n", snd.pacing_timeouts,
        snd.failed ? ", send failed" : "");

    std::vector<const char*> faults;
    if (!relay_alive)
        faults.push_back("relay died");
    if (relay.died && WIFSIGNALED(relay.status))
        std::printf("relay ended by signal %d\n", WTERMSIG(relay.status));
    else if (relay.died)
        std::printf("relay ended with status %d\n", WEXITSTATUS(relay.status));
    if (worst_lost)
        faults.push_back("frames lost by a keeper");
    if (bad)
        faults.push_back("bad frames");
    if (keepers_gone)
        faults.push_back("keeper dropped");
    if (fds_before != fds_after || fds_end != idle_fds)
        faults.push_back("descriptor count changed");
    if (counts.not_rejected.load())
        faults.push_back("257th viewer kept");
    if (counts.rejections.load() == 0)
        faults.push_back("no 257th viewer tried");
    // Pending frames are at most one per viewer: a megabyte is growth.
    if (rss_growth > 1024)
        faults.push_back("resident memory grew");
    if (snd.failed)
        faults.push_back("send failed");
    for (const char* f : faults)
        std::printf("FAULT: %s\n", f);
    std::printf("%s\n", faults.empty() ? "PASS" : "FAIL");
    return faults.empty() ? 0 : 1;
}
