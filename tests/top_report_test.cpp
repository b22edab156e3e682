// Top reports, byte for byte: layout, row counts, ranking and cells.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <pty.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <tuple>
#include <vector>

#include "viewer/asn_names.h"
#include "viewer/exporters.h"
#include "viewer/intervals.h"
#include "viewer/live_view.h"
#include "viewer/terminfo.h"
#include "viewer/report.h"
#include "viewer/viewer.h"

namespace {

// Tue Mar 10 11:00:00 2026 UTC.
constexpr std::time_t end_1100 = 1773140400;

class TopReport : public testing::Test {
protected:
    viewer_records v;
    viewer_config& config = v.config;
    flow_filter& filter = v.filter;
    flow_context& ctx = v.ctx;
    interval_stats_ptr stats = new_interval_stats();

    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        config.mode = display_mode::top;
        config.report_type = report_kind::as;
        ASSERT_TRUE(stats_alloc(*stats));
        stats->seconds = 60;
        stats->end_time = end_1100;
    }

    void two_sections()
    {
        filter.router = net_address::from_v4_net(inet_addr("192.0.2.1"));
        filter.ifindex = 5;
    }

    std::string render(const interval_stats* s)
    {
        std::fflush(stdout);
        testing::internal::CaptureStdout();
        render_report(s, ctx);
        std::fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }
    std::string render() { return render(stats.get()); }
};

