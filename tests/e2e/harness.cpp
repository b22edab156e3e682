#include "tests/e2e/harness.h"

#include "common/net_address.h"

#include "common/nf5.h"
#include "tools/loopback.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

namespace e2e {

namespace {

using clock = std::chrono::steady_clock;

std::string temp_file(const char* tag)
{
    const char* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/nelk-e2e-" + tag + "-XXXXXX";
    int fd = mkstemp(path.data());
    if (fd < 0)
        return "/dev/null";
    close(fd);
    return path;
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

std::string bin(const std::string& name)
{
    return std::string(NELK_BIN_DIR) + "/" + name;
}

int free_tcp_port()
{
    return free_port(SOCK_STREAM);
}

int free_udp_port()
{
    return free_port(SOCK_DGRAM);
}

process::process(process&& o) noexcept
    : pid(std::exchange(o.pid, -1)),
      reaped(o.reaped),
      status(o.status),
      out_path(std::move(o.out_path)),
      err_path(std::move(o.err_path)),
      out_pipe(std::move(o.out_pipe))
{
    o.out_path.clear();
    o.err_path.clear();
}

process& process::operator=(process&& o) noexcept
{
    if (this != &o) {
        stop(*this);
        pid = std::exchange(o.pid, -1);
        reaped = o.reaped;
        status = o.status;
        out_path = std::exchange(o.out_path, {});
        err_path = std::exchange(o.err_path, {});
        out_pipe = std::move(o.out_pipe);
    }
    return *this;
}

process::~process()
{
    stop(*this);
    for (const std::string& path : {out_path, err_path})
        if (!path.empty() && path != "/dev/null")
            unlink(path.c_str());
}

std::string process::out() const
{
    return slurp(out_path);
}

std::string process::err() const
{
    return slurp(err_path);
}

bool process::running()
{
    if (pid <= 0 || reaped)
        return false;
    int st = 0;
    pid_t r = waitpid(pid, &st, WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD)) {
        reaped = true;
        status = st;
        return false;
    }
    return true;
}

int process::exit_code() const
{
    return reaped && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

process spawn(const std::vector<std::string>& argv, const spawn_options& opts)
{
    // Daemons that our children leave behind become ours, so that stop_pid
    // can reap them.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    process p;
    p.out_path = temp_file("out");
    p.err_path = temp_file("err");

    // Everything the child needs is prepared before fork.
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> env_strings;
    for (char** e = environ; *e; ++e)
        env_strings.emplace_back(*e);
    env_strings.insert(env_strings.end(), opts.env.begin(), opts.env.end());
    std::vector<char*> envp;
    for (std::string& e : env_strings)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    int out_fd = open(p.out_path.c_str(), O_WRONLY | O_CLOEXEC);
    if (opts.stdout_pipe) {
        int pipe_fds[2];
        if (pipe2(pipe_fds, O_CLOEXEC) == 0) {
            close(out_fd);
            out_fd = pipe_fds[1];
            p.out_pipe.reset(pipe_fds[0]);
        }
    }
    int err_fd = open(p.err_path.c_str(), O_WRONLY | O_CLOEXEC);

    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        if (opts.close_stdin)
            close(0);
        else {
            int null_fd = open("/dev/null", O_RDONLY);
            dup2(null_fd, 0);
            if (null_fd > 2)
                close(null_fd);
        }
        // Only what we give it: nothing leaked from the test runner.
        close_range(3, ~0U, 0);
        if (opts.nofile > 0) {
            rlimit rl{};
            getrlimit(RLIMIT_NOFILE, &rl);
            rl.rlim_cur = static_cast<rlim_t>(opts.nofile);
            if (rl.rlim_max != RLIM_INFINITY && rl.rlim_cur > rl.rlim_max)
                rl.rlim_cur = rl.rlim_max;
            setrlimit(RLIMIT_NOFILE, &rl);
        }
        if (opts.fill_fds_below > 3) {
            int null_fd = open("/dev/null", O_RDONLY);
            for (int fd = 3; fd < opts.fill_fds_below; ++fd)
                if (fd != null_fd)
                    dup2(null_fd, fd);
            if (null_fd >= opts.fill_fds_below)
                close(null_fd);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(out_fd);
    close(err_fd);
    p.pid = pid;
    if (pid < 0)
        p.reaped = true;
    return p;
}

bool wait_exit(process& p, milliseconds timeout)
{
    auto end = clock::now() + timeout;
    while (p.running()) {
        if (clock::now() >= end)
            return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
}

void stop(process& p)
{
    if (!p.running())
        return;
    kill(p.pid, SIGTERM);
    if (wait_exit(p, milliseconds(2000)))
        return;
    kill(p.pid, SIGKILL);
    int st = 0;
    if (waitpid(p.pid, &st, 0) == p.pid)
        p.status = st;
    p.reaped = true;
}

void stop_pid(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    auto gone = [pid] {
        int st = 0;
        if (waitpid(pid, &st, WNOHANG) == pid)
            return true;
        char s = run_state(pid);
        return s == 0 || s == 'Z' || s == 'X';
    };
    auto end = clock::now() + milliseconds(2000);
    while (!gone() && clock::now() < end)
        std::this_thread::sleep_for(milliseconds(5));
    if (!gone()) {
        kill(pid, SIGKILL);
        end = clock::now() + milliseconds(2000);
        while (!gone() && clock::now() < end)
            std::this_thread::sleep_for(milliseconds(5));
    }
}

bool wait_output(const process& p, const std::string& text, milliseconds timeout,
                 bool from_stderr)
{
    auto end = clock::now() + timeout;
    for (;;) {
        std::string s = from_stderr ? p.err() : p.out();
        if (s.find(text) != std::string::npos)
            return true;
        if (clock::now() >= end)
            return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
}

bool wait_output_count(const process& p, const std::string& text, int n, milliseconds timeout,
                       bool from_stderr)
{
    auto end = clock::now() + timeout;
    for (;;) {
        if (count(from_stderr ? p.err() : p.out(), text) >= n)
            return true;
        if (clock::now() >= end)
            return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
}

int count(const std::string& haystack, const std::string& needle)
{
    int n = 0;
    for (auto at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + needle.size()))
        ++n;
    return n;
}

// The fields of /proc/PID/stat after the command name, from the state on.
static std::vector<std::string> stat_fields(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::vector<std::string> fields;
    if (!std::getline(in, line))
        return fields;
    const auto paren = line.rfind(')');
    if (paren == std::string::npos)
        return fields;
    std::istringstream rest(line.substr(paren + 1));
    for (std::string f; rest >> f;)
        fields.push_back(f);
    return fields;
}

long cpu_ticks(pid_t pid)
{
    // Fields 14 and 15 of the line: utime and stime.
    const auto f = stat_fields(pid);
    return f.size() > 12 ? std::stol(f[11]) + std::stol(f[12]) : 0;
}

char run_state(pid_t pid)
{
    const auto f = stat_fields(pid);
    return f.empty() ? 0 : f[0][0];
}

namespace {

// The bytes waiting in the UDP socket bound to port, from the kernel's
// tables of both families; -1 when none is bound there.
long udp_queued(int port)
{
    char want[16];
    std::snprintf(want, sizeof want, ":%04X", port);
    for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::istringstream f(line);
            std::string sl, local, remote, state, queues;
            f >> sl >> local >> remote >> state >> queues;
            if (local.size() >= 5 && local.compare(local.size() - 5, 5, want) == 0)
                return std::strtol(queues.substr(queues.find(':') + 1).c_str(), nullptr, 16);
        }
    }
    return -1;
}

}  // namespace

bool udp_port_bound(int port)
{
    return udp_queued(port) >= 0;
}

bool udp_drained(int port, pid_t pid)
{
    return udp_queued(port) == 0 && run_state(pid) == 'S';
}

bool wait_udp_bound(int port, milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!udp_port_bound(port)) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(milliseconds(10));
    }
    return true;
}

pid_t tcp_port_owner(int port)
{
    // The socket's inode from the kernel's table of TCP sockets (state 0A:
    // listening), then the process with a descriptor on that inode.
    std::string line;
    std::string inode;
    char want[16];
    std::snprintf(want, sizeof want, ":%04X", port);
    // The relay listens on IPv6 (both families) where the host has it.
    std::ifstream tcp("/proc/net/tcp6");
    std::ifstream tcp4("/proc/net/tcp");
    std::stringstream all;
    std::getline(tcp, line);
    all << tcp.rdbuf();
    std::getline(tcp4, line);
    all << tcp4.rdbuf();
    while (std::getline(all, line)) {
        std::istringstream f(line);
        std::string sl, local, remote, state, queues, timer, retr, uid, timeout, ino;
        f >> sl >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> ino;
        if (state == "0A" && local.size() >= 5 && local.compare(local.size() - 5, 5, want) == 0) {
            inode = ino;
            break;
        }
    }
    if (inode.empty())
        return -1;
    std::string target = "socket:[" + inode + "]";
    DIR* proc = opendir("/proc");
    if (!proc)
        return -1;
    pid_t found = -1;
    while (dirent* d = readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(d->d_name, &end, 10);
        if (*end != '\0' || pid <= 0)
            continue;
        std::string fd_dir = std::string("/proc/") + d->d_name + "/fd";
        DIR* fds = opendir(fd_dir.c_str());
        if (!fds)
            continue;
        while (dirent* f = readdir(fds)) {
            char link[64];
            std::string path = fd_dir + "/" + f->d_name;
            ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
            if (n > 0 && target.compare(0, std::string::npos, link, static_cast<std::size_t>(n)) == 0) {
                found = static_cast<pid_t>(pid);
                break;
            }
        }
        closedir(fds);
        if (found > 0)
            break;
    }
    closedir(proc);
    return found;
}

process start_nelkd(int udpport, int tcpport, const std::vector<std::string>& extra,
                    const spawn_options& opts)
{
    std::vector<std::string> argv = {bin("nelkd"), "-d", "-u", std::to_string(udpport), "-t",
                                     std::to_string(tcpport)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    process p = spawn(argv, opts);
    wait_output(p, "Listening on UDP port", milliseconds(5000));
    return p;
}

std::vector<std::uint8_t> v5_datagram(std::uint32_t sequence, unsigned records)
{
    std::vector<std::uint8_t> d(nf5_header_size + records * nf5_record_size);
    nf5_header h{};
    h.version = nf5_version;
    h.count = static_cast<std::uint16_t>(records);
    h.unix_secs = 1700000000;
    h.flow_sequence = sequence;
    encode_nf5_header(d.data(), h);
    for (unsigned i = 0; i < records; ++i) {
        std::uint8_t* r = d.data() + nf5_header_size + i * nf5_record_size;
        for (std::size_t b = 0; b < nf5_record_size; ++b)
            r[b] = static_cast<std::uint8_t>(sequence * 131 + i * 7 + b);
    }
    return d;
}

std::vector<std::uint8_t> flow_message(std::uint16_t version, std::uint32_t sequence)
{
    const bool ipfix = version == 10;
    const std::size_t head = ipfix ? 16 : 20;
    // Header, a template set of one two-field template (id 256), a data set
    // of two 8-byte records.
    std::vector<std::uint8_t> d(head + 16 + 20);
    std::uint8_t* p = d.data();
    store_be16(p, version);
    if (ipfix) {
        store_be16(p + 2, static_cast<std::uint16_t>(d.size()));
        store_be32(p + 4, 1700000000);
        store_be32(p + 8, sequence);
        store_be32(p + 12, 7);
    } else {
        store_be16(p + 2, 3);
        store_be32(p + 4, 1000);
        store_be32(p + 8, 1700000000);
        store_be32(p + 12, sequence);
        store_be32(p + 16, 7);
    }
    p += head;
    const std::uint16_t words[] = {static_cast<std::uint16_t>(ipfix ? 2 : 0), 16, 256, 2, 8, 4,
                                   12, 4, 256, 20};
    for (std::uint16_t w : words) {
        store_be16(p, w);
        p += 2;
    }
    for (std::uint32_t i = 0; i < 4; ++i, p += 4)
        store_be32(p, sequence * 4 + i);
    return d;
}

namespace {

// From an address of either family (127.x.y.z or ::1) to the loopback
// address of the same family.
struct endpoints {
    sockaddr_storage local{}, remote{};
    socklen_t local_len = 0, remote_len = 0;
    int family = AF_INET;
};

bool endpoints_for(const char* from, int port, endpoints* e)
{
    net_address a = net_address::from_v4_net(htonl(INADDR_LOOPBACK));
    if (from && !parse_address(from, &a))
        return false;
    e->family = a.is_v4() ? AF_INET : AF_INET6;
    if (from)
        e->local_len = to_sockaddr(a, 0, &e->local);
    net_address to = a.is_v4() ? net_address::from_v4_net(htonl(INADDR_LOOPBACK)) : a;
    e->remote_len = to_sockaddr(to, static_cast<std::uint16_t>(port), &e->remote);
    return true;
}

unique_fd socket_from(int type, const endpoints& e)
{
    unique_fd fd(socket(e.family, type | SOCK_CLOEXEC, 0));
    if (fd && e.local_len > 0 &&
        bind(fd.get(), reinterpret_cast<const sockaddr*>(&e.local), e.local_len) != 0)
        fd.reset();
    return fd;
}

}  // namespace

unique_fd tcp_connect(int port, int rcvbuf, const char* from)
{
    endpoints e;
    if (!endpoints_for(from, port, &e))
        return unique_fd();
    unique_fd fd = socket_from(SOCK_STREAM, e);
    if (!fd)
        return fd;
    if (rcvbuf > 0)
        setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&e.remote), e.remote_len) < 0)
        fd.reset();
    return fd;
}

