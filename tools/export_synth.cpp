#include "tools/export_synth.h"

#include <arpa/inet.h>

#include <array>

#include "common/export_checks.h"

namespace {

// An address of the v5 synthesiser's (network order) as its IPv6 twin.
net_address as_ipv6(std::uint32_t addr_net)
{
    const std::uint32_t a = ntohl(addr_net);
    const bool local = (a >> 24) == 10 || (a >> 16) == 0xc0a8;
    net_address v6;
    if (local) {
        v6.bytes[0] = 0xfd;
    } else {
        v6.bytes[0] = 0x20;
        v6.bytes[1] = 0x01;
        v6.bytes[2] = 0x0d;
        v6.bytes[3] = 0xb8;
    }
    v6.bytes[4] = static_cast<std::uint8_t>(a >> 24);
    v6.bytes[5] = static_cast<std::uint8_t>(a >> 16);
    v6.bytes[6] = static_cast<std::uint8_t>(a >> 8);
    v6.bytes[15] = static_cast<std::uint8_t>(a);
    return v6;
}

// ICMP's type and code (type * 256 + code, in the destination port) as
// ICMPv6's: echo request and reply, unreachable, time exceeded.
std::uint16_t icmpv6_of(std::uint16_t type_code)
{
    switch (type_code >> 8) {
    case 8:
        return 128 << 8;
    case 0:
        return 129 << 8;
    case 3:
        return static_cast<std::uint16_t>(1 << 8 | 4);  // port unreachable
    default:
        return 3 << 8;
    }
}

std::uint32_t widen_as(nf5_synth& s, std::uint16_t as)
{
    if (as == 0)
        return 0;
    if (as >= 64496 && as <= 64511)
        return nf5_synth_below(s, 2) == 0 ? export_synth_wide_as + (as - 64496u) : as;
    return nf5_synth_below(s, 4) == 0 ? export_synth_private_as + as : as;
}

}  // namespace

export_synth export_synth_seed(std::uint64_t seed, std::uint16_t version, std::uint32_t domain)
{
    export_synth s;
    s.flows = nf5_synth_seed(seed);
    s.version = version;
    s.domain = domain;
    return s;
}

export_flow export_synth_flow(export_synth& s, std::uint32_t uptime_ms, std::uint64_t now_ms)
{
    const nf5_record r = nf5_synth_record(s.flows, uptime_ms);
    export_flow f;
    f.input = r.input;
    f.output = r.output;
    f.packets = r.dPkts;
    f.bytes = r.dOctets;
    f.first_ms = r.First;
    f.last_ms = r.Last;
    f.start_unix_ms = now_ms - static_cast<std::uint32_t>(uptime_ms - r.First);
    f.end_unix_ms = now_ms - static_cast<std::uint32_t>(uptime_ms - r.Last);
    f.srcport = r.srcport;
    f.dstport = r.dstport;
    f.tcp_flags = r.tcp_flags;
    f.prot = r.prot;
    f.tos = r.tos;
    f.src_as = widen_as(s.flows, r.src_as);
    f.dst_as = widen_as(s.flows, r.dst_as);
    if (nf5_synth_below(s.flows, 3) == 0) {
        f.src = as_ipv6(r.srcaddr);
        f.dst = as_ipv6(r.dstaddr);
        f.nexthop = as_ipv6(r.nexthop);
        f.src_mask = static_cast<std::uint8_t>(32 + r.src_mask);
        f.dst_mask = static_cast<std::uint8_t>(32 + r.dst_mask);
        if (f.prot == 1) {
            f.prot = 58;
            f.dstport = icmpv6_of(r.dstport);
        }
    } else {
        f.src = net_address::from_v4_net(r.srcaddr);
        f.dst = net_address::from_v4_net(r.dstaddr);
        f.nexthop = net_address::from_v4_net(r.nexthop);
        f.src_mask = r.src_mask;
        f.dst_mask = r.dst_mask;
    }
    return f;
}

std::vector<std::uint8_t> export_synth_message(export_synth& s, unsigned n,
                                               std::uint32_t unix_secs, std::uint32_t unix_nsecs)
{
    if (n < 1 || n > export_synth_max_records)
        return {};
    if (!s.flows.booted) {
        // Up between an hour and a month before the first export.
        s.flows.boot_secs = unix_secs - (3600 + nf5_synth_below(s.flows, 30 * 86400));
        s.flows.booted = true;
    }
    const std::uint32_t uptime = (unix_secs - s.flows.boot_secs) * 1000u + unix_nsecs / 1000000u;
    const std::uint64_t now_ms = std::uint64_t{unix_secs} * 1000 + unix_nsecs / 1000000u;
    std::array<std::vector<export_flow>, 2> by_family;  // IPv4, IPv6
    for (unsigned i = 0; i < n; ++i) {
        export_flow f = export_synth_flow(s, uptime, now_ms);
        by_family[f.src.is_v4() ? 0 : 1].push_back(f);
    }

    const bool ipfix = s.version == ipfix_version;
    const flow_times times = ipfix ? flow_times::unix_ms : flow_times::uptime;
    export_message m = start_message(s.version, s.sequence, s.domain, unix_secs, uptime);
    if (s.messages % export_synth_template_every == 0) {
        open_set(m, ipfix ? ipfix_template_set : nf9_template_set);
        add_template(m, export_synth_v4_template, standard_fields(false, times));
        add_template(m, export_synth_v6_template, standard_fields(true, times));
        close_set(m);
    }
    for (std::size_t family = 0; family < by_family.size(); ++family) {
        if (by_family[family].empty())
            continue;
        const bool ipv6 = family == 1;
        open_set(m, ipv6 ? export_synth_v6_template : export_synth_v4_template);
        for (const export_flow& f : by_family[family])
            put_flow(m, f, ipv6, times);
        close_set(m);
    }
    s.sequence += ipfix ? n : 1;
    ++s.messages;
    return finish_message(m);
}
