// A viewer's stream stays in step when a send takes only part of what it
// was given: the rest of a cut frame goes out first, later frames are missed.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "common/nf5.h"
#include "common/unique_fd.h"
#include "relay/relay.h"
#include "tools/harness/loopback.h"

namespace {

std::vector<iovec> iovecs(const std::vector<std::size_t>& sizes)
{
    std::vector<iovec> v;
    for (std::size_t n : sizes)
        v.push_back({nullptr, n});
    return v;
}

TEST(RelaySplit, WholeFramesAndTheOneInHand)
{
    struct case_ {
        std::size_t owed;
        std::vector<std::size_t> frames;
        std::size_t sent;
        send_split want;
    };
    const case_ cases[] = {
        // nothing owed
        {0, {100, 200}, 300, {0, 2, 0}},
        {0, {100, 200}, 100, {0, 1, 0}},
        {0, {100, 200}, 1, {0, 0, 1}},
        {0, {100, 200}, 99, {0, 0, 99}},
        {0, {100, 200}, 101, {0, 1, 1}},
        {0, {100, 200}, 299, {0, 1, 199}},
        {0, {4, 4, 4}, 8, {0, 2, 0}},  // empty datagrams: address only
        {0, {4, 4, 4}, 10, {0, 2, 2}},
        // the rest of an earlier frame goes first
        {50, {100}, 20, {30, 0, 0}},
        {50, {100}, 49, {1, 0, 0}},
        {50, {100}, 50, {0, 0, 0}},
        {50, {100}, 51, {0, 0, 1}},
        {50, {100}, 150, {0, 1, 0}},
        {50, {}, 50, {0, 0, 0}},
    };
    for (const case_& c : cases) {
        std::vector<iovec> frames = iovecs(c.frames);
        send_split got = split_sent(c.owed, frames, c.sent);
        EXPECT_EQ(got.owed_left, c.want.owed_left) << "owed " << c.owed << " sent " << c.sent;
        EXPECT_EQ(got.whole, c.want.whole) << "owed " << c.owed << " sent " << c.sent;
        EXPECT_EQ(got.cut_sent, c.want.cut_sent) << "owed " << c.owed << " sent " << c.sent;
    }
}

constexpr std::size_t frame_size = 1000;

// Frame n: its number, then bytes that follow from it.
std::vector<std::uint8_t> frame(std::uint32_t n)
{
    std::vector<std::uint8_t> f(frame_size);
    store_be32(f.data(), n);
    for (std::size_t i = 4; i < f.size(); ++i)
        f[i] = static_cast<std::uint8_t>(n * 31 + i);
    return f;
}

void take(int fd, std::size_t most, std::vector<std::uint8_t>& stream)
{
    std::vector<std::uint8_t> buf(most);
    ssize_t n = recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n > 0)
        stream.insert(stream.end(), buf.begin(), buf.begin() + n);
}

// The frames a send started count as delivered; the rest were missed.
TEST(RelaySend, FramesStarted)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    unique_fd relay_end(sv[0]), viewer_end(sv[1]);
    int small = 4096;
    setsockopt(relay_end.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::vector<std::vector<std::uint8_t>> batch;
    std::vector<iovec> iov;
    for (std::uint32_t n = 0; n < 40; ++n)
        batch.push_back(frame(n));
    for (auto& f : batch)
        iov.push_back({f.data(), f.size()});
    pending_frame p;
    std::size_t started = 99;
    ASSERT_EQ(send_frames(relay_end.get(), p, iov, &started), send_result::sent);
    std::vector<std::uint8_t> stream;
    take(viewer_end.get(), 1 << 20, stream);
    EXPECT_GT(started, 0u);
    EXPECT_LT(started, iov.size());
    EXPECT_EQ((stream.size() + p.owed() + frame_size - 1) / frame_size, started);
    // Nothing read since: sooner or later no room, and nothing started.
    send_result r = send_result::sent;
    for (int i = 0; i < 100 && r == send_result::sent; ++i)
        r = send_frames(relay_end.get(), p, iov, &started);
    EXPECT_EQ(r, send_result::no_room);
    EXPECT_EQ(started, 0u);
}

TEST(RelaySend, ClosedViewerIsGone)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    unique_fd relay_end(sv[0]), viewer_end(sv[1]);
    viewer_end.reset();
    pending_frame p;
    std::vector<std::uint8_t> f = frame(1);
    iovec iov{f.data(), f.size()};
    EXPECT_EQ(send_frames(relay_end.get(), p, {&iov, 1}), send_result::gone);
}

TEST(RelayTuning, VanishedViewer)
{
    const harness::tcp_pair t = harness::tcp_loopback_pair();
    const int relay_end = t.accepted.get();
    ASSERT_GE(relay_end, 0);
    // The handshake's ACK has just come: heard from now, silent for a
    // moment only.
    EXPECT_FALSE(viewer_vanished(relay_end));
    EXPECT_FALSE(viewer_vanished(relay_end, 60000));
    usleep(30000);
    EXPECT_TRUE(viewer_vanished(relay_end, 10));
    EXPECT_FALSE(viewer_vanished(-1, 0));  // no answer is no verdict
}

}  // namespace
