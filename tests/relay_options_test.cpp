// The relay's command line: what each option word leaves in the settings.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <arpa/inet.h>

#include "common/nf5.h"
#include "common/export_checks.h"
#include "relay/relay.h"
#include "tests/netflow_message.h"
#include "tests/addresses.h"

namespace {

option_result parse(std::vector<std::string> words)
{
    words.insert(words.begin(), "nelkd");
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    option_result r = parse_options(static_cast<int>(words.size()), argv.data());
    // bad_arg points into words, which is about to go: keep what the tests need.
    static std::string last_bad;
    last_bad = r.bad_arg ? r.bad_arg : "";
    r.bad_arg = last_bad.c_str();
    return r;
}

TEST(RelayOptions, SettingsFromTheCommandLine)
{
    struct case_ {
        std::vector<std::string> words;
        int udpport, tcpport, bufsize;
        bool debug;
    };
    const case_ cases[] = {
        {{}, 4444, 4444, 196608, false},
        {{"-d"}, 4444, 4444, 196608, true},
        {{"-u", "2055", "-t", "7000"}, 2055, 7000, 196608, false},
        {{"-u", "1", "-u", "2"}, 2, 4444, 196608, false},  // the last one counts
        {{"-u", "abc"}, 4444, 4444, 196608, false},        // no number: unchanged
        {{"-u", "9", "-u", "abc"}, 9, 4444, 196608, false},
        {{"-t", " +12x"}, 4444, 12, 196608, false},        // as "%d" reads it
        {{"-u", "0", "-t", "65535"}, 0, 65535, 196608, false},
        {{"-s", "16384"}, 4444, 4444, 16384, false},
        {{"-s", "20000abc"}, 4444, 4444, 20000, false},
        {{"-s", "99999999999"}, 4444, 4444, 2147483647, false},
        {{"-ds16384"}, 4444, 4444, 16384, true},
        {{"stray", "-d"}, 4444, 4444, 196608, true},
    };
    for (const case_& c : cases) {
        std::string shown;
        for (const std::string& w : c.words)
            shown += w + " ";
        option_result r = parse(c.words);
        EXPECT_EQ(r.outcome, option_outcome::run) << shown;
        EXPECT_EQ(r.settings.udpport, c.udpport) << shown;
        EXPECT_EQ(r.settings.tcpport, c.tcpport) << shown;
        EXPECT_EQ(r.settings.bufsize, c.bufsize) << shown;
        EXPECT_EQ(r.settings.debug, c.debug) << shown;
    }
}

TEST(RelayOptions, RefusalsNameTheArgument)
{
    struct case_ {
        std::vector<std::string> words;
        option_outcome outcome;
        std::string bad_arg;
    };
    const case_ cases[] = {
        {{"-s", "16383"}, option_outcome::bad_bufsize, "16383"},
        {{"-s", "abc"}, option_outcome::bad_bufsize, "abc"},
        {{"-s", "-20000"}, option_outcome::bad_bufsize, "-20000"},
        {{"-s", "100", "-u", "70000"}, option_outcome::bad_bufsize, "100"},  // first one wins
        {{"-u", "65536"}, option_outcome::bad_port, "65536"},
        {{"-t", "-1"}, option_outcome::bad_port, "-1"},
        {{"-t", "99999999999999999999"}, option_outcome::bad_port, "99999999999999999999"},
        {{"-x"}, option_outcome::usage, ""},
        {{"-u"}, option_outcome::usage, ""},
        {{"-d", "-x", "-s", "1"}, option_outcome::usage, ""},
        {{"-b", "192.0.2"}, option_outcome::bad_address, "192.0.2"},
        {{"-b", "192.0.2.1 "}, option_outcome::bad_address, "192.0.2.1 "},
        {{"-b", "[::1]"}, option_outcome::bad_address, "[::1]"},
        {{"-b", "fe80::1%eth0"}, option_outcome::bad_address, "fe80::1%eth0"},
        {{"-F", "65536"}, option_outcome::bad_port, "65536"},
        {{"-F", "4445x"}, option_outcome::bad_port, "4445x"},
        {{"-U", ""}, option_outcome::bad_user, ""},
        {{"-e", ""}, option_outcome::bad_prefixes, ""},
        {{"-e", "10.0.0.0/8,"}, option_outcome::bad_prefixes, "10.0.0.0/8,"},
        {{"-e", ",10.0.0.0/8"}, option_outcome::bad_prefixes, ",10.0.0.0/8"},
        {{"-e", "10.0.0.0/33"}, option_outcome::bad_prefixes, "10.0.0.0/33"},
        {{"-e", "10.0.0.0/"}, option_outcome::bad_prefixes, "10.0.0.0/"},
        {{"-e", "10.0.0.0/+8"}, option_outcome::bad_prefixes, "10.0.0.0/+8"},
        {{"-a", "10.0.0.0/8, 10.1.0.0/16"}, option_outcome::bad_prefixes, "10.0.0.0/8, 10.1.0.0/16"},
        {{"-a", "10.0.0.1/8"}, option_outcome::bad_prefixes, "10.0.0.1/8"},  // host bits
        {{"-a", "10.0.0.0/8/8"}, option_outcome::bad_prefixes, "10.0.0.0/8/8"},
        {{"-a", "host.example"}, option_outcome::bad_prefixes, "host.example"},
        {{"-m", "0"}, option_outcome::bad_limit, "0"},
        {{"-m", "257"}, option_outcome::bad_limit, "257"},
        {{"-m", "2x"}, option_outcome::bad_limit, "2x"},
        {{"-m", "99999999999999999999"}, option_outcome::bad_limit, "99999999999999999999"},
        {{"-m", ""}, option_outcome::bad_limit, ""},
        {{"-M", ""}, option_outcome::bad_metrics, ""},
        {{"-T", "0"}, option_outcome::bad_expiry, "0"},
        {{"-T", "86401"}, option_outcome::bad_expiry, "86401"},
        {{"-T", "30m"}, option_outcome::bad_expiry, "30m"},
    };
    for (const case_& c : cases) {
        std::string shown;
        for (const std::string& w : c.words)
            shown += w + " ";
        option_result r = parse(c.words);
        EXPECT_EQ(r.outcome, c.outcome) << shown;
        EXPECT_EQ(std::string(r.bad_arg), c.bad_arg) << shown;
    }
}

std::string shown(const prefix_list& list)
{
    std::string s;
    for (const net_prefix& p : list)
        s += address_text(p.net) + "/" + std::to_string(p.length) + " ";
    return s;
}

TEST(RelayOptions, AccessAndLimits)
{
    option_result r = parse({"-r", "-b", "127.0.0.2", "-e", "10.0.0.0/8,192.0.2.1", "-a",
                             "0.0.0.0/0,2001:db8::/32", "-e", "198.51.100.128/25", "-m", "256",
                             "-M", "x.prom", "-b", "::1", "-F", "4445", "-U",
                             "nobody", "-T", "86400"});
    ASSERT_EQ(r.outcome, option_outcome::run);
    EXPECT_TRUE(r.settings.unchecked);
    ASSERT_EQ(r.settings.bind_addrs.size(), 2u);
    EXPECT_EQ(address_text(r.settings.bind_addrs[0]), "127.0.0.2");
    EXPECT_EQ(address_text(r.settings.bind_addrs[1]), "::1");
    // -e given twice: both lists count. IPv4 prefixes are held mapped.
    EXPECT_EQ(shown(r.settings.exporters), "10.0.0.0/104 192.0.2.1/128 198.51.100.128/121 ");
    EXPECT_EQ(shown(r.settings.viewers), "0.0.0.0/96 2001:db8::/32 ");
    EXPECT_EQ(r.settings.framed_port, 4445);
    EXPECT_EQ(r.settings.user, "nobody");
    EXPECT_EQ(r.settings.template_ttl_s, 86400);
    EXPECT_EQ(r.settings.per_address, 256);
    EXPECT_EQ(r.settings.metrics_path, "x.prom");

    option_result none = parse({});
    EXPECT_FALSE(none.settings.unchecked);
    EXPECT_TRUE(none.settings.bind_addrs.empty());
    EXPECT_EQ(none.settings.framed_port, -1);
    EXPECT_TRUE(none.settings.exporters.empty());
    EXPECT_TRUE(none.settings.viewers.empty());
    EXPECT_EQ(none.settings.per_address, 0);
    EXPECT_EQ(none.settings.metrics_path, "");
    EXPECT_EQ(none.settings.template_ttl_s, 1800);
}

TEST(RelayPrefixes, WhoIsIn)
{
    prefix_list list;
    ASSERT_TRUE(parse_prefixes("10.0.0.0/8,192.0.2.1,198.51.100.0/31,0.0.0.0/32,2001:db8:8000::/33",
                               list));
    const std::map<std::string, bool> cases = {
        {"10.0.0.0", true},      {"10.255.255.255", true}, {"11.0.0.0", false},
        {"9.255.255.255", false}, {"192.0.2.1", true},     {"192.0.2.0", false},
        {"192.0.2.2", false},    {"198.51.100.0", true},   {"198.51.100.1", true},
        {"198.51.100.2", false}, {"0.0.0.0", true},        {"0.0.0.1", false},
        // A peer the kernel hands over in its mapped form is its IPv4 self.
        {"::ffff:10.1.2.3", true}, {"::ffff:11.1.2.3", false},
        {"2001:db8:8000::1", true}, {"2001:db8:ffff::", true}, {"2001:db8:7fff::1", false},
        {"::a01:203", false},  // IPv4-compatible form is not IPv4
    };
    for (const auto& [text, in] : cases)
        EXPECT_EQ(in_prefixes(list, addr(text.c_str())), in) << text;
    EXPECT_FALSE(in_prefixes({}, addr("10.0.0.1")));

    prefix_list all;
    ASSERT_TRUE(parse_prefixes("0.0.0.0/0", all));
    EXPECT_TRUE(in_prefixes(all, addr("255.255.255.255")));
    EXPECT_FALSE(in_prefixes(all, addr("2001:db8::1")));  // IPv4's /0 is not IPv6
    ASSERT_TRUE(parse_prefixes("::/0", all));
    EXPECT_TRUE(in_prefixes(all, addr("2001:db8::1")));
    for (const char* bad : {"2001:db8::/129", "2001:db8::1/64", "10.0.0.0/33x", "[::1]",
                            "fe80::1%lo", "::ffff:10.0.0.0/97"})
        EXPECT_FALSE(parse_prefixes(bad, all)) << bad;
    // A refused list adds nothing.
    EXPECT_FALSE(parse_prefixes("10.0.0.0/8,bad", all));
    EXPECT_EQ(all.size(), 2u);
}

// What of a datagram enters the stream.
TEST(RelayChecks, WholeExportSize)
{
    auto datagram = [](std::uint16_t version, std::uint16_t count, std::size_t len) {
        std::vector<unsigned char> d(len);
        if (len >= 4) {
            store_be16(d.data(), version);
            store_be16(d.data() + 2, count);
        }
        return d;
    };
    struct case_ {
        std::uint16_t version, count;
        std::size_t len, want;
    };
    const case_ cases[] = {
        {5, 1, 72, 72},        {5, 30, 1464, 1464}, {5, 1, 73, 72},   // trailing byte cut
        {5, 1, 72 + 1468, 72},  // a hidden frame behind the records
        {5, 170, 8184, 8184},  {5, 171, 8192, 0},   // more than 8192 bytes claimed
        {5, 1, 71, 0},         {5, 0, 24, 0},       {5, 0, 1000, 0},
        {9, 1, 72, 0},         {0x0105, 1, 72, 0},  {5, 1, 0, 0},  {5, 1, 3, 0}, {5, 1, 23, 0},
        {5, 0xffff, 8192, 0},
    };
    for (const case_& c : cases) {
        std::vector<unsigned char> d = datagram(c.version, c.count, c.len);
        EXPECT_EQ(whole_export_size(d.data(), d.size()), c.want)
            << "version " << c.version << " count " << c.count << " length " << c.len;
    }
}

using namespace test_messages;

TEST(RelayChecks, NineAndIpfixShapes)
{
    // A template of two fields and a data set of one 8-byte record.
    const bytes v9_good = v9().u16(0).u16(16).u16(256).u16(2).u16(8).u16(4).u16(12).u16(4)
                              .u16(256).u16(12).u32(0x0a000001).u32(0x0a000002).b;
    bytes v9_padded = v9_good;
    v9_padded.insert(v9_padded.end(), {0, 0, 0});
    const bytes ipfix_good = sized(ipfix().u16(2).u16(20).u16(256).u16(2).u16(8).u16(4)
                                       .u16(0x8000 | 12).u16(4).u32(29305).u16(256).u16(4)
                                       .u16(2).u16(8).u16(300).u16(0)   // withdrawal
                                       .u16(256).u16(8).u32(1));
    bytes ipfix_trailing = ipfix_good;
    ipfix_trailing.insert(ipfix_trailing.end(), {1, 2, 3, 4, 5});
    struct case_ {
        const char* what;
        bytes d;
        std::size_t want;
        std::size_t templates;
    };
    const case_ cases[] = {
        {"v9 template and data", v9_good, v9_good.size(), 1},
        {"v9 padding cut", v9_padded, v9_good.size(), 1},
        {"v9 short header", bytes(v9_good.begin(), v9_good.begin() + 19), 0, 0},
        {"v9 header alone", v9().b, 20, 0},
        {"v9 set shorter than 4", v9().u16(256).u16(3).pad(4).b, 0, 0},
        {"v9 set past the end", v9().u16(256).u16(12).u32(1).b, 0, 0},
        {"v9 zero-length field", v9().u16(0).u16(12).u16(256).u16(1).u16(8).u16(0).b, 0, 0},
        {"v9 template overruns its set", v9().u16(0).u16(12).u16(256).u16(2).u16(8).u16(4).b, 0,
         0},
        {"v9 options template", v9().u16(1).u16(20).u16(257).u16(4).u16(4).u16(1).u16(4)
                                    .u16(34).u16(4).pad(2).b, 40, 1},
        {"v9 options template padded to 8 bytes",
         v9().u16(1).u16(24).u16(257).u16(4).u16(4).u16(1).u16(4).u16(34).u16(4).pad(6).b, 44, 1},
        {"v9 template of no fields", v9().u16(0).u16(8).u16(256).u16(0).b, 0, 0},
        {"v9 zero padding then a record",
         v9().u16(0).u16(16).u16(0).u16(0).u16(256).u16(1).u16(8).u16(4).b, 0, 0},
        {"v9 options lengths not whole fields",
         v9().u16(1).u16(16).u16(257).u16(3).u16(4).u16(1).u16(4).u16(0).b, 0, 0},
        {"IPFIX templates, withdrawal, data", ipfix_good, ipfix_good.size(), 2},
        {"IPFIX bytes after the message cut", ipfix_trailing, ipfix_good.size(), 2},
        {"IPFIX length below its header", ipfix(15).pad(8).b, 0, 0},
        {"IPFIX length that lies", ipfix(40).u16(256).u16(8).u32(1).b, 0, 0},
        {"IPFIX sets that do not tile", sized(ipfix().u16(256).u16(8).u32(1).pad(1)), 0, 0},
        {"IPFIX enterprise number cut off",
         sized(ipfix().u16(2).u16(12).u16(256).u16(1).u16(0x8000 | 12).u16(4)), 0, 0},
        {"IPFIX variable-length field", sized(ipfix().u16(2).u16(12).u16(256).u16(1).u16(82)
                                                  .u16(65535)), 28, 1},
        {"IPFIX options with no scope",
         sized(ipfix().u16(3).u16(14).u16(256).u16(1).u16(0).u16(34).u16(4)), 0, 0},
        {"IPFIX options template", sized(ipfix().u16(3).u16(18).u16(256).u16(2).u16(1)
                                             .u16(149).u16(4).u16(34).u16(4)), 34, 1},
        {"version 7", message{}.u16(7).pad(40).b, 0, 0},
        {"one byte", {9}, 0, 0},
    };
    std::vector<template_record> found;
    for (const case_& c : cases) {
        checked_export e = check_export(c.d.data(), c.d.size(), &found);
        EXPECT_EQ(e.length, c.want) << c.what;
        EXPECT_EQ(found.size(), c.templates) << c.what;
    }
    // What a template record says of itself, pointing into the datagram.
    check_export(ipfix_good.data(), ipfix_good.size(), &found);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].set_id, ipfix_template_set);
    EXPECT_EQ(found[0].template_id, 256);
    EXPECT_EQ(found[0].size, 20u - 4);
    EXPECT_EQ(found[0].bytes, ipfix_good.data() + 20);
    EXPECT_TRUE(found[1].withdrawal);
    EXPECT_EQ(found[1].template_id, 300);
    EXPECT_EQ(check_export(ipfix_good.data(), ipfix_good.size()).domain, 7u);
}