bool udp_send(int port, std::span<const std::uint8_t> data, const char* from)
{
    endpoints e;
    if (!endpoints_for(from, port, &e))
        return false;
    unique_fd fd = socket_from(SOCK_DGRAM, e);
    return fd && sendto(fd.get(), data.data(), data.size(), 0,
                        reinterpret_cast<const sockaddr*>(&e.remote),
                        e.remote_len) == static_cast<ssize_t>(data.size());
}

int local_port(int fd)
{
    sockaddr_storage me{};
    socklen_t len = sizeof me;
    getsockname(fd, reinterpret_cast<sockaddr*>(&me), &len);
    std::uint16_t port = 0;
    from_sockaddr(me, &port);
    return port;
}

framed_frame read_framed(int fd, milliseconds timeout)
{
    framed_frame f;
    std::uint8_t head[framed_head_size];
    if (!read_exact(fd, head, timeout))
        return f;
    f.head = decode_framed_head(head);
    if (f.head.length < framed_head_size || f.head.length > framed_max_frame)
        return f;
    f.datagram.resize(f.head.length - framed_head_size);
    f.ok = read_exact(fd, f.datagram, timeout);
    return f;
}

udp_exporter::udp_exporter(const char* address) : from(address)
{
    endpoints e;
    if (endpoints_for(address, 0, &e))
        fd = socket_from(SOCK_DGRAM, e);
}

