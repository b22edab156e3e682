// viewer_bench: end-to-end throughput of the viewer, from a relay socket to
// /dev/null, side by side with nfdump reading the same flows from a file.
//
// A fake relay listens on a free loopback port, starts the real nelk against
// it and, once nelk has connected, writes relay frames flat out from one
// pre-built buffer: 30-record datagrams from the synthesiser behind the
// router address 127.0.0.1. A run is timed from the accepted connection to
// the viewer's exit; listings end on the flow limit (-c), the reject-all
// filter and top mode on the end of the stream ("connection closed").
//
// Each mode first gets a small check run whose output is kept: every record
// shown (colondump compared byte for byte with printf), or none when filtered.
// The viewer's CPU time tells whether it, or the machine, bounded a figure;
// the same stream into a reader that only discards it gives the ceiling of
// the fake relay and loopback TCP.
//
// For the comparison the same datagrams go over UDP to an nfcapd on a free
// loopback port; the file it writes is then read by nfdump, in its pipe
// format and in a 12-field format close to colondump. tshark, when present,
// decodes them from a capture file written here.
//
// Own options (before the benchmark library's): --scale=F multiplies every
// run's record count (default 1), --no-nfdump skips the nfdump comparison.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/unique_fd.h"
#include "tools/nf5_synth.h"

extern char** environ;

