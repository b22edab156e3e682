// NetFlow v9 and IPFIX decoding: templates kept per exporter and domain,
// data records decoded by their plans, options records for sampling and
// clocks, and every kind of bad input counted without costing the next
// good export.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/export_checks.h"
#include "common/flow_fields.h"
#include "common/net_address.h"
#include "common/nf5.h"
#include "tools/flow_export.h"
#include "viewer/decode_export.h"
#include "viewer/decode_templates.h"
#include "viewer/flow_filter.h"
#include "viewer/intervals.h"
#include "viewer/templates.h"
#include "viewer/viewer.h"
#include "tests/addresses.h"

namespace {

using bytes = std::vector<std::uint8_t>;

// Flow 1 of the tests: 192.0.2.1:443 on ifIndex 70000 to 198.51.100.7:51000
// on 70001, 6000000000 bytes in 5000000000 packets, TCP, AS 4200000001 to
// AS 65001; or the same between IPv6 addresses.
export_flow example_flow(bool ipv6)
{
    export_flow f;
    f.src = addr(ipv6 ? "2001:db8:1::10" : "192.0.2.1");
    f.dst = addr(ipv6 ? "2001:db8:2::20" : "198.51.100.7");
    f.nexthop = addr(ipv6 ? "2001:db8::1" : "192.0.2.254");
    f.input = 70000;
    f.output = 70001;
    f.packets = 5000000000;
    f.bytes = 6000000000;
    f.first_ms = 10000;
    f.last_ms = 19000;
    f.srcport = 443;
    f.dstport = 51000;
    f.tcp_flags = 0x1b;
    f.prot = 6;
    f.tos = 8;
    f.src_as = 4200000001;
    f.dst_as = 65001;
    f.src_mask = 24;
    f.dst_mask = 16;
    return f;
}

// A message of the standard template (id 256) and n records of f.
bytes standard_message(std::uint16_t version, std::uint32_t sequence, bool ipv6, int n = 1,
                       std::uint32_t domain = 7, bool with_template = true)
{
    export_message m = start_message(version, sequence, domain, 1700000000, 20000);
    const std::vector<export_field> fields = standard_fields(ipv6);
    if (with_template) {
        open_set(m, version == ipfix_version ? ipfix_template_set : nf9_template_set);
        add_template(m, 256, fields);
        close_set(m);
    }
    open_set(m, 256);
    for (int i = 0; i < n; ++i)
        put_flow(m, example_flow(ipv6), ipv6);
    close_set(m);
    return finish_message(m);
}

struct decoder : testing::Test {
    viewer_records v;
    flow_context& ctx = v.ctx;

    decoder() { v.config.mode = display_mode::colondump; }

    datagram_info from(const char* exporter = "192.0.2.200", std::uint16_t port = 2055)
    {
        datagram_info dg;
        dg.exporter = addr(exporter);
        dg.port = port;
        return dg;
    }

    // The export as the viewer takes it; what it listed.
    std::string take(const bytes& d, datagram_info dg, bool replayed = false)
    {
        testing::internal::CaptureStdout();
        input_outcome out;
        decode_export(d.data(), d.size(), dg, replayed, ctx, out);
        std::fflush(stdout);
        EXPECT_EQ(out.end, input_end::none);
        return testing::internal::GetCapturedStdout();
    }
    std::string take(const bytes& d) { return take(d, from()); }

