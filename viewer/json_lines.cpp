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

// An address as a JSON string: dotted for IPv4, RFC 5952 text for IPv6.
// Neither form has a character that needs escaping.
char* address(char* p, const net_address& a, bool ipv6)
{
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
    p = literal(p, R"(","time_received_ns":)");
    p = format_uint(p, dg.received_ns != 0 ? dg.received_ns : received_ns);
    p = literal(p, R"(,"sequence_num":)");
    p = format_uint(p, dg.sequence);
    p = literal(p, R"(,"sampling_rate":)");
    p = format_uint(p, rec.sampling);
    p = literal(p, R"(,"sampler_address":)");
    p = address(p, dg.exporter, !dg.exporter.is_v4());
    p = literal(p, R"(,"time_flow_start_ns":)");
    p = format_uint(p, rec.start_ns);
    p = literal(p, R"(,"time_flow_end_ns":)");
    p = format_uint(p, rec.end_ns);
    p = literal(p, R"(,"bytes":)");
    p = format_uint(p, rec.bytes);
    p = literal(p, R"(,"packets":)");
    p = format_uint(p, rec.packets);
    p = literal(p, R"(,"src_addr":)");
    p = address(p, rec.srcaddr, rec.ipv6);
    p = literal(p, R"(,"dst_addr":)");
    p = address(p, rec.dstaddr, rec.ipv6);
    p = literal(p, R"(,"next_hop":)");
    p = address(p, rec.nexthop, v6_hop);
    p = literal(p, R"(,"src_net":)");
    p = format_uint(p, rec.src_mask);
    p = literal(p, R"(,"dst_net":)");
    p = format_uint(p, rec.dst_mask);
    p = rec.ipv6 ? literal(p, R"(,"etype":34525,"proto":)") : literal(p, R"(,"etype":2048,"proto":)");
    p = format_uint(p, rec.prot);
    p = literal(p, R"(,"src_port":)");
    p = format_uint(p, rec.srcport);
    p = literal(p, R"(,"dst_port":)");
    p = format_uint(p, rec.dstport);
    p = literal(p, R"(,"in_if":)");
    p = format_uint(p, rec.input);
    p = literal(p, R"(,"out_if":)");
    p = format_uint(p, rec.output);
    p = literal(p, R"(,"src_as":)");
    p = format_uint(p, rec.src_as);
    p = literal(p, R"(,"dst_as":)");
    p = format_uint(p, rec.dst_as);
    p = literal(p, R"(,"tcp_flags":)");
    p = format_uint(p, rec.tcp_flags);
    p = literal(p, R"(,"ip_tos":)");
    p = format_uint(p, rec.tos);
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
