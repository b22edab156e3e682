// Top mode's interval sums and rollover, driven by a clock the test sets.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/nf5.h"
#include "viewer/clock.h"
#include "viewer/decode_v5.h"
#include "viewer/event_loop.h"
#include "viewer/flow_filter.h"
#include "viewer/intervals.h"
#include "viewer/packet_reader.h"
#include "viewer/viewer.h"

#include "tests/under_asan.h"

namespace {

std::time_t fake_now = 0;
std::time_t fake_clock() { return fake_now; }

// A UTC wall-clock time.
std::time_t utc(int year, int month, int day, int hour, int minute, int second)
{
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return timegm(&tm);
}

// A top-mode viewer on the test's clock.
struct top_viewer : viewer_records {
    top_viewer()
    {
        config.mode = display_mode::top;
        config.report_type = report_kind::proto;
        clock.now = fake_clock;
        open_current_interval(ctx);
    }
};

class TopIntervals : public testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

nf5_record flow(int prot, int srcport, int dstport, int src_as, int dst_as,
                unsigned bytes, unsigned packets, int input = 0, int output = 0)
{
    nf5_record r{};
    r.prot = static_cast<std::uint8_t>(prot);
    r.srcport = static_cast<std::uint16_t>(srcport);
    r.dstport = static_cast<std::uint16_t>(dstport);
    r.src_as = static_cast<std::uint16_t>(src_as);
    r.dst_as = static_cast<std::uint16_t>(dst_as);
    r.dOctets = bytes;
    r.dPkts = packets;
    r.input = static_cast<std::uint16_t>(input);
    r.output = static_cast<std::uint16_t>(output);
    return r;
}

using entry = std::pair<std::string, int>;  // table name, index

const std::pair<const char*, stats_table interval_stats::*> named_tables[] = {
    {"in_src_as", &interval_stats::in_src_as},     {"in_dst_as", &interval_stats::in_dst_as},
    {"out_src_as", &interval_stats::out_src_as},   {"out_dst_as", &interval_stats::out_dst_as},
    {"in_proto", &interval_stats::in_proto},       {"out_proto", &interval_stats::out_proto},
    {"in_tcp_src", &interval_stats::in_tcp_src},   {"in_tcp_dst", &interval_stats::in_tcp_dst},
    {"out_tcp_src", &interval_stats::out_tcp_src}, {"out_tcp_dst", &interval_stats::out_tcp_dst},
    {"in_udp_src", &interval_stats::in_udp_src},   {"in_udp_dst", &interval_stats::in_udp_dst},
    {"out_udp_src", &interval_stats::out_udp_src}, {"out_udp_dst", &interval_stats::out_udp_dst},
};

// Every non-zero entry of the fourteen tables.
std::map<entry, double> nonzero_entries(const interval_stats& s)
{
    std::map<entry, double> found;
    for (const auto& [name, table] : named_tables)
        for (std::size_t i = 0; i < stats_table_entries; ++i)
            if ((s.*table)[i] != 0)
                found[{name, static_cast<int>(i)}] = (s.*table)[i];
    return found;
}

TEST_F(TopIntervals, AccumulateByDirectionAndProtocol) {
    struct accumulate_case {
        const char* what;
        int ifindex;
        nf5_record rec;
        double in_bytes, out_bytes, in_packets, out_packets;
        std::map<entry, double> entries;
    };
    const accumulate_case cases[] = {
        {"UDP 53 to 1025, AS 1 to AS 2, no -n", 0, flow(17, 53, 1025, 1, 2, 1000, 3),
         1000, 0, 3, 0,
         {{{"in_src_as", 1}, 1000}, {{"in_dst_as", 2}, 1000}, {{"in_proto", 17}, 1000},
          {{"in_udp_src", 53}, 1000}, {{"in_udp_dst", 1025}, 1000}}},
        {"ICMP touches totals, AS and protocol only", 0, flow(1, 771, 8, 10, 20, 84, 1),
         84, 0, 1, 0,
         {{{"in_src_as", 10}, 84}, {{"in_dst_as", 20}, 84}, {{"in_proto", 1}, 84}}},
        {"TCP ports go to the TCP tables", 0, flow(6, 80, 40000, 3, 4, 500, 2),
         500, 0, 2, 0,
         {{{"in_src_as", 3}, 500}, {{"in_dst_as", 4}, 500}, {{"in_proto", 6}, 500},
          {{"in_tcp_src", 80}, 500}, {{"in_tcp_dst", 40000}, 500}}},
        {"-n 5, input and output 5: both sides", 5, flow(6, 443, 50000, 7, 8, 1500, 1, 5, 5),
         1500, 1500, 1, 1,
         {{{"in_src_as", 7}, 1500}, {{"in_dst_as", 8}, 1500}, {{"in_proto", 6}, 1500},
          {{"in_tcp_src", 443}, 1500}, {{"in_tcp_dst", 50000}, 1500},
          {{"out_src_as", 7}, 1500}, {{"out_dst_as", 8}, 1500}, {{"out_proto", 6}, 1500},
          {{"out_tcp_src", 443}, 1500}, {{"out_tcp_dst", 50000}, 1500}}},
        {"-n 5, output 5 only: outbound", 5, flow(17, 123, 123, 9, 65535, 76, 1, 2, 5),
         0, 76, 0, 1,
         {{{"out_src_as", 9}, 76}, {{"out_dst_as", 65535}, 76}, {{"out_proto", 17}, 76},
          {{"out_udp_src", 123}, 76}, {{"out_udp_dst", 123}, 76}}},
        {"-n 5, input 5 only: inbound", 5, flow(50, 0, 0, 0, 0, 200, 4, 5, 1),
         200, 0, 4, 0,
         {{{"in_src_as", 0}, 200}, {{"in_dst_as", 0}, 200}, {{"in_proto", 50}, 200}}},
        {"-n 5, neither interface: nowhere", 5, flow(17, 53, 53, 1, 2, 999, 9, 1, 2),
         0, 0, 0, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        top_viewer v;
        v.filter.ifindex = c.ifindex;
        accumulate(nf5_flow(c.rec), v.ctx);
        const interval_stats& s = *v.stats.current;
        EXPECT_EQ(s.in_bytes, c.in_bytes);
        EXPECT_EQ(s.out_bytes, c.out_bytes);
        EXPECT_EQ(s.in_packets, c.in_packets);
        EXPECT_EQ(s.out_packets, c.out_packets);
        EXPECT_EQ(nonzero_entries(s), c.entries);
    }
}

TEST_F(TopIntervals, AccumulateSumsWithoutWrapping) {
    top_viewer v;
    const nf5_record big = flow(6, 80, 80, 1, 1, 4000000000u, 4000000000u);
    for (int i = 0; i < 3; ++i)
        accumulate(nf5_flow(big), v.ctx);
    EXPECT_EQ(v.stats.current->in_bytes, 12e9);
    EXPECT_EQ(v.stats.current->in_packets, 12e9);
    EXPECT_EQ(v.stats.current->in_tcp_src[80], 12e9);
}

// 32-bit AS numbers are summed as themselves, not as AS_TRANS: up to
// wide_as_limit of them per table and interval, and the rest under
// AS_TRANS, as a v5 export would have them. A cleared table starts empty.
TEST_F(TopIntervals, WideAsNumbersAreSummedAsThemselves) {
    top_viewer v;
    const interval_stats& s = *v.stats.current;
    flow_record r = nf5_flow(flow(6, 80, 443, 0, 0, 1000, 1));
    const auto add = [&](std::uint32_t src, std::uint32_t dst, double scale = 1) {
        r.src_as = src;
        r.dst_as = dst;
        accumulate(r, v.ctx, scale);
    };
    add(4200000000u, 65536);
    add(4294967295u, 65536, 10);
    add(65535, 4200000000u);
    EXPECT_EQ(s.in_src_as.as_sum(4200000000u), 1000);
    EXPECT_EQ(s.in_src_as.as_sum(4294967295u), 10000);
    EXPECT_EQ(s.in_src_as.as_sum(65535), 1000);
    EXPECT_EQ(s.in_dst_as.as_sum(65536), 11000);
    EXPECT_EQ(s.in_dst_as.as_sum(4200000000u), 1000);
    EXPECT_EQ(s.in_src_as.as_sum(4200000001u), 0);
    EXPECT_EQ(s.in_src_as.as_sum(as_trans) + s.in_dst_as.as_sum(as_trans), 0);

    // Two wide numbers are in: room for wide_as_limit - 2 more.
    for (std::uint32_t i = 0; i < wide_as_limit + 5; ++i)
        add(100000 + i, 1);
    EXPECT_EQ(s.in_src_as.as_sum(100000), 1000);
    EXPECT_EQ(s.in_src_as.as_sum(100000 + wide_as_limit - 3), 1000);
    EXPECT_EQ(s.in_src_as.as_sum(100000 + wide_as_limit - 2), 0);
    EXPECT_EQ(s.in_src_as.as_sum(as_trans), 7000);
    add(4200000000u, 1);  // one it holds still counts as itself
    EXPECT_EQ(s.in_src_as.as_sum(4200000000u), 2000);

    stats_clear(*v.stats.current);
    EXPECT_EQ(s.in_src_as.as_sum(4200000000u), 0);
    EXPECT_EQ(s.in_src_as.as_sum(as_trans), 0);
    add(4200000000u, 1);
    EXPECT_EQ(s.in_src_as.as_sum(4200000000u), 1000);
    EXPECT_TRUE(nonzero_entries(s).count({"in_src_as", as_trans}) == 0);

    // As a decoder hands a sampled record on: -S scales its AS sums too.
    v.config.sampling = true;
    r.sampling = 100;
    r.src_as = 4200000001u;
    ASSERT_TRUE(account_flow(r, datagram_info{}, v.ctx));
    EXPECT_EQ(s.in_src_as.as_sum(4200000001u), 100000);
}

// The relay frame of a datagram holding the records; sampling is the
// header's sampling field as sent (mode in the top two bits).
std::vector<std::uint8_t> relay_frame_of(const std::vector<nf5_record>& records,
                                         std::uint16_t sampling = 0)
{
    std::vector<std::uint8_t> f(relay_frame_head_size + records.size() * nf5_record_size);
    nf5_header h{};
    h.version = nf5_version;
    h.count = static_cast<std::uint16_t>(records.size());
    encode_nf5_header(f.data() + relay_addr_size, h);
    store_be16(f.data() + relay_addr_size + 22, sampling);
    for (std::size_t i = 0; i < records.size(); ++i)
        encode_nf5_record(f.data() + relay_frame_head_size + i * nf5_record_size, records[i]);
    return f;
}

// A viewer started at `start`; packets arrive at the given times through the
// stream reader. Reports are counted through the captured summary lines.
struct timeline {
    top_viewer v;
    packet_reader reader;
    std::string output;
    std::uint16_t sampling = 0;  // of every frame

    timeline(std::time_t start, int interval)
    {
        v.config.interval = interval;
        v.stats.last_time = start;
        v.stats.last_minute = report_minute(start);
    }

    void frame(std::time_t t, const std::vector<nf5_record>& records)
    {
        fake_now = t;
        const auto bytes = relay_frame_of(records, sampling);
        std::copy(bytes.begin(), bytes.end(), reader.buffer.get());
        reader.start = 0;
        reader.end = bytes.size();
        testing::internal::CaptureStdout();
        EXPECT_EQ(follow_input(reader, handle_frames(reader, v.ctx), v.ctx), input_end::none);
        std::fflush(stdout);
        output += testing::internal::GetCapturedStdout();
    }

    // One packet at time t carrying one record of `bytes` (TCP, or prot).
    void packet(std::time_t t, unsigned bytes, int prot = 6)
    {
        frame(t, {flow(prot, 80, 1234, 1, 2, bytes, 1)});
    }

    int reports() const
    {
        int n = 0;
        for (std::size_t at = output.find("Summary for interval"); at != std::string::npos;
             at = output.find("Summary for interval", at + 1))
            ++n;
        return n;
    }
};

TEST_F(TopIntervals, SampledExportsCountAtTheirSamplingIntervalWithS) {
    struct sampling_case {
        const char* what;
        bool option;            // -S
        std::uint16_t field;    // header's sampling_interval as sent
        double scale;
    };
    const sampling_case cases[] = {
        {"-S, 1 in 10, mode 1", true, 0x4000 | 10, 10},
        {"-S, the largest interval, mode 3", true, 0xC000 | 0x3FFF, 16383},
        {"-S, no interval stated counts as 1", true, 0x8000, 1},
        {"without -S, as exported", false, 0x4000 | 10, 1},
    };
    const std::time_t t = utc(2026, 3, 1, 10, 20, 30);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        timeline tl(t, 60);
        tl.v.config.sampling = c.option;
        tl.sampling = c.field;
        tl.frame(t, {flow(17, 53, 1025, 1, 2, 4000000000u, 3), flow(6, 80, 443, 1, 3, 100, 1)});
        const interval_stats& s = *tl.v.stats.current;
        EXPECT_EQ(s.in_bytes, (4000000000.0 + 100) * c.scale);
        EXPECT_EQ(s.in_packets, 4 * c.scale);
        EXPECT_EQ(s.in_src_as[1], (4000000000.0 + 100) * c.scale);
        EXPECT_EQ(s.in_udp_dst[1025], 4000000000.0 * c.scale);
        EXPECT_EQ(s.in_tcp_src[80], 100 * c.scale);
        EXPECT_EQ(tl.v.stats.max_bytes, 4000000000.0) << "-b compares flows as exported";
    }
}

TEST_F(TopIntervals, ReportMinuteIsLocalMinuteOfTheYear) {
    const std::pair<std::time_t, int> cases[] = {
        {utc(2026, 1, 1, 0, 0, 0), 0},
        {utc(2026, 1, 1, 0, 0, 59), 0},
        {utc(2026, 1, 2, 10, 20, 0), 1440 + 620},
        {utc(2026, 12, 31, 23, 59, 59), 364 * 1440 + 1439},
        {utc(2028, 12, 31, 23, 59, 0), 365 * 1440 + 1439},  // leap year
    };
    for (const auto& [t, minute] : cases)
        EXPECT_EQ(report_minute(t), minute) << t;

    setenv("TZ", "EST5", 1);
    tzset();
    EXPECT_EQ(report_minute(utc(2026, 1, 2, 3, 0, 0)), 22 * 60);
    setenv("TZ", "UTC", 1);
    tzset();
}

// When intervals close, as the packets' arrival on the viewer's clock says:
// at the first packet of a minute that is a multiple of the interval (the
// local minute of the year, so the turn of the year is one), however quiet
// the boundary minute was, even when its record is filtered out; the
// closing packet's record belongs to the next interval. A clock stepped
// back before the last rollover rates the interval as one second long, and
// no report shows an infinite, undefined or negative figure.
TEST_F(TopIntervals, IntervalsCloseAtTheirMinutes) {
    struct packet {
        std::time_t t;
        unsigned bytes;
        int prot = 6;
    };
    // A packet a minute from `from` up to before `to`.
    const auto every_minute = [](std::time_t from, std::time_t to, unsigned bytes) {
        std::vector<packet> p;
        for (std::time_t t = from; t < to; t += 60)
            p.push_back({t, bytes});
        return p;
    };
    const auto plus = [](std::vector<packet> a, const std::vector<packet>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::vector<packet> to_1100 =
        plus(every_minute(utc(2026, 3, 10, 10, 20, 30), utc(2026, 3, 10, 11, 0, 0), 100),
             {{utc(2026, 3, 10, 11, 0, 5), 7}});
    const std::vector<packet> to_1200 =
        plus(plus(to_1100, {{utc(2026, 3, 10, 11, 0, 50), 1}}),
             plus(every_minute(utc(2026, 3, 10, 11, 1, 0), utc(2026, 3, 10, 12, 0, 0), 1),
                  {{utc(2026, 3, 10, 12, 0, 0), 1}}));
    struct rollover_case {
        const char* what;
        std::time_t start;
        int interval, proto_filter;
        std::vector<packet> packets;
        int reports;
        int seconds;  // of the last interval closed
        double closed_bytes, current_bytes;
        const char* shown;
    };
    const rollover_case cases[] = {
        {"an hour's interval begun at 10:20", utc(2026, 3, 10, 10, 20, 0), 60, 0, to_1100, 1, 2405,
         4000, 7, "Summary for interval (00:40:05 total) ending Tue Mar 10 11:00:05 2026\n"},
        {"the next hour: one report, however many packets at its minute",
         utc(2026, 3, 10, 10, 20, 0), 60, 0, to_1200, 2, 3595, 67, 1, ""},
        {"-60 as 60", utc(2026, 3, 10, 10, 20, 0), -60, 0, to_1200, 2, 3595, 67, 1, ""},
        {"a quiet boundary minute", utc(2026, 3, 10, 11, 30, 0), 60, 0,
         {{utc(2026, 3, 10, 11, 58, 59), 10}, {utc(2026, 3, 10, 12, 1, 0), 10},
          {utc(2026, 3, 10, 12, 59, 59), 10}, {utc(2026, 3, 10, 13, 0, 0), 10}},
         1, 90 * 60, 30, 10, ""},
        // 23:55 on 31 December is minute 525595, a multiple of 7; 23:59 is not.
        {"the turn of the year", utc(2026, 12, 31, 23, 56, 0), 7, 0,
         {{utc(2026, 12, 31, 23, 59, 30), 1}, {utc(2027, 1, 1, 0, 0, 10), 1}}, 1, 250, 1, 1, ""},
        {"a record filtered out", utc(2026, 3, 10, 10, 59, 0), 60, 17,
         {{utc(2026, 3, 10, 10, 59, 30), 100, 17}, {utc(2026, 3, 10, 11, 0, 1), 1}}, 1, 60 + 1,
         100, 0, ""},
        {"a clock stepped back", utc(2026, 3, 10, 12, 30, 0), 60, 0,
         {{utc(2026, 3, 10, 12, 40, 0), 1000}, {utc(2026, 3, 10, 11, 0, 0), 1}}, 1, 1, 1000, 1,
         "   8000b; 100.00%"},
    };
    for (const rollover_case& c : cases) {
        SCOPED_TRACE(c.what);
        timeline tl(c.start, c.interval);
        tl.v.filter.proto = c.proto_filter;
        for (const packet& p : c.packets)
            tl.packet(p.t, p.bytes, p.prot);
        ASSERT_EQ(tl.reports(), c.reports) << tl.output;
        EXPECT_EQ(tl.v.stats.last_report->seconds, c.seconds);
        EXPECT_EQ(tl.v.stats.last_report->end_time, c.packets.back().t);
        EXPECT_EQ(tl.v.stats.last_report->in_bytes, c.closed_bytes);
        EXPECT_EQ(tl.v.stats.current->in_bytes, c.current_bytes);
        EXPECT_EQ(tl.v.stats.last_minute, report_minute(c.packets.back().t));
        EXPECT_NE(tl.output.find(c.shown), std::string::npos) << tl.output;
        for (const char* bad : {"inf", "nan", "-1", "-2", "-3", "-4", "-5", "-6", "-7", "-8", "-9"})
            EXPECT_EQ(tl.output.find(bad), std::string::npos) << bad << "\n" << tl.output;
    }
}

// The clock moves on by a minute at every reading.
std::time_t racing_clock()
{
    fake_now += 60;
    return fake_now;
}

TEST_F(TopIntervals, RecordsOfOneFrameNeverSplitAcrossIntervals) {
    const std::time_t start = utc(2026, 3, 10, 10, 58, 0);
    timeline tl(start, 1);
    tl.v.clock.now = racing_clock;
    tl.frame(start, {flow(6, 80, 1, 1, 2, 10, 1), flow(6, 80, 1, 1, 2, 20, 1),
                     flow(6, 80, 1, 1, 2, 30, 1)});
    ASSERT_EQ(tl.reports(), 1) << "one check for the frame, before its records";
    EXPECT_EQ(tl.v.stats.last_report->in_bytes, 0);
    EXPECT_EQ(tl.v.stats.current->in_bytes, 60);
    tl.frame(start + 60, {flow(6, 80, 1, 1, 2, 5, 1), flow(6, 80, 1, 1, 2, 5, 1)});
    ASSERT_EQ(tl.reports(), 2);
    EXPECT_EQ(tl.v.stats.last_report->in_bytes, 60);
    EXPECT_EQ(tl.v.stats.current->in_bytes, 10);
}

TEST_F(TopIntervals, EachReportHoldsOnlyItsOwnInterval) {
    const std::time_t start = utc(2026, 3, 10, 10, 0, 30);
    timeline tl(start, 1);
    for (int i = 1; i < 10; ++i)
        tl.packet(start + 60 * i, static_cast<unsigned>(i));
    EXPECT_EQ(tl.reports(), 9);
    EXPECT_EQ(tl.v.stats.last_report->in_bytes, 8);
    EXPECT_EQ(tl.v.stats.current->in_bytes, 9);
    // Nothing of earlier intervals is left in either.
    const std::map<entry, double> one_record = {
        {{"in_src_as", 1}, 1}, {{"in_dst_as", 2}, 1}, {{"in_proto", 6}, 1},
        {{"in_tcp_src", 80}, 1}, {{"in_tcp_dst", 1234}, 1}};
    std::map<entry, double> eight = one_record;
    for (auto& [where, bytes] : eight)
        bytes = 8;
    EXPECT_EQ(nonzero_entries(*tl.v.stats.last_report), eight);
    std::map<entry, double> nine = one_record;
    for (auto& [where, bytes] : nine)
        bytes = 9;
    EXPECT_EQ(nonzero_entries(*tl.v.stats.current), nine);
}

// The viewer's address space capped just above what it uses: the tables of
// a new interval cannot all be had.
void cap_address_space()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmSize:", 0) == 0) {
            const rlim_t kib = std::stoul(line.substr(7));
            const rlimit cap{(kib + 2048) * 1024, (kib + 2048) * 1024};
            setrlimit(RLIMIT_AS, &cap);
        }
    }
}

TEST_F(TopIntervals, TablesThatCannotBeAllocatedEndTheViewer)
{
#if defined(NELK_UNDER_ASAN)
    // The sanitizer needs address space of its own on the way out, so a
    // capped address space kills it before the viewer's exit status shows.
    GTEST_SKIP() << "address-space cap and AddressSanitizer do not mix";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    viewer_records v;
    v.config.mode = display_mode::top;
    EXPECT_EXIT(
        {
            cap_address_space();
            open_current_interval(v.ctx);
        },
        testing::ExitedWithCode(1), "^nelk: out of memory for the report interval table: ");
}

}  // namespace
