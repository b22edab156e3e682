#include "viewer/listings.h"

#include <cstdio>

#include "viewer/asn_names.h"
#include "viewer/text_format.h"

namespace {

// Packet counts print as "%d" of the unsigned counter, as they always have:
// a count above 2^31 - 1 shows negative.
int as_signed(std::uint32_t v)
{
    return static_cast<int>(v);
}

// An address as dotted text in a field, as "%<width>.<precision>s" would.
void put_address(text_buffer& tb, std::uint32_t addr, int width, int precision, bool left)
{
    char text[ipv4_text_max + 1];
    *format_ipv4(text, addr) = '\0';
    put_text(tb, text, width, precision, left);
}

}  // namespace

// Whole units, rounded down; counts of 1 GiB and more get a tier of their own.
byte_count_text bytes_text(std::uint32_t bytes)
{
    byte_count_text out;
    std::uint32_t count = bytes;
    char unit = '\0';
    if (bytes >= (1U << 30)) {
        count = bytes >> 30;
        unit = 'G';
    } else if (bytes >= (1U << 20)) {
        count = bytes >> 20;
        unit = 'M';
    } else if (bytes >= (1U << 10)) {
        count = bytes >> 10;
        unit = 'K';
    }
    char* end = format_int(out.text, count, 4);
    if (unit != '\0')
        *end++ = unit;
    *end = '\0';
    return out;
}

void print_dump(const nf5_record& rec, double flow_number, const char* router_text,
                const asn_table& names)
{
    text_buffer tb(stdout);
    put_literal(tb, "flow #");
    put_flow_number(tb, flow_number);
    put_literal(tb, " received from router ");
    put_text(tb, router_text);
    put_literal(tb, ", IP protocol ");
    put_int(tb, rec.prot);
    put_literal(tb, "\n  input ifIndex:     ");
    put_int(tb, rec.input);
    put_literal(tb, "\n  source IP address: ");
    put_ipv4(tb, rec.srcaddr);
    put_literal(tb, "\n  source port:       ");
    put_int(tb, rec.srcport);
    put_literal(tb, "\n  source AS:         ");
    put_text(tb, asn_name(names, rec.src_as));
    put_char(tb, '(');
    put_int(tb, rec.src_as);
    put_literal(tb, ")\n  output ifIndex:    ");
    put_int(tb, rec.output);
    put_literal(tb, "\n  dest IP address:   ");
    put_ipv4(tb, rec.dstaddr);
    put_literal(tb, "\n  dest port:         ");
    put_int(tb, rec.dstport);
    put_literal(tb, "\n  dest AS:           ");
    put_text(tb, asn_name(names, rec.dst_as));
    put_char(tb, '(');
    put_int(tb, rec.dst_as);
    put_literal(tb, ")\n  bytes in flow:     ");
    put_text(tb, bytes_text(rec.dOctets).text);
    put_literal(tb, "\n  packets in flow:   ");
    put_int(tb, as_signed(rec.dPkts));
    put_char(tb, '\n');
    flush_text(tb);
}

void print_shortdump(const nf5_record& rec, double flow_number, const char* router_text,
                     const asn_table& names)
{
    constexpr bool left = true;
    text_buffer tb(stdout);
    // "%.0f: %-15s "
    put_flow_number(tb, flow_number);
    put_literal(tb, ": ");
    put_text(tb, router_text, 15, -1, left);
    // "%2d/%-15.15s:%-5d "
    put_char(tb, ' ');
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
    // "\n b/p:%s/%-6d proto %2d"
    put_literal(tb, " \n b/p:");
    put_text(tb, bytes_text(rec.dOctets).text);
    put_char(tb, '/');
    put_int(tb, as_signed(rec.dPkts), 6, left);
    put_literal(tb, " proto ");
    put_int(tb, rec.prot, 2);
    // " %17s(%5d)->" and "%17s(%5d)\n"
    put_char(tb, ' ');
    put_text(tb, asn_name(names, rec.src_as), 17);
    put_char(tb, '(');
    put_int(tb, rec.src_as, 5);
    put_literal(tb, ")->");
    put_text(tb, asn_name(names, rec.dst_as), 17);
    put_char(tb, '(');
    put_int(tb, rec.dst_as, 5);
    put_literal(tb, ")\n");
    flush_text(tb);
}

void print_colondump(const nf5_record& rec, double flow_number, const char* router_text)
{
    text_buffer tb(stdout);
    put_flow_number(tb, flow_number);
    put_char(tb, ':');
    put_text(tb, router_text);
    // The hottest path of all: the rest has a known longest form, so it is
    // built with one check.
    reserve_text(tb, 2 * ipv4_text_max + 11 * int_text_max + 12);
    char* p = tb.data + tb.len;
    *p++ = ':';
    p = format_int(p, rec.input);
    *p++ = ':';
    p = format_ipv4(p, rec.srcaddr);
    *p++ = ':';
    p = format_int(p, rec.srcport);
    *p++ = ':';
    p = format_int(p, rec.output);
    *p++ = ':';
    p = format_ipv4(p, rec.dstaddr);
    *p++ = ':';
    p = format_int(p, rec.dstport);
    *p++ = ':';
    p = format_int(p, rec.dOctets);
    *p++ = ':';
    p = format_int(p, as_signed(rec.dPkts));
    *p++ = ':';
    p = format_int(p, rec.prot);
    *p++ = ':';
    p = format_int(p, rec.src_as);
    *p++ = ':';
    p = format_int(p, rec.dst_as);
    *p++ = '\n';
    tb.len = static_cast<std::size_t>(p - tb.data);
    flush_text(tb);
}
