// The key table and the key reader.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "common/unique_fd.h"
#include "viewer/event_loop.h"
#include "viewer/intervals.h"
#include "viewer/live_view.h"
#include "viewer/viewer.h"

namespace {

const std::string help_line =
    "\rKeys: (a)AS, (p)proto, (t)tcp, (u)udp, (q)uit                             \r";
const std::string no_stats_line =
    "No stats to display.  As least one report interval needs to pass        \r";

struct KeyTable : testing::Test {
    viewer_records v;
    viewer_config& config = v.config;
    flow_stats& stats = v.stats;
    flow_context& ctx = v.ctx;

    std::string press(int key)
    {
        std::fflush(stdout);
        testing::internal::CaptureStdout();
        handle_key(key, ctx);
        std::fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }
    // What the loop's next refresh of the live view shows.
    std::string captured_refresh()
    {
        std::fflush(stdout);
        testing::internal::CaptureStdout();
        show_live_view(ctx);
        std::fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(KeyTable, OtherKeysShowTheHelpLineAndChangeNothing)
{
    config.report_type = report_kind::tcpport;
    for (int key : std::initializer_list<int>{'?', 'Q', 'A', 'P', 'T', 'U', 'x', ' ', '\n', '\r', 0, 4, 27, 127, 255}) {
        SCOPED_TRACE(key);
        EXPECT_EQ(press(key), help_line);
        EXPECT_EQ(config.report_type, report_kind::tcpport);
    }
}

TEST_F(KeyTable, ReportKeysSetTheTypeAndReprintTheLastReport)
{
    struct case_ {
        int key;
        report_kind type;
    };
    const case_ cases[] = {{'a', report_kind::as}, {'p', report_kind::proto}, {'t', report_kind::tcpport},
                           {'u', report_kind::udpport}};
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<char>(c.key));
        EXPECT_EQ(press(c.key), no_stats_line) << "no interval has closed yet";
        EXPECT_EQ(config.report_type, c.type);
    }
}

TEST_F(KeyTable, WithTheLiveViewAReportKeyRedrawsItInTheNewType)
{
    config.mode = display_mode::top;
    config.live_seconds = 1;
    open_current_interval(ctx);
    stats.current->in_proto[17] = 1000;
    stats.current->in_bytes = 1000;
    // A closed interval too: the key shows the running one, not this.
    stats.last_report = new_interval_stats();
    ASSERT_TRUE(stats_alloc(*stats.last_report));

    const std::string out = press('p');
    EXPECT_EQ(config.report_type, report_kind::proto);
    EXPECT_EQ(out.rfind("Running interval (", 0), 0u) << out;
    EXPECT_NE(out.find("Rank|--Proto Name/Num---|"), std::string::npos) << out;
    EXPECT_NE(out.find("(   17)"), std::string::npos) << out;
    EXPECT_EQ(out.find("Summary for interval"), std::string::npos) << out;
}

// Without -L, e prints the exporter table once; with -L it becomes the
// page that every refresh shows, until a report key brings the report back.
TEST_F(KeyTable, EIsAPageOfItsOwnUnderTheLiveView)
{
    const std::string no_exporter = "\rNo exporter seen yet." + std::string(53, ' ') + "\n";
    EXPECT_EQ(press('e'), no_exporter);
    EXPECT_EQ(v.live.page, live_page::report);

    config.mode = display_mode::top;
    config.live_seconds = 1;
    config.report_type = report_kind::proto;
    open_current_interval(ctx);
    std::string out = press('e');
    EXPECT_EQ(v.live.page, live_page::exporters);
    EXPECT_EQ(out.rfind("Exporters as of ", 0), 0u) << out;
    EXPECT_NE(out.find(no_exporter), std::string::npos) << out;
    EXPECT_EQ(out.find("Running interval"), std::string::npos) << out;
    out = captured_refresh();
    EXPECT_EQ(out.rfind("Exporters as of ", 0), 0u) << out;

    out = press('t');
    EXPECT_EQ(v.live.page, live_page::report);
    EXPECT_EQ(config.report_type, report_kind::tcpport);
    EXPECT_EQ(out.rfind("Running interval (", 0), 0u) << out;
    EXPECT_EQ(captured_refresh().rfind("Running interval (", 0), 0u);
}

// Runs read_key with the given bytes, then the end, on standard input.
std::vector<int> keys_from(const std::string& bytes, int reads)
{
    int p[2];
    EXPECT_EQ(::pipe(p), 0);
    unique_fd saved_stdin(::dup(0));
    ::dup2(p[0], 0);
    ::close(p[0]);
    EXPECT_EQ(::write(p[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(p[1]);
    std::vector<int> keys;
    for (int i = 0; i < reads; ++i)
        keys.push_back(read_key());
    ::dup2(saved_stdin.get(), 0);
    return keys;
}

TEST(ReadKey, OneByteAtATimeAsUnsignedThenNothing)
{
    EXPECT_EQ(keys_from(std::string("a\x03\xff\0", 4), 6),
              (std::vector<int>{'a', 3, 255, 0, -1, -1}));
}

}  // namespace
