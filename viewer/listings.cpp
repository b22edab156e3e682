#include "viewer/listings.h"

#include <cstdio>

#include "viewer/asn_names.h"
#include "viewer/decode_v5.h"
#include "viewer/text_format.h"

namespace {

// Packet counts of v5 exports print as "%d" of the unsigned 32-bit counter,
// as they always have: a count above 2^31 - 1 shows negative. Other
// versions' counts are 64-bit and print in full.
void put_packets(text_buffer& tb, const flow_record& rec, const datagram_info& dg, int width = 0,
                 bool left = false)
{
    if (dg.version == nf5_version) {
        put_int(tb, static_cast<int>(static_cast<std::uint32_t>(rec.packets)), width, left);
        return;
    }
    char text[int_text_max + 1];
    *format_uint(text, rec.packets) = '\0';
    put_text(tb, text, width, -1, left);
}

char* format_address(char* p, const net_address& a, bool ipv6)
{
    return ipv6 ? format_ipv6(p, a.bytes.data()) : format_ipv4(p, a.v4_net());
}

void put_address(text_buffer& tb, const net_address& a, bool ipv6)
{
    reserve_text(tb, ipv6_text_max);
    tb.len = static_cast<std::size_t>(format_address(tb.data + tb.len, a, ipv6) - tb.data);
}

// An address as dotted text in a field, as "%<width>.<precision>s" would.
void put_address(text_buffer& tb, const net_address& a, int width, int precision, bool left)
{
    char text[ipv4_text_max + 1];
    *format_ipv4(text, a.v4_net()) = '\0';
    put_text(tb, text, width, precision, left);
}

// Colondump's form of an address: an IPv6 address with '-' for ':'.
char* format_split_address(char* p, const net_address& a, bool ipv6)
{
    char* end = format_address(p, a, ipv6);
    if (ipv6)
        for (char* q = p; q != end; ++q)
            if (*q == ':')
                *q = '-';
    return end;
}

void put_router(text_buffer& tb, const datagram_info& dg, bool split)
{
    const std::size_t start = tb.len;
    put_text(tb, dg.exporter_text);
    if (split && !dg.exporter.is_v4())
        for (std::size_t i = start; i < tb.len; ++i)
            if (tb.data[i] == ':')
                tb.data[i] = '-';
}

// " b/p:%s/%-6d proto %2d %17s(%5d)->%17s(%5d)\n": the second line of
// shortdump, the last of an IPv6 flow's.
void put_counts_line(text_buffer& tb, const flow_record& rec, const datagram_info& dg,
                     const asn_table& names)
{
    put_literal(tb, " b/p:");
    put_text(tb, bytes_text(rec.bytes).text);
    put_char(tb, '/');
    put_packets(tb, rec, dg, 6, true);
    put_literal(tb, " proto ");
    put_int(tb, rec.prot, 2);
    put_char(tb, ' ');
    put_text(tb, asn_name(names, rec.src_as), 17);
    put_char(tb, '(');
    put_int(tb, rec.src_as, 5);
    put_literal(tb, ")->");
    put_text(tb, asn_name(names, rec.dst_as), 17);
    put_char(tb, '(');
    put_int(tb, rec.dst_as, 5);
    put_literal(tb, ")\n");
}

// An IPv6 flow's end in shortdump: "%2d/[%s]:%d".
void put_v6_end(text_buffer& tb, std::uint32_t ifindex, const net_address& a, std::uint16_t port)
{
    put_int(tb, ifindex, 2);
    put_literal(tb, "/[");
    put_address(tb, a, true);
    put_literal(tb, "]:");
    put_int(tb, port);
    put_char(tb, '\n');
}

datagram_info v5_datagram_from(const char* router_text)
{
    datagram_info dg;
    dg.exporter = net_address::from_v4_net(0);
    std::snprintf(dg.exporter_text, sizeof dg.exporter_text, "%s", router_text);
    return dg;
}

}  // namespace

// Whole units, rounded down.
byte_count_text bytes_text(std::uint64_t bytes)
{
    static constexpr char units[] = "KMGTPE";
    byte_count_text out;
    std::uint64_t count = bytes;
    char unit = '\0';
    for (int tier = 6; tier >= 1; --tier) {
        if (bytes >= std::uint64_t{1} << (10 * tier)) {
            count = bytes >> (10 * tier);
            unit = units[tier - 1];
            break;
        }
    }
    char* end = format_int(out.text, static_cast<long long>(count), 4);
    if (unit != '\0')
        *end++ = unit;
    *end = '\0';
    return out;
}

