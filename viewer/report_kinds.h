// The kinds of top report, one table for all that differs between them:
// the key and the -t word that choose each, its heading, the lines it
// keeps for headings, its columns and how a cell names its number.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "viewer/intervals.h"
#include "viewer/viewer.h"

// Prints one cell for number, which has bytes in its column.
using cell_fn = void (*)(std::FILE* out, const asn_table& names, std::uint32_t number,
                         double bytes, int seconds, double total);

struct report_kind_entry {
    report_kind kind;
    char key;            // the key that shows it
    const char* word;    // -t's word for it
    const char* header;  // the column heading line
    int reserve;         // screen lines kept for the headings; the rest go to rows
    // Inbound and outbound tables of the source column and, in a report of
    // two columns, the destination column (null in one of one column).
    stats_table interval_stats::*in_src;
    stats_table interval_stats::*in_dst;
    stats_table interval_stats::*out_src;
    stats_table interval_stats::*out_dst;
    cell_fn cell;
};

extern const std::array<report_kind_entry, 4> report_kinds;

// The kind that a key or a -t word chooses; null when none.
const report_kind_entry* report_kind_for_key(int key);
const report_kind_entry* report_kind_for_word(std::string_view word);
// The entry of kind, or null for a value that is no kind.
const report_kind_entry* report_kind_entry_of(report_kind kind);
