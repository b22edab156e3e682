// Exporter loss accounting: sequence numbers per exporter, the table that
// holds the exporters and the lines that show the loss.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/net_address.h"
#include "viewer/exporters.h"
#include "viewer/messages.h"
#include "viewer/viewer.h"
#include "tests/addresses.h"

namespace {

// A v5 datagram's header as the accounting sees it.
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

datagram_info exporter_of(const char* router, std::uint16_t version, std::uint32_t domain,
                          std::uint16_t port = 0)
{
    datagram_info dg;
    dg.exporter = addr(router);
    dg.version = version;
    dg.domain = domain;
    dg.port = port;
    return dg;
}

void account(exporter_table& table, const datagram& d, std::uint32_t sampling = 0)
{
    sequence_note n;
    n.sequence = d.sequence;
    n.count = n.flows = d.count;
    n.has_sampling = true;
    n.sampling = sampling;
    account_datagram(table, exporter_of(d.router, 5, std::uint32_t{d.engine_type} << 8 | d.engine_id),
                     n);
}

void feed(exporter_table& table, const std::vector<datagram>& datagrams)
{
    for (const datagram& d : datagrams)
        account(table, d);
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
            EXPECT_EQ(got.address, addr(want.router));
            EXPECT_EQ(got.domain, std::uint32_t{want.engine_type} << 8 | want.engine_id);
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

TEST(Exporters, ManyExportersAreFoundAgain)
{
    exporter_table table;
    for (std::uint32_t pass = 0; pass < 2; ++pass)
        for (std::uint32_t i = 0; i < 1200; ++i) {
            sequence_note n;
            n.count = n.flows = 3;
            n.sequence = pass * 3;
            char router[32];
            std::snprintf(router, sizeof router, "10.0.%u.%u", i / 7 / 256, i / 7 % 256);
            account_datagram(table, exporter_of(router, 5, i % 7), n);
        }
    ASSERT_EQ(table.list.size(), 1200u);
    for (const exporter& e : table.list) {
        EXPECT_EQ(e.datagrams, 2u);
        EXPECT_EQ(e.missed, 0u);
    }
    EXPECT_EQ(table.untracked_datagrams + table.given_up, 0u);
}

// One address making up engines cannot fill the table: its domains beyond
// the bound are not tracked, and a router that comes after still is, its
// loss shown.
TEST(Exporters, DomainsPerAddressAreBounded)
{
    exporter_table table;
    for (std::uint32_t engine = 0; engine < 65536; ++engine)
        account(table, {"192.0.2.66", static_cast<std::uint8_t>(engine >> 8),
                        static_cast<std::uint8_t>(engine), 0, 1});
    EXPECT_EQ(table.untracked_datagrams, 65536 - domains_per_address);
    feed(table, {{"10.0.0.1", 0, 0, 0, 30}, {"10.0.0.1", 0, 0, 90, 30}});
    const auto sum = summarize_loss(table);
    EXPECT_EQ(sum[0].missed, 60u);
    EXPECT_EQ(table.given_up, 0u);
}

// A full table gives up the exporter seen longest ago; what it missed
// still counts, and the others keep their counts.
TEST(Exporters, AFullTableGivesUpTheExporterSeenLongestAgo)
{
    exporter_table table;
    table.limit = 3;
    feed(table, {{"10.0.0.1", 0, 0, 0, 10}, {"10.0.0.1", 0, 0, 20, 10},  // 10 missed
                 {"10.0.0.2", 0, 0, 0, 10},
                 {"10.0.0.3", 0, 0, 0, 10},
                 {"10.0.0.1", 0, 0, 30, 10},    // 10.0.0.2 is now seen longest ago
                 {"10.0.0.4", 0, 0, 0, 10},     // and goes
                 {"10.0.0.3", 0, 0, 15, 10}});  // 5 missed
    std::vector<std::string> kept;
    for (const exporter& e : table.list)
        if (e.used)
            kept.push_back(address_text(e.address));
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(kept, (std::vector<std::string>{"10.0.0.1", "10.0.0.3", "10.0.0.4"}));
    EXPECT_EQ(table.given_up, 1u);
    const auto sum = summarize_loss(table);
    EXPECT_EQ(sum[0].missed, 15u);
    EXPECT_EQ(sum[0].units, 70u);
    // The one given up comes back as new: its first datagram owes nothing.
    feed(table, {{"10.0.0.2", 0, 0, 500, 10}});
    EXPECT_EQ(summarize_loss(table)[0].missed, 15u);
    EXPECT_EQ(table.given_up, 2u);
    // Found again after all the moves.
    for (const char* r : {"10.0.0.2", "10.0.0.3", "10.0.0.4"})
        EXPECT_NE(find_exporter(table, exporter_of(r, 5, 0)), nullptr) << r;
    EXPECT_EQ(table.given_up, 2u);
}

// What a sequence number counts, by version, and the exporter's clock that
// tells a restart from a late export.
TEST(Exporters, SequenceUnitsAndRestarts)
{
    struct export_ {
        std::uint32_t sequence, count, flows;
        std::uint32_t uptime_ms = 0;
        std::uint64_t export_ms = 0;
        bool counted = true;
    };
    struct sequence_case {
        const char* what;
        std::uint16_t version;
        std::vector<export_> exports;
        std::uint64_t missed, units, late, resets;
    };
    constexpr std::uint64_t t = 1700000000000;  // ms
    const sequence_case cases[] = {
        {"v9 counts export packets", 9,
         {{7, 1, 20, 5000, t}, {8, 1, 20, 6000, t + 1000}, {11, 1, 5, 9000, t + 4000}},
         2, 3, 0, 0},
        {"IPFIX counts data records", 10, {{100, 25, 24}, {125, 10, 10}, {140, 3, 3}}, 5, 38, 0, 0},
        {"IPFIX: a message of records not counted starts a run of its own", 10,
         {{100, 25, 24}, {125, 0, 0, 0, 0, false}, {9999, 10, 10}, {10009, 5, 5}}, 0, 40, 0, 0},
        // softflowd's numbers: its flow records up to and including the
        // message, the options record of a template refresh not counted.
        {"IPFIX numbered through the message: no loss", 10,
         {{24, 25, 24}, {56, 32, 32}, {73, 17, 17}, {97, 25, 24}, {129, 32, 32}}, 0, 130, 0, 0},
        {"IPFIX numbered through the message: a message lost", 10,
         {{24, 25, 24}, {56, 32, 32}, {73, 17, 17}, {113, 20, 20}, {120, 7, 7}}, 20, 101, 0, 0},
        {"IPFIX numbered through the message: a message late", 10,
         {{24, 25, 24}, {56, 32, 32}, {73, 17, 17}, {113, 20, 20}, {93, 20, 20}}, 0, 114, 1, 0},
        // Records lost where the other rule's number falls: taken for it
        // once, and counted missed when the next message settles the rule.
        {"IPFIX: a loss that looks like the other rule once is still loss", 10,
         {{0, 10, 10}, {12, 12, 12}, {24, 5, 5}, {29, 3, 3}}, 2, 30, 0, 0},
        {"IPFIX: once its numbers followed IPFIX's rule, the other is never taken", 10,
         {{0, 10, 10}, {10, 12, 12}, {27, 17, 17}}, 5, 39, 0, 0},
        {"IPFIX: equal counts tell the rules apart nowhere, a gap is loss", 10,
         {{0, 10, 10}, {10, 10, 10}, {30, 10, 10}}, 10, 30, 0, 0},
        {"IPFIX: a jump back beyond the window is a reset", 10,
         {{5000000, 10, 10}, {20, 10, 10}, {30, 10, 10}}, 0, 30, 0, 1},
        {"v5: a late export fills its gap", 5,
         {{0, 30, 30, 100000, t}, {60, 30, 30, 102000, t + 2000}, {30, 30, 30, 101000, t + 1000}},
         0, 90, 1, 0},
        {"v5: a falling uptime is a restart, and late numbers fill no gap across it", 5,
         {{0, 30, 30, 3600000, t},
          {60, 30, 30, 3602000, t + 2000},  // 30 missed
          {30, 30, 30, 1000, t + 600000},   // restarted, numbers from 30 again
          {120, 30, 30, 3000, t + 602000},  // 60 missed after the restart
          {60, 30, 30, 2000, t + 601000}},  // late, in the new run
         60, 150, 1, 1},
        {"v9: a boot time that moves on is a restart, whatever the uptime", 9,
         {{500, 1, 10, 2000, t}, {501, 1, 10, 3000, t + 1000},
          {3, 1, 10, 4000, t + 300000}, {4, 1, 10, 5000, t + 301000}},
         0, 4, 0, 1},
        {"v9: an export from before the restart, late, is neither loss nor a gap filled", 9,
         {{500, 1, 10, 200000, t}, {502, 1, 10, 202000, t + 2000},  // 1 missed
          {0, 1, 10, 1000, t + 400000},                             // restart
          {501, 1, 10, 201000, t + 1000},                           // late, the old run
          {1, 1, 10, 2000, t + 401000}},
         1, 5, 1, 1},
        {"v5: the uptime wrapping in step is no restart", 5,
         {{0, 30, 30, 4294960000u, t}, {30, 30, 30, 2000, t + 9296}}, 0, 60, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        exporter_table table;
        const datagram_info dg = exporter_of("192.0.2.9", c.version, 1);
        for (const export_& x : c.exports) {
            sequence_note n;
            n.sequence = x.sequence;
            n.count = x.count;
            n.flows = x.flows;
            n.counted = x.counted;
            n.has_uptime = c.version != 10;
            n.uptime_ms = x.uptime_ms;
            n.export_ms = x.export_ms;
            account_datagram(table, dg, n);
        }
        ASSERT_EQ(table.list.size(), 1u);
        const exporter& e = table.list[0];
        EXPECT_EQ(e.missed, c.missed);
        EXPECT_EQ(e.units, c.units);
        EXPECT_EQ(e.late, c.late);
        EXPECT_EQ(e.resets, c.resets);
        EXPECT_EQ(e.datagrams, c.exports.size());
    }
}

void live_loss_lines(const exporter_table& t)
{
    print_live_loss_lines(stdout, t);
}

std::string captured(void (*print)(const exporter_table&), const exporter_table& table, bool err)
{
    if (err)
        testing::internal::CaptureStderr();
    else
        testing::internal::CaptureStdout();
    print(table);
    std::fflush(stdout);
    return err ? testing::internal::GetCapturedStderr()
               : testing::internal::GetCapturedStdout();
}

TEST(Exporters, TableAndLossLines)
{
    viewer_records v;
    testing::internal::CaptureStdout();
    print_exporters(stdout, v.exporters);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\rNo exporter seen yet." + std::string(53, ' ') + "\n");
    EXPECT_EQ(captured(live_loss_lines, v.exporters, false), "");
    EXPECT_EQ(captured(report_loss_at_end, v.exporters, true), "");

    // Router 10.0.0.9 loses 30 of 120 flows; 10.0.0.1 with two engines
    // loses none; shown by address, then engine.
    const datagram d[] = {
        {"10.0.0.9", 0, 0, 0, 30},      {"10.0.0.9", 0, 0, 60, 30},
        {"10.0.0.9", 0, 0, 90, 30},     {"10.0.0.1", 1, 2, 10, 20},
        {"10.0.0.1", 0, 255, 4000, 10}, {"10.0.0.1", 0, 255, 9000000, 10},
    };
    for (const datagram& x : d)
        account(v.exporters, x, 512);
    testing::internal::CaptureStdout();
    print_exporters(stdout, v.exporters);
    const std::string heading = "Router          Ver Domain     Datagrams      Flows    Missed  "
                                "Loss% Resets Sampling NoTmpl    Bad\n";
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              heading +
                  "10.0.0.1          5 0/255              2         20         0   0.00      1 "
                  "     512      0      0\n"
                  "10.0.0.1          5 1/2                1         20         0   0.00      0 "
                  "     512      0      0\n"
                  "10.0.0.9          5 0/0                3         90        30  25.00      0 "
                  "     512      0      0\n");
    EXPECT_EQ(captured(live_loss_lines, v.exporters, false),
              "Missed flows: 30 (18.75%) from 1 exporter(s)\n");
    EXPECT_EQ(captured(report_loss_at_end, v.exporters, true),
              "nelk: 30 of 160 flows missed (18.75%) by sequence numbers\n");

    // A v9 exporter on IPv6 that lost an export packet, an IPFIX one that
    // lost records; bad input and data of templates not held; engines of
    // one address beyond the bound.
    sequence_note n;
    n.flows = 20;
    n.count = 1;
    const datagram_info v9 = exporter_of("2001:db8:1234:5678:9abc:def0:1:2", 9, 300, 2055);
    for (std::uint32_t seq : {1u, 3u, 4u}) {
        n.sequence = seq;
        account_datagram(v.exporters, v9, n);
    }
    const datagram_info ipfix = exporter_of("192.0.2.10", 10, 4000000000u, 4739);
    n.count = 20;
    for (std::uint32_t seq : {0u, 20u, 60u}) {
        n.sequence = seq;
        account_datagram(v.exporters, ipfix, n);
    }
    exporter* e = find_exporter(v.exporters, ipfix);
    e->no_template = 2;
    note_bad_input(v.exporters, e, bad_input::short_data_set);
    note_bad_input(v.exporters, e, bad_input::template_id, 2);
    note_bad_input(v.exporters, nullptr, bad_input::malformed);
    for (std::uint8_t engine = 0; engine <= domains_per_address; ++engine)
        account(v.exporters, {"10.0.0.7", 0, engine, 0, 4});
    testing::internal::CaptureStdout();
    print_exporters(stdout, v.exporters);
    const std::string table = testing::internal::GetCapturedStdout();
    EXPECT_NE(table.find("\n10.0.0.9          5 0/0"), std::string::npos) << table;
    EXPECT_NE(table.find("\n192.0.2.10       10 4000000000         3         60        20  "
                         "25.00      0        0      2      3\n"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("\n2001:db8:1234:5678:9abc:def0:1:2\n                  9 300       "
                         "         3         60         1  25.00      0        0      0      0\n"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("\nMissed counts flows (v5), export packets (v9), data records "
                         "(IPFIX 10).\nNot tracked, more domains from one address than are "
                         "kept: 1 datagrams, 4 flows\nBad input: 1 malformed datagrams, 1 data "
                         "sets shorter than a record, 2 template ids below 256\n"),
              std::string::npos)
        << table;
    EXPECT_EQ(captured(live_loss_lines, v.exporters, false),
              "Missed flows: 30 (13.39%) from 1 exporter(s)\n"
              "Missed NetFlow v9 export packets: 1 (25.00%) from 1 exporter(s)\n"
              "Missed IPFIX data records: 20 (25.00%) from 1 exporter(s)\n");
    EXPECT_EQ(captured(report_loss_at_end, v.exporters, true),
              "nelk: 30 of 224 flows missed (13.39%) by sequence numbers\n"
              "nelk: 1 of 4 NetFlow v9 export packets missed (25.00%) by sequence numbers\n"
              "nelk: 20 of 80 IPFIX data records missed (25.00%) by sequence numbers\n"
              "nelk: 1 datagrams (4 flows) not tracked by exporter: their loss, if any, is not "
              "counted\n");
}

}  // namespace
