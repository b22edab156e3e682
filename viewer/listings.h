// The three flow listings: dump, shortdump and colondump (for programs).
#pragma once

#include <cstdint>

#include "common/nf5.h"
#include "viewer/flow_record.h"
#include "viewer/viewer.h"

// Each prints one flow that passed the filters, with its flow number and
// the exporter of its datagram, on standard output. An IPv4 flow prints
// the same from every version. IPv6 flows: dump as IPv4 ones with the
// addresses in full; shortdump on three lines, "in/[source]:port", then
// "-> out/[destination]:port" under it, then the counts line; colondump
// with every ':' of an IPv6 address written as '-' (2001-db8--1), so that
// a line still splits at its colons into the same thirteen fields.
void print_dump(const flow_record& rec, double flow_number, const datagram_info& dg,
                const asn_table& names);
void print_shortdump(const flow_record& rec, double flow_number, const datagram_info& dg,
                     const asn_table& names);
void print_colondump(const flow_record& rec, double flow_number, const datagram_info& dg);

// A v5 record from the router whose dotted text is given, as above.
void print_dump(const nf5_record& rec, double flow_number, const char* router_text,
                const asn_table& names);
void print_shortdump(const nf5_record& rec, double flow_number, const char* router_text,
                     const asn_table& names);
void print_colondump(const nf5_record& rec, double flow_number, const char* router_text);

// "%4d" and a unit letter at most.
struct byte_count_text {
    char text[8];
};

// A byte count as " 999", "  12K", "   5M", "   3G", and so on up to "E".
byte_count_text bytes_text(std::uint64_t bytes);
