// Exporter loss accounting: sequence numbers per exporter, the table that
// holds the exporters and the lines that show the loss.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "viewer/exporters.h"
#include "viewer/messages.h"
#include "viewer/viewer.h"

namespace {

struct datagram {
    const char* router;
    std::uint8_t engine_type, engine_id;
    std::uint32_t sequence;
    std::uint16_t count;
};

struct counts {
    const char* router;
    std::uint8_t engine_type, engine_id;
    std::uint64_t datagrams, flows, missed, late, resets;
};

nf5_header header_of(const datagram& d, std::uint16_t sampling = 0)
{
    nf5_header h{};
    h.version = nf5_version;
    h.count = d.count;
    h.flow_sequence = d.sequence;
    h.engine_type = d.engine_type;
    h.engine_id = d.engine_id;
    h.sampling_interval = htons(sampling);
    return h;
}

void feed(exporter_table& table, const std::vector<datagram>& datagrams)
{
    for (const datagram& d : datagrams)
        account_datagram(table, inet_addr(d.router), header_of(d));
}

TEST(Exporters, SequenceAccounting)
{
    struct sequence_case {
        const char* what;
        std::vector<datagram> datagrams;
        std::vector<counts> expected;  // in the order first seen
    };
    const char* r1 = "192.0.2.1";
    const char* r2 = "192.0.2.2";
    const sequence_case cases[] = {
        {"in order", {{r1, 0, 0, 100, 30}, {r1, 0, 0, 130, 30}, {r1, 0, 0, 160, 5}},
         {{r1, 0, 0, 3, 65, 0, 0, 0}}},
        {"the first datagram owes nothing", {{r1, 0, 0, 5000, 30}},
         {{r1, 0, 0, 1, 30, 0, 0, 0}}},
        {"a gap", {{r1, 0, 0, 0, 30}, {r1, 0, 0, 90, 30}, {r1, 0, 0, 120, 30}},
         {{r1, 0, 0, 3, 90, 60, 0, 0}}},
        {"a late datagram fills its part of the gap",
         {{r1, 0, 0, 0, 30}, {r1, 0, 0, 90, 30}, {r1, 0, 0, 30, 30}},
         {{r1, 0, 0, 3, 90, 30, 1, 0}}},
        {"late datagrams fill the whole gap, middle first",
         {{r1, 0, 0, 0, 30}, {r1, 0, 0, 120, 30}, {r1, 0, 0, 60, 30}, {r1, 0, 0, 30, 30},
          {r1, 0, 0, 90, 30}},
         {{r1, 0, 0, 5, 150, 0, 3, 0}}},
        {"a repeated datagram takes nothing off",
         {{r1, 0, 0, 0, 30}, {r1, 0, 0, 60, 30}, {r1, 0, 0, 60, 30}, {r1, 0, 0, 0, 30}},
         {{r1, 0, 0, 4, 120, 30, 2, 0}}},
        {"a gap brought twice counts once",
         {{r1, 0, 0, 0, 30}, {r1, 0, 0, 60, 30}, {r1, 0, 0, 30, 30}, {r1, 0, 0, 30, 30}},
         {{r1, 0, 0, 4, 120, 0, 2, 0}}},
        {"a late datagram that reaches past the expected number",
         {{r1, 0, 0, 0, 30}, {r1, 0, 0, 60, 30}, {r1, 0, 0, 80, 30}, {r1, 0, 0, 110, 30}},
         {{r1, 0, 0, 4, 120, 30, 1, 0}}},
        {"a gap of 1,000,000 flows is loss",
         {{r1, 0, 0, 0, 30}, {r1, 0, 0, 1000030, 30}}, {{r1, 0, 0, 2, 60, 1000000, 0, 0}}},
        {"a jump of 1,000,001 is a reset", {{r1, 0, 0, 0, 30}, {r1, 0, 0, 1000031, 30}},
         {{r1, 0, 0, 2, 60, 0, 0, 1}}},
        {"a jump back beyond 1,000,000 is a reset",
         {{r1, 0, 0, 5000000, 30}, {r1, 0, 0, 0, 30}, {r1, 0, 0, 30, 30}},
         {{r1, 0, 0, 3, 90, 0, 0, 1}}},
        {"a gap before a reset cannot be filled after it",
         {{r1, 0, 0, 0, 30}, {r1, 0, 0, 60, 30}, {r1, 0, 0, 9000000, 30},
          {r1, 0, 0, 30, 30}},
         {{r1, 0, 0, 4, 120, 30, 0, 2}}},
        {"the 2^32 wrap is in order",
         {{r1, 0, 0, 0xFFFFFFF0u, 0x20}, {r1, 0, 0, 0x10, 30}}, {{r1, 0, 0, 2, 62, 0, 0, 0}}},
        {"a gap across the wrap, filled late",
         {{r1, 0, 0, 0xFFFFFFE2u, 20}, {r1, 0, 0, 0x1E, 30}, {r1, 0, 0, 0xFFFFFFF6u, 40}},
         {{r1, 0, 0, 3, 90, 0, 1, 0}}},
        {"two engines behind one router address",
         {{r1, 0, 0, 0, 30}, {r1, 0, 1, 7000, 30}, {r1, 0, 0, 30, 30}, {r1, 0, 1, 7060, 30},
          {r1, 1, 0, 0, 10}},
         {{r1, 0, 0, 2, 60, 0, 0, 0}, {r1, 0, 1, 2, 60, 30, 0, 0}, {r1, 1, 0, 1, 10, 0, 0, 0}}},
        {"two routers",
         {{r1, 0, 0, 0, 30}, {r2, 0, 0, 0, 30}, {r2, 0, 0, 40, 30}, {r1, 0, 0, 30, 30}},
         {{r1, 0, 0, 2, 60, 0, 0, 0}, {r2, 0, 0, 2, 60, 10, 0, 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        exporter_table table;
        feed(table, c.datagrams);
        ASSERT_EQ(table.list.size(), c.expected.size());
        for (std::size_t i = 0; i < c.expected.size(); ++i) {
            const counts& want = c.expected[i];
            const exporter& got = table.list[i];
            SCOPED_TRACE(i);
            EXPECT_EQ(got.router, inet_addr(want.router));
            EXPECT_EQ(got.engine_type, want.engine_type);
            EXPECT_EQ(got.engine_id, want.engine_id);
            EXPECT_EQ(got.datagrams, want.datagrams);
            EXPECT_EQ(got.flows, want.flows);
            EXPECT_EQ(got.missed, want.missed);
            EXPECT_EQ(got.late, want.late);
            EXPECT_EQ(got.resets, want.resets);
        }
    }
}

TEST(Exporters, OpenGapsAreBoundedAndTheOldestStaysMissed)
{
    exporter_table table;
    // One more gap than is remembered, ten flows each.
    std::vector<datagram> d = {{"192.0.2.1", 0, 0, 0, 10}};
    for (std::uint32_t i = 1; i <= exporter_gaps + 1; ++i)
        d.push_back({"192.0.2.1", 0, 0, i * 20, 10});
    // Every gap brought late, the oldest (10 to 19) first.
    for (std::uint32_t i = 0; i <= exporter_gaps; ++i)
        d.push_back({"192.0.2.1", 0, 0, i * 20 + 10, 10});
    feed(table, d);
    ASSERT_EQ(table.list.size(), 1u);
    EXPECT_EQ(table.list[0].missed, 10u);
    EXPECT_EQ(table.list[0].late, exporter_gaps + 1);
}

TEST(Exporters, ManyExportersAreFoundAgainAndTheLimitHolds)
{
    exporter_table table;
    table.limit = 1000;
    for (int pass = 0; pass < 2; ++pass)
        for (std::uint32_t i = 0; i < 1200; ++i) {
            nf5_header h{};
            h.count = 3;
            h.flow_sequence = pass * 3;
            h.engine_id = static_cast<std::uint8_t>(i);
            account_datagram(table, htonl(0x0A000000u + i / 7), h);
        }
    ASSERT_EQ(table.list.size(), 1000u);
    for (const exporter& e : table.list) {
        EXPECT_EQ(e.datagrams, 2u);
        EXPECT_EQ(e.missed, 0u);
    }
    EXPECT_EQ(table.untracked_datagrams, 400u);
    EXPECT_EQ(table.untracked_flows, 1200u);
}

std::string captured(void (*print)(const flow_context&), const flow_context& ctx, bool err)
{
    if (err)
        testing::internal::CaptureStderr();
    else
        testing::internal::CaptureStdout();
    print(ctx);
    std::fflush(stdout);
    return err ? testing::internal::GetCapturedStderr()
               : testing::internal::GetCapturedStdout();
}

TEST(Exporters, TableAndLossLines)
{
    viewer_records v;
    testing::internal::CaptureStdout();
    print_exporters(v.exporters);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\rNo exporter seen yet." + std::string(53, ' ') + "\n");
    EXPECT_EQ(captured(print_live_loss_line, v.ctx, false), "");
    EXPECT_EQ(captured(report_loss_at_end, v.ctx, true), "");

    // Router 10.0.0.9 loses 30 of 120 flows; 10.0.0.1 with two engines
    // loses none; shown by address, then engine.
    const datagram d[] = {
        {"10.0.0.9", 0, 0, 0, 30},      {"10.0.0.9", 0, 0, 60, 30},
        {"10.0.0.9", 0, 0, 90, 30},     {"10.0.0.1", 1, 2, 10, 20},
        {"10.0.0.1", 0, 255, 4000, 10}, {"10.0.0.1", 0, 255, 9000000, 10},
    };
    for (const datagram& x : d)
        account_datagram(v.exporters, inet_addr(x.router), header_of(x, 0x4000 | 512));
    testing::internal::CaptureStdout();
    print_exporters(v.exporters);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Router          Engine  Datagrams      Flows    Missed  Loss% Resets Sampling\n"
              "10.0.0.1          0/255         2         20         0   0.00      1      512\n"
              "10.0.0.1          1/2           1         20         0   0.00      0      512\n"
              "10.0.0.9          0/0           3         90        30  25.00      0      512\n");
    EXPECT_EQ(captured(print_live_loss_line, v.ctx, false),
              "Missed flows: 30 (18.75%) from 1 exporter(s)\n");
    EXPECT_EQ(captured(report_loss_at_end, v.ctx, true),
              "nelk: 30 of 160 flows missed (18.75%) by sequence numbers\n");

    v.exporters.limit = v.exporters.list.size();
    account_datagram(v.exporters, inet_addr("10.0.0.5"), header_of(d[0]));
    testing::internal::CaptureStdout();
    print_exporters(v.exporters);
    const std::string table = testing::internal::GetCapturedStdout();
    EXPECT_NE(table.find("\nMore exporters than the table holds: 1 datagrams, 30 flows "
                         "not counted by exporter\n"),
              std::string::npos)
        << table;
}

}  // namespace
