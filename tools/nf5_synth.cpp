#include "tools/nf5_synth.h"

#include <arpa/inet.h>

#include <array>

namespace {

// A value chosen from a table with integer weights out of 100.
template <typename T>
struct weighted {
    T value;
    unsigned weight;
};

template <typename T, std::size_t N>
T pick(nf5_synth& s, const std::array<weighted<T>, N>& table)
{
    std::uint32_t r = nf5_synth_below(s, 100);
    for (const auto& w : table) {
        if (r < w.weight)
            return w.value;
        r -= w.weight;
    }
    return table.back().value;
}

// Services that routers see most, weights out of 100.
constexpr std::array<weighted<std::uint16_t>, 14> tcp_services{{
    {443, 40}, {80, 20}, {22, 6}, {25, 6}, {993, 4}, {587, 3}, {53, 3},
    {8080, 4}, {8443, 4}, {3389, 2}, {179, 2}, {110, 2}, {143, 2}, {21, 2},
}};
constexpr std::array<weighted<std::uint16_t>, 11> udp_services{{
    {53, 40}, {443, 20}, {123, 12}, {161, 5}, {514, 4}, {500, 4},
    {4500, 4}, {5060, 4}, {1194, 3}, {67, 2}, {137, 2},
}};
// ICMP type and code, carried in the destination port as type * 256 + code.
constexpr std::array<weighted<std::uint16_t>, 4> icmp_types{{
    {0x0800, 40}, {0x0000, 35}, {0x0303, 15}, {0x0b00, 10},
}};
// The rarer protocols: GRE, ESP, ICMPv6, SCTP, OSPF, IPv6-in-IPv4.
constexpr std::array<weighted<std::uint8_t>, 6> other_protocols{{
    {47, 30}, {50, 30}, {58, 10}, {132, 10}, {89, 10}, {41, 10},
}};
constexpr std::array<weighted<std::uint8_t>, 4> tos_values{{
    {0x00, 85}, {0x10, 5}, {0xb8, 5}, {0x28, 5},
}};
// Cumulative TCP flags of a flow: a lone packet is mostly a SYN or a RST,
// a longer flow mostly a whole connection or the middle of one.
constexpr std::array<weighted<std::uint8_t>, 3> tcp_flags_single{{
    {0x02, 60}, {0x04, 20}, {0x10, 20},
}};
constexpr std::array<weighted<std::uint8_t>, 4> tcp_flags_flow{{
    {0x1b, 50}, {0x18, 25}, {0x1a, 15}, {0x1e, 10},
}};

// Heavy-tailed value from 1 to 2^(max_exp + 1) - 1: the octave 2^e .. 2^(e+1) - 1
// is reached with probability (t / 256)^e, so counts fall off as a power law.
std::uint32_t heavy(nf5_synth& s, unsigned t, unsigned max_exp)
{
    unsigned e = 0;
    std::uint64_t bits = nf5_synth_next(s);
    unsigned left = 8;
    while (e < max_exp) {
        if (left == 0) {
            bits = nf5_synth_next(s);
            left = 8;
        }
        unsigned byte = static_cast<unsigned>(bits & 0xff);
        bits >>= 8;
        --left;
        if (byte >= t)
            break;
        ++e;
    }
    std::uint32_t base = std::uint32_t{1} << e;
    return base + nf5_synth_below(s, base);
}

// A remote AS: rank 1 is the busiest. The sixteen busiest are the
// documentation ASNs 64496-64511, so a report's top lines are easy to spot;
// the tail is scattered over 1..65535.
std::uint16_t remote_as(nf5_synth& s)
{
    std::uint32_t rank = heavy(s, 200, 15);  // 1 .. 65535
    if (rank <= 16)
        return static_cast<std::uint16_t>(64495 + rank);
    return static_cast<std::uint16_t>((rank * 7919u) % 65535u + 1);
}

std::uint32_t ipv4(unsigned a, unsigned b, unsigned c, unsigned d)
{
    return htonl((a << 24) | (b << 16) | (c << 8) | d);
}

// A host outside: one of the three documentation /24s.
std::uint32_t remote_host(nf5_synth& s)
{
    static constexpr std::array<std::array<unsigned, 3>, 3> nets{{
        {192, 0, 2}, {198, 51, 100}, {203, 0, 113},
    }};
    const auto& n = nets[nf5_synth_below(s, 3)];
    return ipv4(n[0], n[1], n[2], 1 + nf5_synth_below(s, 254));
}

// A host inside: 10.0.0.0/14 split into /16s, or a 192.168.x.0/24.
std::uint32_t local_host(nf5_synth& s, std::uint8_t& mask)
{
    if (nf5_synth_below(s, 10) < 7) {
        mask = 16;
        // One draw per statement: the order of arguments is the compiler's
        // choice, and the bytes must not depend on it. Host part first, as
        // the pinned output has it.
        const unsigned host = 1 + nf5_synth_below(s, 254);
        const unsigned third = nf5_synth_below(s, 256);
        return ipv4(10, nf5_synth_below(s, 4), third, host);
    }
    mask = 24;
    const unsigned host = 1 + nf5_synth_below(s, 254);
    return ipv4(192, 168, nf5_synth_below(s, 16), host);
}

std::uint16_t ephemeral_port(nf5_synth& s)
{
    return static_cast<std::uint16_t>(1024 + nf5_synth_below(s, 65536 - 1024));
}

}  // namespace

