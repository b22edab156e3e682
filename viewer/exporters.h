// Exporter loss accounting: what each exporter's sequence numbers say about
// what this viewer never saw, lost between router and viewer or skipped by
// the relay while the viewer was not writable.
//
// An exporter is one address, version and domain (v5 engine, v9 source
// id, IPFIX observation domain, with IPFIX's UDP port): each such stream
// numbers its exports on its own. What a number counts differs: v5 flows, v9 export
// packets, IPFIX data records.
#pragma once

#include <array>
#include <cstdio>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/net_address.h"
#include "viewer/flow_record.h"
#include "viewer/messages.h"

// A jump of the sequence by more than this many, either way, is an
// exporter that restarted (or a stream from elsewhere), not loss.
constexpr std::uint32_t sequence_window = 1000000;

// An exporter restarted when its uptime falls by more than a late datagram
// could make it fall, or when its boot time (export time less uptime)
// moves on by more than its clock's jitter.
constexpr std::uint32_t late_uptime_ms = 10000;
constexpr std::int64_t boot_jitter_ms = 5000;

constexpr std::uint32_t exporter_none = UINT32_MAX;

// What a sequence number skipped, from first on, still open to a late
// datagram that brings it.
struct sequence_gap {
    std::uint32_t first = 0;
    std::uint32_t length = 0;
};

// Gaps remembered per exporter; when more are open the oldest is given up,
// what it holds stays missed.
constexpr std::size_t exporter_gaps = 6;

// How an IPFIX exporter numbers its messages. IPFIX counts the data records
// sent before each message; some exporters (softflowd among them) count
// their flow records up to and including it, options records left out,
// which read the IPFIX way looks like loss and late messages that are none.
// The rule is learnt from the numbers: unknown until two messages in step
// tell the rules apart; `through_once` is a guess from one such pair, taken
// back (with the loss it hid) when the next pair follows IPFIX's rule.
enum class record_numbering : std::uint8_t { unknown, before, through_once, through };

// Bad input of an exporter's exports, by kind; each is counted, dropped,
// and costs nothing else.
enum class bad_input : std::uint8_t {
    malformed,        // the datagram's structure does not hold
    short_data_set,   // a data set shorter than one record of its template
    empty_record,     // a template whose records are 0 bytes long
    field_length,     // a field whose length does not fit its type
    variable_length,  // a variable length that runs past its set
    template_id,      // a template id below 256
    field_count,      // more fields than a template may have
    count_,
};
constexpr std::size_t bad_input_kinds = static_cast<std::size_t>(bad_input::count_);

struct exporter {
    net_address address;
    std::uint16_t port = 0;
    std::uint16_t version = 0;
    std::uint32_t domain = 0;
    std::uint32_t sampling = 0;  // the interval last announced; 0: none
    std::uint32_t expected = 0;  // the sequence number the next export should carry
    bool in_step = false;        // expected is known
    // IPFIX: the rule of its numbers, and the last export in step as sent
    // (its number and data records), which the rules are
    // told apart by; what a guess of `through_once` hid, should it be wrong.
    record_numbering numbering = record_numbering::unknown;
    std::uint32_t last_sequence = 0;
    std::uint32_t last_count = 0;
    std::uint32_t hidden = 0;
    // The exporter's clock as the last export in order gave it.
    bool clocked = false;
    std::uint32_t uptime_ms = 0;
    std::int64_t boot_ms = 0;
    std::int64_t previous_boot_ms = 0;  // before the last restart; 0: none seen
    std::uint64_t datagrams = 0;
    std::uint64_t flows = 0;
    // missed never drops below what the open gaps hold: only a late export
    // that brings part of a gap takes it off, so a repeat takes nothing.
    std::uint64_t missed = 0;
    std::uint64_t units = 0;  // what its sequence numbers counted, received
    std::uint64_t late = 0;   // behind the sequence: a gap's part, or a repeat
    std::uint64_t resets = 0;
    std::uint64_t no_template = 0;  // data sets of a template not held
    std::uint64_t bad = 0;
    std::uint8_t gap_count = 0;
    std::array<sequence_gap, exporter_gaps> gaps{};
    // The table's order of use: the slots of the exporters used just
    // before and just after this one, or exporter_none.
    std::uint32_t older = 0;
    std::uint32_t newer = 0;
    bool used = false;
};

// At most this many exporters are tracked; when a new one comes to a full
// table the one seen longest ago is given up (what it missed still counts).
constexpr std::size_t exporter_limit = 16384;
// Engines or domains one address may hold: a sender that makes up new
// ones cannot push the others out. Its datagrams beyond are not tracked.
constexpr std::size_t domains_per_address = 16;

// The totals of one unit of sequence numbers over exporters.
struct loss_summary {
    std::uint64_t missed = 0;
    std::uint64_t units = 0;      // received
    std::uint64_t exporters = 0;  // with anything missed
};

struct exporter_table {
    std::vector<exporter> list;  // by slot; unused slots are free
    // Slots by address (a power of two, at most half full; each holds a
    // slot plus one, 0 when empty). All exporters of one address lie on
    // one probe run, so they are found and counted together.
    std::vector<std::uint32_t> index;
    std::vector<std::uint32_t> free_slots;
    std::size_t last_hit = 0;
    std::size_t limit = exporter_limit;
    std::uint32_t oldest = exporter_none;  // ends of the order of use
    std::uint32_t newest = exporter_none;
    std::uint64_t untracked_datagrams = 0;
    std::uint64_t untracked_flows = 0;
    std::uint64_t given_up = 0;
    // What exporters that were given up had counted, by unit.
    std::array<loss_summary, 3> retired{};
    std::array<std::uint64_t, bad_input_kinds> bad{};  // over all exporters
    std::uint64_t bad_unknown = 0;  // bad input that names no exporter
};

// What one datagram tells its exporter's accounting.
struct sequence_note {
    std::uint32_t sequence = 0;
    std::uint32_t count = 0;   // what the number counts in this export
    bool counted = true;       // false: count is not known (records of a template not held)
    std::uint32_t flows = 0;   // flow records received
    bool has_uptime = false;   // v5 and v9 carry the exporter's uptime
    std::uint32_t uptime_ms = 0;
    std::uint64_t export_ms = 0;
    bool has_sampling = false;  // v5 announces its sampling in every header
    std::uint32_t sampling = 0;
};

sequence_unit unit_of(std::uint16_t version);

// Finds or adds the exporter of the datagram; null when its address holds
// all the domains it may.
exporter* find_exporter(exporter_table& table, const datagram_info& dg);

// Takes one datagram into its exporter's counts.
void account_datagram(exporter_table& table, const datagram_info& dg, const sequence_note& n);
// The sequence accounting of an export that is not simply the next one.
void note_out_of_order(exporter& e, std::uint32_t sequence, std::uint32_t count);

// Bad input from the datagram's exporter; e may be null (untracked).
void note_bad_input(exporter_table& table, exporter* e, bad_input kind, std::uint64_t n = 1);

std::array<loss_summary, 3> summarize_loss(const exporter_table& table);

// Missed as a share of what was sent, in per cent (0 when none).
double loss_percent(std::uint64_t missed, std::uint64_t received);

// The `e` key's table: a heading, then one line per exporter; the no
// exporter line when none has been seen.
void print_exporters(std::FILE* out, const exporter_table& table);

// Under the live view's summary line: one line per unit with anything missed.
void print_live_loss_lines(std::FILE* out, const exporter_table& table);
// At the end of the run, on standard error: what was missed, and what was
// not tracked.
void report_loss_at_end(const exporter_table& table);
