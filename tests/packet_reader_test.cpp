// The stream reader against scripted relay streams on a loopback connection.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "common/nf5.h"
#include "common/unique_fd.h"
#include "tools/harness/loopback.h"
#include "viewer/event_loop.h"
#include "viewer/exits.h"
#include "viewer/flow_filter.h"
#include "viewer/packet_reader.h"
#include "viewer/viewer.h"

namespace {

// A mode that numbers and filters records but prints nothing, so the
// counters alone show what reached the filter.
constexpr auto mode_silent = display_mode{0};

struct loopback_stream {
    unique_fd relay;   // the test writes the relay's side
    unique_fd viewer;  // read_packet reads this one
};

loopback_stream open_stream()
{
    harness::tcp_pair pair = harness::tcp_loopback_pair();
    EXPECT_TRUE(pair.accepted && pair.connected);
    return {std::move(pair.accepted), std::move(pair.connected)};
}

void send_all(int fd, const std::vector<std::uint8_t>& bytes, std::size_t from = 0,
              std::size_t to = SIZE_MAX)
{
    to = std::min(to, bytes.size());
    while (from < to) {
        ssize_t n = ::write(fd, bytes.data() + from, to - from);
        ASSERT_GT(n, 0);
        from += static_cast<std::size_t>(n);
    }
}

std::uint32_t ip(const char* dotted)
{
    return inet_addr(dotted);
}

nf5_record flow(std::uint16_t src_as = 1, std::uint16_t dst_as = 2, std::uint32_t bytes = 1500)
{
    nf5_record r{};
    r.srcaddr = ip("192.0.2.1");
    r.dstaddr = ip("198.51.100.7");
    r.input = 2;
    r.output = 3;
    r.dPkts = 3;
    r.dOctets = bytes;
    r.srcport = 80;
    r.dstport = 1025;
    r.prot = 6;
    r.src_as = src_as;
    r.dst_as = dst_as;
    return r;
}

// One relay frame: router address, v5 header with the given version and
// count, then the records (which need not match the count).
std::vector<std::uint8_t> frame(const char* router, std::uint16_t version, std::uint16_t count,
                                const std::vector<nf5_record>& records)
{
    std::vector<std::uint8_t> out(relay_frame_head_size + records.size() * nf5_record_size);
    store_net32(out.data(), ip(router));
    nf5_header h{};
    h.version = version;
    h.count = count;
    encode_nf5_header(out.data() + relay_addr_size, h);
    for (std::size_t i = 0; i < records.size(); ++i)
        encode_nf5_record(out.data() + relay_frame_head_size + i * nf5_record_size, records[i]);
    return out;
}

std::vector<std::uint8_t> good_frame(const char* router, std::size_t n, nf5_record rec = flow())
{
    return frame(router, 5, static_cast<std::uint16_t>(n), std::vector<nf5_record>(n, rec));
}

std::vector<std::uint8_t> operator+(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct reader_fixture : testing::Test {
    viewer_records v;
    viewer_config& config = v.config;
    flow_filter& filter = v.filter;
    flow_stats& stats = v.stats;
    flow_context& ctx = v.ctx;
    packet_reader reader;
    loopback_stream stream = open_stream();

    reader_fixture() { config.mode = mode_silent; }

    // One readable event, as the loop sees it; false when nothing arrived.
    bool pump_once(int timeout_ms = 2000)
    {
        pollfd p{stream.viewer.get(), POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) != 1)
            return false;
        read_packet(reader, stream.viewer.get(), ctx);
        return true;
    }

    // Readable events until done() holds, for at most five seconds.
    bool pump_until(const std::function<bool()>& done)
    {
        auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!done()) {
            if (std::chrono::steady_clock::now() > limit)
                return false;
            pump_once(100);
        }
        return true;
    }
};

using PacketReader = reader_fixture;

