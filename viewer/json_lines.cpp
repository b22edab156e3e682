#include "viewer/json_lines.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "viewer/text_format.h"

namespace {

// A text literal at p, without its terminating zero.
template <std::size_t N>
char* literal(char* p, const char (&s)[N])
{
    std::memcpy(p, s, N - 1);
    return p + N - 1;
}

// A key and its number.
template <std::size_t N>
char* number(char* p, const char (&key)[N], std::uint64_t value)
{
    return format_uint(literal(p, key), value);
}

// goflow2's names for the export's version.
char* type_text(char* p, std::uint16_t version)
{
    switch (version) {
    case 5:
        return literal(p, "NETFLOW_V5");
    case 9:
        return literal(p, "NETFLOW_V9");
    case 10:
        return literal(p, "IPFIX");
    default:
        return literal(p, "FLOWUNKNOWN");
    }
}

// A key and an address as a JSON string: dotted for IPv4, RFC 5952 text
// for IPv6. Neither form has a character that needs escaping.
template <std::size_t N>
char* address(char* p, const char (&key)[N], const net_address& a, bool ipv6)
{
    p = literal(p, key);
    *p++ = '"';
    p = ipv6 ? format_ipv6(p, a.bytes.data()) : format_ipv4(p, a.v4_net());
    *p++ = '"';
    return p;
}

// Keys and punctuation: every literal of format_json_flow.
constexpr std::size_t json_fixed_text =
    sizeof R"({"type":"FLOWUNKNOWN","time_received_ns":,"sequence_num":,"sampling_rate":,)"
    R"("sampler_address":"","time_flow_start_ns":,"time_flow_end_ns":,"bytes":,"packets":,)"
    R"("src_addr":"","dst_addr":"","next_hop":"","src_net":,"dst_net":,"etype":,"proto":,)"
    R"("src_port":,"dst_port":,"in_if":,"out_if":,"src_as":,"dst_as":,"tcp_flags":,"ip_tos":})"
    "\n";
static_assert(json_fixed_text + 4 * ipv6_text_max + 21 * int_text_max <= json_line_max);

}  // namespace

char* format_json_flow(char* p, const flow_record& rec, const datagram_info& dg,
                       std::uint64_t received_ns)
{
    // An IPv6 flow's next hop may be an IPv4 address (mapped); an IPv4
    // flow's is always shown dotted.
    const bool v6_hop = rec.ipv6 && !rec.nexthop.is_v4();
    p = literal(p, R"({"type":")");
    p = type_text(p, dg.version);
    p = number(p, R"(","time_received_ns":)", dg.received_ns != 0 ? dg.received_ns : received_ns);
    p = number(p, R"(,"sequence_num":)", dg.sequence);
    p = number(p, R"(,"sampling_rate":)", rec.sampling);
    p = address(p, R"(,"sampler_address":)", dg.exporter, !dg.exporter.is_v4());
    p = number(p, R"(,"time_flow_start_ns":)", rec.start_ns);
    p = number(p, R"(,"time_flow_end_ns":)", rec.end_ns);
    p = number(p, R"(,"bytes":)", rec.bytes);
    p = number(p, R"(,"packets":)", rec.packets);
    p = address(p, R"(,"src_addr":)", rec.srcaddr, rec.ipv6);
    p = address(p, R"(,"dst_addr":)", rec.dstaddr, rec.ipv6);
    p = address(p, R"(,"next_hop":)", rec.nexthop, v6_hop);
    p = number(p, R"(,"src_net":)", rec.src_mask);
    p = number(p, R"(,"dst_net":)", rec.dst_mask);
    p = number(p, R"(,"etype":)", rec.ipv6 ? 34525 : 2048);  // IPv6, IPv4
    p = number(p, R"(,"proto":)", rec.prot);
    p = number(p, R"(,"src_port":)", rec.srcport);
    p = number(p, R"(,"dst_port":)", rec.dstport);
    p = number(p, R"(,"in_if":)", rec.input);
    p = number(p, R"(,"out_if":)", rec.output);
    p = number(p, R"(,"src_as":)", rec.src_as);
    p = number(p, R"(,"dst_as":)", rec.dst_as);
    p = number(p, R"(,"tcp_flags":)", rec.tcp_flags);
    p = number(p, R"(,"ip_tos":)", rec.tos);
    return literal(p, "}\n");
}

void print_json(const flow_record& rec, const datagram_info& dg)
{
    std::uint64_t now_ns = 0;
    if (dg.received_ns == 0) {
        // The kernel's tick: cheap, and the flows of one datagram share it.
        timespec ts{};
        clock_gettime(CLOCK_REALTIME_COARSE, &ts);
        now_ns = static_cast<std::uint64_t>(ts.tv_sec) * 1000000000 +
                 static_cast<std::uint64_t>(ts.tv_nsec);
    }
    char line[json_line_max];
    const char* end = format_json_flow(line, rec, dg, now_ns);
    std::fwrite(line, 1, static_cast<std::size_t>(end - line), stdout);
}
