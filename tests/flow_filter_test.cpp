// The flow filters, flow numbering, the big-flow maxima and the flow limit.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>

#include "common/net_address.h"
#include "viewer/exits.h"
#include "viewer/flow_filter.h"
#include "viewer/viewer.h"

namespace {

// Numbers and filters records without printing them.
constexpr auto mode_silent = display_mode{0};

// An address of either family, IPv4 in its mapped form.
net_address ip(const char* text)
{
    net_address a;
    EXPECT_TRUE(parse_address(text, &a)) << text;
    return a;
}

// A prefix as -x takes it.
net_prefix prefix(const char* text)
{
    net_prefix p;
    EXPECT_TRUE(parse_prefix(text, &p)) << text;
    return p;
}

flow_record flow(const char* src, const char* dst, int prot, int srcport, int dstport,
                 std::uint32_t src_as, std::uint32_t dst_as, std::uint64_t bytes = 1500,
                 std::uint64_t packets = 3)
{
    flow_record r;
    r.srcaddr = ip(src);
    r.dstaddr = ip(dst);
    r.ipv6 = !r.srcaddr.is_v4();
    r.input = 2;
    r.output = 3;
    r.prot = static_cast<std::uint8_t>(prot);
    r.srcport = static_cast<std::uint16_t>(srcport);
    r.dstport = static_cast<std::uint16_t>(dstport);
    r.src_as = src_as;
    r.dst_as = dst_as;
    r.bytes = bytes;
    r.packets = packets;
    return r;
}

// The datagram a record comes in, as the reader hands it on.
datagram_info frame_from(const char* router)
{
    datagram_info d;
    d.exporter = ip(router);
    std::snprintf(d.exporter_text, sizeof d.exporter_text, "%s", router);
    return d;
}

struct FlowFilter : testing::Test {
    viewer_records v;
    viewer_config& config = v.config;
    flow_filter& filter = v.filter;
    flow_stats& stats = v.stats;
    flow_context& ctx = v.ctx;
    datagram_info router = frame_from("10.0.0.1");

    FlowFilter() { config.mode = mode_silent; }