bool udp_exporter::send(int port, std::span<const std::uint8_t> data) const
{
    endpoints e;
    if (!fd || !endpoints_for(from.c_str(), port, &e))
        return false;
    return sendto(fd.get(), data.data(), data.size(), 0,
                  reinterpret_cast<const sockaddr*>(&e.remote),
                  e.remote_len) == static_cast<ssize_t>(data.size());
}

int udp_exporter::port() const
{
    return local_port(fd.get());
}

bool read_exact(int fd, std::span<std::uint8_t> buf, milliseconds timeout)
{
    auto end = clock::now() + timeout;
    std::size_t got = 0;
    while (got < buf.size()) {
        auto left = std::chrono::duration_cast<milliseconds>(end - clock::now()).count();
        if (left <= 0)
            return false;
        pollfd pfd{fd, POLLIN, 0};
        int r = poll(&pfd, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        ssize_t n = recv(fd, buf.data() + got, buf.size() - got, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

std::vector<std::uint8_t> read_available(int fd, milliseconds quiet, milliseconds limit)
{
    std::vector<std::uint8_t> all;
    std::vector<std::uint8_t> buf(65536);
    auto end = clock::now() + limit;
    while (clock::now() < end) {
        pollfd pfd{fd, POLLIN, 0};
        int r = poll(&pfd, 1, static_cast<int>(quiet.count()));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        ssize_t n = recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0)
            break;
        all.insert(all.end(), buf.begin(), buf.begin() + n);
    }
    return all;
}

bool wait_closed(int fd, milliseconds timeout, std::size_t* seen)
{
    if (seen)
        *seen = 0;
    auto end = clock::now() + timeout;
    std::uint8_t buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<milliseconds>(end - clock::now()).count();
        if (left <= 0)
            return false;
        pollfd pfd{fd, POLLIN, 0};
        int r = poll(&pfd, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return true;
        if (n > 0 && seen)
            *seen += static_cast<std::size_t>(n);
    }
}

std::vector<std::uint8_t> frame_of(const std::vector<std::uint8_t>& datagram, std::uint8_t last)
{
    std::vector<std::uint8_t> f(4 + datagram.size());
    f[0] = 127;
    f[3] = last;
    std::copy(datagram.begin(), datagram.end(), f.begin() + 4);
    return f;
}

}  // namespace e2e
