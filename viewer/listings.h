// The three flow listings: dump, shortdump and colondump (for programs).
#pragma once

#include <cstdint>

#include "common/nf5.h"
#include "viewer/viewer.h"

// Each prints one record that passed the filters, with its flow number and
// the dotted text of the router that exported it, on standard output.
void print_dump(const nf5_record& rec, double flow_number, const char* router_text,
                const asn_table& names);
void print_shortdump(const nf5_record& rec, double flow_number, const char* router_text,
                     const asn_table& names);
void print_colondump(const nf5_record& rec, double flow_number, const char* router_text);

// "%4d" and a unit letter at most.
struct byte_count_text {
    char text[8];
};

// A byte count as " 999", "  12K", "   5M" or "   3G".
byte_count_text bytes_text(std::uint32_t bytes);
