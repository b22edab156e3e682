// The relay stream as viewers see it: frame bytes, order, who gets what.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "common/nf5.h"
#include "tests/e2e/harness.h"

using namespace e2e;
using bytes = std::vector<std::uint8_t>;

namespace {

constexpr milliseconds wait_time(5000);

bytes read_bytes(int fd, std::size_t n)
{
    bytes b(n);
    if (!read_exact(fd, b, wait_time))
        b.clear();
    return b;
}

struct relay_under_test {
    int udp = free_udp_port();
    int tcp = free_tcp_port();
    process relay;
    explicit relay_under_test(const std::vector<std::string>& extra = {})
        : relay(start_nelkd(udp, tcp, extra))
    {
    }
    int viewers = 0;

    // Connects a viewer and waits until the relay has given it a slot.
    unique_fd viewer()
    {
        unique_fd fd = tcp_connect(tcp);
        EXPECT_TRUE(fd);
        ++viewers;
        EXPECT_TRUE(wait_output_count(relay, "New client:  Assigning fd ", viewers, wait_time))
            << relay.out();
        return fd;
    }

    void send(const bytes& d) { ASSERT_TRUE(udp_send(udp, d)); }
};

// Descriptor of the client in slot `slot`, from the latest assignment line.
int fd_of_slot(const std::string& out, int slot)
{
    std::string tail = " to l_clients[" + std::to_string(slot) + "]\n";
    auto at = out.rfind(tail);
    if (at == std::string::npos)
        return -1;
    auto start = out.rfind("Assigning fd ", at);
    return std::stoi(out.substr(start + 13, at - start - 13));
}

TEST(RelayStream, FrameBytes)
{
    relay_under_test r;
    ASSERT_TRUE(r.relay.running()) << r.relay.err();
    unique_fd v = r.viewer();

    // A full datagram: router address 127.0.0.1 as the bytes 127, 0, 0, 1.
    bytes d30 = v5_datagram(1, 30);
    r.send(d30);
    bytes got = read_bytes(v.get(), 4 + d30.size());
    ASSERT_EQ(got.size(), 1468u);
    EXPECT_EQ(got, frame_of(d30));

    // An empty datagram is a frame of the address alone: the next frame
    // follows right after it.
    bytes marker = v5_datagram(2, 1);
    r.send({});
    r.send(marker);
    bytes want = frame_of({});
    bytes marker_frame = frame_of(marker);
    want.insert(want.end(), marker_frame.begin(), marker_frame.end());
    EXPECT_EQ(read_bytes(v.get(), want.size()), want);

    // A datagram beyond 8192 bytes is relayed as its first 8192.
    bytes big(9000);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint8_t>(i % 251);
    r.send(big);
    r.send(marker);
    want = frame_of(bytes(big.begin(), big.begin() + 8192));
    ASSERT_EQ(want.size(), 8196u);
    want.insert(want.end(), marker_frame.begin(), marker_frame.end());
    EXPECT_EQ(read_bytes(v.get(), want.size()), want);

    // And nothing else.
    EXPECT_TRUE(read_available(v.get(), milliseconds(200), milliseconds(1000)).empty());
}

TEST(RelayStream, ViewersGetTheSameFramesInArrivalOrder)
{
    relay_under_test r;
    unique_fd a = r.viewer();
    unique_fd b = r.viewer();

    bytes want;
    for (std::uint32_t seq = 0; seq < 60; ++seq) {
        bytes d = v5_datagram(seq, 1 + seq % 30);
        r.send(d);
        bytes f = frame_of(d);
        want.insert(want.end(), f.begin(), f.end());
    }
    bytes got_a = read_bytes(a.get(), want.size());
    bytes got_b = read_bytes(b.get(), want.size());
    EXPECT_EQ(got_a, want);
    EXPECT_EQ(got_b, want);
}

TEST(RelayStream, LateViewerMissesEarlierFrames)
{
    relay_under_test r;
    unique_fd a = r.viewer();
    bytes d1 = v5_datagram(1, 3);
    r.send(d1);
    EXPECT_EQ(read_bytes(a.get(), 4 + d1.size()), frame_of(d1));

    unique_fd b = r.viewer();
    bytes d2 = v5_datagram(2, 5);
    r.send(d2);
    EXPECT_EQ(read_bytes(a.get(), 4 + d2.size()), frame_of(d2));
    EXPECT_EQ(read_bytes(b.get(), 4 + d2.size()), frame_of(d2));
    EXPECT_TRUE(read_available(b.get(), milliseconds(200), milliseconds(1000)).empty());
}

TEST(RelayStream, FreedSlotIsTakenAgain)
{
    relay_under_test r;
    unique_fd a = r.viewer();
    unique_fd b = r.viewer();
    unique_fd c = r.viewer();
    std::string out = r.relay.out();
    int fd_a = fd_of_slot(out, 0);
    ASSERT_GT(fd_a, 0) << out;
    EXPECT_GT(fd_of_slot(out, 2), 0) << out;

    a.reset();
    ASSERT_TRUE(wait_output(r.relay,
                            "Closing connection " + std::to_string(fd_a) + "/0\n", wait_time))
        << r.relay.out();
    unique_fd d = r.viewer();
    out = r.relay.out();
    EXPECT_EQ(count(out, " to l_clients[0]\n"), 2) << out;
    EXPECT_EQ(count(out, " to l_clients[3]\n"), 0) << out;

    bytes dg = v5_datagram(7, 2);
    r.send(dg);
    for (int fd : {b.get(), c.get(), d.get()})
        EXPECT_EQ(read_bytes(fd, 4 + dg.size()), frame_of(dg));
}

TEST(RelayStream, ViewerThatSendsBytesStays)
{
    relay_under_test r;
    unique_fd a = r.viewer();
    int fd = fd_of_slot(r.relay.out(), 0);
    ASSERT_EQ(send(a.get(), "hello!", 6, 0), 6);
    EXPECT_TRUE(wait_output(r.relay, "read 6 bytes from client " + std::to_string(fd) + "/0\n",
                            wait_time))
        << r.relay.out();

    bytes d = v5_datagram(3, 4);
    r.send(d);
    EXPECT_EQ(read_bytes(a.get(), 4 + d.size()), frame_of(d));
    EXPECT_EQ(count(r.relay.out(), "Closing connection"), 0);
}

TEST(RelayStream, ViewerThatResetsDoesNotEndTheRelay)
{
    relay_under_test r;
    unique_fd a = r.viewer();
    unique_fd b = r.viewer();
    int fd_a = fd_of_slot(r.relay.out(), 0);

    // Frames a never reads, then an abortive close: the relay meets a reset
    // connection, on reading or on writing.
    bytes d = v5_datagram(1, 30);
    for (int i = 0; i < 3; ++i) {
        r.send(d);
        EXPECT_EQ(read_bytes(b.get(), 4 + d.size()), frame_of(d));
    }
    linger hard{1, 0};
    ASSERT_EQ(setsockopt(a.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
    a.reset();

    std::string died = "client " + std::to_string(fd_a) + "/0 died somehow.\n";
    std::string gone = "client " + std::to_string(fd_a) + "/0 seems to have gone away.\n";
    for (int i = 0; i < 20; ++i) {
        r.send(d);
        ASSERT_EQ(read_bytes(b.get(), 4 + d.size()), frame_of(d)) << "frame " << i;
    }
    ASSERT_TRUE(r.relay.running()) << r.relay.err();
    std::string out = r.relay.out();
    EXPECT_EQ(count(out, died) + count(out, gone), 1) << out;

    unique_fd c = r.viewer();
    EXPECT_EQ(count(r.relay.out(), " to l_clients[0]\n"), 2);
}

// A datagram of the largest size relayed whole, numbered by its first bytes.
bytes big_datagram(std::uint32_t seq)
{
    bytes d(8192);
    store_be32(d.data(), seq);
    for (std::size_t i = 4; i < d.size(); ++i)
        d[i] = static_cast<std::uint8_t>(seq * 131 + i);
    return d;
}

// A viewer that reads far too slowly must not hold up one that keeps up,
// and what it does get is whole frames in order.
TEST(RelayStream, SlowViewerMissesFramesButStaysInStep)
{
    relay_under_test r;
    unique_fd slow = tcp_connect(r.tcp, 4096);
    ASSERT_TRUE(slow);
    ASSERT_TRUE(wait_output_count(r.relay, "New client:", ++r.viewers, wait_time));
    unique_fd fast = r.viewer();

    // Bursts of big frames, so that the relay writes many at once; the slow
    // viewer takes a little after each, so that its send buffer is mostly
    // full and at times has room for only part of a burst.
    constexpr std::uint32_t total = 2400;
    constexpr std::uint32_t burst = 16;
    constexpr std::size_t frame_size = 4 + 8192;
    bytes stream;
    auto sip_slow = [&] {
        std::uint8_t buf[16384];
        ssize_t n = recv(slow.get(), buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0)
            stream.insert(stream.end(), buf, buf + n);
    };
    auto check_fast = [&](std::uint32_t first, std::uint32_t n) {
        for (std::uint32_t seq = first; seq < first + n; ++seq)
            r.send(big_datagram(seq));
        for (std::uint32_t seq = first; seq < first + n; ++seq)
            if (read_bytes(fast.get(), frame_size) != frame_of(big_datagram(seq)))
                return false;
        return true;
    };
    for (std::uint32_t seq = 0; seq < total; seq += burst) {
        ASSERT_TRUE(check_fast(seq, burst)) << "the reading viewer waited at frame " << seq;
        sip_slow();
    }

    // The slow one drains its backlog, then keeps up for a few frames; what
    // the relay still owed it arrives first.
    constexpr std::uint32_t more = 5;
    bytes got = read_available(slow.get(), milliseconds(300), milliseconds(10000));
    stream.insert(stream.end(), got.begin(), got.end());
    for (std::uint32_t seq = total; seq < total + more; ++seq) {
        ASSERT_TRUE(check_fast(seq, 1));
        got = read_available(slow.get(), milliseconds(200), milliseconds(3000));
        stream.insert(stream.end(), got.begin(), got.end());
    }

    ASSERT_EQ(stream.size() % frame_size, 0u) << "stream cut inside a frame";
    std::size_t frames = stream.size() / frame_size;
    EXPECT_LT(frames, static_cast<std::size_t>(total)) << "the slow viewer missed nothing";
    long last = -1;
    for (std::size_t i = 0; i < frames; ++i) {
        bytes f(stream.begin() + static_cast<long>(i * frame_size),
                stream.begin() + static_cast<long>((i + 1) * frame_size));
        std::uint32_t seq = load_be32(f.data() + 4);
        ASSERT_GT(static_cast<long>(seq), last) << "frame " << i;
        ASSERT_EQ(f, frame_of(big_datagram(seq))) << "frame " << i;
        last = seq;
    }
    // Reading again, it gets every new frame.
    EXPECT_EQ(last, static_cast<long>(total + more - 1));
    EXPECT_EQ(count(r.relay.out(), "gone away"), 0);
}

}  // namespace
