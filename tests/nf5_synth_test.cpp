#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <vector>

#include "common/export_checks.h"
#include "common/framed_stream.h"
#include "common/net_address.h"
#include "common/nf5.h"
#include "tools/export_synth.h"
#include "tools/nf5_synth.h"

namespace {

constexpr std::uint32_t t0 = 1700000000;

// Decoded records of `datagrams` datagrams of random size from one seed, with
// the SysUptime of the datagram each came in.
struct sample {
    std::vector<nf5_record> records;
    std::vector<std::uint32_t> uptime;
};

sample collect(std::uint64_t seed, int datagrams)
{
    sample out;
    nf5_synth s = nf5_synth_seed(seed);
    std::array<std::uint8_t, nf5_synth_max_datagram> buf{};
    for (int i = 0; i < datagrams; ++i) {
        unsigned n = 1 + nf5_synth_below(s, nf5_synth_max_records);
        std::size_t len = nf5_synth_datagram(s, buf, n, t0 + static_cast<std::uint32_t>(i));
        EXPECT_EQ(len, nf5_datagram_size(n));
        nf5_header h = decode_nf5_header(buf.data());
        for (unsigned k = 0; k < h.count; ++k) {
            out.records.push_back(decode_nf5_record(buf.data() + nf5_datagram_size(k)));
            out.uptime.push_back(h.SysUptime);
        }
    }
    return out;
}

bool in_net(std::uint32_t addr_net, std::uint32_t prefix, int len)
{
    std::uint32_t a = ntohl(addr_net);
    std::uint32_t mask = len == 0 ? 0 : ~std::uint32_t{0} << (32 - len);
    return (a & mask) == (prefix & mask);
}

bool documentation_or_private(std::uint32_t addr_net)
{
    return in_net(addr_net, 0xc0000200, 24) ||   // 192.0.2.0/24
           in_net(addr_net, 0xc6336400, 24) ||   // 198.51.100.0/24
           in_net(addr_net, 0xcb007100, 24) ||   // 203.0.113.0/24
           in_net(addr_net, 0x0a000000, 8) ||    // 10.0.0.0/8
           in_net(addr_net, 0xc0a80000, 16);     // 192.168.0.0/16
}

}  // namespace

// Every record count gives the right length, header and sequence numbers,
// and the buffer holds nothing beyond the datagram.
TEST(SynthDatagram, HeaderCountSizeAndSequence)
{
    nf5_synth s = nf5_synth_seed(7);
    std::array<std::uint8_t, nf5_synth_max_datagram + 16> buf{};
    std::uint32_t expected_seq = 0;
    std::uint32_t last_uptime = 0;
    for (unsigned n = 1; n <= nf5_synth_max_records; ++n) {
        buf.fill(0xee);
        std::uint32_t secs = t0 + n;
        std::size_t len = nf5_synth_datagram(s, buf, n, secs, 250000000);
        ASSERT_EQ(len, 24 + 48 * n) << "n=" << n;
        EXPECT_EQ(buf[len], 0xee) << "wrote past the datagram, n=" << n;
        nf5_header h = decode_nf5_header(buf.data());
        EXPECT_EQ(h.version, 5);
        EXPECT_EQ(h.count, n);
        EXPECT_EQ(h.unix_secs, secs);
        EXPECT_EQ(h.unix_nsecs, 250000000u);
        EXPECT_EQ(h.flow_sequence, expected_seq);
        EXPECT_EQ(h.sampling_interval, 0);
        // One second later on the wall clock is one second later in uptime.
        EXPECT_TRUE(n == 1 || h.SysUptime - last_uptime == 1000u) << "n=" << n;
        // Up for at least an hour: a month-old router, not one just booted.
        EXPECT_GE(h.SysUptime, 3600u * 1000);
        last_uptime = h.SysUptime;
        expected_seq += n;
    }
    EXPECT_EQ(s.flow_sequence, expected_seq);
}