template <typename F>
std::string captured(F f)
{
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    f();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

bool is_row(const std::string& line)
{
    return line.size() >= 3 && line[2] == ':' && (line[0] == ' ' || std::isdigit(line[0])) &&
           std::isdigit(line[1]);
}

// Writes an AS name file for the test and loads it.
void load_names(asn_table& names, const std::string& text)
{
    char path[] = "/tmp/nelk_top_asn_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    load_asn_file(names, path);
    unlink(path);
}

TEST_F(TopReport, NoStatsLine) {
    EXPECT_EQ(render(nullptr),
              "No stats to display.  As least one report interval needs to pass        \r");
}

TEST_F(TopReport, PrintCell) {
    struct cell_case {
        const char* name;
        std::uint32_t number;
        int seconds;
        double bytes, total;
        const char* want;
    };
    const cell_case cases[] = {
        {"<unknown>", 65001, 3600, 45000000, 90000000, "     <unknown>(65001)     98k;  50.00%"},
        {"x", 1, 60, 76800, 76800, "             x(    1)     10k; 100.00%"},
        {"x", 1, 60, 76799, 153600, "             x(    1)  10240b;  50.00%"},
        {"abcdefghijklmn", 65535, 60, 4, 80000, " abcdefghijklm(65535)      1b;   0.00%"},
        {"", 0, 1, 1, 3, "              (    0)      8b;  33.33%"},
        // An interval of no length is rated as one second.
        {"x", 2, 0, 128, 128, "             x(    2)   1024b; 100.00%"},
        {"x", 2, -5, 1280, 1280, "             x(    2)     10k; 100.00%"},
        // Numbers of more than five digits take columns of the name.
        {"abcdefghijklmn", 99999, 60, 76800, 76800, " abcdefghijklm(99999)     10k; 100.00%"},
        {"abcdefghijklmn", 131072, 60, 76800, 76800, " abcdefghijkl(131072)     10k; 100.00%"},
        {"abcdefghijklmn", 4294967295, 60, 76800, 76800, " abcdefgh(4294967295)     10k; 100.00%"},
        {"x", 4200000000, 60, 76800, 76800, "        x(4200000000)     10k; 100.00%"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.want);
        EXPECT_EQ(captured([&] { print_cell(stdout, c.name, c.number, c.seconds, c.bytes, c.total); }),
                  c.want);
    }
}

TEST_F(TopReport, SummaryLine) {
    const std::pair<int, const char*> cases[] = {
        {59, "00:00:59"}, {3725, "01:02:05"}, {360000, "100:00:00"}, {0, "00:00:00"}};
    for (const auto& [seconds, text] : cases) {
        stats->seconds = seconds;
        EXPECT_EQ(captured([&] { print_summary(*stats); }),
                  std::string("Summary for interval (") + text +
                      " total) ending Tue Mar 10 11:00:00 2026\n");
    }
}

TEST_F(TopReport, RankingByBytesThenIndexAsFarAsTheRowsGo) {
    stats_table& table = stats->in_proto;
    table[5] = 10;
    table[3] = 10;
    table[9] = 20;
    table[0] = 10;
    table[65535] = 30;
    table[100] = 0.5;
    table[70000 % 65536 + 1000] = 0;  // written, but no bytes
    std::vector<ranked_entry> ranked(stats_table_entries);
    const auto rank = [&](int limit) {
        const int n = rank_entries(table, limit, ranked.data());
        std::vector<int> numbers;
        for (int i = 0; i < n; ++i)
            numbers.push_back(static_cast<int>(ranked[static_cast<std::size_t>(i)].number));
        return numbers;
    };
    EXPECT_EQ(rank(8), (std::vector<int>{65535, 9, 0, 3, 5, 100}));
    EXPECT_EQ(rank(3), (std::vector<int>{65535, 9, 0}));
    EXPECT_EQ(rank(0), std::vector<int>{});
    EXPECT_EQ(rank(-5), std::vector<int>{});
    EXPECT_EQ(rank(100000), rank(8)) << "entries of 0 bytes never rank";
}

TEST_F(TopReport, TwoSectionProtoReport) {
    two_sections();
    config.report_type = report_kind::proto;
    config.lines = 6;  // two OUTBOUND rows, one INBOUND
    stats->out_proto[6] = 76800;
    stats->out_proto[17] = 76799;
    stats->out_bytes = 153599;
    stats->out_packets = 122880;
    stats->in_proto[1] = 4;
    stats->in_proto[6] = 3;  // below the one INBOUND row
    stats->in_bytes = 80000;
    const std::string want =
        "Summary for interval (00:01:00 total) ending Tue Mar 10 11:00:00 2026\n"
        "Rank|--Proto Name/Num---|-bw;% of total-|\n"
        "                          O   U   T   B   O   U   N   D  (total 20kbits/s, 2kpps)\n"
        " 1:           tcp(    6)     10k;  50.00%\n"
        " 2:           udp(   17)  10240b;  50.00%\n"
        "                            I   N   B   O   U   N   D    (total 10kbits/s, 0kpps)\n"
        " 1:          icmp(    1)      1b;   0.00%\n";
    const std::string got = render();
    EXPECT_EQ(got, want);
    // The parentheses of both section lines line up in column 58.
    for (const auto& line : split_lines(got)) {
        if (line.find("(total") != std::string::npos) {
            EXPECT_EQ(line.find('('), 57u) << line;
        }
    }
}

TEST_F(TopReport, TiesAndTheShareRoundedToSinglePrecision) {
    config.report_type = report_kind::proto;
    config.lines = 7;
    stats->in_proto[17] = 500;
    stats->in_proto[6] = 500;
    stats->in_proto[1] = 4;
    stats->in_bytes = 80000;
    stats->in_packets = 0;
    const std::string want =
        "Summary for interval (00:01:00 total) ending Tue Mar 10 11:00:00 2026\n"
        " Total         10kbits/s,          0kpps\n"
        "Rank|--Proto Name/Num---|-bw;% of total-|\n"
        " 1:           tcp(    6)     67b;   0.62%\n"
        " 2:           udp(   17)     67b;   0.62%\n"
        " 3:          icmp(    1)      1b;   0.00%\n";
    EXPECT_EQ(render(), want);
}

TEST_F(TopReport, EmptyCellsAndHalfEmptyRows) {
    config.report_type = report_kind::udpport;
    config.lines = 10;  // four rows
    stats->seconds = 3600;
    stats->in_udp_dst[65000] = 45000000;
    stats->in_udp_src[64999] = 30000000;
    stats->in_udp_src[64998] = 15000000;
    stats->in_bytes = 90000000;
    stats->in_packets = 3686400;
    ASSERT_EQ(getservbyport(htons(64999), "udp"), nullptr) << "host names port 64999";
    ASSERT_EQ(getservbyport(htons(64998), "udp"), nullptr) << "host names port 64998";
    ASSERT_EQ(getservbyport(htons(65000), "udp"), nullptr) << "host names port 65000";
    const std::string want =
        "Summary for interval (01:00:00 total) ending Tue Mar 10 11:00:00 2026\n"
        " Total        195kbits/s,          1kpps\n"
        "Rank|-------------Source----------------| |---------------Dest----------------|\n"
        "    |-----UDP Port------|-bw;% of total-| |-----UDP Port------|-bw,% of total-|\n"
        " 1:       unknown(64999)     65k;  33.33%        unknown(65000)     98k;  50.00%\n"
        " 2:       unknown(64998)     33k;  16.67% \n"
        " 3: \n"
        " 4: \n";
    EXPECT_EQ(render(), want);

    // Left column shorter than the right one.
    stats->in_udp_src[64999] = 0;
    stats->in_udp_src[64998] = 0;
    stats->in_udp_dst[64998] = 1;
    const std::string left_empty = render();
    EXPECT_NE(left_empty.find("\n 1:        unknown(65000)     98k;  50.00%\n"
                              " 2:        unknown(64998)      0b;   0.00%\n 3: \n"),
              std::string::npos)
        << left_empty;
}

TEST_F(TopReport, AsReportWithNames) {
    load_names(v.names, "1 ONE\n2 FOURTEENCHARSX\n");
    config.lines = 9;  // three rows
    stats->seconds = 3600;
    stats->in_src_as[65001] = 45000000;
    stats->in_dst_as[1] = 30000000;
    stats->in_dst_as[2] = 15000000;
    stats->in_bytes = 90000000;
    stats->in_packets = 3686400;
    const std::string want =
        "Summary for interval (01:00:00 total) ending Tue Mar 10 11:00:00 2026\n"
        " Total        195kbits/s,          1kpps\n"
        "Rank|-------------Source----------------| |---------------Dest----------------|\n"
        "    |----AS Name/Num----|-bw;% of total-| |----AS Name/Num----|-bw,% of total-|\n"
        " 1:     <unknown>(65001)     98k;  50.00%            ONE(    1)     65k;  33.33%\n"
        " 2:  FOURTEENCHARS(    2)     33k;  16.67%\n"
        " 3: \n";
    EXPECT_EQ(render(), want);
}

// 32-bit AS numbers rank among the 16-bit ones and are named from the AS
// name file; their rows stay 80 wide.
TEST_F(TopReport, WideAsNumbersRankedAndNamed) {
    load_names(v.names, "4200000000 PRIVATE-PEER\n131072 APNIC-32BIT\n65536 FIRST\n");
    config.lines = 10;  // four rows
    stats->seconds = 3600;
    stats->in_src_as.add_as(4200000000u, 45000000);
    stats->in_src_as.add_as(131072, 30000000);
    stats->in_src_as.add_as(65001, 15000000);
    stats->in_dst_as.add_as(65536, 45000000);
    stats->in_dst_as.add_as(4294967295u, 45000000);
    stats->in_bytes = 90000000;
    const std::string want =
        "Summary for interval (01:00:00 total) ending Tue Mar 10 11:00:00 2026\n"
        " Total        195kbits/s,          0kpps\n"
        "Rank|-------------Source----------------| |---------------Dest----------------|\n"
        "    |----AS Name/Num----|-bw;% of total-| |----AS Name/Num----|-bw,% of total-|\n"
        " 1: PRIVATE-(4200000000)     98k;  50.00%          FIRST(65536)     98k;  50.00%\n"
        " 2:  APNIC-32BIT(131072)     65k;  33.33%  <unknown(4294967295)     98k;  50.00%\n"
        " 3:     <unknown>(65001)     33k;  16.67% \n"
        " 4: \n";
    EXPECT_EQ(render(), want);
}

TEST_F(TopReport, UnknownReportTypeFallsBackToAs) {
    load_names(v.names, "");
    stats->in_src_as[7] = 100;
    stats->in_bytes = 100;
    const std::string as_report = render();
    for (int type : {0, 5, -1}) {
        config.report_type = static_cast<report_kind>(type);
        for (int i = 0; i < 2; ++i)
            EXPECT_EQ(render(),
                      "Report interval expired, but I don't know what type of report to "
                      "generate!\nDefaulting to AS report\n" + as_report);
        EXPECT_EQ(static_cast<int>(config.report_type), type);
    }
}

// Every table holds 100 non-zero entries, more than any row count below.
void fill(interval_stats& s)
{
    stats_table interval_stats::*const tables[] = {
        &interval_stats::in_src_as,  &interval_stats::in_dst_as,  &interval_stats::out_src_as,
        &interval_stats::out_dst_as, &interval_stats::in_proto,   &interval_stats::out_proto,
        &interval_stats::in_tcp_src, &interval_stats::in_tcp_dst, &interval_stats::out_tcp_src,
        &interval_stats::out_tcp_dst, &interval_stats::in_udp_src, &interval_stats::in_udp_dst,
        &interval_stats::out_udp_src, &interval_stats::out_udp_dst};
    for (auto t : tables)
        for (int i = 1; i <= 100; ++i)
            (s.*t)[static_cast<std::size_t>(i) * 600] = i * 1000;
    s.in_bytes = s.out_bytes = 5050 * 1000;
}

TEST_F(TopReport, RowCounts) {
    load_names(v.names, "");
    fill(*stats);
    struct rows_case {
        report_kind type;
        int lines;
        bool two;
        int out_rows, in_rows, total_lines;
    };
    const rows_case cases[] = {
        {report_kind::as, 24, false, 0, 18, 22},      {report_kind::tcpport, 24, false, 0, 18, 22},
        {report_kind::udpport, 24, false, 0, 18, 22}, {report_kind::proto, 24, false, 0, 20, 23},
        {report_kind::as, 24, true, 10, 9, 24},       {report_kind::udpport, 24, true, 10, 9, 24},
        {report_kind::proto, 24, true, 11, 10, 25},   {report_kind::as, 200, true, 98, 97, 200},
        // L - R of -2, -1, 0 and 1.
        {report_kind::as, 4, false, 0, 0, 4},         {report_kind::as, 5, false, 0, 0, 4},
        {report_kind::as, 6, false, 0, 0, 4},         {report_kind::as, 7, false, 0, 1, 5},
        {report_kind::as, 4, true, 0, 0, 5},          {report_kind::as, 5, true, 1, 0, 6},
        {report_kind::as, 6, true, 1, 0, 6},          {report_kind::as, 7, true, 1, 0, 6},
        {report_kind::proto, 2, true, 0, 0, 4},       {report_kind::proto, 3, true, 1, 0, 5},
        {report_kind::proto, 5, false, 0, 1, 4},      {report_kind::proto, 0, false, 0, 0, 3},
        {report_kind::as, -100, true, 0, 0, 5},
        // Lengths that taking the reserved lines off would wrap round.
        {report_kind::as, INT_MIN, false, 0, 0, 4},   {report_kind::proto, INT_MIN, true, 0, 0, 4},
        {report_kind::as, INT_MIN + 5, true, 0, 0, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << static_cast<int>(c.type) << " lines " << c.lines
                                        << (c.two ? " two sections" : " one section"));
        filter = flow_filter{};
        if (c.two)
            two_sections();
        config.report_type = c.type;
        config.lines = c.lines;
        const auto lines = split_lines(render());
        EXPECT_EQ(static_cast<int>(lines.size()), c.total_lines);
        int out_rows = 0, in_rows = 0;
        bool inbound = !c.two;
        const std::size_t row_width = c.type == report_kind::proto ? 41 : 80;
        for (const auto& line : lines) {
            if (line.find("I   N   B") != std::string::npos)
                inbound = true;
            if (!is_row(line))
                continue;
            ++(inbound ? in_rows : out_rows);
            EXPECT_EQ(line.size(), row_width) << line;
            EXPECT_EQ(std::stoi(line.substr(0, 2)), inbound ? in_rows : out_rows);
        }
        EXPECT_EQ(out_rows, c.out_rows);
        EXPECT_EQ(in_rows, c.in_rows);
    }
}

TEST_F(TopReport, RouterWithoutInterfaceIsOneSection) {
    load_names(v.names, "");
    fill(*stats);
    filter.router = net_address::from_v4_net(inet_addr("192.0.2.1"));
    const std::string got = render();
    EXPECT_EQ(got.find("O   U   T"), std::string::npos);
    EXPECT_NE(got.find(" Total "), std::string::npos);
}

// The live view: the running interval under its own summary line, over the
// seconds since the last rollover, at the viewer's clock.
std::time_t live_now = end_1100;
std::time_t live_clock() { return live_now; }

class LiveView : public TopReport {
protected:
    void SetUp() override
    {
        TopReport::SetUp();
        load_names(v.names, "");
        v.clock.now = live_clock;
        config.live_seconds = 5;
        config.report_type = report_kind::proto;
        config.lines = 6;  // two rows
        v.stats.current = std::move(stats);
        v.stats.last_time = end_1100 - 30;
        interval_stats& cur = *v.stats.current;
        cur.in_proto[6] = 76800 / 2;  // 30 s of 10240 bits/s
        cur.in_proto[17] = 76800 / 4;
        cur.in_proto[1] = 1;
        cur.in_bytes = 76800 / 2 + 76800 / 4 + 1;
        cur.in_packets = 30 * 1024;
        live_now = end_1100;
    }
    std::string show()
    {
        return captured([&] { show_live_view(ctx); });
    }
};

const char running_report[] =
    "Running interval (00:00:30 so far) ending Tue Mar 10 11:00:00 2026\n"
    " Total         15kbits/s,          1kpps\n"
    "Rank|--Proto Name/Num---|-bw;% of total-|\n"
    " 1:           tcp(    6)     10k;  66.67%\n"
    " 2:           udp(   17)   5120b;  33.33%\n";

TEST_F(LiveView, PlainRefreshIsTheRunningIntervalInTheReportLayout)
{
    EXPECT_EQ(show(), running_report);
    EXPECT_EQ(v.live.last_refresh, end_1100);
    // The same text as a closed interval of those seconds, bar the summary.
    v.stats.current->seconds = 30;
    v.stats.current->end_time = end_1100;
    const std::string closed = render(v.stats.current.get());
    EXPECT_EQ(closed.substr(closed.find('\n')),
              std::string(running_report).substr(std::string(running_report).find('\n')));
}

TEST_F(LiveView, SecondsSoFarAreAtLeastOne)
{
    const std::pair<std::time_t, int> cases[] = {
        {end_1100 - 30, 30}, {end_1100, 1}, {end_1100 + 100, 1}, {end_1100 - 3725, 3725}};
    for (const auto& [last_time, seconds] : cases) {
        v.stats.last_time = last_time;
        EXPECT_EQ(running_seconds(v.stats, end_1100), seconds);
    }
    v.stats.last_time = end_1100;
    EXPECT_EQ(show().substr(0, 35), "Running interval (00:00:01 so far) ");
}

// In place, each line is cleared as it is drawn, the loss line's row is
// kept, and the frame stops above the window's bottom: only the lines that
// fit are made, however long -l says the screen is, each cut to the
// window's width (a column short where the last column wraps at once).
TEST_F(LiveView, InPlaceFrameFitsTheWindow)
{
    v.live.in_place = true;
    v.live.home = "<H>";
    v.live.clear_line = "<K>";
    v.live.clear_below = "<J>";
    const std::string lines[] = {
        "Running interval (00:00:30 so far) ending Tue Mar 10 11:00:00 2026",
        " Total         15kbits/s,          1kpps", "Rank|--Proto Name/Num---|-bw;% of total-|",
        " 1:           tcp(    6)     10k;  66.67%", " 2:           udp(   17)   5120b;  33.33%"};
    struct window_case {
        int lines;  // -l
        int rows, cols;  // the window's; 0: not known
        bool last_column;
        std::size_t shown, width;
    };
    const window_case cases[] = {
        {6, 0, 0, true, 5, 100}, {6, 5, 0, true, 3, 100},         {6, 2, 0, true, 1, 100},
        {30000000, 6, 30, true, 4, 30}, {30000000, 6, 30, false, 4, 29}, {30000000, 6, 0, true, 4, 100},
    };
    for (const window_case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rows << " rows, " << c.cols << " columns");
        config.lines = c.lines;
        v.live.rows = c.rows;
        v.live.cols = c.cols;
        v.live.last_column = c.last_column;
        std::string want = "<H><K>" + lines[0].substr(0, c.width) + "\n<K>";
        for (std::size_t i = 1; i < c.shown; ++i)
            want += "<K>" + lines[i].substr(0, c.width) + "\n";
        EXPECT_EQ(show(), want + "<J>");
    }
    const std::string body = captured([&] { render_running_interval(stdout, ctx, end_1100, 3); });
    EXPECT_EQ(body, lines[1] + "\n" + lines[2] + "\n" + lines[3] + "\n");
}