nf5_synth nf5_synth_seed(std::uint64_t seed)
{
    nf5_synth s;
    s.rng = seed;
    return s;
}

std::uint64_t nf5_synth_next(nf5_synth& s)
{
    s.rng += 0x9e3779b97f4a7c15ULL;
    std::uint64_t z = s.rng;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

std::uint32_t nf5_synth_below(nf5_synth& s, std::uint32_t bound)
{
    return static_cast<std::uint32_t>(((nf5_synth_next(s) >> 32) * bound) >> 32);
}

nf5_record nf5_synth_record(nf5_synth& s, std::uint32_t uptime_ms)
{
    nf5_record r{};

    // Interface 1 is the uplink: four flows in ten come in on it, four go out
    // on it, the rest cross between two inside interfaces.
    std::uint32_t dir = nf5_synth_below(s, 10);
    std::uint8_t local_mask = 0;
    std::uint32_t local = local_host(s, local_mask);
    if (dir < 4) {
        r.input = 1;
        r.output = static_cast<std::uint16_t>(2 + nf5_synth_below(s, 5));
        r.srcaddr = remote_host(s);
        r.dstaddr = local;
        r.src_mask = 24;
        r.dst_mask = local_mask;
        r.src_as = remote_as(s);
        r.nexthop = ipv4(10, 255, r.output, 1);
    } else if (dir < 8) {
        r.input = static_cast<std::uint16_t>(2 + nf5_synth_below(s, 5));
        r.output = 1;
        r.srcaddr = local;
        r.dstaddr = remote_host(s);
        r.src_mask = local_mask;
        r.dst_mask = 24;
        r.dst_as = remote_as(s);
        r.nexthop = ipv4(192, 0, 2, 1);
    } else {
        r.input = static_cast<std::uint16_t>(2 + nf5_synth_below(s, 5));
        r.output = static_cast<std::uint16_t>(2 + (r.input - 2 + 1 + nf5_synth_below(s, 4)) % 5);
        r.srcaddr = local;
        r.src_mask = local_mask;
        r.dstaddr = local_host(s, r.dst_mask);
        r.nexthop = ipv4(10, 255, r.output, 1);
    }

    std::uint32_t p = nf5_synth_below(s, 100);
    r.prot = p < 62 ? 6 : p < 90 ? 17 : p < 95 ? 1 : pick(s, other_protocols);
    r.tos = pick(s, tos_values);

    // Most flows are a packet or two; a few carry millions.
    r.dPkts = heavy(s, 141, 20);

    if (r.prot == 6 || r.prot == 17) {
        std::uint16_t service;
        std::uint16_t client;
        if (nf5_synth_below(s, 10) == 0) {
            service = ephemeral_port(s);  // peer to peer, no well-known side
        } else {
            service = r.prot == 6 ? pick(s, tcp_services) : pick(s, udp_services);
        }
        client = ephemeral_port(s);
        if (nf5_synth_below(s, 2) == 0) {
            r.srcport = client;
            r.dstport = service;
        } else {
            r.srcport = service;
            r.dstport = client;
        }
    } else if (r.prot == 1) {
        r.dstport = pick(s, icmp_types);
    }
    if (r.prot == 6)
        r.tcp_flags = r.dPkts == 1 ? pick(s, tcp_flags_single) : pick(s, tcp_flags_flow);

    // Average packet size: handshakes, queries and pings are small, bulk
    // transfers near the MTU.
    std::uint32_t lo, hi;
    if (r.prot == 1) {
        lo = 28, hi = 84;
    } else if (r.prot == 6 && r.dPkts == 1) {
        lo = 40, hi = 64;
    } else if (nf5_synth_below(s, 2) == 0) {
        lo = r.prot == 6 ? 40 : 28, hi = 120;
    } else {
        lo = 576, hi = 1500;
    }
    std::uint64_t octets = std::uint64_t{r.dPkts} * (lo + nf5_synth_below(s, hi - lo + 1));
    r.dOctets = octets > 0xffffffffULL ? 0xffffffffU : static_cast<std::uint32_t>(octets);

    // Ended up to a minute ago, lasted up to two minutes, never before boot.
    std::uint32_t age = nf5_synth_below(s, (uptime_ms < 60000 ? uptime_ms : 60000) + 1);
    r.Last = uptime_ms - age;
    std::uint32_t span = r.Last < 120000 ? r.Last : 120000;
    r.First = r.Last - (r.dPkts == 1 ? 0 : nf5_synth_below(s, span + 1));
    return r;
}

std::size_t nf5_synth_datagram(nf5_synth& s, std::span<std::uint8_t> buf, unsigned n,
                               std::uint32_t unix_secs, std::uint32_t unix_nsecs)
{
    if (n < 1 || n > nf5_synth_max_records || buf.size() < nf5_datagram_size(n))
        return 0;
    if (!s.booted) {
        // Up between an hour and a month before the first export.
        s.boot_secs = unix_secs - (3600 + nf5_synth_below(s, 30 * 86400));
        s.booted = true;
    }
    nf5_header h = nf5_make_header(static_cast<std::uint16_t>(n), unix_secs);
    h.unix_nsecs = unix_nsecs;
    // SysUptime wraps after 49.7 days, as on a router.
    h.SysUptime = (unix_secs - s.boot_secs) * 1000u + unix_nsecs / 1000000u;
    h.flow_sequence = s.flow_sequence;
    encode_nf5_header(buf.data(), h);
    for (unsigned i = 0; i < n; ++i)
        encode_nf5_record(buf.data() + nf5_datagram_size(i), nf5_synth_record(s, h.SysUptime));
    s.flow_sequence += n;
    return nf5_datagram_size(n);
}

nf5_header nf5_make_header(std::uint16_t count, std::uint32_t unix_secs)
{
    nf5_header h{};
    h.version = nf5_version;
    h.count = count;
    h.unix_secs = unix_secs;
    return h;
}

std::size_t nf5_build_datagram(std::span<std::uint8_t> buf, const nf5_header& h,
                               std::span<const nf5_record> records)
{
    if (buf.size() < nf5_header_size ||
        (buf.size() - nf5_header_size) / nf5_record_size < records.size())
        return 0;
    encode_nf5_header(buf.data(), h);
    for (std::size_t i = 0; i < records.size(); ++i)
        encode_nf5_record(buf.data() + nf5_datagram_size(i), records[i]);
    return nf5_datagram_size(records.size());
}
