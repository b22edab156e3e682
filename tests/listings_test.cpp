// The three listings, byte for byte: operators read dump and shortdump,
// other programs parse colondump.
#include "viewer/listings.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "common/net_address.h"
#include "tools/nf5_synth.h"
#include "viewer/asn_names.h"
#include "viewer/decode_v5.h"

namespace {

using print_fn = void (*)(const nf5_record&, double, const char*, const asn_table&);

asn_table names;

void load_names(const char* file)
{
    ASSERT_EQ(load_asn_file(names, (std::string(NELK_TEST_DATA) + "/asn/" + file).c_str()), 0);
}

// Colondump names nothing; as a print_fn it leaves the table be.
void colondump(const nf5_record& r, double flow, const char* router, const asn_table&)
{
    print_colondump(r, flow, router);
}

std::uint32_t addr(const char* dotted)
{
    in_addr a{};
    inet_aton(dotted, &a);
    return a.s_addr;
}

std::string listing(print_fn print, const nf5_record& r, double flow, const char* router)
{
    testing::internal::CaptureStdout();
    print(r, flow, router, names);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// Flow 7: 192.0.2.1 port 80 on input 2 to 198.51.100.7 port 1025 on output
// 3, 1500 bytes in 3 TCP packets, AS 0 to AS 65001.
nf5_record example_flow()
{
    nf5_record r{};
    r.srcaddr = addr("192.0.2.1");
    r.dstaddr = addr("198.51.100.7");
    r.input = 2;
    r.output = 3;
    r.dPkts = 3;
    r.dOctets = 1500;
    r.srcport = 80;
    r.dstport = 1025;
    r.prot = 6;
    r.dst_as = 65001;
    return r;
}

TEST(Listings, ExampleFlowInEachLayout)
{
    load_names("empty.txt");
    nf5_record r = example_flow();
    EXPECT_EQ(listing(colondump, r, 7, "10.0.0.1"),
              "7:10.0.0.1:2:192.0.2.1:80:3:198.51.100.7:1025:1500:3:6:0:65001\n");
    EXPECT_EQ(listing(print_dump, r, 7, "10.0.0.1"),
              "flow #7 received from router 10.0.0.1, IP protocol 6\n"
              "  input ifIndex:     2\n"
              "  source IP address: 192.0.2.1\n"
              "  source port:       80\n"
              "  source AS:         <unknown>(0)\n"
              "  output ifIndex:    3\n"
              "  dest IP address:   198.51.100.7\n"
              "  dest port:         1025\n"
              "  dest AS:           <unknown>(65001)\n"
              "  bytes in flow:        1K\n"
              "  packets in flow:   3\n");
    EXPECT_EQ(listing(print_shortdump, r, 7, "10.0.0.1"),
              "7: 10.0.0.1         2/192.0.2.1      :80    ->  3/198.51.100.7   :1025  \n"
              " b/p:   1K/3      proto  6         <unknown>(    0)->        <unknown>(65001)\n");

    // Full-width addresses and numbers; the router column is a minimum
    // width, names are shown whole.
    load_names("listing.txt");
    r.srcaddr = addr("255.255.255.255");
    r.input = 65535;
    r.srcport = 65535;
    r.dPkts = 1234567;
    r.prot = 255;
    r.src_as = 64512;
    EXPECT_EQ(listing(print_shortdump, r, 123456789, "router.example.net"),
              "123456789: router.example.net 65535/255.255.255.255:65535 ->  3/198.51.100.7   "
              ":1025  \n b/p:   1K/1234567 proto 255 A-NAME-LONGER-THAN-SEVENTEEN(64512)->"
              "      EXAMPLE-NET(65001)\n");
}

std::string listing_of(void (*print)(const flow_record&, double, const datagram_info&,
                                     const asn_table&),
                       const flow_record& r, double flow, const datagram_info& dg)
{
    testing::internal::CaptureStdout();
    print(r, flow, dg, names);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

void colondump_of(const flow_record& r, double flow, const datagram_info& dg, const asn_table&)
{
    print_colondump(r, flow, dg);
}

datagram_info exporter(const char* text, std::uint16_t version)
{
    datagram_info dg;
    EXPECT_TRUE(parse_address(text, &dg.exporter));
    dg.version = version;
    std::snprintf(dg.exporter_text, sizeof dg.exporter_text, "%s", address_text(dg.exporter).c_str());
    return dg;
}

// An IPv6 flow from an IPv6 exporter: dump as ever with the addresses in
// full; shortdump on three lines, the destination under the source; in
// colondump ':' in addresses becomes '-', thirteen fields still. Counts
// past 32 bits and 32-bit AS numbers in full.
TEST(Listings, Ipv6FlowInEachLayout)
{
    load_names("listing.txt");
    flow_record r;
    parse_address("2001:db8:1234:5678:9abc:def0:1234:5678", &r.srcaddr);
    parse_address("2001:db8::7", &r.dstaddr);
    r.ipv6 = true;
    r.input = 70000;
    r.output = 3;
    r.packets = 5000000000;
    r.bytes = 6000000000000;
    r.srcport = 443;
    r.dstport = 51000;
    r.prot = 6;
    r.src_as = 4200000001;
    r.dst_as = 65001;
    const datagram_info dg = exporter("2001:db8::ff", 10);
    EXPECT_EQ(listing_of(colondump_of, r, 9, dg),
              "9:2001-db8--ff:70000:2001-db8-1234-5678-9abc-def0-1234-5678:443:3:2001-db8--7:"
              "51000:6000000000000:5000000000:6:4200000001:65001\n");
    EXPECT_EQ(listing_of(print_dump, r, 9, dg),
              "flow #9 received from router 2001:db8::ff, IP protocol 6\n"
              "  input ifIndex:     70000\n"
              "  source IP address: 2001:db8:1234:5678:9abc:def0:1234:5678\n"
              "  source port:       443\n"
              "  source AS:         <unknown>(4200000001)\n"
              "  output ifIndex:    3\n"
              "  dest IP address:   2001:db8::7\n"
              "  dest port:         51000\n"
              "  dest AS:           EXAMPLE-NET(65001)\n"
              "  bytes in flow:        5T\n"
              "  packets in flow:   5000000000\n");
    EXPECT_EQ(listing_of(print_shortdump, r, 9, dg),
              "9: 2001:db8::ff    70000/[2001:db8:1234:5678:9abc:def0:1234:5678]:443\n"
              "                ->  3/[2001:db8::7]:51000\n"
              " b/p:   5T/5000000000 proto  6         <unknown>(4200000001)->      "
              "EXAMPLE-NET(65001)\n");
    // An IPv4 flow from an IPv6 exporter keeps the IPv4 layout; the
    // router's column only grows.
    const flow_record v4 = nf5_flow(example_flow());
    EXPECT_EQ(listing_of(colondump_of, v4, 7, dg),
              "7:2001-db8--ff:2:192.0.2.1:80:3:198.51.100.7:1025:1500:3:6:0:65001\n");
    EXPECT_EQ(listing_of(print_shortdump, v4, 7, dg).substr(0, 50),
              "7: 2001:db8::ff     2/192.0.2.1      :80    ->  3/");
    load_names("empty.txt");
}

// The same IPv4 flow prints the same whichever version exported it.
TEST(Listings, AnIpv4FlowPrintsAsFromV5WhateverItsVersion)
{
    load_names("listing.txt");
    using layout = void (*)(const flow_record&, double, const datagram_info&, const asn_table&);
    const layout layouts[] = {print_dump, print_shortdump, colondump_of};
    nf5_synth gen = nf5_synth_seed(52);
    for (int i = 0; i < 300; ++i) {
        nf5_record rec = nf5_synth_record(gen, 3600000);
        rec.dPkts &= 0x7fffffff;  // v5 shows counts past 2^31 - 1 as it always has
        const flow_record r = nf5_flow(rec);
        for (layout print : layouts) {
            const std::string v5 = listing_of(print, r, i, exporter("10.0.0.1", 5));
            for (std::uint16_t version : {9, 10})
                ASSERT_EQ(listing_of(print, r, i, exporter("10.0.0.1", version)), v5)
                    << "record " << i << " version " << version;
        }
    }
    load_names("empty.txt");
}

TEST(BytesText, Tiers)
{
    const std::pair<std::uint32_t, const char*> rows[] = {
        {0, "   0"},          {1023, "1023"},       {1024, "   1K"},     {1536, "   1K"},
        {1048575, "1023K"},   {5u << 20, "   5M"},  {1073741823, "1023M"}, {1u << 30, "   1G"},
        {3u << 30, "   3G"},  {4294967295u, "   3G"}};
    for (const auto& [bytes, text] : rows)
        EXPECT_STREQ(bytes_text(bytes).text, text) << bytes;
    const std::pair<std::uint64_t, const char*> wide[] = {
        {1ull << 32, "   4G"}, {(1ull << 40) - 1, "1023G"}, {1ull << 40, "   1T"},
        {5ull << 50, "   5P"}, {~0ull, "  15E"}};
    for (const auto& [bytes, text] : wide)
        EXPECT_STREQ(bytes_text(bytes).text, text) << bytes;
}

// The listings as printf calls, one per piece, with inet_ntoa: the oracle
// for the fast path over varied traffic.
void reference_dump(const nf5_record& r, double flow, const char* router, const asn_table&)
{
    std::printf("flow #%.0f received from router %s, IP protocol %d\n", flow, router, r.prot);
    std::printf("  input ifIndex:     %d\n", r.input);
    std::printf("  source IP address: %s\n", inet_ntoa(in_addr{r.srcaddr}));
    std::printf("  source port:       %d\n", r.srcport);
    std::printf("  source AS:         %s(%d)\n", asn_name(names, r.src_as), r.src_as);
    std::printf("  output ifIndex:    %d\n", r.output);
    std::printf("  dest IP address:   %s\n", inet_ntoa(in_addr{r.dstaddr}));
    std::printf("  dest port:         %d\n", r.dstport);
    std::printf("  dest AS:           %s(%d)\n", asn_name(names, r.dst_as), r.dst_as);
    std::printf("  bytes in flow:     %s\n", bytes_text(r.dOctets).text);
    std::printf("  packets in flow:   %d\n", static_cast<int>(r.dPkts));
}

void reference_shortdump(const nf5_record& r, double flow, const char* router,
                         const asn_table&)
{
    std::printf("%.0f: %-15s ", flow, router);
    std::printf("%2d/%-15.15s:%-5d ", r.input, inet_ntoa(in_addr{r.srcaddr}), r.srcport);
    std::printf("-> %2d/%-15.15s:%-5d ", r.output, inet_ntoa(in_addr{r.dstaddr}), r.dstport);
    std::printf("\n b/p:%s/%-6d proto %2d", bytes_text(r.dOctets).text, static_cast<int>(r.dPkts),
                r.prot);
    std::printf(" %17s(%5d)->", asn_name(names, r.src_as), r.src_as);
    std::printf("%17s(%5d)\n", asn_name(names, r.dst_as), r.dst_as);
}

void reference_colondump(const nf5_record& r, double flow, const char* router,
                         const asn_table&)
{
    std::printf("%.0f:%s:", flow, router);
    std::printf("%d:%s:%d:", r.input, inet_ntoa(in_addr{r.srcaddr}), r.srcport);
    std::printf("%d:%s:%d:", r.output, inet_ntoa(in_addr{r.dstaddr}), r.dstport);
    std::printf("%u:%d:%d:", r.dOctets, static_cast<int>(r.dPkts), r.prot);
    std::printf("%d:%d\n", r.src_as, r.dst_as);
}

TEST(Listings, MatchPrintfOverSyntheticTraffic)
{
    load_names("listing.txt");
    const std::pair<print_fn, print_fn> layouts[] = {{print_dump, reference_dump},
                                                     {print_shortdump, reference_shortdump},
                                                     {colondump, reference_colondump}};
    for (const auto& [fast, reference] : layouts) {
        nf5_synth gen = nf5_synth_seed(51);
        for (int i = 0; i < 500; ++i) {
            nf5_record r = nf5_synth_record(gen, 3600000);
            if (i % 5 == 0) {  // counters over their whole range, past 2^31 too
                r.dOctets = static_cast<std::uint32_t>(nf5_synth_next(gen));
                r.dPkts = static_cast<std::uint32_t>(nf5_synth_next(gen));
            }
            if (i % 7 == 0)  // named ASes
                r.src_as = i % 2 ? 65001 : 7018;
            auto router_addr = static_cast<std::uint32_t>(nf5_synth_next(gen));
            std::string router = inet_ntoa(in_addr{router_addr});
            double flow = i * 1000003.0;
            ASSERT_EQ(listing(fast, r, flow, router.c_str()),
                      listing(reference, r, flow, router.c_str()))
                << "record " << i;
        }
    }
    load_names("empty.txt");
}

}  // namespace
