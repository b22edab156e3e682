// The viewer reading relay streams: from the real nelkd, from a scripted
// relay, with standard input at its end and with standard output gone.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "tests/e2e/harness.h"
#include "tests/e2e/pty_harness.h"
#include "common/nf5.h"
#include "tests/python_json.h"

namespace {

using namespace e2e;
using namespace std::chrono_literals;

std::vector<std::uint8_t> datagram_of(const std::vector<std::uint8_t>& frame)
{
    return {frame.begin() + 4, frame.end()};
}

TEST(ViewerStream, RelayPortIsTheLow16BitsOfTheArgument)
{
    fake_relay relay = open_fake_relay();
    process viewer =
        spawn({bin("nelk"), "-m", "colondump", "-s", relay_arg(relay.port + 65536)});
    ASSERT_TRUE(relay.accept_viewer(5s)) << viewer.err();
}

// -m json through the real relay: every flow of the harness's v5 datagrams
// as one line that python's json module reads, each value as the datagram's
// bytes give it, and nothing else on the line or before it.
TEST(ViewerStream, JsonLinesForPrograms)
{
    const int udp = free_udp_port();
    const int tcp = free_tcp_port();
    process relay = start_nelkd(udp, tcp);
    ASSERT_TRUE(relay.running()) << relay.err();
    process viewer =
        spawn({bin("nelk"), "-m", "json", "-P", "17", "-c", "6", "-s", relay_arg(tcp)});
    ASSERT_TRUE(wait_output(relay, "New client:", 5s)) << relay.out();

    // Byte 38 of a record is its protocol: -P 17 keeps the records where it
    // is 17, six of them from the first datagrams that hold any.
    const auto before = std::chrono::system_clock::now();
    std::vector<std::vector<std::uint8_t>> sent;
    std::string want;
    for (std::uint32_t seq = 0; count(want, "\n") < 6; ++seq) {
        ASSERT_LT(seq, 4096u) << "no datagram with six UDP flows";
        std::vector<std::uint8_t> d = v5_datagram(seq, 30);
        bool any = false;
        for (unsigned i = 0; i < 30 && count(want, "\n") < 6; ++i) {
            const std::uint8_t* r = d.data() + nf5_header_size + i * nf5_record_size;
            if (r[38] != 17)
                continue;
            any = true;
            const auto ip = [](const std::uint8_t* p) {
                return std::to_string(p[0]) + "." + std::to_string(p[1]) + "." +
                       std::to_string(p[2]) + "." + std::to_string(p[3]);
            };
            // The record's uptimes against the header's: uptime 0 at 1700000000.
            const auto at_ns = [](std::uint32_t uptime_ms) {
                return std::to_string(1700000000ull * 1000000000ull -
                                      static_cast<std::uint64_t>(0u - uptime_ms) * 1000000ull);
            };
            const auto as = [&](std::uint16_t a) { return std::to_string(a); };
            want += "NETFLOW_V5 " + std::to_string(seq) + " 0 127.0.0.1 " +
                    at_ns(load_be32(r + 24)) + " " + at_ns(load_be32(r + 28)) + " " +
                    std::to_string(load_be32(r + 20)) + " " + std::to_string(load_be32(r + 16)) +
                    " " + ip(r) + " " + ip(r + 4) + " " + ip(r + 8) + " " + std::to_string(r[44]) +
                    " " + std::to_string(r[45]) + " 2048 17 " + std::to_string(load_be16(r + 32)) +
                    " " + std::to_string(load_be16(r + 34)) + " " +
                    std::to_string(load_be16(r + 12)) + " " + std::to_string(load_be16(r + 14)) +
                    " " + as(load_be16(r + 40)) + " " + as(load_be16(r + 42)) + " " +
                    std::to_string(r[37]) + " " + std::to_string(r[39]) + "\n";
        }
        if (any)
            sent.push_back(d);
    }
    for (const auto& d : sent)
        ASSERT_TRUE(udp_send(udp, d));
    ASSERT_TRUE(wait_exit(viewer, 5s)) << viewer.out();
    EXPECT_EQ(viewer.exit_code(), 0);
    const auto after = std::chrono::system_clock::now();
    // Standard output is the program's: the viewer's notes go to standard error.
    EXPECT_EQ(viewer.err(), "Filtering for protocol 17\nFlow limit reached (6).  Exiting\n");

    // The values in the order of the keys, the receive time apart.
    const std::string out = viewer.out();
    const python_run run = run_python("import json,sys\n"
                                      "for l in sys.stdin:\n"
                                      " o=json.loads(l)\n"
                                      " print(o.pop(\"time_received_ns\"), file=sys.stderr)\n"
                                      " print(*o.values())",
                                      out);
    EXPECT_EQ(run.status, 0) << out;
    EXPECT_EQ(run.out, want) << out;

    std::istringstream times(run.err);
    const auto ns = [](auto t) {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    };
    int n = 0;
    for (long long t; times >> t; ++n) {
        // The kernel's tick may lag the clock by a few milliseconds.
        EXPECT_GE(t, ns(before) - 1000000000LL);
        EXPECT_LE(t, ns(after));
    }
    EXPECT_EQ(n, 6);
}

// The point of the accounting: frames that the relay skipped while the
// viewer could not keep up show as missed flows, every one of them.
TEST(ViewerStream, FramesTheRelaySkippedCountAsMissed)
{
    const int udp = free_udp_port();
    const int tcp = free_tcp_port();
    process relay = start_nelkd(udp, tcp);
    ASSERT_TRUE(relay.running()) << relay.err();
    // Only AS 1 is listed: the first and the last datagram.
    process viewer = spawn({bin("nelk"), "-m", "colondump", "-a", "1", "-s", relay_arg(tcp)});
    ASSERT_TRUE(wait_output(relay, "New client:", 5s)) << relay.out();

    flow_fields marker, filler;
    marker.src_as = 1;
    filler.src_as = 2;
    const std::vector<flow_fields> thirty(30, filler);
    std::uint32_t sequence = 0;
    auto send = [&](const std::vector<flow_fields>& flows) {
        const bool sent = udp_send(udp, datagram_of(relay_frame("0.0.0.0", flows,
                                                                header_fields{sequence})));
        sequence += static_cast<std::uint32_t>(flows.size());
        return sent;
    };
    ASSERT_TRUE(send({marker}));
    ASSERT_TRUE(wait_output(viewer, colondump_line(1, "127.0.0.1", marker), 5s)) << viewer.out();

    // A stopped viewer reads nothing: once the socket buffers are full the
    // relay skips it.
    ASSERT_EQ(::kill(viewer.pid, SIGSTOP), 0);
    const int bursts = 20000;
    for (int i = 0; i < bursts; ++i)
        ASSERT_TRUE(send(thirty));
    const std::uint32_t before_last = sequence;
    ASSERT_EQ(::kill(viewer.pid, SIGCONT), 0);
    // The relay skips a marker too while the viewer is still draining: send
    // one a second until one is through.
    const std::string both = colondump_line(1, "127.0.0.1", marker) +
                             colondump_line(2, "127.0.0.1", marker);
    bool through = false;
    for (int i = 0; i < 10 && !through; ++i) {
        ASSERT_TRUE(send({marker}));
        through = wait_output(viewer, both, 1s);
    }
    ASSERT_TRUE(through) << viewer.out();
    ::kill(viewer.pid, SIGINT);
    ASSERT_TRUE(wait_exit(viewer, 5s));

    // "nelk: N of M flows missed": M is every flow sent up to the marker
    // that came through, N those that never came.
    unsigned long long missed = 0, total = 0;
    ASSERT_EQ(std::sscanf(viewer.err().c_str(), "nelk: %llu of %llu flows missed", &missed, &total),
              2)
        << viewer.err();
    EXPECT_GT(total, before_last);
    EXPECT_LE(total, sequence);
    EXPECT_GT(missed, 0u);
    EXPECT_LT(missed, total);
}

TEST(ViewerStream, StandardInputAtItsEndStopsKeysNotFlows)
{
    fake_relay relay = open_fake_relay();
    // Standard input is /dev/null: no terminal, and at its end at once.
    process viewer = spawn({bin("nelk"), "-m", "dump", "-s", relay_arg(relay.port)});
    ASSERT_TRUE(relay.accept_viewer(5s));
    ASSERT_TRUE(wait_output(viewer, "ioctl\nioctl2\n", 5s)) << viewer.out();
    std::this_thread::sleep_for(100ms);
    const long before = cpu_ticks(viewer.pid);
    std::this_thread::sleep_for(700ms);
    EXPECT_LT(cpu_ticks(viewer.pid) - before, 10) << "waiting must not spin";

    flow_fields f;
    ASSERT_TRUE(relay.send(relay_frame("10.0.0.1", {f})));
    EXPECT_TRUE(wait_output(viewer, "flow #1 received from router 10.0.0.1, IP protocol 6\n", 5s))
        << viewer.out();
    EXPECT_TRUE(viewer.running());
    EXPECT_EQ(viewer.out().find("select"), std::string::npos);
}

// Output into a pipe that nobody reads any more: the viewer ends, quietly.
TEST(ViewerStream, StandardOutputGoneEndsQuietly)
{
    fake_relay relay = open_fake_relay();
    int out_pipe[2];
    ASSERT_EQ(::pipe2(out_pipe, O_CLOEXEC), 0);
    spawn_options opts;
    opts.stdout_fd = out_pipe[1];
    process viewer = spawn({bin("nelk"), "-m", "colondump", "-s", relay_arg(relay.port)}, opts);
    ::close(out_pipe[0]);  // nobody reads the listing
    ::close(out_pipe[1]);
    ASSERT_TRUE(relay.accept_viewer(5s));

    flow_fields f;
    const auto frame = relay_frame("10.0.0.1", std::vector<flow_fields>(30, f));
    for (int i = 0; i < 500 && viewer.running() && relay.send(frame); ++i)
        std::this_thread::sleep_for(2ms);
    ASSERT_TRUE(wait_exit(viewer, 5s)) << "the viewer ran on with nobody to read it";
    EXPECT_EQ(viewer.term_signal(), 0) << "killed by signal " << viewer.term_signal();
    EXPECT_EQ(viewer.exit_code(), 0);
    EXPECT_EQ(viewer.err(), "");
}

}  // namespace