// Refused requests write nothing and leave the stream where it was.
TEST(SynthDatagram, RefusesBadCountsAndShortBuffers)
{
    struct {
        unsigned n;
        std::size_t buf_size;
    } cases[] = {
        {0, nf5_synth_max_datagram},
        {31, nf5_synth_max_datagram + 48},
        {1000, 65536},
        {1, 24 + 47},
        {30, nf5_synth_max_datagram - 1},
    };
    for (const auto& c : cases) {
        nf5_synth s = nf5_synth_seed(3);
        nf5_synth before = s;
        std::vector<std::uint8_t> buf(c.buf_size, 0xee);
        EXPECT_EQ(nf5_synth_datagram(s, buf, c.n, t0), 0u) << "n=" << c.n;
        EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](auto b) { return b == 0xee; }));
        EXPECT_EQ(s.rng, before.rng);
        EXPECT_EQ(s.flow_sequence, 0u);
    }
    // A buffer of exactly the datagram's size is enough.
    nf5_synth s = nf5_synth_seed(3);
    std::vector<std::uint8_t> exact(nf5_datagram_size(5));
    EXPECT_EQ(nf5_synth_datagram(s, exact, 5, t0), exact.size());
}

// The same seed and calls give the same bytes; another seed gives others.
TEST(SynthDatagram, DeterministicPerSeed)
{
    auto stream = [](std::uint64_t seed) {
        nf5_synth s = nf5_synth_seed(seed);
        std::vector<std::uint8_t> all;
        std::array<std::uint8_t, nf5_synth_max_datagram> buf{};
        for (unsigned i = 0; i < 50; ++i) {
            std::size_t len = nf5_synth_datagram(s, buf, 1 + i % 30, t0 + i);
            all.insert(all.end(), buf.begin(), buf.begin() + static_cast<long>(len));
        }
        return all;
    };
    EXPECT_EQ(stream(42), stream(42));
    EXPECT_NE(stream(42), stream(43));
    EXPECT_NE(stream(0), stream(1));
    // Pinned output: the PRNG's first values are splitmix64's reference
    // ones, and a change to the generator changes what the benchmarks and
    // golden runs see, so it must be deliberate.
    nf5_synth s = nf5_synth_seed(1);
    EXPECT_EQ(nf5_synth_next(s), 0x910a2dec89025cc1ULL);
    s = nf5_synth_seed(0);
    EXPECT_EQ(nf5_synth_next(s), 0xe220a8397b1dcdafULL);
    std::uint64_t fnv = 0xcbf29ce484222325ULL;
    for (std::uint8_t byte : stream(1))
        fnv = (fnv ^ byte) * 0x100000001b3ULL;
    EXPECT_EQ(fnv, 0x76d49e4e446ba0c7ULL) << std::hex << fnv;
}

// Field ranges and internal consistency of every record.
TEST(SynthRecords, FieldsInRangeAndConsistent)
{
    for (std::uint64_t seed : {1ULL, 2ULL, 0xdeadbeefULL}) {
        sample smp = collect(seed, 400);
        ASSERT_GT(smp.records.size(), 4000u);
        for (std::size_t i = 0; i < smp.records.size(); ++i) {
            const nf5_record& r = smp.records[i];
            SCOPED_TRACE(testing::Message() << "seed " << seed << " record " << i);
            ASSERT_GE(r.input, 1);
            ASSERT_LE(r.input, 6);
            ASSERT_GE(r.output, 1);
            ASSERT_LE(r.output, 6);
            ASSERT_NE(r.input, r.output);
            ASSERT_TRUE(documentation_or_private(r.srcaddr));
            ASSERT_TRUE(documentation_or_private(r.dstaddr));
            ASSERT_TRUE(documentation_or_private(r.nexthop));
            ASSERT_LE(r.src_mask, 32);
            ASSERT_LE(r.dst_mask, 32);
            ASSERT_GE(r.dPkts, 1u);
            ASSERT_GE(std::uint64_t{r.dOctets}, 20ULL * r.dPkts);
            ASSERT_LE(std::uint64_t{r.dOctets}, 1500ULL * r.dPkts);
            ASSERT_LE(r.First, r.Last);
            ASSERT_LE(r.Last, smp.uptime[i]);
            ASSERT_TRUE(r.dPkts > 1 || r.First == r.Last);
            ASSERT_EQ(r.pad1, 0);
            ASSERT_EQ(r.pad2, 0);
            const bool ports = r.prot == 6 || r.prot == 17;
            ASSERT_TRUE(r.prot == 6 || r.tcp_flags == 0);
            ASSERT_TRUE(ports || r.srcport == 0);
            // One side at least is an ephemeral port.
            ASSERT_TRUE(!ports || std::max(r.srcport, r.dstport) >= 1024);
            // Traffic through the uplink has a remote AS on the far side only.
            ASSERT_TRUE(r.input != 1 || r.dst_as == 0);
            ASSERT_TRUE(r.output != 1 || r.src_as == 0);
            ASSERT_TRUE(r.input == 1 || r.output == 1 || (r.src_as == 0 && r.dst_as == 0));
        }
    }
}

