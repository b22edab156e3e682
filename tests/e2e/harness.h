// End-to-end harness: the real programs on free loopback ports. Starting,
// watching and stopping them, ports and sockets come from the harness that
// the benchmarks share (tools/harness); here is what only these tests need:
// the programs of this build, the relay in debug mode, the tests' own
// datagrams and frames, and the viewer's stand-in clock, and the checks that need GoogleTest.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "common/framed_stream.h"
#include "tools/harness/loopback.h"
#include "tools/harness/pcap.h"
#include "tools/harness/process.h"

namespace e2e {

using namespace harness;

// Path of a program of the build: NELK_BIN_DIR/name ("nelkd", "nelk", "flowgen").
std::string bin(const std::string& name);

// Starts nelkd in debug mode on the given ports and waits for its listening
// line. `extra` goes after -d -u -t.
process start_nelkd(int udpport, int tcpport, const std::vector<std::string>& extra = {},
                    const spawn_options& opts = {});

// A NetFlow v5 datagram of `records` records (0 to 30) whose header carries
// `sequence` as flow_sequence and whose record bytes follow from it, so that
// a receiver can tell every datagram of a test apart and check its bytes.
std::vector<std::uint8_t> v5_datagram(std::uint32_t sequence, unsigned records);

// A sound NetFlow v9 (version 9) or IPFIX (10) message: a template and two
// data records that follow from `sequence`, which the header carries.
std::vector<std::uint8_t> flow_message(std::uint16_t version, std::uint32_t sequence);

// The frame the relay makes of a datagram sent from 127.0.0.1 (or
// 127.0.0.last): the router address in network order, then the datagram.
std::vector<std::uint8_t> frame_of(const std::vector<std::uint8_t>& datagram,
                                   std::uint8_t last = 1);

// One frame of the framed stream; ok is false when none came whole in time.
struct framed_frame {
    bool ok = false;
    framed_head head;
    std::vector<std::uint8_t> datagram;
};
framed_frame read_framed(int fd, milliseconds timeout);

// The viewer's clock in top mode: a library preloaded into nelk whose
// time() gives the modification time of a file that the test sets.
struct fake_clock {
    temp_dir dir{"nelk-clock"};
    std::string path = dir.file("now");
    explicit fake_clock(std::time_t start);
    void set(std::time_t t) const;
    // The environment that puts nelk on this clock, in UTC.
    std::vector<std::string> env() const;
};

// Why the peer programs named (softflowd, tshark) cannot be run: "" when
// all of them are here.
std::string missing_programs(const std::vector<std::string>& names);

}  // namespace e2e

// A test that needs peer programs skips without them, but fails in CI,
// whose set-up installs them.
#define NELK_REQUIRE_PROGRAMS(...)                                                   \
    if (const std::string why_missing = e2e::missing_programs({__VA_ARGS__});       \
        !why_missing.empty()) {                                                      \
        if (const char* ci = std::getenv("CI"); ci && std::string(ci) == "true")     \
            FAIL() << why_missing;                                                   \
        GTEST_SKIP() << why_missing;                                                 \
    }