    bool passes(const flow_record& rec)
    {
        const double before = stats.flows_shown;
        EXPECT_TRUE(account_flow(rec, router, ctx));
        return stats.flows_shown == before + 1;
    }
};

TEST_F(FlowFilter, EveryRecordPassesWithoutFilters)
{
    EXPECT_TRUE(passes(flow("192.0.2.1", "198.51.100.7", 6, 80, 1025, 1, 2)));
    EXPECT_TRUE(passes(flow("0.0.0.0", "0.0.0.0", 0, 0, 0, 0, 0, 0, 0)));
    EXPECT_TRUE(passes(flow("255.255.255.255", "10.0.0.1", 255, 65535, 65535, 65535, 65535,
                            4294967295u, 4294967295u)));
}

TEST_F(FlowFilter, AsMatchesSourceOrDestination)
{
    filter.as = 7018;
    EXPECT_TRUE(passes(flow("192.0.2.1", "198.51.100.7", 6, 80, 1025, 7018, 2)));
    EXPECT_TRUE(passes(flow("192.0.2.1", "198.51.100.7", 6, 80, 1025, 1, 7018)));
    EXPECT_FALSE(passes(flow("192.0.2.1", "198.51.100.7", 6, 80, 1025, 1, 2)));
    EXPECT_FALSE(passes(flow("192.0.2.1", "198.51.100.7", 6, 7018, 7018, 0, 0)));
}

TEST_F(FlowFilter, AsFilterTakes32BitNumbers)
{
    filter.as = 4200000001;
    EXPECT_TRUE(passes(flow("192.0.2.1", "198.51.100.7", 6, 80, 1025, 4200000001u, 2)));
    EXPECT_FALSE(passes(flow("192.0.2.1", "198.51.100.7", 6, 80, 1025, 4200000001u % 65536, 2)));
    EXPECT_FALSE(passes(flow("192.0.2.1", "198.51.100.7", 6, 80, 1025, as_trans, as_trans)));
}

TEST_F(FlowFilter, PortMatchesEitherPortOnAnyProtocol)
{
    filter.port = 53;
    EXPECT_TRUE(passes(flow("192.0.2.1", "198.51.100.7", 17, 53, 1025, 1, 2)));  // UDP source
    EXPECT_TRUE(passes(flow("192.0.2.1", "198.51.100.7", 6, 40000, 53, 1, 2)));  // TCP dest
    EXPECT_TRUE(passes(flow("192.0.2.1", "198.51.100.7", 1, 53, 0, 1, 2)));      // ICMP fields
    EXPECT_TRUE(passes(flow("192.0.2.1", "198.51.100.7", 47, 0, 53, 1, 2)));     // GRE fields
    EXPECT_FALSE(passes(flow("192.0.2.1", "198.51.100.7", 17, 54, 1025, 53, 53)));
}

TEST_F(FlowFilter, PrefixMatchesEitherAddress)
{
    filter.prefix = prefix("10.0.0.0/8");
    EXPECT_TRUE(passes(flow("192.0.2.1", "10.9.9.9", 6, 80, 1025, 1, 2)));   // dest inside
    EXPECT_TRUE(passes(flow("10.200.1.1", "192.0.2.1", 6, 80, 1025, 1, 2)));  // source inside
    EXPECT_FALSE(passes(flow("192.0.2.1", "198.51.100.7", 6, 80, 1025, 1, 2)));
    EXPECT_FALSE(passes(flow("11.0.0.1", "9.255.255.255", 6, 80, 1025, 1, 2)));

    filter.prefix = prefix("192.168.0.0/16");
    EXPECT_TRUE(passes(flow("192.168.7.9", "198.51.100.7", 6, 80, 1025, 1, 2)));
    EXPECT_FALSE(passes(flow("192.169.7.9", "198.51.100.7", 6, 80, 1025, 1, 2)));

    // /0: every address lies inside.
    filter.prefix = prefix("0.0.0.0/0");
    EXPECT_TRUE(passes(flow("203.0.113.5", "198.51.100.7", 6, 80, 1025, 1, 2)));
    EXPECT_FALSE(passes(flow("2001:db8::1", "2001:db8::2", 6, 80, 1025, 1, 2)))
        << "an IPv4 prefix holds no IPv6 address";
}

TEST_F(FlowFilter, Ipv6PrefixMatchesEitherAddress)
{
    filter.prefix = prefix("2001:db8:1::/48");
    EXPECT_TRUE(passes(flow("2001:db8:1:ffff::9", "2001:db8:2::1", 6, 80, 1025, 1, 2)));
    EXPECT_TRUE(passes(flow("2001:db8:2::1", "2001:db8:1::77", 6, 80, 1025, 1, 2)));
    EXPECT_FALSE(passes(flow("2001:db8:2::1", "2001:db8:0:ffff::1", 6, 80, 1025, 1, 2)));
    EXPECT_FALSE(passes(flow("192.0.2.1", "198.51.100.7", 6, 80, 1025, 1, 2)));
    filter.prefix = prefix("::/0");
    EXPECT_TRUE(passes(flow("2001:db8:2::1", "2001:db8:0:ffff::1", 6, 80, 1025, 1, 2)));
}

TEST_F(FlowFilter, RouterMatchesTheFramesRouter)
{
    filter.router = ip("10.1.2.3");
    const flow_record rec = flow("10.1.2.3", "10.1.2.3", 6, 80, 1025, 1, 2);
    router = frame_from("10.1.2.3");
    EXPECT_TRUE(passes(rec));
    router = frame_from("10.1.2.4");
    EXPECT_FALSE(passes(rec)) << "the flow's own addresses do not count";
    router = frame_from("::ffff:10.1.2.3");
    EXPECT_TRUE(passes(rec)) << "a mapped exporter is the IPv4 one";

    filter.router = ip("2001:db8::9");
    router = frame_from("2001:db8::9");
    EXPECT_TRUE(passes(rec));
    router = frame_from("2001:db8::8");
    EXPECT_FALSE(passes(rec));
}

TEST_F(FlowFilter, ProtocolMatchesExactly)
{
    filter.proto = 17;
    EXPECT_TRUE(passes(flow("192.0.2.1", "198.51.100.7", 17, 53, 1025, 1, 2)));
    EXPECT_FALSE(passes(flow("192.0.2.1", "198.51.100.7", 6, 53, 1025, 1, 2)));
    EXPECT_FALSE(passes(flow("192.0.2.1", "198.51.100.7", 0, 53, 1025, 1, 2)));
}

TEST_F(FlowFilter, FiltersCombine)
{
    filter.as = 1;
    filter.port = 80;
    filter.proto = 6;
    EXPECT_TRUE(passes(flow("192.0.2.1", "198.51.100.7", 6, 80, 1025, 1, 2)));
    EXPECT_FALSE(passes(flow("192.0.2.1", "198.51.100.7", 17, 80, 1025, 1, 2)));
    EXPECT_FALSE(passes(flow("192.0.2.1", "198.51.100.7", 6, 81, 1025, 1, 2)));
    EXPECT_FALSE(passes(flow("192.0.2.1", "198.51.100.7", 6, 80, 1025, 3, 2)));
}

TEST_F(FlowFilter, BigFlowsMustBeatEveryEarlierOneInBytesOrPackets)
{
    filter.big = 1;
    struct step {
        std::uint32_t bytes, packets;
        bool passes;
    };
    const step steps[] = {{100, 1, true}, {50, 5, true}, {200, 1, true}, {150, 3, false},
                          {200, 5, false}, {201, 1, true}, {0, 6, true}};
    for (const auto& s : steps) {
        SCOPED_TRACE(testing::Message() << s.bytes << "/" << s.packets);
        EXPECT_EQ(passes(flow("192.0.2.1", "198.51.100.7", 6, 80, 1025, 1, 2, s.bytes, s.packets)),
                  s.passes);
    }
    EXPECT_EQ(stats.max_bytes, 201);
    EXPECT_EQ(stats.max_packets, 6);
}

TEST_F(FlowFilter, BigFlowsCompareTheFullUnsignedCounts)
{
    filter.big = 1;
    EXPECT_TRUE(passes(flow("192.0.2.1", "198.51.100.7", 6, 80, 1025, 1, 2, 3000000000u, 1)));
    EXPECT_FALSE(passes(flow("192.0.2.1", "198.51.100.7", 6, 80, 1025, 1, 2, 2999999999u, 1)));
    EXPECT_EQ(stats.max_bytes, 3000000000.0);
}

TEST_F(FlowFilter, ListingModesKeepNoMaximaWithoutBigFlows)
{
    // A later -b starts from the flows it has seen itself.
    EXPECT_TRUE(passes(flow("192.0.2.1", "198.51.100.7", 6, 80, 1025, 1, 2, 5000, 9)));
    EXPECT_EQ(stats.max_bytes, 0);
    EXPECT_EQ(stats.max_packets, 0);
}

TEST_F(FlowFilter, RejectedFlowsRaiseNoMaxima)
{
    filter.big = 1;
    filter.proto = 17;
    EXPECT_FALSE(passes(flow("192.0.2.1", "198.51.100.7", 6, 80, 1025, 1, 2, 5000, 9)));
    EXPECT_EQ(stats.max_bytes, 0);
    EXPECT_EQ(stats.max_packets, 0);
}

TEST_F(FlowFilter, FlowNumbersRunOnAcrossCallsAndRouters)
{
    config.mode = display_mode::colondump;
    stats.flows_shown = 41;
    testing::internal::CaptureStdout();
    const flow_record rec = flow("192.0.2.1", "198.51.100.7", 6, 80, 1025, 0, 65001);
    EXPECT_TRUE(account_flow(rec, router, ctx));
    EXPECT_TRUE(account_flow(rec, frame_from("192.168.100.200"), ctx));
    EXPECT_TRUE(account_flow(rec, router, ctx));
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "42:10.0.0.1:2:192.0.2.1:80:3:198.51.100.7:1025:1500:3:6:0:65001\n"
              "43:192.168.100.200:2:192.0.2.1:80:3:198.51.100.7:1025:1500:3:6:0:65001\n"
              "44:10.0.0.1:2:192.0.2.1:80:3:198.51.100.7:1025:1500:3:6:0:65001\n");
}