namespace {

using steady = std::chrono::steady_clock;

constexpr unsigned records_per_datagram = 30;
constexpr std::size_t frame_size =
    relay_addr_size + nf5_datagram_size(records_per_datagram);
// About 3 MiB of distinct frames, written again and again.
constexpr std::size_t frames_in_buffer = 2048;
constexpr std::uint32_t stamp_secs = 1765000000;  // fixed, so runs repeat
constexpr std::uint64_t synth_seed = 1;

// Every wait is bounded: a viewer that hangs fails the run instead.
constexpr auto start_timeout = std::chrono::seconds(10);
constexpr auto run_timeout = std::chrono::seconds(300);

double scale = 1.0;
bool want_nfdump = true;

std::string nelk_path()
{
    if (const char* p = std::getenv("NELK_BIN"))
        return p;
    return std::string(NELK_BIN_DIR) + "/nelk";
}

// The frames a busy router would send, each behind the router address.
struct frame_store {
    std::vector<std::uint8_t> bytes;     // relay frames, back to back
    std::vector<std::uint16_t> seen_as;  // sorted AS numbers present
};

const frame_store& frames()
{
    static const frame_store store = [] {
        frame_store s;
        s.bytes.resize(frames_in_buffer * frame_size);
        nf5_synth gen = nf5_synth_seed(synth_seed);
        std::vector<bool> as_used(65536);
        for (std::size_t i = 0; i < frames_in_buffer; ++i) {
            std::uint8_t* f = s.bytes.data() + i * frame_size;
            const std::uint8_t router[4] = {127, 0, 0, 1};
            std::memcpy(f, router, sizeof router);
            const std::size_t n = nf5_synth_datagram(
                gen, std::span<std::uint8_t>(f + relay_addr_size, frame_size - relay_addr_size),
                records_per_datagram, stamp_secs + static_cast<std::uint32_t>(i / 64));
            if (n != frame_size - relay_addr_size) {
                std::fprintf(stderr, "viewer_bench: synthesiser gave %zu bytes\n", n);
                std::exit(1);
            }
            const std::uint8_t* rec = f + relay_frame_head_size;
            for (unsigned r = 0; r < records_per_datagram; ++r, rec += nf5_record_size) {
                as_used[load_be16(rec + offsetof(nf5_record, src_as))] = true;
                as_used[load_be16(rec + offsetof(nf5_record, dst_as))] = true;
            }
        }
        for (unsigned a = 0; a < 65536; ++a)
            if (as_used[a])
                s.seen_as.push_back(static_cast<std::uint16_t>(a));
        return s;
    }();
    return store;
}

// An AS number that no synthesised record carries: -a with it rejects all.
unsigned unused_as()
{
    const auto& seen = frames().seen_as;
    for (unsigned a = 1; a < 65536; ++a)
        if (!std::binary_search(seen.begin(), seen.end(), static_cast<std::uint16_t>(a)))
            return a;
    return 0;
}

std::uint64_t scaled(std::uint64_t records)
{
    auto n = static_cast<std::uint64_t>(static_cast<double>(records) * scale);
    n -= n % records_per_datagram;
    return std::max<std::uint64_t>(n, records_per_datagram);
}

// Programs started and not yet reaped, so that a bench stopped by a signal
// takes them along (an nfcapd would otherwise outlive it).
constexpr int max_children = 8;
volatile std::sig_atomic_t live_children[max_children];

void note_child(pid_t pid, pid_t was)
{
    for (auto& slot : live_children)
        if (slot == was) {
            slot = pid;
            return;
        }
}

// Temporary folders in use, removed by the same handler (an nfcapd file of
// a full run takes some 200 MB).
constexpr int max_temp_dirs = 8;
constexpr std::size_t temp_dir_name_size = 32;
char temp_dir_names[max_temp_dirs][temp_dir_name_size];
volatile std::sig_atomic_t temp_dir_used[max_temp_dirs];

extern "C" void on_stop_signal(int sig)
{
    for (auto& slot : live_children)
        if (slot > 0)
            ::kill(slot, SIGKILL);
    // Only async-signal-safe calls here: rm does the removing.
    for (int i = 0; i < max_temp_dirs; ++i) {
        if (!temp_dir_used[i])
            continue;
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::execl("/bin/rm", "rm", "-rf", temp_dir_names[i], static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (pid > 0)
            ::waitpid(pid, nullptr, 0);
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// A started program, killed and reaped by its destructor unless it was
// reaped already.
struct child_process {
    pid_t pid = -1;
    unique_fd pidfd;
    rusage usage{};  // of the reaped process

    child_process() = default;
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;
    ~child_process() { stop(); }

    void stop()
    {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            reaped();
        }
    }

    void reaped()
    {
        note_child(0, pid);
        pid = -1;
    }

    // Waits up to timeout for the exit; returns the wait status.
    std::optional<int> wait_for(std::chrono::milliseconds timeout)
    {
        if (pid <= 0)
            return std::nullopt;
        pollfd p{pidfd.get(), POLLIN, 0};
        const auto deadline = steady::now() + timeout;
        for (;;) {
            int status = 0;
            const pid_t r = ::wait4(pid, &status, WNOHANG, &usage);
            if (r == pid) {
                reaped();
                return status;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - steady::now());
            if (left.count() <= 0)
                return std::nullopt;
            // Without a pidfd, check again every millisecond.
            const long long slice = pidfd ? 1000 : 1;
            ::poll(&p, pidfd ? 1 : 0,
                   static_cast<int>(std::min<long long>(left.count() + 1, slice)));
        }
    }

    bool running()
    {
        if (pid <= 0)
            return false;
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            reaped();
            return false;
        }
        return true;
    }
};

// Starts argv[0] with standard input from /dev/null and standard output and
// error on the given files (/dev/null when empty), or standard output on
// out_fd. SIGPIPE is back to its default in the child.
bool spawn(child_process& child, const std::vector<std::string>& args,
           const std::string& out_path, const std::string& err_path, int out_fd = -1)
{
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (out_fd >= 0)
        posix_spawn_file_actions_adddup2(&fa, out_fd, 1);
    else
        posix_spawn_file_actions_addopen(&fa, 1,
                                         out_path.empty() ? "/dev/null" : out_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err_path.empty() ? "/dev/null" : err_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &fa, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        std::fprintf(stderr, "viewer_bench: cannot start %s: %s\n", argv[0], std::strerror(rc));
        return false;
    }
    child.pid = pid;
    note_child(pid, 0);
    // Lets the wait sleep until the exit itself rather than poll for it.
    child.pidfd.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    return true;
}

// A private temporary folder, removed with everything in it.
struct temp_dir {
    std::filesystem::path path;
    int slot = -1;  // in temp_dir_names
    temp_dir()
    {
        char tmpl[] = "/tmp/viewer_bench.XXXXXX";
        static_assert(sizeof tmpl <= temp_dir_name_size);
        if (::mkdtemp(tmpl) == nullptr) {
            std::perror("viewer_bench: mkdtemp");
            std::exit(1);
        }
        path = tmpl;
        for (int i = 0; i < max_temp_dirs && slot < 0; ++i)
            if (!temp_dir_used[i]) {
                std::memcpy(temp_dir_names[i], tmpl, sizeof tmpl);
                temp_dir_used[i] = 1;
                slot = i;
            }
    }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    ~temp_dir()
    {
        if (slot >= 0)
            temp_dir_used[slot] = 0;
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string file(const char* name) const { return (path / name).string(); }
};

std::string read_file(const std::string& path, std::size_t limit = 1 << 20)
{
    std::string s;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return s;
    char buf[65536];
    std::size_t n;
    while (s.size() < limit && (n = std::fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    std::fclose(f);
    return s;
}

std::string tail(const std::string& s, std::size_t n = 300)
{
    return s.size() <= n ? s : "..." + s.substr(s.size() - n);
}

std::string describe_status(int status)
{
    char buf[64];
    if (WIFEXITED(status))
        std::snprintf(buf, sizeof buf, "exit status %d", WEXITSTATUS(status));
    else if (WIFSIGNALED(status))
        std::snprintf(buf, sizeof buf, "killed by signal %d", WTERMSIG(status));
    else
        std::snprintf(buf, sizeof buf, "wait status %d", status);
    return buf;
}

// A TCP listener on 127.0.0.1 with a port the system picked.
unique_fd loopback_listener(std::uint16_t& port)
{
    unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return fd;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(fd.get(), 1) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return unique_fd();
    port = ntohs(a.sin_port);
    return fd;
}

struct run_result {
    bool ok = false;
    std::string error;
    double seconds = 0;
    std::uint64_t records = 0;
    double user = 0, sys = 0;  // the viewer's CPU seconds
};

double seconds_of(const timeval& tv)
{
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

// Writes records' worth of whole frames to conn (non-blocking), the buffer
// again and again. Returns false when the reader stopped reading until the
// deadline; peer_gone tells that it closed first.
bool write_stream(int conn, std::uint64_t records, steady::time_point deadline, bool& peer_gone,
                  std::string& error)
{
    const frame_store& fs = frames();
    const std::uint64_t total = records / records_per_datagram * frame_size;
    std::uint64_t sent = 0;
    peer_gone = false;
    while (sent < total) {
        const std::size_t at = static_cast<std::size_t>(sent % fs.bytes.size());
        const std::size_t len =
            static_cast<std::size_t>(std::min<std::uint64_t>(fs.bytes.size() - at, total - sent));
        const ssize_t w = ::send(conn, fs.bytes.data() + at, len, MSG_NOSIGNAL);
        if (w > 0) {
            sent += static_cast<std::uint64_t>(w);
            continue;
        }
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{conn, POLLOUT, 0};
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
            if (left.count() <= 0) {
                error = "reader stopped reading";
                return false;
            }
            ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        peer_gone = true;
        break;
    }
    return true;
}

struct viewer_case {
    const char* label;
    std::vector<std::string> options;  // after -s host:port
    std::uint64_t records;             // unscaled
    bool limit;                        // end by -c records, else by stream end
};

// One run of the real viewer against the fake relay: returns the time from
// the accepted connection to the viewer's exit. out_path empty: /dev/null.
run_result run_viewer(const viewer_case& vc, std::uint64_t records, const std::string& out_path,
                      const std::string& err_path)
{
    run_result res;
    res.records = records;
    std::uint16_t port = 0;
    unique_fd listener = loopback_listener(port);
    if (!listener) {
        res.error = std::string("listener: ") + std::strerror(errno);
        return res;
    }
    std::vector<std::string> args{nelk_path(), "-s", "127.0.0.1:" + std::to_string(port)};
    args.insert(args.end(), vc.options.begin(), vc.options.end());
    if (vc.limit) {
        args.push_back("-c");
        args.push_back(std::to_string(records));
    }
    child_process viewer;
    if (!spawn(viewer, args, out_path, err_path)) {
        res.error = "cannot start " + args[0];
        return res;
    }

    // Wait for the viewer's connection, watching that it has not died first.
    unique_fd conn;
    const auto start_deadline = steady::now() + start_timeout;
    while (!conn) {
        pollfd p{listener.get(), POLLIN, 0};
        if (::poll(&p, 1, 50) > 0)
            conn.reset(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (conn)
            break;
        if (!viewer.running()) {
            res.error = "viewer ended before connecting: " + tail(read_file(err_path));
            return res;
        }
        if (steady::now() > start_deadline) {
            res.error = "viewer did not connect";
            return res;
        }
    }
    const auto t0 = steady::now();
    const auto deadline = t0 + run_timeout;

    // Flat out from memory; with -c the viewer may close first.
    bool peer_gone = false;
    if (!write_stream(conn.get(), records, deadline, peer_gone, res.error))
        return res;
    conn.reset();  // end of the relay stream

    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
    const std::optional<int> status =
        viewer.wait_for(std::max(left, std::chrono::milliseconds(1000)));
    const auto t1 = steady::now();
    if (!status) {
        res.error = "viewer did not exit";
        return res;
    }
    if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
        res.error = "viewer: " + describe_status(*status) + ": " + tail(read_file(err_path));
        return res;
    }
    if (peer_gone && !vc.limit) {
        res.error = "viewer closed the stream early";
        return res;
    }
    res.seconds = std::chrono::duration<double>(t1 - t0).count();
    res.user = seconds_of(viewer.usage.ru_utime);
    res.sys = seconds_of(viewer.usage.ru_stime);
    res.ok = true;
    return res;
}

// The ceiling that the fake relay and loopback TCP set: the same stream into
// a reader that only discards it, 256 KiB per read like the viewer.
run_result run_sink(std::uint64_t records)
{
    run_result res;
    res.records = records;
    std::uint16_t port = 0;
    unique_fd listener = loopback_listener(port);
    if (!listener) {
        res.error = std::string("listener: ") + std::strerror(errno);
        return res;
    }
    unique_fd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (!client || ::connect(client.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        res.error = std::string("connect: ") + std::strerror(errno);
        return res;
    }
    unique_fd conn(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!conn) {
        res.error = std::string("accept: ") + std::strerror(errno);
        return res;
    }
    const auto t0 = steady::now();
    std::thread reader([fd = client.get()] {
        std::vector<std::uint8_t> buf(256 * 1024);
        // Ends at the end of the stream, which the writer always closes.
        for (;;) {
            const ssize_t r = ::read(fd, buf.data(), buf.size());
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                break;
        }
    });
    bool peer_gone = false;
    const bool written =
        write_stream(conn.get(), records, t0 + run_timeout, peer_gone, res.error);
    conn.reset();
    reader.join();
    res.seconds = std::chrono::duration<double>(steady::now() - t0).count();
    res.ok = written && !peer_gone;
    if (written && peer_gone)
        res.error = "sink closed early";
    return res;
}

std::size_t count_lines_with(const std::string& text, const char* needle, std::size_t colons = 0)
{
    std::size_t n = 0, pos = 0;
    while (pos < text.size()) {
        std::size_t eol = text.find('\n', pos);
        if (eol == std::string::npos)
            eol = text.size();
        const std::string_view line(text.data() + pos, eol - pos);
        if (colons ? static_cast<std::size_t>(std::count(line.begin(), line.end(), ':')) == colons
                   : line.find(needle) != std::string_view::npos)
            ++n;
        pos = eol + 1;
    }
    return n;
}

// The colondump lines of the first records of the stream, made with printf
// from the decoded records, against what the viewer printed.
std::string compare_colondump(const std::string& out, std::uint64_t records)
{
    const frame_store& fs = frames();
    std::size_t pos = 0;
    char want[256];
    for (std::uint64_t i = 0; i < records; ++i) {
        const std::size_t frame =
            static_cast<std::size_t>(i / records_per_datagram) % frames_in_buffer;
        const std::uint8_t* p = fs.bytes.data() + frame * frame_size + relay_frame_head_size +
                                (i % records_per_datagram) * nf5_record_size;
        const nf5_record r = decode_nf5_record(p);
        char src[INET_ADDRSTRLEN], dst[INET_ADDRSTRLEN];
        ::inet_ntop(AF_INET, &r.srcaddr, src, sizeof src);
        ::inet_ntop(AF_INET, &r.dstaddr, dst, sizeof dst);
        const int n = std::snprintf(want, sizeof want, "%.0f:%s:%d:%s:%d:%d:%s:%d:%u:%d:%d:%d:%d\n",
                                    static_cast<double>(i + 1), "127.0.0.1", r.input, src,
                                    r.srcport, r.output, dst, r.dstport, r.dOctets,
                                    static_cast<int>(r.dPkts), r.prot, r.src_as, r.dst_as);
        // Lines before the first flow are the start-up reports.
        const std::string_view line(want, static_cast<std::size_t>(n));
        const std::size_t at = i == 0 ? out.find(line) : pos;
        if (at == std::string::npos ||
            out.compare(at, static_cast<std::size_t>(n), want, static_cast<std::size_t>(n)) != 0) {
            const std::size_t got_at = at == std::string::npos ? 0 : at;
            return "colondump line " + std::to_string(i + 1) + " differs: want \"" +
                   std::string(want, static_cast<std::size_t>(n - 1)) + "\", got \"" +
                   out.substr(got_at, out.find('\n', got_at) - got_at) + "\"";
        }
        pos = at + static_cast<std::size_t>(n);
    }
    return {};
}

// Before timing a mode, one small run whose output is kept: the figures mean
// something only if every record was shown (or, filtered, none was).
std::string check_viewer(const viewer_case& vc, const std::string& mode)
{
    temp_dir dir;
    const std::uint64_t records = frames_in_buffer * records_per_datagram;
    const run_result r = run_viewer(vc, records, dir.file("out"), dir.file("err"));
    if (!r.ok)
        return "check run: " + r.error;
    const std::string out = read_file(dir.file("out"), 64 << 20);
    std::size_t shown = 0;
    if (mode == "colondump")
        shown = count_lines_with(out, nullptr, 12);
    else if (mode == "dump")
        shown = count_lines_with(out, "flow #");
    else if (mode == "shortdump")
        shown = count_lines_with(out, " b/p:");
    else if (mode == "reject")
        shown = count_lines_with(out, nullptr, 12);
    else if (mode == "json")
        shown = count_lines_with(out, "{\"type\":\"NETFLOW_V5\",");
    const std::size_t want = mode == "reject" || mode == "top" ? 0 : records;
    if (mode == "colondump" && shown == want) {
        if (const std::string diff = compare_colondump(out, records); !diff.empty())
            return "check run: " + diff;
    }
    if (shown != want)
        return "check run: " + std::to_string(shown) + " flows shown, expected " +
               std::to_string(want) + ": " + tail(out);
    if (!vc.limit && out.find("connection closed") == std::string::npos)
        return "check run: no \"connection closed\": " + tail(out);
    return {};
}

std::map<std::string, std::vector<double>>& rates()
{
    static std::map<std::string, std::vector<double>> r;
    return r;
}

struct cpu_share {
    double user, sys;  // fractions of the run's wall time
};

std::map<std::string, std::vector<cpu_share>>& cpu_shares()
{
    static std::map<std::string, std::vector<cpu_share>> r;
    return r;
}

void bm_nelk(benchmark::State& state, std::string mode)
{
    viewer_case vc;
    if (mode == "colondump")
        vc = {"nelk colondump", {"-m", "colondump"}, 8000000, true};
    else if (mode == "dump")
        vc = {"nelk dump", {"-m", "dump"}, 4000000, true};
    else if (mode == "shortdump")
        vc = {"nelk shortdump", {"-m", "shortdump"}, 4000000, true};
    else if (mode == "json")
        vc = {"nelk json", {"-m", "json"}, 8000000, true};
    else if (mode == "reject")
        vc = {"nelk reject-all (-a)", {"-m", "colondump", "-a", std::to_string(unused_as())},
              30000000, false};
    else
        vc = {"nelk top", {"-m", "top", "-i", "1000000"}, 30000000, false};

    if (const std::string err = check_viewer(vc, mode); !err.empty()) {
        state.SkipWithError(err.c_str());
        return;
    }
    temp_dir dir;
    const std::uint64_t records = scaled(vc.records);
    double seconds = 0, user = 0, sys = 0;
    for (auto _ : state) {
        const run_result r = run_viewer(vc, records, "", dir.file("err"));
        if (!r.ok) {
            state.SkipWithError(r.error.c_str());
            return;
        }
        state.SetIterationTime(r.seconds);
        seconds += r.seconds;
        user += r.user;
        sys += r.sys;
        rates()[vc.label].push_back(static_cast<double>(records) / r.seconds);
        cpu_shares()[vc.label].push_back({r.user / r.seconds, r.sys / r.seconds});
    }
    state.counters["records"] = static_cast<double>(records);
    state.counters["records_per_s"] =
        static_cast<double>(records) * static_cast<double>(state.iterations()) / seconds;
    // Near 100% busy: the viewer itself is the bound; sys is reads and writes.
    state.counters["viewer_user_pct"] = 100 * user / seconds;
    state.counters["viewer_sys_pct"] = 100 * sys / seconds;
}

void bm_loopback(benchmark::State& state)
{
    const std::uint64_t records = scaled(30000000);
    double seconds = 0;
    for (auto _ : state) {
        const run_result r = run_sink(records);
        if (!r.ok) {
            state.SkipWithError(r.error.c_str());
            return;
        }
        state.SetIterationTime(r.seconds);
        seconds += r.seconds;
        rates()["fake relay -> discard"].push_back(static_cast<double>(records) / r.seconds);
    }
    state.counters["records"] = static_cast<double>(records);
    state.counters["records_per_s"] =
        static_cast<double>(records) * static_cast<double>(state.iterations()) / seconds;
}

// ---- nfdump side: the same datagrams through nfcapd into a file -----------

// Is something bound to 127.0.0.1:port over UDP? (nfcapd is ready)
bool udp_port_bound(std::uint16_t port)
{
    const std::string table = read_file("/proc/net/udp");
    char key[32];
    std::snprintf(key, sizeof key, "0100007F:%04X", port);
    return table.find(key) != std::string::npos;
}

std::uint16_t free_udp_port()
{
    unique_fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return 0;
    return ntohs(a.sin_port);
}

struct nfdump_capture {
    std::string error;
    std::vector<std::string> input;  // "-r FILE" or "-R DIR"
    std::uint64_t records = 0;       // in the file, as nfdump counts them
};

std::uint64_t count_newlines(int fd, steady::time_point deadline)
{
    std::uint64_t n = 0;
    char buf[65536];
    while (steady::now() < deadline) {
        const ssize_t r = ::read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        n += static_cast<std::uint64_t>(std::count(buf, buf + r, '\n'));
    }
    return n;
}

const nfdump_capture& capture()
{
    static temp_dir dir;
    static const nfdump_capture cap = [] {
        nfdump_capture c;
        const std::uint16_t port = free_udp_port();
        const std::string flows = (dir.path / "flows").string();
        std::filesystem::create_directory(flows);
        child_process collector;
        // One file for the whole capture: a rotation interval of a day.
        if (!spawn(collector,
                   {"nfcapd", "-b", "127.0.0.1", "-p", std::to_string(port), "-w", flows, "-t",
                    "86400", "-B", "8388608"},
                   dir.file("nfcapd.out"), dir.file("nfcapd.err"))) {
            c.error = "cannot start nfcapd (run bench/setup-bench-deps)";
            return c;
        }
        const auto ready_by = steady::now() + start_timeout;
        while (!udp_port_bound(port)) {
            if (!collector.running() || steady::now() > ready_by) {
                c.error = "nfcapd did not start: " + tail(read_file(dir.file("nfcapd.err")));
                return c;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }

        // The datagrams of the viewer's stream, 4 million records' worth,
        // paced so that the collector's socket buffer never overflows.
        unique_fd udp(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        const frame_store& fs = frames();
        const std::uint64_t datagrams = scaled(4000000) / records_per_datagram;
        constexpr double per_second = 40000;
        const auto t0 = steady::now();
        for (std::uint64_t i = 0; i < datagrams; ++i) {
            const auto due = t0 + std::chrono::duration_cast<steady::duration>(
                                      std::chrono::duration<double>(i / per_second));
            if (due > steady::now())
                std::this_thread::sleep_until(due);
            const std::uint8_t* f = fs.bytes.data() + (i % frames_in_buffer) * frame_size;
            if (::sendto(udp.get(), f + relay_addr_size, frame_size - relay_addr_size, 0,
                         reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
                c.error = std::string("sendto: ") + std::strerror(errno);
                return c;
            }
        }
        // Let it drain its socket, then stop it so it closes the file.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        ::kill(collector.pid, SIGTERM);
        if (!collector.wait_for(std::chrono::seconds(20))) {
            c.error = "nfcapd did not stop";
            return c;
        }
        std::vector<std::string> files;
        for (const auto& e : std::filesystem::directory_iterator(flows)) {
            const std::string name = e.path().filename().string();
            if (name.rfind("nfcapd.", 0) == 0 && name.find("current") == std::string::npos)
                files.push_back(e.path().string());
        }
        if (files.empty()) {
            c.error = "nfcapd wrote no file: " + tail(read_file(dir.file("nfcapd.err")));
            return c;
        }
        c.input = files.size() == 1 ? std::vector<std::string>{"-r", files[0]}
                                    : std::vector<std::string>{"-R", flows};

        // Count what nfdump reads back (and warm the page cache).
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            c.error = "pipe";
            return c;
        }
        unique_fd rd(fds[0]);
        child_process counter;
        std::vector<std::string> args{"nfdump", "-q", "-o", "pipe"};
        args.insert(args.end(), c.input.begin(), c.input.end());
        const bool started = spawn(counter, args, "", dir.file("count.err"), fds[1]);
        ::close(fds[1]);
        if (!started) {
            c.error = "cannot start nfdump";
            return c;
        }
        c.records = count_newlines(rd.get(), steady::now() + run_timeout);
        counter.wait_for(std::chrono::seconds(10));
        if (c.records == 0)
            c.error = "nfdump read no records: " + tail(read_file(dir.file("count.err")));
        else if (c.records != datagrams * records_per_datagram)
            std::fprintf(stderr, "viewer_bench: nfcapd kept %llu of %llu records\n",
                         static_cast<unsigned long long>(c.records),
                         static_cast<unsigned long long>(datagrams * records_per_datagram));
        return c;
    }();
    return cap;
}

// nfdump's fields nearest to colondump's thirteen (the flow number aside).
constexpr const char* nfdump_fmt = "fmt:%ra %in %sa %sp %out %da %dp %byt %pkt %pr %sas %das";

void bm_nfdump(benchmark::State& state, std::string format)
{
    if (!want_nfdump) {
        state.SkipWithError("skipped (--no-nfdump)");
        return;
    }
    const nfdump_capture& cap = capture();
    if (!cap.error.empty()) {
        state.SkipWithError(cap.error.c_str());
        return;
    }
    temp_dir dir;
    const std::string label =
        format == "pipe" ? "nfdump -o pipe" : "nfdump -o fmt (12 fields)";
    double seconds = 0;
    for (auto _ : state) {
        std::vector<std::string> args{"nfdump", "-q", "-o", format == "pipe" ? "pipe" : nfdump_fmt};
        args.insert(args.end(), cap.input.begin(), cap.input.end());
        child_process reader;
        const auto t0 = steady::now();
        if (!spawn(reader, args, "", dir.file("err"))) {
            state.SkipWithError("cannot start nfdump");
            return;
        }
        const std::optional<int> status = reader.wait_for(run_timeout);
        const double s = std::chrono::duration<double>(steady::now() - t0).count();
        if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
            const std::string err =
                "nfdump: " + (status ? describe_status(*status) : std::string("did not exit")) +
                ": " + tail(read_file(dir.file("err")));
            state.SkipWithError(err.c_str());
            return;
        }
        state.SetIterationTime(s);
        seconds += s;
        rates()[label].push_back(static_cast<double>(cap.records) / s);
    }
    state.counters["records"] = static_cast<double>(cap.records);
    state.counters["records_per_s"] =
        static_cast<double>(cap.records) * static_cast<double>(state.iterations()) / seconds;
}

// ---- tshark side: the same datagrams in a capture file ---------------------

constexpr std::uint16_t tshark_udp_port = 9995;

void put16(std::string& out, std::uint16_t v) { out.append(reinterpret_cast<const char*>(&v), 2); }
void put32(std::string& out, std::uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); }

// A classic pcap file: each datagram in Ethernet, IPv4 and UDP from
// 127.0.0.1 to 127.0.0.1, as a capture on the collector would hold it.
bool write_pcap(const std::string& path, std::uint64_t datagrams)
{
    std::string out;
    put32(out, 0xa1b2c3d4);
    put16(out, 2);
    put16(out, 4);
    put32(out, 0);
    put32(out, 0);
    put32(out, 65535);
    put32(out, 1);  // Ethernet
    const frame_store& fs = frames();
    const std::size_t payload = frame_size - relay_addr_size;
    for (std::uint64_t i = 0; i < datagrams; ++i) {
        std::uint8_t pkt[14 + 20 + 8];
        std::memset(pkt, 0, sizeof pkt);
        pkt[12] = 0x08;  // IPv4
        std::uint8_t* ip = pkt + 14;
        ip[0] = 0x45;
        store_be16(ip + 2, static_cast<std::uint16_t>(20 + 8 + payload));
        store_be16(ip + 4, static_cast<std::uint16_t>(i));
        ip[6] = 0x40;  // don't fragment
        ip[8] = 64;
        ip[9] = 17;  // UDP
        const std::uint8_t lo[4] = {127, 0, 0, 1};
        std::memcpy(ip + 12, lo, 4);
        std::memcpy(ip + 16, lo, 4);
        std::uint32_t sum = 0;
        for (int k = 0; k < 20; k += 2)
            sum += load_be16(ip + k);
        while (sum >> 16)
            sum = (sum & 0xffff) + (sum >> 16);
        store_be16(ip + 10, static_cast<std::uint16_t>(~sum));
        std::uint8_t* udp = ip + 20;
        store_be16(udp, 40000);
        store_be16(udp + 2, tshark_udp_port);
        store_be16(udp + 4, static_cast<std::uint16_t>(8 + payload));
        const auto len = static_cast<std::uint32_t>(sizeof pkt + payload);
        put32(out, stamp_secs + static_cast<std::uint32_t>(i / 1000));
        put32(out, static_cast<std::uint32_t>(i % 1000) * 1000);
        put32(out, len);
        put32(out, len);
        out.append(reinterpret_cast<const char*>(pkt), sizeof pkt);
        out.append(reinterpret_cast<const char*>(fs.bytes.data()) +
                       (i % frames_in_buffer) * frame_size + relay_addr_size,
                   payload);
    }
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
    return std::fclose(f) == 0 && ok;
}

void bm_tshark(benchmark::State& state)
{
    temp_dir dir;
    const std::uint64_t datagrams = scaled(600000) / records_per_datagram;
    const std::uint64_t records = datagrams * records_per_datagram;
    const std::string pcap = dir.file("flows.pcap");
    if (!write_pcap(pcap, datagrams)) {
        state.SkipWithError("cannot write the capture file");
        return;
    }
    // The colondump fields, one line per datagram: the router once, then each
    // of the other eleven with its 30 values joined by commas.
    std::vector<std::string> args{"tshark", "-n", "-r", pcap, "-d",
                                  "udp.port==" + std::to_string(tshark_udp_port) + ",cflow",
                                  "-T", "fields"};
    for (const char* f : {"ip.src", "cflow.inputint", "cflow.srcaddr", "cflow.srcport",
                          "cflow.outputint", "cflow.dstaddr", "cflow.dstport", "cflow.octets",
                          "cflow.packets", "cflow.protocol", "cflow.srcas", "cflow.dstas"}) {
        args.push_back("-e");
        args.push_back(f);
    }
    {
        // Check run: every datagram decoded, 30 records in each.
        child_process check;
        if (!spawn(check, args, dir.file("out"), dir.file("err"))) {
            state.SkipWithError("tshark not installed (bench/setup-bench-deps --tshark)");
            return;
        }
        const std::optional<int> status = check.wait_for(run_timeout);
        const std::string out = read_file(dir.file("out"), 1 << 30);
        const auto lines = static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n'));
        const std::string first = out.substr(0, out.find('\n'));
        const auto fields = std::count(first.begin(), first.end(), ',');
        if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0 || lines != datagrams ||
            fields != 11 * (records_per_datagram - 1)) {
            const std::string err = "tshark check run: " + std::to_string(lines) + " lines, " +
                                    std::to_string(fields) + " commas in the first: " +
                                    tail(read_file(dir.file("err"))) + tail(first);
            state.SkipWithError(err.c_str());
            return;
        }
    }
    double seconds = 0;
    for (auto _ : state) {
        child_process reader;
        const auto t0 = steady::now();
        if (!spawn(reader, args, "", dir.file("err"))) {
            state.SkipWithError("cannot start tshark");
            return;
        }
        const std::optional<int> status = reader.wait_for(run_timeout);
        const double s = std::chrono::duration<double>(steady::now() - t0).count();
        if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
            state.SkipWithError("tshark failed");
            return;
        }
        state.SetIterationTime(s);
        seconds += s;
        rates()["tshark -T fields (12)"].push_back(static_cast<double>(records) / s);
    }
    state.counters["records"] = static_cast<double>(records);
    state.counters["records_per_s"] =
        static_cast<double>(records) * static_cast<double>(state.iterations()) / seconds;
}

// Each run is one whole stream timed by hand; --benchmark_repetitions
// decides how many runs make a figure.
#define NELK_RUN_ONCE UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond)
BENCHMARK_CAPTURE(bm_nelk, colondump, std::string("colondump"))->NELK_RUN_ONCE;
BENCHMARK_CAPTURE(bm_nelk, json, std::string("json"))->NELK_RUN_ONCE;
BENCHMARK_CAPTURE(bm_nelk, dump, std::string("dump"))->NELK_RUN_ONCE;
BENCHMARK_CAPTURE(bm_nelk, shortdump, std::string("shortdump"))->NELK_RUN_ONCE;
BENCHMARK_CAPTURE(bm_nelk, reject_all, std::string("reject"))->NELK_RUN_ONCE;
BENCHMARK_CAPTURE(bm_nelk, top, std::string("top"))->NELK_RUN_ONCE;
BENCHMARK(bm_loopback)->NELK_RUN_ONCE;
BENCHMARK_CAPTURE(bm_nfdump, pipe, std::string("pipe"))->NELK_RUN_ONCE;
BENCHMARK_CAPTURE(bm_nfdump, fmt, std::string("fmt"))->NELK_RUN_ONCE;
BENCHMARK(bm_tshark)->NELK_RUN_ONCE;

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string grouped(double x)
{
    char digits[32];
    const int n = std::snprintf(digits, sizeof digits, "%llu",
                                static_cast<unsigned long long>(x + 0.5));
    std::string s;
    for (int i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 3 == 0)
            s += ',';
        s += digits[i];
    }
    return s;
}

std::string load_average()
{
    std::string s = read_file("/proc/loadavg");
    const std::size_t cut = s.find(' ', s.find(' ', s.find(' ') + 1) + 1);
    return cut == std::string::npos ? s : s.substr(0, cut);
}

// The figures side by side with the goals, medians of the repetitions.
void print_summary(const std::string& load_before)
{
    struct goal {
        const char* label;
        double at_least;
    };
    const goal goals[] = {
        {"nelk colondump", 2000000},  {"nelk json", 1000000},  {"nelk dump", 700000},
        {"nelk shortdump", 700000},
        {"nelk reject-all (-a)", 10000000}, {"nelk top", 10000000},
        {"nfdump -o pipe", 0},        {"nfdump -o fmt (12 fields)", 0},
        {"tshark -T fields (12)", 0}, {"fake relay -> discard", 0},
    };
    auto& r = rates();
    if (r.empty())
        return;
    std::printf("\nrecords per second, end to end (median of runs; best in brackets)\n");
    for (const goal& g : goals) {
        const auto it = r.find(g.label);
        if (it == r.end() || it->second.empty()) {
            std::printf("  %-27s %14s\n", g.label, "not run");
            continue;
        }
        const double m = median(it->second);
        const double best = *std::max_element(it->second.begin(), it->second.end());
        std::printf("  %-27s %14s  [%s]  runs %zu", g.label, grouped(m).c_str(),
                    grouped(best).c_str(), it->second.size());
        if (g.at_least > 0)
            std::printf("  goal %s: %s", grouped(g.at_least).c_str(),
                        m >= g.at_least ? "met" : "MISSED");
        if (const auto cs = cpu_shares().find(g.label); cs != cpu_shares().end()) {
            std::vector<double> user, sys;
            for (const cpu_share& c : cs->second) {
                user.push_back(c.user);
                sys.push_back(c.sys);
            }
            std::vector<double> per_cpu;  // records per second of the viewer's own CPU
            for (std::size_t i = 0; i < user.size() && i < it->second.size(); ++i)
                per_cpu.push_back(it->second[i] / (user[i] + sys[i]));
            std::printf("  viewer cpu %.0f%% user + %.0f%% sys, %s per cpu-s",
                        100 * median(user), 100 * median(sys), grouped(median(per_cpu)).c_str());
        }
        std::printf("\n");
    }
    const auto col = r.find("nelk colondump");
    if (const auto json = r.find("nelk json"); col != r.end() && json != r.end() &&
                                               !col->second.empty() && !json->second.empty()) {
        const double ratio = median(json->second) / median(col->second);
        std::printf("  json / colondump %33.2fx  goal 0.5x: %s\n", ratio,
                    ratio >= 0.5 ? "met" : "MISSED");
    }
    for (const char* other :
         {"nfdump -o pipe", "nfdump -o fmt (12 fields)", "tshark -T fields (12)"}) {
        const auto it = r.find(other);
        if (col == r.end() || it == r.end() || col->second.empty() || it->second.empty())
            continue;
        const double ratio = median(col->second) / median(it->second);
        std::printf("  colondump / %-25s %6.2fx", other, ratio);
        if (std::strcmp(other, "nfdump -o pipe") == 0)
            std::printf("  goal 1.25x: %s", ratio >= 1.25 ? "met" : "MISSED");
        std::printf("\n");
    }
    std::printf("load average before %s, after %s\n", load_before.c_str(), load_average().c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        std::signal(sig, on_stop_signal);
    // Own options first; the rest go to the benchmark library.
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--scale=", 8) == 0) {
            scale = std::strtod(argv[i] + 8, nullptr);
            if (!(scale > 0 && scale <= 100)) {
                std::fprintf(stderr, "viewer_bench: --scale wants a factor in (0, 100]\n");
                return 2;
            }
        } else if (std::strcmp(argv[i], "--no-nfdump") == 0) {
            want_nfdump = false;
        } else {
            rest.push_back(argv[i]);
        }
    }
    int rest_argc = static_cast<int>(rest.size());
    rest.push_back(nullptr);
    benchmark::Initialize(&rest_argc, rest.data());
    if (benchmark::ReportUnrecognizedArguments(rest_argc, rest.data()))
        return 2;
    if (::access(nelk_path().c_str(), X_OK) != 0) {
        std::fprintf(stderr, "viewer_bench: no viewer at %s\n", nelk_path().c_str());
        return 1;
    }
    const std::string load_before = load_average();
    std::printf("viewer: %s; frames of %u records from 127.0.0.1, %zu distinct; "
                "reject-all filter -a %u\n",
                nelk_path().c_str(), records_per_datagram, frames_in_buffer, unused_as());
    std::fflush(stdout);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    print_summary(load_before);
    return 0;
}