// A head with a record count of 1 to 1000 and version 5 is a frame; any
// other is refused with its line, and the bytes after its 28 are the next
// head.
TEST_F(PacketReader, HeadsAcceptedAndRefused)
{
    struct case_ {
        std::uint16_t version, count;
        std::string refusal;  // empty: accepted
    };
    const case_ cases[] = {
        {5, 0, "Strange netflow packet.  Record count is 0\n"},
        {5, 1, ""},
        {5, 84, ""},
        {5, 85, ""},
        {5, 1000, ""},
        {5, 1001, "Strange netflow packet.  Record count is 1001\n"},
        {5, 65535, "Strange netflow packet.  Record count is 65535\n"},
        {9, 2, "Bad netflow packet.  Version is 9, should be 5.\n"},
        {65535, 1, "Bad netflow packet.  Version is 65535, should be 5.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.version << "/" << c.count);
        const bool accepted = c.refusal.empty();
        const double packets = stats.packets;
        const double records = stats.records;
        const double shown = stats.flows_shown;
        // A refused head is followed by a one-record marker frame, so the
        // test knows when the reader is through with it.
        const auto bytes = accepted ? good_frame("10.0.0.1", c.count)
                                    : frame("10.0.0.1", c.version, c.count, {}) +
                                          good_frame("10.0.0.9", 1);
        testing::internal::CaptureStdout();
        send_all(stream.relay.get(), bytes);
        bool done = pump_until([&] { return stats.packets == packets + 1; });
        std::fflush(stdout);
        const std::string out = testing::internal::GetCapturedStdout();
        ASSERT_TRUE(done);
        const double expected = accepted ? c.count : 1;
        EXPECT_EQ(stats.records, records + expected);
        EXPECT_EQ(stats.flows_shown, shown + expected);
        EXPECT_EQ(out, c.refusal);
    }
}

TEST_F(PacketReader, ZeroAsIsReplacedByTheLow16BitsOfTheOption)
{
    struct case_ {
        int zero_as;
        int as_filter;
        bool passes;
    };
    // Only a replaced source AS can match the AS filter; destination 7018
    // must stay as it is.
    const case_ cases[] = {{0, 65000, false},   {65000, 65000, true}, {70000, 4464, true},
                           {70000, 70000, false}, {65000, 7018, true},  {0, 0, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.zero_as << " " << c.as_filter);
        config.zero_as = c.zero_as;
        filter.as = c.as_filter;
        const double packets = stats.packets;
        const double shown = stats.flows_shown;
        send_all(stream.relay.get(), good_frame("10.0.0.1", 1, flow(0, 7018)));
        ASSERT_TRUE(pump_until([&] { return stats.packets == packets + 1; }));
        EXPECT_EQ(stats.flows_shown, shown + (c.passes ? 1 : 0));
    }
    // Both ends replaced in one record.
    config.zero_as = 65000;
    filter.as = 65000;
    config.mode = display_mode::colondump;
    const double packets = stats.packets;
    testing::internal::CaptureStdout();
    send_all(stream.relay.get(), good_frame("10.0.0.1", 1, flow(0, 0)));
    bool done = pump_until([&] { return stats.packets == packets + 1; });
    std::fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(done);
    EXPECT_NE(out.find(":65000:65000\n"), std::string::npos) << out;
}

// A stream of good frames of many sizes, refused heads and stray bytes.
std::vector<std::uint8_t> mixed_stream(unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < 400; ++i) {
        const unsigned kind = rng() % 20;
        if (kind == 0) {
            bytes = bytes + frame("10.0.0.9", static_cast<std::uint16_t>(6 + rng() % 9), 1, {});
        } else if (kind == 1) {
            bytes = bytes + frame("10.0.0.9", 5, rng() % 2 ? 0 : 1001 + rng() % 1000, {});
        } else if (kind == 2 && i > 300) {
            // Stray bytes put the reader out of step, near the end only.
            for (unsigned n = rng() % 40; n > 0; --n)
                bytes.push_back(static_cast<std::uint8_t>(rng()));
        } else {
            std::vector<nf5_record> recs;
            for (unsigned n = 1 + rng() % 30; n > 0; --n)
                recs.push_back(flow(static_cast<std::uint16_t>(rng() % 3),
                                    static_cast<std::uint16_t>(rng() % 3)));
            bytes = bytes + frame("10.0.0.1", 5, static_cast<std::uint16_t>(recs.size()), recs);
        }
    }
    return bytes;
}