TEST(RelayLog, BurstThenSummary)
{
    log_limiter lim;
    const long t0 = 1000000;
    for (int i = 0; i < lim.burst; ++i)
        EXPECT_TRUE(lim.allow(t0 + i));
    EXPECT_EQ(lim.next_summary(), -1);
    for (int i = 0; i < 30; ++i)
        EXPECT_FALSE(lim.allow(t0 + 100 + i));
    EXPECT_EQ(lim.next_summary(), t0 + lim.window_ms);
    EXPECT_EQ(lim.summary_due(t0 + lim.window_ms - 1), 0u);
    // Held back until the summary went out, even after the window.
    EXPECT_FALSE(lim.allow(t0 + lim.window_ms + 5));
    EXPECT_EQ(lim.summary_due(t0 + lim.window_ms + 10), 31u);
    EXPECT_EQ(lim.summary_due(t0 + lim.window_ms + 20), 0u);
    EXPECT_EQ(lim.next_summary(), -1);
    // A fresh window after it.
    for (int i = 0; i < lim.burst; ++i)
        EXPECT_TRUE(lim.allow(t0 + lim.window_ms + 30 + i));
    EXPECT_FALSE(lim.allow(t0 + lim.window_ms + 100));
    // A quiet spell starts a new window without a summary waiting.
    log_limiter quiet;
    EXPECT_TRUE(quiet.allow(0));
    EXPECT_TRUE(quiet.allow(3 * lim.window_ms));
    EXPECT_EQ(quiet.used, 1);
}

}  // namespace
