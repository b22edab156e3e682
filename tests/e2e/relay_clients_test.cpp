// The client table at its limits: a full table, running out of descriptors,
// descriptors beyond select's reach, standard input closed.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/under_asan.h"

using namespace e2e;
using bytes = std::vector<std::uint8_t>;

namespace {

constexpr milliseconds wait_time(5000);

bool gets_frame(int fd, const bytes& datagram)
{
    bytes got(4 + datagram.size());
    return read_exact(fd, got, wait_time) && got == frame_of(datagram);
}

// CPU time (user + system) the process has used, in clock ticks.
long cpu_ticks(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(in, line);
    std::istringstream f(line.substr(line.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && f >> field; ++i) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15)
            stime = std::stol(field);
    }
    return utime + stime;
}

// Resident memory of the process, in KiB.
[[maybe_unused]] long resident_kib(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Room for this many descriptors of our own; false when the system will not.
bool allow_descriptors(rlim_t n)
{
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_cur >= n)
        return true;
    if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < n)
        return false;
    rl.rlim_cur = n;
    return setrlimit(RLIMIT_NOFILE, &rl) == 0;
}

TEST(RelayClients, TheViewerBeyondTheTableIsClosedAndTheOthersGoOn)
{
    ASSERT_TRUE(allow_descriptors(600));
    int udp = free_udp_port(), tcp = free_tcp_port();
    process relay = start_nelkd(udp, tcp);
    std::vector<unique_fd> viewers;
    for (int i = 0; i < 256; ++i) {
        viewers.push_back(tcp_connect(tcp));
        ASSERT_TRUE(viewers.back()) << i;
    }
    ASSERT_TRUE(wait_output_count(relay, "New client:  Assigning fd ", 256, wait_time))
        << relay.out();
    EXPECT_EQ(count(relay.out(), " to l_clients[255]\n"), 1);

    // Accepted, tuned like any other, and closed at once.
    unique_fd extra = tcp_connect(tcp);
    ASSERT_TRUE(extra);
    EXPECT_TRUE(wait_closed(extra.get(), wait_time));
    EXPECT_TRUE(wait_output_count(relay, "After setsockopt, TCP_NODELAY is 1\n", 257, wait_time));
    EXPECT_EQ(count(relay.out(), "New client:"), 256);

    bytes d = v5_datagram(42, 30);
    ASSERT_TRUE(udp_send(udp, d));
    for (int i = 0; i < 256; ++i)
        ASSERT_TRUE(gets_frame(viewers[static_cast<std::size_t>(i)].get(), d)) << "viewer " << i;
#ifndef NELK_UNDER_ASAN
    // Nothing big is kept per viewer.
    EXPECT_LT(resident_kib(relay.pid), 4096);
#endif

    // A slot that frees up is taken again.
    viewers[17].reset();
    ASSERT_TRUE(wait_output(relay, "/17\n", wait_time));
    unique_fd again = tcp_connect(tcp);
    ASSERT_TRUE(wait_output_count(relay, " to l_clients[17]\n", 2, wait_time));
    bytes d2 = v5_datagram(43, 1);
    ASSERT_TRUE(udp_send(udp, d2));
    EXPECT_TRUE(gets_frame(again.get(), d2));
    EXPECT_TRUE(gets_frame(viewers[0].get(), d2));
}