struct stream_outcome {
    double packets, records, shown;
    std::string messages;
    bool operator==(const stream_outcome&) const = default;
};

// Feeds bytes through a fresh reader in pieces of at most max_piece bytes.
stream_outcome feed_in_pieces(const std::vector<std::uint8_t>& bytes, std::size_t max_piece,
                              unsigned seed)
{
    viewer_records v;
    v.config.mode = mode_silent;
    v.config.zero_as = 2;
    v.filter.as = 1;
    packet_reader reader;
    loopback_stream stream = open_stream();
    std::mt19937 rng(seed);
    testing::internal::CaptureStdout();
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t next = std::min(bytes.size(), at + 1 + rng() % max_piece);
        send_all(stream.relay.get(), bytes, at, next);
        at = next;
        // Whatever has arrived; the rest waits for the next piece.
        for (;;) {
            pollfd p{stream.viewer.get(), POLLIN, 0};
            if (::poll(&p, 1, at == bytes.size() ? 100 : 0) != 1)
                break;
            read_packet(reader, stream.viewer.get(), v.ctx);
        }
    }
    std::fflush(stdout);
    return {v.stats.packets, v.stats.records, v.stats.flows_shown,
            testing::internal::GetCapturedStdout()};
}

TEST(PacketReaderStream, HowTheStreamIsCutChangesNothing)
{
    for (unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        const auto bytes = mixed_stream(seed);
        // Pieces stay small enough for the socket to take them unread.
        const stream_outcome whole = feed_in_pieces(bytes, 16000, seed);
        EXPECT_GT(whole.packets, 100);
        EXPECT_NE(whole.messages, "");
        EXPECT_EQ(feed_in_pieces(bytes, 3000, seed + 10), whole);
        EXPECT_EQ(feed_in_pieces(bytes, 60, seed + 20), whole);
    }
}

// The death tests end the process the way the viewer's loop does; standard
// output goes to standard error there so that the messages can be matched.
void pump_to_the_end(packet_reader& reader, int fd, flow_context& ctx)
{
    std::fflush(stdout);
    ::dup2(2, 1);
    for (int i = 0; i < 100; ++i) {
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, 100);
        const input_end end = follow_input(reader, read_packet(reader, fd, ctx), ctx);
        if (end != input_end::none)
            end_input(ctx, end);
    }
    std::fprintf(stderr, "still running\n");
    std::_Exit(9);
}

// The end of the stream, between frames or inside one (its head or its
// records), ends the run with its line, and nothing of a cut frame is used:
// a record handed on would hit the flow limit and say so.
TEST_F(PacketReader, EndOfStreamUsesNoneOfACutFrame)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    config.flow_limit = 2;
    const auto bytes = good_frame("10.0.0.1", 1) + good_frame("10.0.0.1", 3);
    const std::size_t first = relay_frame_head_size + nf5_record_size;
    for (std::size_t cut :
         {first, first + 13, first + relay_frame_head_size + 2 * nf5_record_size + 5}) {
        SCOPED_TRACE(cut);
        EXPECT_EXIT(
            {
                send_all(stream.relay.get(), bytes, 0, cut);
                stream.relay.reset();
                pump_to_the_end(reader, stream.viewer.get(), ctx);
            },
            testing::ExitedWithCode(0), "^connection closed\n$");
    }
}

TEST_F(PacketReader, ReadErrorIsReportedAndEnds)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    unique_fd dir(::open("/", O_RDONLY | O_DIRECTORY));
    ASSERT_TRUE(dir);
    EXPECT_EXIT(pump_to_the_end(reader, dir.get(), ctx), testing::ExitedWithCode(0),
                "^read_n: Is a directory\n$");
}

}  // namespace