// A character of several bytes is one column, and never split.
TEST_F(LiveView, ACharacterOfSeveralBytesIsOneColumn)
{
    v.live.in_place = true;
    v.live.clear_line = "<K>";
    config.lines = 30000000;
    load_names(v.names, "7 \xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\n");
    config.report_type = report_kind::as;
    v.stats.current->in_src_as[7] = 1000;
    v.live.cols = 11;
    v.live.rows = 7;
    const std::string frame = show();
    EXPECT_NE(frame.find("<K> 1:      \xc3\xa9\xc3\xa9\n"), std::string::npos) << frame;
}

// Under -L the e key makes the exporter table the live view's page: a
// heading with the time, then the table, cut to the window like the report.
TEST_F(LiveView, ExporterTableAsAPage)
{
    v.live.page = live_page::exporters;
    const std::string heading =
        "Exporters as of Tue Mar 10 11:00:00 2026; a, p, t or u shows the report again\n";
    EXPECT_EQ(show(), heading + "\rNo exporter seen yet." + std::string(53, ' ') + "\n");

    datagram_info dg;
    dg.exporter = net_address::from_v4_net(inet_addr("10.0.0.1"));
    sequence_note note;
    note.count = note.flows = 3;
    account_datagram(v.exporters, dg, note);
    v.live.in_place = true;
    v.live.home = "<H>";
    v.live.clear_line = "<K>";
    v.live.clear_below = "<J>";
    v.live.rows = 3;
    v.live.cols = 40;
    EXPECT_EQ(show(), "<H><K>" + heading.substr(0, 40) +
                          "\n<K>Router          Ver Domain     Datagrams\n<J>");
    v.live.rows = 24;
    EXPECT_NE(show().find("\n<K>10.0.0.1          5 0/0                1\n<J>"), std::string::npos);
}