// The mix a top report should show: TCP, UDP and ICMP dominating with some
// others, well-known and ephemeral ports, a few ASes and interfaces carrying
// most flows, and flow sizes with a long tail.
TEST(SynthRecords, DistributionsLookLikeARouter)
{
    for (std::uint64_t seed : {5ULL, 6ULL}) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        sample smp = collect(seed, 1000);
        const double total = static_cast<double>(smp.records.size());
        std::map<int, int> prot;
        std::map<int, int> as_flows;
        std::array<int, 7> if_in{};
        int well_known = 0, ephemeral_pair = 0, zero_as = 0, remote = 0;
        std::vector<std::uint32_t> pkts, bpp;
        for (const nf5_record& r : smp.records) {
            ++prot[r.prot];
            ++if_in[r.input];
            if (r.prot == 6 || r.prot == 17) {
                std::uint16_t lo = std::min(r.srcport, r.dstport);
                if (lo == 80 || lo == 443 || lo == 53 || lo == 22 || lo == 25 || lo == 123)
                    ++well_known;
                if (lo >= 1024)
                    ++ephemeral_pair;
            }
            if (r.input == 1 || r.output == 1) {
                ++remote;
                ++as_flows[r.input == 1 ? r.src_as : r.dst_as];
            }
            zero_as += r.src_as == 0;
            pkts.push_back(r.dPkts);
            bpp.push_back(r.dOctets / r.dPkts);
        }
        // Protocols.
        EXPECT_GT((prot[6] + prot[17] + prot[1]) / total, 0.9);
        EXPECT_GT(prot[6] / total, 0.5);
        EXPECT_GT(prot[17] / total, 0.2);
        EXPECT_GT(prot[1] / total, 0.02);
        EXPECT_GT(total - prot[6] - prot[17] - prot[1], 0.02 * total);
        EXPECT_GE(prot.size(), 7u);
        for (int p : {47, 50})
            EXPECT_GT(prot[p], 0) << "protocol " << p;
        // Ports.
        EXPECT_GT(well_known / total, 0.5);
        EXPECT_GT(ephemeral_pair / total, 0.03);
        // ASes: heavy-tailed, the busiest five carry 40% of remote
        // flows, yet hundreds of others appear.
        std::vector<int> counts;
        for (auto [as, n] : as_flows) {
            EXPECT_NE(as, 0);
            counts.push_back(n);
        }
        std::sort(counts.rbegin(), counts.rend());
        ASSERT_GT(counts.size(), 200u);
        int top5 = counts[0] + counts[1] + counts[2] + counts[3] + counts[4];
        EXPECT_GT(top5, remote * 4 / 10);
        EXPECT_LT(counts[0], remote / 2);
        EXPECT_GT(zero_as / total, 0.3);
        // Interfaces: the uplink carries most, every inside one appears.
        EXPECT_GT(if_in[1] / total, 0.3);
        for (int i = 2; i <= 6; ++i)
            EXPECT_GT(if_in[i], 0) << "interface " << i;
        // Flow sizes: mostly tiny, a few huge.
        std::sort(pkts.begin(), pkts.end());
        EXPECT_LE(pkts[pkts.size() / 2], 4u);
        EXPECT_GE(pkts.back(), 1000u);
        EXPECT_LT(pkts.back(), 1u << 21);
        // Packet sizes: both small packets and near-MTU ones.
        std::sort(bpp.begin(), bpp.end());
        EXPECT_LT(bpp[bpp.size() / 10], 100u);
        EXPECT_GT(bpp[bpp.size() * 9 / 10], 1000u);
    }
}