void print_dump(const flow_record& rec, double flow_number, const datagram_info& dg,
                const asn_table& names)
{
    text_buffer tb(stdout);
    put_literal(tb, "flow #");
    put_flow_number(tb, flow_number);
    put_literal(tb, " received from router ");
    put_text(tb, dg.exporter_text);
    put_literal(tb, ", IP protocol ");
    put_int(tb, rec.prot);
    put_literal(tb, "\n  input ifIndex:     ");
    put_int(tb, rec.input);
    put_literal(tb, "\n  source IP address: ");
    put_address(tb, rec.srcaddr, rec.ipv6);
    put_literal(tb, "\n  source port:       ");
    put_int(tb, rec.srcport);
    put_literal(tb, "\n  source AS:         ");
    put_text(tb, asn_name(names, rec.src_as));
    put_char(tb, '(');
    put_int(tb, rec.src_as);
    put_literal(tb, ")\n  output ifIndex:    ");
    put_int(tb, rec.output);
    put_literal(tb, "\n  dest IP address:   ");
    put_address(tb, rec.dstaddr, rec.ipv6);
    put_literal(tb, "\n  dest port:         ");
    put_int(tb, rec.dstport);
    put_literal(tb, "\n  dest AS:           ");
    put_text(tb, asn_name(names, rec.dst_as));
    put_char(tb, '(');
    put_int(tb, rec.dst_as);
    put_literal(tb, ")\n  bytes in flow:     ");
    put_text(tb, bytes_text(rec.bytes).text);
    put_literal(tb, "\n  packets in flow:   ");
    put_packets(tb, rec, dg);
    put_char(tb, '\n');
    flush_text(tb);
}

void print_shortdump(const flow_record& rec, double flow_number, const datagram_info& dg,
                     const asn_table& names)
{
    constexpr bool left = true;
    text_buffer tb(stdout);
    // "%.0f: %-15s "
    put_flow_number(tb, flow_number);
    put_literal(tb, ": ");
    put_text(tb, dg.exporter_text, 15, -1, left);
    put_char(tb, ' ');
    if (rec.ipv6) {
        // The destination under the source, its arrow ending where the
        // source's ifIndex begins; no address is cut.
        const std::size_t indent = tb.len - 3;
        put_v6_end(tb, rec.input, rec.srcaddr, rec.srcport);
        put_text(tb, "", static_cast<int>(indent));
        put_literal(tb, "-> ");
        put_v6_end(tb, rec.output, rec.dstaddr, rec.dstport);
        put_counts_line(tb, rec, dg, names);
        flush_text(tb);
        return;
    }
    // "%2d/%-15.15s:%-5d "
    put_int(tb, rec.input, 2);
    put_char(tb, '/');
    put_address(tb, rec.srcaddr, 15, 15, left);
    put_char(tb, ':');
    put_int(tb, rec.srcport, 5, left);
    // "-> %2d/%-15.15s:%-5d "
    put_literal(tb, " -> ");
    put_int(tb, rec.output, 2);
    put_char(tb, '/');
    put_address(tb, rec.dstaddr, 15, 15, left);
    put_char(tb, ':');
    put_int(tb, rec.dstport, 5, left);
    put_literal(tb, " \n");
    put_counts_line(tb, rec, dg, names);
    flush_text(tb);
}

void print_colondump(const flow_record& rec, double flow_number, const datagram_info& dg)
{
    text_buffer tb(stdout);
    put_flow_number(tb, flow_number);
    put_char(tb, ':');
    put_router(tb, dg, true);
    // The hottest path of all: the rest has a known longest form, so it is
    // built with one check.
    reserve_text(tb, 2 * ipv6_text_max + 11 * int_text_max + 12);
    char* p = tb.data + tb.len;
    *p++ = ':';
    p = format_uint(p, rec.input);
    *p++ = ':';
    p = format_split_address(p, rec.srcaddr, rec.ipv6);
    *p++ = ':';
    p = format_uint(p, rec.srcport);
    *p++ = ':';
    p = format_uint(p, rec.output);
    *p++ = ':';
    p = format_split_address(p, rec.dstaddr, rec.ipv6);
    *p++ = ':';
    p = format_uint(p, rec.dstport);
    *p++ = ':';
    p = format_uint(p, rec.bytes);
    *p++ = ':';
    if (dg.version == nf5_version)
        p = format_int(p, static_cast<int>(static_cast<std::uint32_t>(rec.packets)));
    else
        p = format_uint(p, rec.packets);
    *p++ = ':';
    p = format_uint(p, rec.prot);
    *p++ = ':';
    p = format_uint(p, rec.src_as);
    *p++ = ':';
    p = format_uint(p, rec.dst_as);
    *p++ = '\n';
    tb.len = static_cast<std::size_t>(p - tb.data);
    flush_text(tb);
}

void print_dump(const nf5_record& rec, double flow_number, const char* router_text,
                const asn_table& names)
{
    print_dump(nf5_flow(rec), flow_number, v5_datagram_from(router_text), names);
}

void print_shortdump(const nf5_record& rec, double flow_number, const char* router_text,
                     const asn_table& names)
{
    print_shortdump(nf5_flow(rec), flow_number, v5_datagram_from(router_text), names);
}

void print_colondump(const nf5_record& rec, double flow_number, const char* router_text)
{
    print_colondump(nf5_flow(rec), flow_number, v5_datagram_from(router_text));
}
