// The three flow listings: dump, shortdump and colondump (for programs).
#pragma once

#include <cstdint>

#include "common/nf5.h"

// Each prints one record that passed the filters, with its flow number and
// the dotted text of the router that exported it, on standard output.
void print_dump(const nf5_record& rec, double flow_number, const char* router_text);
void print_shortdump(const nf5_record& rec, double flow_number, const char* router_text);
void print_colondump(const nf5_record& rec, double flow_number, const char* router_text);

// A byte count as " 999", "  12K", "   5M" or "   3G"; the text lives until
// the next call.
const char* bytes_text(std::uint32_t bytes);
