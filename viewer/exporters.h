// Exporter loss accounting: what each exporter's sequence numbers say about
// the flows this viewer never saw, lost between router and relay or skipped
// by the relay while the viewer was not writable.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/nf5.h"

// A jump of the sequence by more than this many flows, either way, is an
// exporter that restarted (or a stream from elsewhere), not loss.
constexpr std::uint32_t sequence_window = 1000000;

// Flows an exporter skipped, from first (its sequence number), still open to
// a late datagram that brings them.
struct sequence_gap {
    std::uint32_t first = 0;
    std::uint32_t length = 0;
};

// Gaps remembered per exporter; when more are open the oldest is given up,
// its flows stay missed.
constexpr std::size_t exporter_gaps = 6;

// One exporter: a router address (network order) and one of its engines.
// missed never drops below the flows of the open gaps: only a late datagram
// that brings flows of a gap takes them off, so a repeated datagram takes
// nothing.
struct exporter {
    std::uint32_t router = 0;
    std::uint8_t engine_type = 0;
    std::uint8_t engine_id = 0;
    std::uint16_t sampling = 0;  // sampling interval the last datagram announced
    std::uint32_t expected = 0;  // flow_sequence the next datagram should carry
    std::uint64_t datagrams = 0;
    std::uint64_t flows = 0;
    std::uint64_t missed = 0;
    std::uint64_t late = 0;  // behind the sequence: a gap's flows, or a repeat
    std::uint64_t resets = 0;
    std::uint8_t gap_count = 0;
    std::array<sequence_gap, exporter_gaps> gaps{};
};

// Exporters in the order they were first seen. The index (a power of two
// slots, half full at most; each slot holds a list position plus one, 0 when
// free) finds one by key; the last hit is tried first, since datagrams come
// in runs from few exporters. Past `limit` exporters, datagrams of new ones
// are only counted, so that forged router addresses cannot grow the table
// without end.
constexpr std::size_t exporter_limit = 65536;

struct exporter_table {
    std::vector<exporter> list;
    std::vector<std::uint32_t> index;
    std::size_t last_hit = 0;
    std::size_t limit = exporter_limit;
    std::uint64_t untracked_datagrams = 0;
    std::uint64_t untracked_flows = 0;
};

// The sequence accounting of a datagram that is not simply the next one:
// a gap, a late datagram or a reset.
void note_out_of_order(exporter& e, std::uint32_t flow_sequence, unsigned count);

// Takes one datagram's header into its exporter's counts. sampling is the
// interval decoded from the header. The first datagram only sets where the
// sequence stands: what came before the viewer connected is not its loss.
inline void note_datagram(exporter& e, std::uint32_t flow_sequence, unsigned count,
                          std::uint16_t sampling)
{
    e.sampling = sampling;
    e.flows += count;
    if (e.datagrams++ == 0 || flow_sequence == e.expected)
        e.expected = flow_sequence + count;
    else
        note_out_of_order(e, flow_sequence, count);
}

// Finds (the last one hit first) or adds the exporter of (router, engine
// type, engine id); null once the table holds `limit` exporters and this one
// is new.
exporter* find_exporter(exporter_table& table, std::uint32_t router, std::uint8_t engine_type,
                        std::uint8_t engine_id);

// Once per accepted frame: the header of its datagram, from its router.
// Out of line, so that the reader's loop stays as small as it was.
void account_datagram(exporter_table& table, std::uint32_t router, const nf5_header& h);

// All exporters together.
struct loss_summary {
    std::uint64_t missed = 0;
    std::uint64_t flows = 0;     // received
    std::uint64_t exporters = 0; // with any flow missed
};

loss_summary summarize_loss(const exporter_table& table);

// Missed flows as a share of the flows sent, in per cent (0 when none).
double loss_percent(std::uint64_t missed, std::uint64_t received);

// The `e` key's table: a heading, then one line per exporter; the no
// exporter line when none has been seen.
void print_exporters(const exporter_table& table);