TEST_F(LiveView, RefreshIsDueAPeriodAfterTheLastRefreshOrRollover)
{
    struct due_case {
        std::time_t last_refresh, last_time, now;
        bool due;
    };
    const std::time_t t = end_1100;
    const due_case cases[] = {
        {t, t - 100, t + 4, false}, {t, t - 100, t + 5, true},  {t, t - 100, t + 60, true},
        {t, t + 2, t + 5, false},   {t, t + 2, t + 7, true},    // a rollover restarts the period
        {t, t + 10, t + 5, true},   // a rollover "later" than now: the clock went back
        {t, t - 100, t - 1, true},  // the clock went back past the last refresh
        {0, t, t + 4, false},       {0, t, t + 5, true},        // the first comes a period in
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.last_refresh - t << " " << c.last_time - t << " "
                                        << c.now - t);
        v.live.last_refresh = c.last_refresh;
        v.stats.last_time = c.last_time;
        EXPECT_EQ(live_refresh_due(ctx, c.now), c.due);
    }
}

// The sequences come from the terminal's own description; a terminal that
// cannot move home and clear, or no terminal at all, gets plain reports.
TEST(LiveScreen, SequencesFromTerminfoOrPlain)
{
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    const char* saved = std::getenv("TERM");
    const std::string saved_term = saved ? saved : "";
    struct term_case {
        const char* term;
        int fd;
        bool in_place;
    };
    const term_case cases[] = {
        {"xterm", slave, true},  {"vt100", slave, true}, {"dumb", slave, false},
        {"no-such-terminal", slave, false}, {"xterm", p[1], false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.term << (c.fd == slave ? " on a terminal" : " on a pipe"));
        setenv("TERM", c.term, 1);
        live_screen live;
        load_screen_sequences(live, c.fd);
        EXPECT_EQ(live.in_place, c.in_place);
        if (std::string(c.term) == "xterm" && c.in_place) {
            EXPECT_EQ(live.home, "\x1b[H");
            EXPECT_EQ(live.clear_line, "\x1b[K");
            EXPECT_EQ(live.clear_below, "\x1b[J");
            EXPECT_EQ(live.rows, 24);
        }
    }
    if (saved)
        setenv("TERM", saved_term.c_str(), 1);
    else
        unsetenv("TERM");
    close(master);
    close(slave);
    close(p[0]);
    close(p[1]);
}

}  // namespace