    const exporter& only_exporter()
    {
        EXPECT_EQ(v.exporters.list.size(), 1u);
        return v.exporters.list.front();
    }
};

const char v4_line[] = ":192.0.2.200:70000:192.0.2.1:443:70001:198.51.100.7:51000:6000000000:"
                       "5000000000:6:4200000001:65001\n";
const char v6_line[] = ":192.0.2.200:70000:2001-db8-1--10:443:70001:2001-db8-2--20:51000:"
                       "6000000000:5000000000:6:4200000001:65001\n";

TEST_F(decoder, V9AndIpfixFlowsOfBothFamilies)
{
    int n = 0;
    for (std::uint16_t version : {nf9_version, ipfix_version}) {
        for (bool ipv6 : {false, true}) {
            SCOPED_TRACE(testing::Message() << version << (ipv6 ? " IPv6" : " IPv4"));
            v.templates = template_table{};
            const std::string want = std::to_string(++n) + (ipv6 ? v6_line : v4_line);
            EXPECT_EQ(take(standard_message(version, 0, ipv6)), want);
        }
    }
    EXPECT_EQ(v.stats.packets, 4);
    EXPECT_EQ(v.stats.records, 4);
}

// Templates belong to an exporter's address, port, version and domain:
// one id means a different layout in each.
TEST_F(decoder, TemplatesAreKeptPerExporterPortAndDomain)
{
    EXPECT_EQ(take(standard_message(9, 0, false, 1, 1)), std::string("1") + v4_line);
    EXPECT_EQ(take(standard_message(9, 0, true, 1, 2)), std::string("2") + v6_line);
    // Data alone, each by its own domain's template.
    EXPECT_EQ(take(standard_message(9, 1, false, 1, 1, false)), std::string("3") + v4_line);
    EXPECT_EQ(take(standard_message(9, 1, true, 1, 2, false)), std::string("4") + v6_line);
    // Another address holds none of them; v9 scopes them to the address
    // and source id, IPFIX to the address and port as well.
    EXPECT_EQ(take(standard_message(9, 2, false, 1, 1, false), from("2001:db8::200")), "");
    EXPECT_EQ(take(standard_message(9, 2, false, 1, 1, false), from("192.0.2.200", 2056)),
              std::string("5") + v4_line);
    EXPECT_EQ(take(standard_message(10, 0, false, 1, 1)), std::string("6") + v4_line);
    EXPECT_EQ(take(standard_message(10, 1, false, 1, 1, false), from("192.0.2.200", 2056)), "");
    EXPECT_EQ(v.stats.flows_shown, 6);
}

TEST_F(decoder, ARedefinedTemplateReplacesTheOld)
{
    EXPECT_EQ(take(standard_message(10, 0, false)), std::string("1") + v4_line);
    EXPECT_EQ(take(standard_message(10, 1, true)), std::string("2") + v6_line);
    EXPECT_EQ(take(standard_message(10, 2, true, 1, 7, false)), std::string("3") + v6_line);
}

// Data of a template not held is counted for its exporter and never
// guessed at; the template when it comes serves the next export.
TEST_F(decoder, DataWithoutItsTemplateIsCountedNotGuessed)
{
    EXPECT_EQ(take(standard_message(9, 0, false, 3, 7, false)), "");
    EXPECT_EQ(take(standard_message(10, 0, false, 2, 7, false)), "");
    EXPECT_EQ(take(standard_message(10, 2, false)), std::string("1") + v4_line);
    ASSERT_EQ(v.exporters.list.size(), 2u);
    for (const exporter& e : v.exporters.list) {
        SCOPED_TRACE(e.version);
        EXPECT_EQ(e.no_template, 1u);
        EXPECT_EQ(e.bad, 0u);
    }
    EXPECT_EQ(v.stats.records, 1);
}

// A viewer that came late gets the relay's copy of the templates, then
// the next data export decodes; the copy is neither traffic nor a number
// in the exporter's sequence.
TEST_F(decoder, ReplayedTemplatesServeTheFirstDataExport)
{
    for (std::uint16_t version : {nf9_version, ipfix_version}) {
        SCOPED_TRACE(version);
        v.templates = template_table{};
        v.exporters = exporter_table{};
        export_message m = start_message(version, 999, 7, 1700000000, 20000);
        open_set(m, version == ipfix_version ? ipfix_template_set : nf9_template_set);
        add_template(m, 256, standard_fields(false));
        close_set(m);
        const double packets = v.stats.packets;
        EXPECT_EQ(take(finish_message(m), from(), true), "");
        // Data riding along in a replayed export is not traffic either.
        EXPECT_EQ(take(standard_message(version, 5, false, 1, 7, true), from(), true), "");
        EXPECT_EQ(v.stats.packets, packets);
        EXPECT_NE(take(standard_message(version, 5, false, 1, 7, false)).find(v4_line),
                  std::string::npos);
        const exporter& e = only_exporter();
        EXPECT_EQ(e.datagrams, 1u);
        EXPECT_EQ(e.missed + e.late + e.resets, 0u);
    }
}

// Variable-length fields, enterprise fields, fields nelk does not use and
// set padding are stepped over; a 3-byte count is read as such.
TEST_F(decoder, FieldsNotUsedAreSteppedOver)
{
    const std::vector<export_field> fields = {
        {ie::sourceIPv4Address, 4},
        {82, ipfix_variable_length},  // interfaceName
        {ie::destinationIPv4Address, 4},
        {ie::octetDeltaCount, 3},
        {ie::packetDeltaCount, 4, 9},  // enterprise 9's own field 2, not packets
        {ie::packetDeltaCount, 2},
        {999, 5},
        {96, ipfix_variable_length},  // applicationName
        {ie::protocolIdentifier, 1},
    };
    export_message m = start_message(ipfix_version, 0, 7, 1700000000);
    open_set(m, ipfix_template_set);
    add_template(m, 300, fields);
    close_set(m, 3);
    open_set(m, 300);
    const std::uint8_t long_name[300] = {};
    for (int i = 0; i < 2; ++i) {
        put_address(m, addr("10.0.0.1"), false);
        if (i == 0) {
            put_uint(m, 4, 1);
            put_bytes(m, bytes{'e', 't', 'h', '0'});
        } else {
            put_uint(m, 255, 1);  // three-byte length form
            put_uint(m, sizeof long_name, 2);
            put_bytes(m, long_name);
        }
        put_address(m, addr("10.0.0.2"), false);
        put_uint(m, 0x123456, 3);
        put_uint(m, 0xdeadbeef, 4);
        put_uint(m, 7, 2);
        put_uint(m, 0, 5);
        put_uint(m, 0, 1);  // empty
        put_uint(m, 17, 1);
    }
    close_set(m, 2);  // padding shorter than a record
    const bytes d = finish_message(m);
    ASSERT_GT(check_export(d.data(), d.size()).length, 0u);
    EXPECT_EQ(take(d), "1:192.0.2.200:0:10.0.0.1:0:0:10.0.0.2:0:1193046:7:17:0:0\n"
                       "2:192.0.2.200:0:10.0.0.1:0:0:10.0.0.2:0:1193046:7:17:0:0\n");
    EXPECT_EQ(only_exporter().bad, 0u);
    EXPECT_EQ(only_exporter().units, 2u) << "both records counted in the sequence";
}

// Bad input, each kind: counted for its exporter and in the totals, and the
// good export right after it decodes as ever.
TEST_F(decoder, BadInputIsCountedAndCostsNothingElse)
{
    const export_field v4[] = {{ie::sourceIPv4Address, 4}, {ie::octetDeltaCount, 4}};
    struct bad_case {
        const char* what;
        bad_input kind;
        std::uint64_t count;
        bytes message;
    };
    auto with_template = [](std::uint16_t version, std::uint16_t id,
                            std::span<const export_field> fields, auto data) {
        export_message m = start_message(version, 0, 7, 1700000000, 20000);
        open_set(m, version == ipfix_version ? ipfix_template_set : nf9_template_set);
        add_template(m, id, fields);
        close_set(m);
        data(m);
        return finish_message(m);
    };
    const export_field wrong[] = {{ie::sourceIPv4Address, 5}, {ie::octetDeltaCount, 9},
                                  {ie::sourceTransportPort, 3}, {ie::protocolIdentifier, 1}};
    std::vector<export_field> many(template_fields_max + 1, export_field{ie::octetDeltaCount, 1});
    const bad_case cases[] = {
        {"a data set shorter than one record", bad_input::short_data_set, 1,
         with_template(9, 256, v4, [](export_message& m) {
             open_set(m, 256);
             put_uint(m, 0, 6);  // 8 bytes a record
             close_set(m);
         })},
        {"fields whose lengths do not fit their types", bad_input::field_length, 3,
         with_template(10, 256, wrong, [](export_message& m) {
             open_set(m, 256);
             put_uint(m, 0, 18);
             close_set(m);
         })},
        {"a variable length past its set", bad_input::variable_length, 1,
         with_template(10, 256, std::vector<export_field>{{82, ipfix_variable_length}},
                       [](export_message& m) {
                           open_set(m, 256);
                           put_uint(m, 200, 1);
                           put_uint(m, 0, 8);
                           close_set(m);
                       })},
        {"a template id below 256", bad_input::template_id, 1,
         with_template(9, 255, v4, [](export_message&) {})},
        {"a huge field count", bad_input::field_count, 1,
         with_template(10, 256, many, [](export_message&) {})},
    };
    for (const bad_case& c : cases) {
        SCOPED_TRACE(c.what);
        v.exporters = exporter_table{};
        v.templates = template_table{};
        ASSERT_GT(check_export(c.message.data(), c.message.size()).length, 0u);
        const std::string listed = take(c.message);
        const exporter& e = only_exporter();
        EXPECT_EQ(e.bad, c.count);
        EXPECT_EQ(v.exporters.bad[static_cast<std::size_t>(c.kind)], c.count);
        EXPECT_EQ(e.datagrams, 1u);
        const std::uint16_t version = load_be16(c.message.data());
        EXPECT_NE(take(standard_message(version, 1000, false)).find(v4_line), std::string::npos);
    }
    // The wrong-length fields were left out, the others read: a 3-byte
    // count is 3 bytes of count.
    v.templates = template_table{};
    EXPECT_EQ(take(with_template(10, 256, wrong, [](export_message& m) {
                  open_set(m, 256);
                  put_uint(m, 0x0a000001, 5);
                  put_uint(m, 0, 9);
                  put_uint(m, 0x0a0b0c, 3);
                  put_uint(m, 17, 1);
                  close_set(m);
              })).substr(1),
              ":192.0.2.200:0:0.0.0.0:0:0:0.0.0.0:0:0:0:17:0:0\n");
}

TEST_F(decoder, MalformedExportsAreCountedForTheirExporter)
{
    bytes d = standard_message(9, 0, false);
    d.resize(d.size() - 1);
    d[d.size() - 3] = 0xff;  // a set length past the end
    EXPECT_EQ(take(d), "");
    EXPECT_EQ(only_exporter().bad, 1u);
    EXPECT_EQ(v.exporters.bad[static_cast<std::size_t>(bad_input::malformed)], 1u);
    EXPECT_EQ(take(bytes{'G', 'E', 'T', ' '}), "");
    EXPECT_EQ(v.exporters.bad_unknown, 1u);
}

// Sampling from options records: an exporter's own, or each sampler's
// when records name theirs; with -S top-mode sums count each flow's packets
// and bytes that many times.
TEST_F(decoder, SamplingFromOptionsTemplates)
{
    struct sampling_case {
        const char* what;
        std::uint16_t version;
        std::vector<export_field> scope, fields;
        std::vector<std::pair<std::uint64_t, unsigned>> values;  // an options record
        std::uint64_t sampler;  // the flow record's sampler id; 0: it names none
        double scale;
    };
    const sampling_case cases[] = {
        {"v9 samplingInterval for the exporter", 9, {{1, 4}}, {{ie::samplingInterval, 4}},
         {{0, 4}, {100, 4}}, 0, 100},
        {"v9 samplerRandomInterval by sampler id", 9, {{1, 4}},
         {{ie::samplerId, 1}, {ie::samplerRandomInterval, 4}}, {{0, 4}, {3, 1}, {512, 4}}, 3,
         512},
        {"v9: a sampler not told of counts as unsampled", 9, {{1, 4}},
         {{ie::samplerId, 1}, {ie::samplerRandomInterval, 4}}, {{0, 4}, {3, 1}, {512, 4}}, 4,
         1},
        {"IPFIX packet interval and space", 10, {{149, 4}},
         {{ie::samplingPacketInterval, 4}, {ie::samplingPacketSpace, 4}},
         {{7, 4}, {1, 4}, {999, 4}}, 0, 1000},
        {"IPFIX selectorId in the scope", 10, {{ie::selectorId, 8}},
         {{ie::samplingPacketInterval, 4}, {ie::samplingPacketSpace, 4}},
         {{77, 8}, {2, 4}, {18, 4}}, 77, 10},
    };
    for (const sampling_case& c : cases) {
        SCOPED_TRACE(c.what);
        viewer_records top;
        top.config.mode = display_mode::top;
        top.config.report_type = report_kind::as;
        top.config.sampling = true;
        open_current_interval(top.ctx);
        std::vector<export_field> flow_fields = standard_fields(false);
        if (c.sampler)
            flow_fields.push_back({c.version == ipfix_version ? ie::selectorId : ie::samplerId,
                                   static_cast<std::uint16_t>(c.version == ipfix_version ? 8 : 1)});
        export_message m = start_message(c.version, 0, 7, 1700000000, 20000);
        open_set(m, c.version == ipfix_version ? ipfix_template_set : nf9_template_set);
        add_template(m, 256, flow_fields);
        close_set(m);
        open_set(m, c.version == ipfix_version ? ipfix_options_set : nf9_options_set);
        add_options_template(m, 257, c.scope, c.fields);
        close_set(m);
        open_set(m, 257);
        for (const auto& [value, width] : c.values)
            put_uint(m, value, width);
        close_set(m);
        open_set(m, 256);
        export_flow f = example_flow(false);
        f.bytes = 1000;
        f.packets = 2;
        put_flow(m, f, false);
        if (c.sampler)
            put_uint(m, c.sampler, c.version == ipfix_version ? 8 : 1);
        close_set(m);
        const bytes d = finish_message(m);
        ASSERT_GT(check_export(d.data(), d.size()).length, 0u);
        input_outcome out;
        datagram_info dg = from();
        decode_export(d.data(), d.size(), dg, false, top.ctx, out);
        EXPECT_EQ(top.stats.current->in_bytes, 1000 * c.scale);
        EXPECT_EQ(top.stats.current->in_packets, 2 * c.scale);
        EXPECT_EQ(top.stats.max_bytes, 1000) << "flows compare as exported";
    }
}

TEST_F(decoder, IpfixWithdrawalsTakeTemplatesAway)
{
    EXPECT_NE(take(standard_message(10, 0, false)), "");
    export_message m = start_message(ipfix_version, 1, 7, 1700000000);
    open_set(m, ipfix_template_set);
    add_template(m, 256, {});
    close_set(m);
    EXPECT_EQ(take(finish_message(m)), "");
    EXPECT_EQ(take(standard_message(10, 1, false, 1, 7, false)), "");
    EXPECT_EQ(only_exporter().no_template, 1u);
    // All of an exporter's templates at once: template set id as template id.
    EXPECT_NE(take(standard_message(10, 2, false)), "");
    m = start_message(ipfix_version, 3, 7, 1700000000);
    open_set(m, ipfix_template_set);
    add_template(m, ipfix_template_set, {});
    close_set(m);
    EXPECT_EQ(take(finish_message(m)), "");
    EXPECT_EQ(take(standard_message(10, 3, false, 1, 7, false)), "");
    EXPECT_EQ(only_exporter().no_template, 2u);
}

// The template tables hold what they may and no more: a full table gives
// up the template defined longest ago; a source at its bound its own.
TEST(TemplateTable, BoundedWithTheOldestGoingFirst)
{
    template_table t;
    t.limit = 8;
    t.source_limit = 3;
    auto key = [](int source, std::uint16_t id) {
        template_key k;
        k.source.domain = static_cast<std::uint32_t>(source);
        k.id = id;
        return k;
    };
    for (std::uint16_t id = 256; id < 260; ++id)
        keep_template(t, key(1, id), template_plan{});
    EXPECT_EQ(find_template(t, key(1, 256)), nullptr) << "the source's bound";
    EXPECT_NE(find_template(t, key(1, 257)), nullptr);
    keep_template(t, key(1, 257), template_plan{});  // defined again: the newest
    for (int source = 2; source <= 3; ++source)
        for (std::uint16_t id = 256; id < 259; ++id)
            keep_template(t, key(source, id), template_plan{});
    EXPECT_EQ(t.templates.size(), 8u);
    EXPECT_EQ(find_template(t, key(1, 258)), nullptr) << "defined longest ago";
    EXPECT_NE(find_template(t, key(1, 257)), nullptr);
    EXPECT_NE(find_template(t, key(3, 258)), nullptr);
    EXPECT_EQ(t.ages.size(), t.templates.size());
}

// Plans that read only what the mode and filters use show all the same as
// plans that read every field.
TEST(TemplatePlan, ReadingOnlyTheFieldsUsedChangesNothingShown)
{
    struct run_case {
        const char* what;
        display_mode mode;
        int ifindex;
        const char* prefix;
    };
    const run_case cases[] = {
        {"colondump", display_mode::colondump, 0, nullptr},
        {"shortdump", display_mode::shortdump, 0, nullptr},
        {"top", display_mode::top, 0, nullptr},
        {"top -n", display_mode::top, 70001, nullptr},
        {"top -x", display_mode::top, 0, "2001:db8:1::/48"},
    };
    for (const run_case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string listed[2];
        double sums[2][3] = {};
        for (int narrow = 0; narrow < 2; ++narrow) {
            viewer_records v;
            v.config.mode = c.mode;
            v.config.report_type = report_kind::as;
            v.filter.ifindex = c.ifindex;
            if (c.ifindex)
                v.filter.router = addr("192.0.2.200");
            if (c.prefix) {
                net_prefix p;
                ASSERT_TRUE(parse_prefix(c.prefix, &p));
                v.filter.prefix = p;
            }
            open_current_interval(v.ctx);
            if (narrow)
                v.templates.used = fields_used(v.config, v.filter);
            testing::internal::CaptureStdout();
            for (std::uint16_t version : {nf9_version, ipfix_version}) {
                for (bool ipv6 : {false, true}) {
                    const bytes d = standard_message(version, 0, ipv6, 2);
                    datagram_info dg;
                    dg.exporter = addr("192.0.2.200");
                    input_outcome out;
                    decode_export(d.data(), d.size(), dg, false, v.ctx, out);
                }
            }
            std::fflush(stdout);
            listed[narrow] = testing::internal::GetCapturedStdout();
            const interval_stats& st = *v.stats.current;
            if (st.in_src_as) {
                sums[narrow][0] = st.in_bytes;
                sums[narrow][1] = st.out_bytes;
                sums[narrow][2] = st.in_src_as[as_trans] + st.in_tcp_src[443];
            }
        }
        EXPECT_EQ(listed[1], listed[0]);
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(sums[1][k], sums[0][k]) << k;
        EXPECT_TRUE(c.mode != display_mode::top || sums[0][0] + sums[0][1] > 0);
    }
}

// A template whose records are 0 bytes long, as the checks would never let
// one through.
TEST(TemplatePlan, RecordsOfNoBytesAreRefused)
{
    const std::uint8_t record[] = {1, 0, 0, 0};  // id 256, no fields
    template_record t;
    t.set_id = nf9_template_set;
    t.template_id = 256;
    t.bytes = record;
    t.size = sizeof record;
    template_plan plan;
    bad_input why = bad_input::malformed;
    unsigned bad_fields = 0;
    EXPECT_FALSE(plan_template(t, nf9_version, all_fields, plan, &why, &bad_fields));
    EXPECT_EQ(why, bad_input::empty_record);
}

// The times of a record, as each way of telling them gives them.
TEST(TemplatePlan, TimesFromEveryClock)
{
    constexpr std::uint64_t ms = 1000000;
    struct time_case {
        const char* what;
        std::uint16_t version;
        export_field start, end;
        std::uint64_t start_value, end_value;
        record_clock clock;
        std::uint64_t start_ns, end_ns;
    };
    const std::uint64_t export_ns = 1700000000000 * ms;
    const std::uint64_t ntp = (1700000000 + ntp_unix_offset) << 32 | 0x80000000u;
    const time_case cases[] = {
        {"v9 uptimes before the export", 9, {ie::flowStartSysUpTime, 4}, {ie::flowEndSysUpTime, 4},
         10000, 19000, {false, export_ns, 20000}, export_ns - 10000 * ms, export_ns - 1000 * ms},
        {"v9 uptimes across the uptime's wrap", 9, {ie::flowStartSysUpTime, 4},
         {ie::flowEndSysUpTime, 4}, 4294967000u, 200, {false, export_ns, 1000},
         export_ns - 1296 * ms, export_ns - 800 * ms},
        {"IPFIX uptimes from the exporter's start", 10, {ie::flowStartSysUpTime, 4},
         {ie::flowEndSysUpTime, 4}, 500, 1500, {true, export_ns, 0, true, 1690000000000},
         1690000000500 * ms, 1690000001500 * ms},
        {"IPFIX uptimes, start not told", 10, {ie::flowStartSysUpTime, 4},
         {ie::flowEndSysUpTime, 4}, 500, 1500, {true, export_ns}, 0, 0},
        {"seconds", 10, {ie::flowStartSeconds, 4}, {ie::flowEndSeconds, 4}, 1699999990,
         1699999999, {true, export_ns}, 1699999990000 * ms, 1699999999000 * ms},
        {"milliseconds", 10, {ie::flowStartMilliseconds, 8}, {ie::flowEndMilliseconds, 8},
         1699999990123, 1699999999456, {true, export_ns}, 1699999990123 * ms,
         1699999999456 * ms},
        {"NTP", 10, {ie::flowStartNanoseconds, 8}, {ie::flowEndMicroseconds, 8}, ntp, ntp,
         {true, export_ns}, 1700000000500 * ms, 1700000000500 * ms},
        {"microseconds before the export", 10, {ie::flowStartDeltaMicroseconds, 4},
         {ie::flowEndDeltaMicroseconds, 4}, 3000000, 1000, {true, export_ns},
         export_ns - 3000 * ms, export_ns - ms},
    };
    for (const time_case& c : cases) {
        SCOPED_TRACE(c.what);
        export_message m = start_message(c.version, 0, 0, 0);
        open_set(m, c.version == ipfix_version ? ipfix_template_set : nf9_template_set);
        const export_field fields[] = {c.start, c.end};
        add_template(m, 256, fields);
        close_set(m);
        const bytes d = finish_message(m);
        std::vector<template_record> found;
        ASSERT_GT(check_export(d.data(), d.size(), &found).length, 0u);
        template_plan plan;
        bad_input why;
        unsigned bad_fields = 0;
        ASSERT_TRUE(plan_template(found.at(0), c.version, all_fields, plan, &why, &bad_fields));
        export_message data = start_message(c.version, 0, 0, 0);
        put_uint(data, c.start_value, c.start.length);
        put_uint(data, c.end_value, c.end.length);
        const std::size_t head = c.version == ipfix_version ? ipfix_header_size : nf9_header_size;
        flow_record r;
        sampling_fields f;
        ASSERT_EQ(read_record(data.bytes.data() + head, data.bytes.size() - head, plan, c.clock,
                              r, f),
                  plan.record_length);
        EXPECT_EQ(r.start_ns, c.start_ns);
        EXPECT_EQ(r.end_ns, c.end_ns);
    }
}

}  // namespace
