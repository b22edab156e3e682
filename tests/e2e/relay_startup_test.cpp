// Start-up of the real nelkd: options, messages, statuses, daemon mode.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/harness.h"

using namespace e2e;
using bytes = std::vector<std::uint8_t>;

namespace {

constexpr milliseconds wait_time(5000);

std::string usage_text(const std::string& prog)
{
    return "Usage: " + prog + " [ -u <udpport> ] [ -t <tcpport> ]\n"
           "  -u <udpport>  Listen on UDP port <udpport> for netflow packets.  Default 4444\n"
           "  -t <tcpport>  Listen on TCP port <tcpport> for client connections.  Default 4444\n"
           "  -s <bufsize>  Set tcp/udp buffer size.  Default 196608\n"
           "  -d            Debug.  Don't become a daemon, displays all messages on stdout,\n"
           "                displays lots of extra information\n"
           "  -b <address>  Bind both ports to this local IPv4 address.  Default any\n"
           "  -e <prefixes> Relay datagrams only from these exporters (a.b.c.d/len,...)\n"
           "  -a <prefixes> Serve only viewers from these addresses (a.b.c.d/len,...)\n"
           "  -m <count>    Serve at most <count> viewers from one address\n"
           "  -r            Relay every datagram unchecked, not only whole NetFlow v5\n"
           "  -M <file>     Write counters to <file> every 10 s (Prometheus text format)\n"
           "  -F <tcpport>  Serve the framed stream (NetFlow v5, v9, IPFIX; IPv4 and IPv6)\n"
           "  -U <user>     Run as <user> once the ports and files are open\n"
           "  -T <seconds>  Forget templates not refreshed for <seconds>.  Default 1800\n";
}

std::string listening(int udp, int tcp)
{
    return "Listening on UDP port " + std::to_string(udp) + " and TCP port " +
           std::to_string(tcp) + " (with a backlog of 32)\n";
}

// Started as root without -U, the relay says so once, on standard error.
std::string root_warning()
{
    return geteuid() == 0 ? "running as root: -U USER would have the relay give up root once its "
                            "ports are open\n"
                          : "";
}

// What each open descriptor of the process points at.
std::map<int, std::string> open_descriptors(pid_t pid)
{
    std::map<int, std::string> fds;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        std::error_code ec;
        fds[std::stoi(e.path().filename())] = std::filesystem::read_symlink(e.path(), ec);
    }
    return fds;
}

struct finished {
    int status;
    std::string out, err;
};

finished run(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {bin("nelkd")};
    argv.insert(argv.end(), args.begin(), args.end());
    process p = spawn(argv);
    EXPECT_TRUE(wait_exit(p, wait_time)) << "still running: " << argv.back();
    return {p.exit_code(), p.out(), p.err()};
}

unique_fd bound_socket(int type, int port)
{
    unique_fd fd(socket(AF_INET, type, 0));
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<std::uint16_t>(port));
    sin.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&sin), sizeof sin) < 0)
        fd.reset();
    if (fd && type == SOCK_STREAM)
        listen(fd.get(), 1);
    return fd;
}

