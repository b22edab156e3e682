// JSON lines: the hand formatter against a slow one built from snprintf and
// inet_ntop, and its lines as a real JSON parser reads them.
#include "viewer/json_lines.h"

#include <arpa/inet.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/python_json.h"
#include "tests/addresses.h"

namespace {

std::string ntop(const net_address& a, bool ipv6)
{
    char text[INET6_ADDRSTRLEN];
    if (ipv6)
        return inet_ntop(AF_INET6, a.bytes.data(), text, sizeof text);
    return inet_ntop(AF_INET, a.bytes.data() + 12, text, sizeof text);
}

// The line as the key list reads, one snprintf per field.
std::string slow_json(const flow_record& r, const datagram_info& dg, unsigned long long received)
{
    const char* type = dg.version == 5    ? "NETFLOW_V5"
                       : dg.version == 9  ? "NETFLOW_V9"
                       : dg.version == 10 ? "IPFIX"
                                          : "FLOWUNKNOWN";
    char text[2048];
    std::snprintf(
        text, sizeof text,
        "{\"type\":\"%s\",\"time_received_ns\":%llu,\"sequence_num\":%u,\"sampling_rate\":%u,"
        "\"sampler_address\":\"%s\",\"time_flow_start_ns\":%llu,\"time_flow_end_ns\":%llu,"
        "\"bytes\":%llu,\"packets\":%llu,\"src_addr\":\"%s\",\"dst_addr\":\"%s\","
        "\"next_hop\":\"%s\",\"src_net\":%u,\"dst_net\":%u,\"etype\":%u,\"proto\":%u,"
        "\"src_port\":%u,\"dst_port\":%u,\"in_if\":%u,\"out_if\":%u,\"src_as\":%u,"
        "\"dst_as\":%u,\"tcp_flags\":%u,\"ip_tos\":%u}\n",
        type, dg.received_ns ? static_cast<unsigned long long>(dg.received_ns) : received,
        dg.sequence, r.sampling, ntop(dg.exporter, !dg.exporter.is_v4()).c_str(),
        static_cast<unsigned long long>(r.start_ns), static_cast<unsigned long long>(r.end_ns),
        static_cast<unsigned long long>(r.bytes), static_cast<unsigned long long>(r.packets),
        ntop(r.srcaddr, r.ipv6).c_str(), ntop(r.dstaddr, r.ipv6).c_str(),
        ntop(r.nexthop, r.ipv6 && !r.nexthop.is_v4()).c_str(), unsigned{r.src_mask},
        unsigned{r.dst_mask}, r.ipv6 ? 34525u : 2048u, unsigned{r.prot}, unsigned{r.srcport},
        unsigned{r.dstport}, r.input, r.output, r.src_as, r.dst_as, unsigned{r.tcp_flags},
        unsigned{r.tos});
    return text;
}

std::string fast_json(const flow_record& r, const datagram_info& dg, std::uint64_t received)
{
    std::vector<char> line(json_line_max);
    return {line.data(), format_json_flow(line.data(), r, dg, received)};
}

struct json_case {
    flow_record rec;
    datagram_info dg;
};

std::vector<json_case> table_cases()
{
    std::vector<json_case> cases;
    json_case v5;  // the v5 flow of the listings' examples
    v5.rec.srcaddr = addr("192.0.2.1");
    v5.rec.dstaddr = addr("198.51.100.7");
    v5.rec.nexthop = addr("0.0.0.0");
    v5.rec.input = 2;
    v5.rec.output = 3;
    v5.rec.srcport = 80;
    v5.rec.dstport = 1025;
    v5.rec.bytes = 1500;
    v5.rec.packets = 3;
    v5.rec.prot = 6;
    v5.rec.dst_as = 65001;
    v5.rec.src_mask = 24;
    v5.rec.dst_mask = 16;
    v5.rec.tcp_flags = 0x1b;
    v5.rec.start_ns = 1773140400000000000;
    v5.rec.end_ns = 1773140401500000000;
    v5.dg.exporter = addr("10.0.0.1");
    v5.dg.sequence = 4000000000u;
    v5.dg.received_ns = 1773140402000000001;
    cases.push_back(v5);

    json_case v6;  // IPFIX, IPv6, counts past 32 bits, a 32-bit AS, an IPv6 exporter
    v6.rec.ipv6 = true;
    v6.rec.srcaddr = addr("2001:db8::1");
    v6.rec.dstaddr = addr("2001:db8:0:1:1:1:1:1");
    v6.rec.nexthop = addr("fe80::1:0:0:1");
    v6.rec.bytes = 18446744073709551615u;
    v6.rec.packets = 4294967296u;
    v6.rec.src_as = 4200000000u;
    v6.rec.dst_as = 4294967295u;
    v6.rec.input = 4294967295u;
    v6.rec.prot = 58;
    v6.rec.src_mask = 48;
    v6.rec.dst_mask = 128;
    v6.rec.tos = 0xb8;
    v6.rec.sampling = 1000;
    v6.dg.version = 10;
    v6.dg.exporter = addr("2001:db8:ffff::2");
    cases.push_back(v6);

    json_case mapped = v6;  // an IPv6 flow sent on by an IPv4 next hop, v9
    mapped.rec.nexthop = addr("192.0.2.254");
    mapped.rec.srcaddr = addr("::ffff:192.0.2.9");
    mapped.dg.version = 9;
    mapped.dg.exporter = addr("::ffff:10.0.0.9");
    cases.push_back(mapped);

    json_case unknown;  // all zero, a version no decoder makes
    unknown.dg.version = 7;
    cases.push_back(unknown);
    return cases;
}

TEST(JsonLines, MatchesTheSlowFormatterAndInetNtop)
{
    const std::uint64_t received = 1773140499123456789;
    std::vector<json_case> cases = table_cases();
    std::mt19937_64 rng(20260310);
    const auto bits = [&] { return rng() >> (rng() % 64); };
    for (int i = 0; i < 3000; ++i) {
        json_case c;
        flow_record& r = c.rec;
        r.ipv6 = i % 2 == 0;
        for (net_address* a : {&r.srcaddr, &r.dstaddr, &r.nexthop, &c.dg.exporter}) {
            for (auto& b : a->bytes)
                b = rng() % 3 == 0 ? 0 : static_cast<std::uint8_t>(rng());
            if (rng() % 2)
                *a = net_address::from_v4_net(static_cast<std::uint32_t>(rng()));
        }
        r.bytes = bits();
        r.packets = bits();
        r.start_ns = bits();
        r.end_ns = bits();
        r.input = static_cast<std::uint32_t>(bits());
        r.output = static_cast<std::uint32_t>(bits());
        r.src_as = static_cast<std::uint32_t>(bits());
        r.dst_as = static_cast<std::uint32_t>(bits());
        r.sampling = static_cast<std::uint32_t>(bits());
        r.srcport = static_cast<std::uint16_t>(rng());
        r.dstport = static_cast<std::uint16_t>(rng());
        r.prot = static_cast<std::uint8_t>(rng());
        r.tos = static_cast<std::uint8_t>(rng());
        r.tcp_flags = static_cast<std::uint8_t>(rng());
        r.src_mask = static_cast<std::uint8_t>(rng() % 129);
        r.dst_mask = static_cast<std::uint8_t>(rng() % 129);
        c.dg.version = static_cast<std::uint16_t>(std::array{5, 9, 10}[rng() % 3]);
        c.dg.sequence = static_cast<std::uint32_t>(rng());
        c.dg.received_ns = rng() % 2 ? bits() : 0;
        cases.push_back(c);
    }
    for (const auto& c : cases)
        ASSERT_EQ(fast_json(c.rec, c.dg, received), slow_json(c.rec, c.dg, received));
}

// Each line parsed and written back compactly by python's json module comes
// out as it went in: valid JSON, numbers read exactly, keys in their order.
TEST(JsonLines, ARealParserReadsEveryValue)
{
    std::string lines;
    for (const auto& c : table_cases())
        lines += fast_json(c.rec, c.dg, 1);
    const python_run run = run_python(
        "import json,sys\n"
        "for l in sys.stdin: print(json.dumps(json.loads(l), separators=(\",\",\":\")))",
        lines);
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string& back = run.out;
    EXPECT_EQ(back, lines);
    EXPECT_NE(back.find(R"("bytes":18446744073709551615,"packets":4294967296,)"
                        R"("src_addr":"2001:db8::1","dst_addr":"2001:db8:0:1:1:1:1:1",)"
                        R"("next_hop":"fe80::1:0:0:1","src_net":48,"dst_net":128,"etype":34525,)"),
              std::string::npos)
        << back;
    EXPECT_NE(back.find(R"("sampler_address":"10.0.0.9")"), std::string::npos) << back;
    EXPECT_NE(back.find(R"("src_addr":"::ffff:192.0.2.9")"), std::string::npos) << back;
    EXPECT_NE(back.find(R"("next_hop":"192.0.2.254")"), std::string::npos) << back;
}

}  // namespace