// Flow limit: account_flow says when it is reached, and the loop ends the
// run. Standard output is sent to standard error for matching.

void feed(flow_context& ctx, const datagram_info& router, std::initializer_list<bool> pass,
          bool mark = true)
{
    std::fflush(stdout);
    ::dup2(2, 1);
    for (bool p : pass) {
        flow_record rec = flow("192.0.2.1", "198.51.100.7", p ? 6 : 17, 80, 1025, 1, 2);
        if (!account_flow(rec, router, ctx))
            end_input(ctx, input_end::flow_limit);
        if (mark)
            std::fprintf(stderr, "handled\n");
    }
    std::fprintf(stderr, "still running\n");
    std::_Exit(9);
}

TEST_F(FlowFilter, FlowLimitEndsRightAfterTheLastFlowShown)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    config.flow_limit = 3;
    filter.proto = 6;
    EXPECT_EXIT(feed(ctx, router, {true, false, true, false, true, true}),
                testing::ExitedWithCode(0),
                "^handled\nhandled\nhandled\nhandled\nFlow limit reached \\(3\\)\\.  Exiting\n$");
}

TEST_F(FlowFilter, NegativeFlowLimitEndsAfterTheFirstRecordPassedOrNot)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    config.flow_limit = -1;
    filter.proto = 6;
    EXPECT_EXIT(feed(ctx, router, {false, true}), testing::ExitedWithCode(0),
                "^Flow limit reached \\(-1\\)\\.  Exiting\n$");
}

TEST_F(FlowFilter, ListedFlowsAreOutBeforeTheFlowLimitLine)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    config.flow_limit = 2;
    config.mode = display_mode::colondump;
    EXPECT_EXIT(feed(ctx, router, {true, true, true}, false), testing::ExitedWithCode(0),
                "^1:10\\.0\\.0\\.1:2:192\\.0\\.2\\.1:80:3:198\\.51\\.100\\.7:1025:1500:3:6:1:2\n"
                "2:10\\.0\\.0\\.1:.*:1:2\nFlow limit reached \\(2\\)\\.  Exiting\n$");
}

}  // namespace