// Explicit records come back as given, behind the header exactly as given.
TEST(BuildDatagram, EncodesGivenHeaderAndRecords)
{
    std::array<nf5_record, 3> recs{};
    for (std::size_t i = 0; i < recs.size(); ++i) {
        recs[i].srcaddr = htonl(0xc0000201 + static_cast<std::uint32_t>(i));
        recs[i].dOctets = 1000 * static_cast<std::uint32_t>(i + 1);
        recs[i].dPkts = static_cast<std::uint32_t>(i + 1);
        recs[i].dstport = 443;
        recs[i].prot = 6;
        recs[i].src_as = 64496;
    }
    std::array<std::uint8_t, 4 + nf5_synth_max_datagram> buf{};
    nf5_header h = nf5_make_header(3, t0);
    ASSERT_EQ(nf5_build_datagram(buf, h, recs), 24u + 3 * 48);
    nf5_header back = decode_nf5_header(buf.data());
    EXPECT_EQ(back.version, 5);
    EXPECT_EQ(back.count, 3);
    EXPECT_EQ(back.unix_secs, t0);
    for (std::size_t i = 0; i < recs.size(); ++i) {
        nf5_record r = decode_nf5_record(buf.data() + 24 + 48 * i);
        EXPECT_EQ(std::memcmp(&r, &recs[i], sizeof r), 0) << "record " << i;
    }

    // Forged headers go out untouched, for tests of what a reader refuses.
    h.version = 9;
    h.count = 1000;
    ASSERT_EQ(nf5_build_datagram(buf, h, std::span(recs).first(1)), 72u);
    EXPECT_EQ(load_be16(buf.data()), 9);
    EXPECT_EQ(load_be16(buf.data() + 2), 1000);

    // No records: a bare header. Too small a buffer: nothing.
    EXPECT_EQ(nf5_build_datagram(buf, nf5_make_header(0), {}), 24u);
    EXPECT_EQ(nf5_build_datagram(std::span(buf).first(23), nf5_make_header(0), {}), 0u);
    EXPECT_EQ(nf5_build_datagram(std::span(buf).first(24 + 2 * 48 + 47), h, recs), 0u);
    // Larger than any synthesised datagram, as a reader may meet.
    std::vector<nf5_record> many(1000, recs[0]);
    std::vector<std::uint8_t> big(nf5_datagram_size(1000));
    EXPECT_EQ(nf5_build_datagram(big, nf5_make_header(1000), many), big.size());
    EXPECT_EQ(decode_nf5_record(big.data() + nf5_datagram_size(999)).src_as, 64496);
}