TEST(RelayStartup, RefusedOptions)
{
    const std::string usage = usage_text(bin("nelkd"));
    struct case_ {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;  // exact, or the start of it when it ends in '*'
    };
    const case_ cases[] = {
        {{"-x"}, 0, usage, bin("nelkd") + ": invalid option -- 'x'\n"},
        {{"-d", "-u"}, 0, usage, bin("nelkd") + ": option requires an argument -- 'u'\n"},
        {{"-s", "16383"}, 1, "", "nelkd: too low buffer size or bad format: 16383: *"},
        {{"-s", "abc"}, 1, "", "nelkd: too low buffer size or bad format: abc: *"},
        {{"-s", "-s"}, 1, "", "nelkd: too low buffer size or bad format: -s: *"},
        {{"-u", "65536"}, 1, "", "nelkd: port out of range (0 to 65535): 65536\n"},
        {{"-t", "-1"}, 1, "", "nelkd: port out of range (0 to 65535): -1\n"},
        {{"-b", "localhost"}, 1, "", "nelkd: not an IPv4 address for -b (such as 192.0.2.10): localhost\n"},
        {{"-e", "10.0.0.0/8,"}, 1, "",
         "nelkd: bad prefix list (address/length, length 0 to 32, no bits beyond the length, "
         "comma-separated): 10.0.0.0/8,\n"},
        {{"-a", "192.0.2.7/24"}, 1, "",
         "nelkd: bad prefix list (address/length, length 0 to 32, no bits beyond the length, "
         "comma-separated): 192.0.2.7/24\n"},
        {{"-m", "0"}, 1, "", "nelkd: viewers per address out of range (1 to 256): 0\n"},
        {{"-M", ""}, 1, "", "nelkd: no file name for -M: ''\n"},
        {{"-u", "0", "-t", "0", "-M", "/nonexistent/dir/nelkd.prom"}, 1, "",
         "metrics file /nonexistent/dir/nelkd.prom: No such file or directory\n"},
        {{"-T", "0"}, 1, "", "nelkd: template expiry out of range (1 to 86400 seconds): 0\n"},
        {{"-u", "0", "-t", "0", "-U", "no-such-user-of-nelk"}, 1, "",
         "nelkd: no such user for -U: no-such-user-of-nelk\n"},
    };
    for (const case_& c : cases) {
        finished f = run(c.args);
        std::string shown = c.args.front() + " " + c.args.back();
        EXPECT_EQ(f.status, c.status) << shown;
        EXPECT_EQ(f.out, c.out) << shown;
        if (!c.err.empty() && c.err.back() == '*') {
            std::string head = c.err.substr(0, c.err.size() - 1);
            EXPECT_EQ(f.err.substr(0, head.size()), head) << shown;
            EXPECT_EQ(count(f.err, "\n"), 1) << f.err;
        } else {
            EXPECT_EQ(f.err, c.err) << shown;
        }
    }
}

TEST(RelayStartup, DebugModeStaysInTheForegroundAndTellsItsTuning)
{
    int udp = free_udp_port(), tcp = free_tcp_port();
    // The last -u counts; -s 16384 is the smallest buffer allowed, and a
    // number followed by letters counts as the number.
    process relay = start_nelkd(0, 0, {"-u", std::to_string(udp), "-t", std::to_string(tcp),
                                       "-s", "16384xyz"});
    ASSERT_TRUE(relay.running()) << relay.err();
    std::string out = relay.out();
    EXPECT_EQ(out,
              "Before setsockopt, SO_RCVBUF is " + out.substr(32, out.find('\n') - 32) +
                  "\nAfter setsockopt, SO_RCVBUF is 32768\n" + listening(udp, tcp));
    EXPECT_EQ(count(out, "Forking"), 0);

    unique_fd viewer = tcp_connect(tcp);
    ASSERT_TRUE(wait_output(relay, "New client:", wait_time)) << relay.out();
    // The six lines of the tuning steps, in order, then the assignment.
    std::string after = relay.out().substr(out.size());
    const char* steps[] = {"Before setsockopt, SO_SNDBUF is ",   "After setsockopt, SO_SNDBUF is 32768\n",
                           "Before setsockopt, SO_SNDLOWAT is ", "After setsockopt, SO_SNDLOWAT is ",
                           "Before setsockopt, TCP_NODELAY is 0\n", "After setsockopt, TCP_NODELAY is 1\n",
                           "New client:  Assigning fd "};
    std::size_t at = 0;
    for (const char* step : steps) {
        std::size_t found = after.find(step, at);
        ASSERT_NE(found, std::string::npos) << step << "\n" << after;
        ASSERT_EQ(found == 0 ? '\n' : after[found - 1], '\n') << step;
        at = found + 1;
    }
    EXPECT_EQ(count(after, "\n"), 7) << after;
}

// -b: both sockets on one address, and nowhere else.
TEST(RelayStartup, BindAddress)
{
    int udp = free_udp_port(), tcp = free_tcp_port();
    process relay = start_nelkd(udp, tcp, {"-b", "127.0.0.2"});
    ASSERT_TRUE(relay.running()) << relay.err();
    EXPECT_FALSE(tcp_connect(tcp));  // 127.0.0.1
    unique_fd fd(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<std::uint16_t>(tcp));
    sin.sin_addr.s_addr = htonl(0x7f000002);
    ASSERT_EQ(connect(fd.get(), reinterpret_cast<sockaddr*>(&sin), sizeof sin), 0);
    ASSERT_TRUE(wait_output(relay, "New client:", wait_time));
    bytes d = v5_datagram(1, 1);
    unique_fd out(socket(AF_INET, SOCK_DGRAM, 0));
    sin.sin_port = htons(static_cast<std::uint16_t>(udp));
    ASSERT_EQ(sendto(out.get(), d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&sin), sizeof sin),
              static_cast<ssize_t>(d.size()));
    bytes got(4 + d.size());
    ASSERT_TRUE(read_exact(fd.get(), got, wait_time));
    EXPECT_EQ(got, frame_of(d));
}

