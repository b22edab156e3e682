// The client table at its limits: a full table, running out of descriptors,
// descriptors beyond select's reach, standard input closed.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include <cstdint>
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

    // Accepted and closed at once.
    unique_fd extra = tcp_connect(tcp);
    ASSERT_TRUE(extra);
    EXPECT_TRUE(wait_closed(extra.get(), wait_time));
    EXPECT_EQ(count(relay.out(), "New client:"), 256);

    bytes d = v5_datagram(42, 30);
    ASSERT_TRUE(udp_send(udp, d));
    for (int i = 0; i < 256; ++i)
        ASSERT_TRUE(gets_frame(viewers[static_cast<std::size_t>(i)].get(), d)) << "viewer " << i;
#ifndef NELK_UNDER_ASAN
    // Nothing big is kept per viewer.
    EXPECT_LT(status_kib(relay.pid, "VmRSS"), 4096);
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
    // Said once while descriptors stay short, not at every retry.
    EXPECT_EQ(count(relay.err(), "accept error"), 1) << relay.err();

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

// -a and -m: a viewer not let in is closed before it gets any frame.
TEST(RelayClients, AllowedViewersAndTheCapPerAddress)
{
    int udp = free_udp_port(), tcp = free_tcp_port();
    process relay = start_nelkd(udp, tcp, {"-a", "127.0.0.2/31", "-m", "2"});
    ASSERT_TRUE(relay.running()) << relay.err();
    bytes d = v5_datagram(3, 2);
    auto refused = [&](const char* from, const std::string& line) {
        unique_fd v = tcp_connect(tcp, 0, from);
        EXPECT_TRUE(v) << from;
        // Frames go on meanwhile; a viewer let in would get them.
        EXPECT_TRUE(udp_send(udp, d));
        std::size_t seen = 1;
        EXPECT_TRUE(wait_closed(v.get(), wait_time, &seen)) << from;
        EXPECT_EQ(seen, 0u) << from;
        EXPECT_TRUE(wait_output(relay, line, wait_time)) << relay.out();
    };
    refused("127.0.0.1", "Connection from 127.0.0.1 refused: not an allowed viewer.\n");
    refused("127.0.0.4", "Connection from 127.0.0.4 refused: not an allowed viewer.\n");

    std::vector<unique_fd> in;
    for (const char* from : {"127.0.0.2", "127.0.0.2", "127.0.0.3"}) {
        in.push_back(tcp_connect(tcp, 0, from));
        ASSERT_TRUE(wait_output_count(relay, "New client:", static_cast<int>(in.size()), wait_time))
            << relay.out();
    }
    refused("127.0.0.2", "Connection from 127.0.0.2 refused: too many viewers from that address.\n");

    bytes d2 = v5_datagram(4, 5);
    ASSERT_TRUE(udp_send(udp, d2));
    for (auto& v : in) {
        EXPECT_TRUE(gets_frame(v.get(), d));  // sent while the last one was refused
        EXPECT_TRUE(gets_frame(v.get(), d2));
    }
    // A place freed by a viewer of that address is open to it again.
    in[0].reset();
    ASSERT_TRUE(wait_output(relay, "Closing connection", wait_time));
    unique_fd again = tcp_connect(tcp, 0, "127.0.0.2");
    ASSERT_TRUE(wait_output_count(relay, "New client:", 4, wait_time)) << relay.out();
    kill(relay.pid, SIGUSR1);
    EXPECT_TRUE(wait_output(relay, " viewers=3 refused=3 ", wait_time)) << relay.out();
}

// Debug lines into a pipe that nobody reads: the relay goes on serving,
// drops what does not fit, and says so once it can.
TEST(RelayClients, DebugOutputNobodyReadsDoesNotStallTheRelay)
{
    int udp = free_udp_port(), tcp = free_tcp_port();
    spawn_options opts;
    opts.stdout_pipe = true;
    process relay = spawn({bin("nelkd"), "-d", "-u", std::to_string(udp), "-t",
                           std::to_string(tcp)},
                          opts);
    unique_fd keeper;
    for (int i = 0; i < 500 && !keeper; ++i) {
        keeper = tcp_connect(tcp);
        if (!keeper)
            std::this_thread::sleep_for(milliseconds(10));
    }
    ASSERT_TRUE(keeper);
    // Read while it is let in; from then on nobody reads.
    std::string text;
    char buf[65536];
    auto read_pipe_until = [&](const std::string& want) {
        auto until = std::chrono::steady_clock::now() + wait_time;
        while (text.find(want) == std::string::npos && std::chrono::steady_clock::now() < until) {
            pollfd p{relay.out_pipe.get(), POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                ssize_t n = read(relay.out_pipe.get(), buf, sizeof buf);
                if (n <= 0)
                    break;
                text.append(buf, static_cast<std::size_t>(n));
            }
        }
        return text.find(want) != std::string::npos;
    };
    ASSERT_TRUE(read_pipe_until(" to l_clients[0]\n")) << text;

    // Every viewer that comes and goes makes eight debug lines, some 300
    // bytes: far more than the relay's buffer and a small pipe hold.
    fcntl(relay.out_pipe.get(), F_SETPIPE_SZ, 4096);
    constexpr int comers = 800;
    std::uint32_t seq = 0;
    for (int i = 0; i < comers; ++i) {
        unique_fd v = tcp_connect(tcp);
        ASSERT_TRUE(v) << "viewer " << i;
        if (i % 100 == 99) {
            bytes d = v5_datagram(++seq, 1);
            ASSERT_TRUE(udp_send(udp, d));
            ASSERT_TRUE(gets_frame(keeper.get(), d)) << "relay stalled after " << i << " viewers";
        }
    }
    EXPECT_TRUE(relay.running());

    // Reading at last, we get what was kept, then the note.
    EXPECT_TRUE(read_pipe_until("lines of output dropped: nobody was reading them)\n"));
    EXPECT_NE(text.find("Closing connection "), std::string::npos);
}

}  // namespace