// v9 and IPFIX messages of every size pass the relay's checks whole, number
// themselves as their version counts (export packets, data records before
// the message), carry both templates in the first message and every
// twentieth after it, and fit an Ethernet frame.
TEST(ExportSynth, MessagesAreSoundAndNumberedByTheirVersion)
{
    for (std::uint16_t version : {nf9_version, ipfix_version}) {
        SCOPED_TRACE(version);
        export_synth s = export_synth_seed(9, version, 77);
        EXPECT_TRUE(export_synth_message(s, 0, t0).empty());
        EXPECT_TRUE(export_synth_message(s, export_synth_max_records + 1, t0).empty());
        EXPECT_EQ(s.messages, 0u);
        std::uint32_t records_before = 0;
        std::vector<template_record> templates;
        for (unsigned i = 0; i < 45; ++i) {
            const unsigned n = 1 + i % export_synth_max_records;
            const std::vector<std::uint8_t> m = export_synth_message(s, n, t0 + i);
            const checked_export c = check_export(m.data(), m.size(), &templates);
            ASSERT_EQ(c.length, m.size()) << "message " << i;
            EXPECT_EQ(c.version, version);
            EXPECT_EQ(c.domain, 77u);
            EXPECT_LE(m.size() + 28, 1500u);
            const std::uint32_t sequence = load_be32(m.data() + (version == 9 ? 12 : 8));
            EXPECT_EQ(sequence, version == 9 ? i : records_before) << "message " << i;
            records_before += n;
            EXPECT_EQ(templates.size(), i % export_synth_template_every == 0 ? 2u : 0u);
            if (version == 9) {  // the header counts templates and data records
                EXPECT_EQ(load_be16(m.data() + 2), n + templates.size());
            }
        }
        // The same seed gives the same bytes, another seed others.
        export_synth one = export_synth_seed(9, version, 77);
        export_synth twin = export_synth_seed(9, version, 77);
        export_synth other = export_synth_seed(10, version, 77);
        const std::vector<std::uint8_t> first = export_synth_message(one, 12, t0);
        EXPECT_EQ(first, export_synth_message(twin, 12, t0));
        EXPECT_NE(first, export_synth_message(other, 12, t0));
    }
}

// The flows: about a third IPv6, in the documentation and private ranges,
// ICMP as ICMPv6 there; 32-bit AS numbers among the remote ones, from the
// documentation's and the private range, besides 16-bit ones.
TEST(ExportSynth, FlowsOfBothFamiliesWithWideAsNumbers)
{
    export_synth s = export_synth_seed(3, ipfix_version, 1);
    const std::uint64_t now_ms = std::uint64_t{t0} * 1000;
    int v6 = 0, icmp4 = 0, icmp6 = 0, wide = 0, private_as = 0, narrow = 0;
    const int total = 3000;
    for (int i = 0; i < total; ++i) {
        const export_flow f = export_synth_flow(s, 3600000, now_ms);
        ASSERT_EQ(f.src.is_v4(), f.dst.is_v4());
        ASSERT_EQ(f.src.is_v4(), f.nexthop.is_v4());
        ASSERT_LE(f.start_unix_ms, f.end_unix_ms);
        ASSERT_LE(f.end_unix_ms, now_ms);
        ASSERT_EQ(now_ms - f.end_unix_ms, 3600000u - f.last_ms);
        if (!f.src.is_v4()) {
            ++v6;
            for (const net_address* a : {&f.src, &f.dst, &f.nexthop}) {
                const bool documentation = a->bytes[0] == 0x20 && a->bytes[1] == 0x01 &&
                                           a->bytes[2] == 0x0d && a->bytes[3] == 0xb8;
                const bool private_net = a->bytes[0] == 0xfd && a->bytes[1] == 0;
                ASSERT_TRUE(documentation || private_net) << address_text(*a);
            }
            ASSERT_GE(f.src_mask, 48);
            ASSERT_NE(f.prot, 1);
            icmp6 += f.prot == 58;
        } else {
            icmp4 += f.prot == 1;
        }
        for (std::uint32_t as : {f.src_as, f.dst_as}) {
            ASSERT_TRUE(as < export_synth_wide_as + 16 || as >= export_synth_private_as) << as;
            private_as += as >= export_synth_private_as;
            wide += as >= export_synth_wide_as && as < export_synth_private_as;
            narrow += as != 0 && as < export_synth_wide_as;
        }
    }
    EXPECT_GT(v6, total / 4);
    EXPECT_LT(v6, total * 42 / 100);
    EXPECT_GT(icmp4, 0);
    EXPECT_GT(icmp6, 0);
    EXPECT_GT(wide, total / 20);
    EXPECT_GT(private_as, total / 50);
    EXPECT_GT(narrow, wide);
}