TEST(RelayStartup, PortsInUse)
{
    int udp = free_udp_port(), tcp = free_tcp_port();
    {
        unique_fd taken = bound_socket(SOCK_DGRAM, udp);
        ASSERT_TRUE(taken);
        finished f = run({"-d", "-u", std::to_string(udp), "-t", std::to_string(tcp)});
        EXPECT_EQ(f.status, 1);
        EXPECT_EQ(f.err, "bind UDP error: Address already in use\n");
        EXPECT_EQ(f.out, "");
    }
    {
        unique_fd taken = bound_socket(SOCK_STREAM, tcp);
        ASSERT_TRUE(taken);
        finished f = run({"-d", "-u", std::to_string(udp), "-t", std::to_string(tcp)});
        EXPECT_EQ(f.status, 1);
        EXPECT_EQ(f.err, "bind TCP error: Address already in use\n");
        EXPECT_EQ(count(f.out, "Listening"), 0);
    }
}

// Detached, the daemon lets go of what it was started with: the terminal,
// or the pipe of nelkd | cat, and every descriptor it inherited; it
// creates files as 0644 at most.
TEST(RelayStartup, DaemonModeReturnsAndKeepsServing)
{
    int udp = free_udp_port(), tcp = free_tcp_port();
    spawn_options opts;
    opts.stdout_pipe = true;
    opts.fill_fds_below = 6;
    process parent =
        spawn({bin("nelkd"), "-u", std::to_string(udp), "-t", std::to_string(tcp)}, opts);
    ASSERT_TRUE(wait_exit(parent, wait_time));
    EXPECT_EQ(parent.exit_code(), 0);

    // As cat would: everything up to the end, which comes once the parent
    // is gone.
    std::string out;
    bool ended = false;
    for (auto end = std::chrono::steady_clock::now() + wait_time;
         !ended && std::chrono::steady_clock::now() < end;) {
        pollfd p{parent.out_pipe.get(), POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char buf[4096];
        ssize_t n = read(parent.out_pipe.get(), buf, sizeof buf);
        ended = n <= 0;
        if (n > 0)
            out.append(buf, static_cast<std::size_t>(n));
    }
    EXPECT_TRUE(ended) << "the daemon holds standard output open";

    const pid_t daemon = wait_tcp_listener(tcp, wait_time);
    ASSERT_GT(daemon, 0) << "nobody listens on the TCP port";
    pid_guard guard(daemon);
    EXPECT_NE(daemon, parent.pid);

    EXPECT_EQ(out, listening(udp, tcp) +
                       "Forking into background.  Future messages will be sent to syslog\n");
    EXPECT_EQ(parent.err(), root_warning());
    for (const auto& [fd, target] : open_descriptors(daemon)) {
        if (fd <= 2)
            EXPECT_EQ(target, "/dev/null") << fd;
        else
            EXPECT_EQ(target.rfind("socket:", 0), 0u) << fd << " " << target;
    }
    EXPECT_EQ(proc_status(daemon, "Umask"), "\t0022");

    // A viewer that resets does not end the daemon either.
    unique_fd gone = tcp_connect(tcp);
    unique_fd viewer = tcp_connect(tcp);
    ASSERT_TRUE(gone && viewer);
    const bytes d = v5_datagram(11, 30);
    const bytes want = frame_of(d);
    bytes got(want.size());
    // No debug lines tell when the viewers are in, so send until one arrives.
    bool arrived = false;
    for (int i = 0; i < 50 && !arrived; ++i) {
        ASSERT_TRUE(udp_send(udp, d));
        arrived = read_exact(viewer.get(), got, milliseconds(100));
    }
    ASSERT_TRUE(arrived);
    EXPECT_EQ(got, want);
    linger hard{1, 0};
    setsockopt(gone.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    gone.reset();
    bytes rest = read_available(viewer.get(), milliseconds(100), milliseconds(1000));
    EXPECT_EQ(rest.size() % want.size(), 0u);
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(udp_send(udp, d));
        ASSERT_TRUE(read_exact(viewer.get(), got, wait_time)) << i;
        EXPECT_EQ(got, want);
        // The counters go to syslog; the daemon goes on.
        if (i == 4)
            kill(daemon, SIGUSR1);
    }
    EXPECT_EQ(tcp_port_owner(tcp), daemon);
}

// -U: once its ports and files are open the relay runs as the user, with
// the user's groups and no way back to root, and goes on relaying. The
// metrics file is written as that user from the first time on.
TEST(RelayStartup, RunsAsTheUserGiven)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can become another user";
    const passwd* pw = getpwnam("nobody");
    ASSERT_NE(pw, nullptr);
    const uid_t uid = pw->pw_uid;
    const gid_t gid = pw->pw_gid;
    std::vector<gid_t> groups(64);
    int n = static_cast<int>(groups.size());
    ASSERT_GE(getgrouplist("nobody", gid, groups.data(), &n), 0);
    groups.resize(static_cast<std::size_t>(n));
    std::sort(groups.begin(), groups.end());

    int udp = free_udp_port(), tcp = free_tcp_port();
    process relay = start_nelkd(udp, tcp, {"-U", "nobody"});
    ASSERT_TRUE(relay.running()) << relay.err();
    const std::string u = "\t" + std::to_string(uid), g = "\t" + std::to_string(gid);
    EXPECT_EQ(proc_status(relay.pid, "Uid"), u + u + u + u);
    EXPECT_EQ(proc_status(relay.pid, "Gid"), g + g + g + g);
    std::istringstream listed(proc_status(relay.pid, "Groups"));
    std::vector<gid_t> got;
    for (gid_t x; listed >> x;)
        got.push_back(x);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, groups);
    EXPECT_EQ(relay.err(), "");

    unique_fd viewer = tcp_connect(tcp);
    ASSERT_TRUE(wait_output(relay, "New client:", wait_time)) << relay.out();
    bytes d = v5_datagram(3, 7);
    ASSERT_TRUE(udp_send(udp, d));
    bytes frame(4 + d.size());
    ASSERT_TRUE(read_exact(viewer.get(), frame, wait_time));
    EXPECT_EQ(frame, frame_of(d));

    char dir[] = "/tmp/nelk-root-only-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string path = std::string(dir) + "/nelkd.prom";
    finished f = run({"-d", "-u", "0", "-t", "0", "-U", "nobody", "-M", path});
    EXPECT_EQ(f.status, 1);
    EXPECT_EQ(f.err, "metrics file " + path + ": Permission denied\n");
    std::filesystem::remove_all(dir);

    // Not started as root, it cannot become another user, and says so.
    if (access("/usr/bin/setpriv", X_OK) == 0) {
        process p = spawn({"/usr/bin/setpriv", "--reuid=" + std::to_string(uid),
                           "--regid=" + std::to_string(gid), "--clear-groups", bin("nelkd"), "-u",
                           "0", "-t", "0", "-U", "root"});
        ASSERT_TRUE(wait_exit(p, wait_time));
        EXPECT_EQ(p.exit_code(), 1);
        EXPECT_EQ(p.err(), "nelkd: cannot run as user root: Operation not permitted\n");
    }
}

// Linux doubles the send buffer a program asks for: a viewer's is still
// the 1 MiB at most that nelkd(8) promises, however large -s.
TEST(RelayStartup, ViewerSendBufferStaysWithinItsCap)
{
    long wmem_max = 0;
    std::ifstream("/proc/sys/net/core/wmem_max") >> wmem_max;
    if (wmem_max < (1 << 20))
        GTEST_SKIP() << "net.core.wmem_max is below 1 MiB: the system caps the buffer first";
    int udp = free_udp_port(), tcp = free_tcp_port();
    process relay = start_nelkd(udp, tcp, {"-s", "4194304"});
    unique_fd viewer = tcp_connect(tcp);
    EXPECT_TRUE(wait_output(relay, "After setsockopt, SO_SNDBUF is 1048576\n", wait_time))
        << relay.out();
}

}  // namespace