TEST(RelayClients, RunningOutOfDescriptorsIsNotFatalAndNotABusyLoop)
{
    // 0-2, the two sockets, and room for three viewers.
    int udp = free_udp_port(), tcp = free_tcp_port();
    spawn_options opts;
    opts.nofile = 8;
    process relay = start_nelkd(udp, tcp, {}, opts);
    ASSERT_TRUE(relay.running()) << relay.err();
    std::vector<unique_fd> viewers;
    for (int i = 0; i < 3; ++i)
        viewers.push_back(tcp_connect(tcp));
    ASSERT_TRUE(wait_output_count(relay, "New client:", 3, wait_time)) << relay.out();

    unique_fd waiting = tcp_connect(tcp);
    ASSERT_TRUE(waiting);
    ASSERT_TRUE(wait_output(relay, "accept error: Too many open files\n", wait_time, true))
        << relay.err();

    long before = cpu_ticks(relay.pid);
    std::this_thread::sleep_for(milliseconds(1000));
    long used = cpu_ticks(relay.pid) - before;
    EXPECT_LT(used, sysconf(_SC_CLK_TCK) / 5) << "the relay spins while descriptors are short";
    EXPECT_LT(count(relay.err(), "accept error"), 20);

    bytes d = v5_datagram(1, 2);
    ASSERT_TRUE(udp_send(udp, d));
    for (auto& v : viewers)
        EXPECT_TRUE(gets_frame(v.get(), d));

    // Once a viewer leaves, the one that waited gets its place.
    viewers[0].reset();
    ASSERT_TRUE(wait_output_count(relay, "New client:", 4, wait_time)) << relay.out();
    EXPECT_EQ(count(relay.out(), " to l_clients[0]\n"), 2);
    bytes d2 = v5_datagram(2, 2);
    ASSERT_TRUE(udp_send(udp, d2));
    EXPECT_TRUE(gets_frame(waiting.get(), d2));
    EXPECT_TRUE(relay.running());
}

TEST(RelayClients, DescriptorsBeyondSelectAreRefused)
{
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < 1100)
        GTEST_SKIP() << "hard descriptor limit below 1100";
    int udp = free_udp_port(), tcp = free_tcp_port();

    // Started holding 3..1020: the sockets get 1021 and 1022, the first
    // viewer 1023, the last descriptor select can watch.
    spawn_options opts;
    opts.nofile = 1100;
    opts.fill_fds_below = 1021;
    process relay = start_nelkd(udp, tcp, {}, opts);
    ASSERT_TRUE(relay.running()) << relay.err();
    unique_fd first = tcp_connect(tcp);
    ASSERT_TRUE(wait_output(relay, "Assigning fd 1023 to l_clients[0]\n", wait_time))
        << relay.out();
    unique_fd second = tcp_connect(tcp);
    ASSERT_TRUE(second);
    EXPECT_TRUE(wait_closed(second.get(), wait_time));
    bytes d = v5_datagram(5, 3);
    ASSERT_TRUE(udp_send(udp, d));
    EXPECT_TRUE(gets_frame(first.get(), d));
    EXPECT_EQ(count(relay.out(), "New client:"), 1);
    EXPECT_TRUE(relay.running());

    // A listening socket beyond select's reach ends start-up.
    opts.fill_fds_below = 1023;
    process late = spawn({bin("nelkd"), "-d", "-u", std::to_string(free_udp_port()), "-t",
                          std::to_string(free_tcp_port())},
                         opts);
    ASSERT_TRUE(wait_exit(late, wait_time));
    EXPECT_EQ(late.exit_code(), 1);
    EXPECT_EQ(late.err(), "socket (tcp) error: Too many open files\n");
}

TEST(RelayClients, StartedWithStandardInputClosed)
{
    int udp = free_udp_port(), tcp = free_tcp_port();
    spawn_options opts;
    opts.close_stdin = true;
    process relay = start_nelkd(udp, tcp, {}, opts);
    ASSERT_TRUE(relay.running()) << relay.err();
    unique_fd a = tcp_connect(tcp);
    unique_fd b = tcp_connect(tcp);
    ASSERT_TRUE(wait_output(relay, " to l_clients[1]\n", wait_time)) << relay.out();
    EXPECT_EQ(count(relay.out(), "Assigning fd 0 "), 0);
    bytes d = v5_datagram(9, 4);
    ASSERT_TRUE(udp_send(udp, d));
    EXPECT_TRUE(gets_frame(a.get(), d));
    EXPECT_TRUE(gets_frame(b.get(), d));
}

}  // namespace
