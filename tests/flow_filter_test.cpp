// The flow filters, flow numbering, the big-flow maxima and the flow limit.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <vector>
#include <string>

#include "common/net_address.h"
#include "viewer/exits.h"
#include "viewer/flow_filter.h"
#include "viewer/viewer.h"
#include "tests/addresses.h"

namespace {

// Numbers and filters records without printing them.
constexpr auto mode_silent = display_mode{0};

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
    r.srcaddr = addr(src);
    r.dstaddr = addr(dst);
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
    d.exporter = addr(router);
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

// What each filter lets through, alone and together: -a either AS, 32-bit
// ones as themselves; -p either port of any protocol; -x either address,
// never across families; -r the exporter of the datagram, never the flow's
// own addresses; -P the protocol exactly.
TEST_F(FlowFilter, WhatEachFilterLetsThrough)
{
    struct filter_row {
        long long as;
        int port, proto;
        const char* prefix;  // -x
        const char* router;  // -r
        flow_record rec;
        const char* from;    // the datagram's exporter
        bool passes;
    };
    const char* a = "192.0.2.1";
    const char* b = "198.51.100.7";
    const filter_row rows[] = {
        {0, 0, 0, nullptr, nullptr, flow(a, b, 6, 80, 1025, 1, 2), "10.0.0.1", true},
        {0, 0, 0, nullptr, nullptr, flow("0.0.0.0", "0.0.0.0", 0, 0, 0, 0, 0, 0, 0), "10.0.0.1", true},
        {0, 0, 0, nullptr, nullptr,
         flow("255.255.255.255", "10.0.0.1", 255, 65535, 65535, 65535, 65535, 4294967295u,
              4294967295u),
         "10.0.0.1", true},
        {7018, 0, 0, nullptr, nullptr, flow(a, b, 6, 80, 1025, 7018, 2), "10.0.0.1", true},
        {7018, 0, 0, nullptr, nullptr, flow(a, b, 6, 80, 1025, 1, 7018), "10.0.0.1", true},
        {7018, 0, 0, nullptr, nullptr, flow(a, b, 6, 80, 1025, 1, 2), "10.0.0.1", false},
        {7018, 0, 0, nullptr, nullptr, flow(a, b, 6, 7018, 7018, 0, 0), "10.0.0.1", false},
        {4200000001, 0, 0, nullptr, nullptr, flow(a, b, 6, 80, 1025, 4200000001u, 2), "10.0.0.1", true},
        {4200000001, 0, 0, nullptr, nullptr, flow(a, b, 6, 80, 1025, 4200000001u % 65536, 2),
         "10.0.0.1", false},
        {4200000001, 0, 0, nullptr, nullptr, flow(a, b, 6, 80, 1025, as_trans, as_trans), "10.0.0.1",
         false},
        {0, 53, 0, nullptr, nullptr, flow(a, b, 17, 53, 1025, 1, 2), "10.0.0.1", true},
        {0, 53, 0, nullptr, nullptr, flow(a, b, 6, 40000, 53, 1, 2), "10.0.0.1", true},
        {0, 53, 0, nullptr, nullptr, flow(a, b, 1, 53, 0, 1, 2), "10.0.0.1", true},   // ICMP fields
        {0, 53, 0, nullptr, nullptr, flow(a, b, 47, 0, 53, 1, 2), "10.0.0.1", true},  // GRE fields
        {0, 53, 0, nullptr, nullptr, flow(a, b, 17, 54, 1025, 53, 53), "10.0.0.1", false},
        {0, 0, 0, "10.0.0.0/8", nullptr, flow(a, "10.9.9.9", 6, 80, 1025, 1, 2), "10.0.0.1", true},
        {0, 0, 0, "10.0.0.0/8", nullptr, flow("10.200.1.1", a, 6, 80, 1025, 1, 2), "10.0.0.1", true},
        {0, 0, 0, "10.0.0.0/8", nullptr, flow(a, b, 6, 80, 1025, 1, 2), "10.0.0.1", false},
        {0, 0, 0, "10.0.0.0/8", nullptr, flow("11.0.0.1", "9.255.255.255", 6, 80, 1025, 1, 2),
         "10.0.0.1", false},
        {0, 0, 0, "192.168.0.0/16", nullptr, flow("192.168.7.9", b, 6, 80, 1025, 1, 2), "10.0.0.1",
         true},
        {0, 0, 0, "192.168.0.0/16", nullptr, flow("192.169.7.9", b, 6, 80, 1025, 1, 2), "10.0.0.1",
         false},
        {0, 0, 0, "0.0.0.0/0", nullptr, flow("203.0.113.5", b, 6, 80, 1025, 1, 2), "10.0.0.1", true},
        {0, 0, 0, "0.0.0.0/0", nullptr, flow("2001:db8::1", "2001:db8::2", 6, 80, 1025, 1, 2),
         "10.0.0.1", false},
        {0, 0, 0, "2001:db8:1::/48", nullptr,
         flow("2001:db8:1:ffff::9", "2001:db8:2::1", 6, 80, 1025, 1, 2), "10.0.0.1", true},
        {0, 0, 0, "2001:db8:1::/48", nullptr,
         flow("2001:db8:2::1", "2001:db8:1::77", 6, 80, 1025, 1, 2), "10.0.0.1", true},
        {0, 0, 0, "2001:db8:1::/48", nullptr,
         flow("2001:db8:2::1", "2001:db8:0:ffff::1", 6, 80, 1025, 1, 2), "10.0.0.1", false},
        {0, 0, 0, "2001:db8:1::/48", nullptr, flow(a, b, 6, 80, 1025, 1, 2), "10.0.0.1", false},
        {0, 0, 0, "::/0", nullptr, flow("2001:db8:2::1", "2001:db8:0:ffff::1", 6, 80, 1025, 1, 2),
         "10.0.0.1", true},
        {0, 0, 0, nullptr, "10.1.2.3", flow("10.1.2.3", "10.1.2.3", 6, 80, 1025, 1, 2), "10.1.2.3",
         true},
        {0, 0, 0, nullptr, "10.1.2.3", flow("10.1.2.3", "10.1.2.3", 6, 80, 1025, 1, 2), "10.1.2.4",
         false},
        {0, 0, 0, nullptr, "10.1.2.3", flow(a, b, 6, 80, 1025, 1, 2), "::ffff:10.1.2.3", true},
        {0, 0, 0, nullptr, "2001:db8::9", flow(a, b, 6, 80, 1025, 1, 2), "2001:db8::9", true},
        {0, 0, 0, nullptr, "2001:db8::9", flow(a, b, 6, 80, 1025, 1, 2), "2001:db8::8", false},
        {0, 0, 17, nullptr, nullptr, flow(a, b, 17, 53, 1025, 1, 2), "10.0.0.1", true},
        {0, 0, 17, nullptr, nullptr, flow(a, b, 6, 53, 1025, 1, 2), "10.0.0.1", false},
        {0, 0, 17, nullptr, nullptr, flow(a, b, 0, 53, 1025, 1, 2), "10.0.0.1", false},
        {1, 80, 6, nullptr, nullptr, flow(a, b, 6, 80, 1025, 1, 2), "10.0.0.1", true},
        {1, 80, 6, nullptr, nullptr, flow(a, b, 17, 80, 1025, 1, 2), "10.0.0.1", false},
        {1, 80, 6, nullptr, nullptr, flow(a, b, 6, 81, 1025, 1, 2), "10.0.0.1", false},
        {1, 80, 6, nullptr, nullptr, flow(a, b, 6, 80, 1025, 3, 2), "10.0.0.1", false},
    };
    for (const filter_row& r : rows) {
        SCOPED_TRACE(testing::Message() << "-a " << r.as << " -p " << r.port << " -P " << r.proto
                                        << " -x " << (r.prefix ? r.prefix : "-") << " -r "
                                        << (r.router ? r.router : "-") << " from " << r.from);
        filter = flow_filter{};
        filter.as = r.as;
        filter.port = r.port;
        filter.proto = r.proto;
        if (r.prefix)
            filter.prefix = prefix(r.prefix);
        if (r.router)
            filter.router = addr(r.router);
        router = frame_from(r.from);
        EXPECT_EQ(passes(r.rec), r.passes);
    }
}

TEST_F(FlowFilter, BigFlowsMustBeatEveryEarlierOneInBytesOrPackets)
{
    filter.big = 1;
    struct step {
        std::uint32_t bytes, packets;
        bool passes;
    };
    const step steps[] = {{100, 1, true},  {50, 5, true},         {200, 1, true},
                          {150, 3, false}, {200, 5, false},       {201, 1, true},
                          {0, 6, true},    {3000000000u, 1, true}, {2999999999u, 1, false}};
    for (const auto& s : steps) {
        SCOPED_TRACE(testing::Message() << s.bytes << "/" << s.packets);
        EXPECT_EQ(passes(flow("192.0.2.1", "198.51.100.7", 6, 80, 1025, 1, 2, s.bytes, s.packets)),
                  s.passes);
    }
    EXPECT_EQ(stats.max_bytes, 3000000000.0);
    EXPECT_EQ(stats.max_packets, 6);
}

// Only flows shown under -b raise the maxima: none in a listing without
// -b (a later -b starts from the flows it has seen itself), none filtered out.
TEST_F(FlowFilter, MaximaOnlyFromFlowsShownUnderBigFlows)
{
    EXPECT_TRUE(passes(flow("192.0.2.1", "198.51.100.7", 6, 80, 1025, 1, 2, 5000, 9)));
    filter.big = 1;
    filter.proto = 17;
    EXPECT_FALSE(passes(flow("192.0.2.1", "198.51.100.7", 6, 80, 1025, 1, 2, 6000, 10)));
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

void feed(flow_context& ctx, const datagram_info& router, const std::vector<bool>& pass,
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

// The run ends right after the flow that reaches the limit is shown, its
// line out before the limit's; a negative limit ends it after the first
// record, passed or not.
TEST_F(FlowFilter, FlowLimitEndsRightAfterTheLastFlowShown)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct limit_case {
        int limit;
        display_mode mode;
        std::vector<bool> pass;  // each record TCP (passes -P 6) or not
        bool mark;
        const char* output;
    };
    const limit_case cases[] = {
        {3, mode_silent, {true, false, true, false, true, true}, true,
         "^handled\nhandled\nhandled\nhandled\nFlow limit reached \\(3\\)\\.  Exiting\n$"},
        {-1, mode_silent, {false, true}, true, "^Flow limit reached \\(-1\\)\\.  Exiting\n$"},
        {2, display_mode::colondump, {true, true, true}, false,
         "^1:10\\.0\\.0\\.1:2:192\\.0\\.2\\.1:80:3:198\\.51\\.100\\.7:1025:1500:3:6:1:2\n"
         "2:10\\.0\\.0\\.1:.*:1:2\nFlow limit reached \\(2\\)\\.  Exiting\n$"},
    };
    for (const limit_case& c : cases) {
        SCOPED_TRACE(c.limit);
        config.flow_limit = c.limit;
        config.mode = c.mode;
        filter.proto = 6;
        EXPECT_EXIT(feed(ctx, router, c.pass, c.mark), testing::ExitedWithCode(0), c.output);
    }
}

}  // namespace
