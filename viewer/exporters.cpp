// Exporter loss accounting: sequence numbers per exporter, and the `e` table.
#include "viewer/exporters.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "viewer/text_format.h"

namespace {

// Sequence numbers run modulo 2^32. Positions are taken from a point 2^31
// behind the expected number, so that everything an exporter can still
// bring late lies in order below it.
constexpr std::uint64_t half_range = std::uint64_t{1} << 31;

std::uint64_t position(const exporter& e, std::uint32_t sequence)
{
    return static_cast<std::uint32_t>(sequence - (e.expected - half_range));
}

// Gaps more than the window behind can no longer be brought: an export that
// far back is a reset.
void drop_stale_gaps(exporter& e)
{
    std::size_t kept = 0;
    for (std::size_t i = 0; i < e.gap_count; ++i) {
        const sequence_gap g = e.gaps[i];
        if (static_cast<std::uint32_t>(e.expected - (g.first + g.length)) <= sequence_window)
            e.gaps[kept++] = g;
    }
    e.gap_count = static_cast<std::uint8_t>(kept);
}

// Gaps are kept oldest first; a full list gives up its oldest.
void add_gap(exporter& e, std::uint32_t first, std::uint32_t length)
{
    drop_stale_gaps(e);
    if (e.gap_count == exporter_gaps) {
        std::copy(e.gaps.begin() + 1, e.gaps.end(), e.gaps.begin());
        --e.gap_count;
    }
    e.gaps[e.gap_count++] = {first, length};
}

// Takes positions lo to hi out of the open gaps; returns how many of them
// were still missing.
std::uint64_t fill_gaps(exporter& e, std::uint64_t lo, std::uint64_t hi)
{
    // A gap with its middle filled leaves two pieces: room for both of each.
    std::array<sequence_gap, 2 * exporter_gaps> pieces;
    std::size_t n = 0;
    std::uint64_t filled = 0;
    for (std::size_t i = 0; i < e.gap_count; ++i) {
        const sequence_gap g = e.gaps[i];
        const std::uint64_t glo = position(e, g.first);
        const std::uint64_t ghi = glo + g.length;
        const std::uint64_t a = std::max(lo, glo);
        const std::uint64_t b = std::min(hi, ghi);
        if (a >= b) {
            pieces[n++] = g;
            continue;
        }
        filled += b - a;
        if (a > glo)
            pieces[n++] = {g.first, static_cast<std::uint32_t>(a - glo)};
        if (ghi > b)
            pieces[n++] = {static_cast<std::uint32_t>(g.first + (b - glo)),
                           static_cast<std::uint32_t>(ghi - b)};
    }
    // More pieces than room: the oldest are given up.
    const std::size_t skip = n > exporter_gaps ? n - exporter_gaps : 0;
    std::copy(pieces.begin() + static_cast<std::ptrdiff_t>(skip),
              pieces.begin() + static_cast<std::ptrdiff_t>(n), e.gaps.begin());
    e.gap_count = static_cast<std::uint8_t>(n - skip);
    return filled;
}

// --- the exporter's clock

bool near(std::int64_t a, std::int64_t b)
{
    return a - b <= boot_jitter_ms && b - a <= boot_jitter_ms;
}

std::int64_t boot_of(const sequence_note& n)
{
    return static_cast<std::int64_t>(n.export_ms) - n.uptime_ms;
}

void set_clock(exporter& e, const sequence_note& n)
{
    if (!n.has_uptime)
        return;
    // A late export brings an older uptime; the clock stays the newest.
    if (!e.clocked || n.uptime_ms >= e.uptime_ms || !near(boot_of(n), e.boot_ms)) {
        e.uptime_ms = n.uptime_ms;
        e.boot_ms = boot_of(n);
        e.clocked = true;
    }
}

// The uptime fell further than lateness explains, or the boot time moved
// on: the exporter started again, its numbers with it.
bool restarted(const exporter& e, const sequence_note& n)
{
    return n.uptime_ms + std::uint64_t{late_uptime_ms} < e.uptime_ms ||
           boot_of(n) > e.boot_ms + boot_jitter_ms;
}

// An export the sequence starts from: nothing before it is owed.
void start_run(exporter& e, const sequence_note& n)
{
    e.expected = n.sequence + n.count;
    e.in_step = true;
    set_clock(e, n);
}

// --- how an IPFIX exporter numbers its messages

bool numbers_through(const exporter& e)
{
    return e.numbering == record_numbering::through_once ||
           e.numbering == record_numbering::through;
}

// The export's number and count as IPFIX's rule has them: an exporter that
// numbers through its own flow records gave the number after them.
sequence_note counted_before(const exporter& e, sequence_note n)
{
    if (numbers_through(e)) {
        n.sequence -= n.flows;
        n.count = n.flows;
    }
    return n;
}

// An export that follows the last one in step, where the two rules expect
// different numbers, tells which one the exporter keeps. Numbers that fit
// neither rule tell nothing: they are loss or lateness, by the rule held.
void learn_numbering(exporter& e, const sequence_note& n)
{
    const std::uint32_t by_before = e.last_sequence + e.last_count;
    const std::uint32_t by_through = e.last_sequence + n.flows;
    if (by_before == by_through || (n.sequence != by_before && n.sequence != by_through))
        return;
    const bool through = n.sequence == by_through;
    if (e.numbering == record_numbering::unknown) {
        if (!through) {
            e.numbering = record_numbering::before;
            return;
        }
        // Read IPFIX's way this would have been a gap: remembered, in
        // case the guess is wrong and it was one.
        const std::uint32_t ahead = n.sequence - e.expected;
        e.hidden = ahead <= sequence_window ? ahead : 0;
        e.numbering = record_numbering::through_once;
        e.expected = e.last_sequence;
    } else if (through) {
        e.numbering = record_numbering::through;
        e.hidden = 0;
    } else {
        // The guess was a loss that looked like the other rule.
        e.numbering = record_numbering::before;
        e.missed += e.hidden;
        e.hidden = 0;
        e.expected = by_before;
    }
}

void note_last(exporter& e, const sequence_note& sent)
{
    e.last_sequence = sent.sequence;
    e.last_count = sent.count;
}

void note_sequence(exporter& e, const sequence_note& sent)
{
    if (!sent.counted) {
        // What the next export's number should be is not known: it starts
        // a run of its own.
        e.in_step = false;
        set_clock(e, sent);
        return;
    }
    if (e.version == 10 && e.in_step && e.numbering != record_numbering::before &&
        e.numbering != record_numbering::through)
        learn_numbering(e, sent);
    const sequence_note n = counted_before(e, sent);
    e.units += n.count;
    if (!e.in_step) {
        start_run(e, n);
        note_last(e, sent);
        return;
    }
    if (n.sequence == e.expected) {
        e.expected += n.count;
        set_clock(e, n);
        note_last(e, sent);
        return;
    }
    if (n.has_uptime && e.clocked) {
        // Late from the run before a restart: its numbers are not this run's.
        if (e.previous_boot_ms != 0 && near(boot_of(n), e.previous_boot_ms) &&
            !near(boot_of(n), e.boot_ms)) {
            ++e.late;
            return;
        }
        if (restarted(e, n)) {
            ++e.resets;
            e.gap_count = 0;
            e.previous_boot_ms = e.boot_ms;
            e.clocked = false;
            start_run(e, n);
            note_last(e, sent);
            return;
        }
    }
    const std::uint32_t before = e.expected;
    note_out_of_order(e, n.sequence, n.count);
    if (e.expected != before) {
        set_clock(e, n);
        note_last(e, sent);
    }
}

// --- the table

std::size_t home_of(const net_address& a, std::size_t mask)
{
    std::uint64_t hi, lo;
    std::memcpy(&hi, a.bytes.data(), 8);
    std::memcpy(&lo, a.bytes.data() + 8, 8);
    const std::uint64_t h = (lo ^ (hi * 0xC2B2AE3D27D4EB4Full)) * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(h >> 32) & mask;
}

bool same_exporter(const exporter& e, const datagram_info& dg)
{
    return e.domain == dg.domain && e.port == session_port(dg) && e.version == dg.version &&
           e.address == dg.exporter;
}

std::size_t live_count(const exporter_table& t)
{
    return t.list.size() - t.free_slots.size();
}

void place_in_index(exporter_table& t, std::uint32_t slot)
{
    const std::size_t mask = t.index.size() - 1;
    std::size_t s = home_of(t.list[slot].address, mask);
    while (t.index[s] != 0)
        s = (s + 1) & mask;
    t.index[s] = slot + 1;
}

void grow_index(exporter_table& t)
{
    t.index.assign(std::max<std::size_t>(16, t.index.size() * 2), 0);
    for (std::uint32_t slot = 0; slot < t.list.size(); ++slot)
        if (t.list[slot].used)
            place_in_index(t, slot);
}

// Takes a slot out of the index, moving the entries after it on its probe
// run back where their probe would find them.
void remove_from_index(exporter_table& t, std::uint32_t slot)
{
    const std::size_t mask = t.index.size() - 1;
    std::size_t hole = home_of(t.list[slot].address, mask);
    while (t.index[hole] != slot + 1)
        hole = (hole + 1) & mask;
    for (std::size_t j = (hole + 1) & mask; t.index[j] != 0; j = (j + 1) & mask) {
        const std::size_t home = home_of(t.list[t.index[j] - 1].address, mask);
        const bool stays = hole < j ? (hole < home && home <= j) : (hole < home || home <= j);
        if (!stays) {
            t.index[hole] = t.index[j];
            hole = j;
        }
    }
    t.index[hole] = 0;
}

void unlink(exporter_table& t, std::uint32_t slot)
{
    exporter& e = t.list[slot];
    if (e.older != exporter_none)
        t.list[e.older].newer = e.newer;
    else
        t.oldest = e.newer;
    if (e.newer != exporter_none)
        t.list[e.newer].older = e.older;
    else
        t.newest = e.older;
}

void link_newest(exporter_table& t, std::uint32_t slot)
{
    exporter& e = t.list[slot];
    e.older = t.newest;
    e.newer = exporter_none;
    if (t.newest != exporter_none)
        t.list[t.newest].newer = slot;
    else
        t.oldest = slot;
    t.newest = slot;
}

exporter* touch(exporter_table& t, std::size_t slot)
{
    t.last_hit = slot;
    const auto s = static_cast<std::uint32_t>(slot);
    if (t.newest != s) {
        unlink(t, s);
        link_newest(t, s);
    }
    return &t.list[slot];
}

// The exporter seen longest ago goes; what it counted stays in the totals.
void give_up_oldest(exporter_table& t)
{
    const std::uint32_t slot = t.oldest;
    exporter& e = t.list[slot];
    loss_summary& r = t.retired[static_cast<std::size_t>(unit_of(e.version))];
    r.missed += e.missed;
    r.units += e.units;
    r.exporters += e.missed > 0 ? 1 : 0;
    remove_from_index(t, slot);
    unlink(t, slot);
    e = exporter{};
    t.free_slots.push_back(slot);
    ++t.given_up;
}

}  // namespace

sequence_unit unit_of(std::uint16_t version)
{
    if (version == 9)
        return sequence_unit::v9_packets;
    if (version == 10)
        return sequence_unit::ipfix_records;
    return sequence_unit::flows;
}

void note_out_of_order(exporter& e, std::uint32_t sequence, std::uint32_t count)
{
    const std::uint32_t ahead = sequence - e.expected;
    if (ahead <= sequence_window) {
        add_gap(e, e.expected, ahead);
        e.missed += ahead;
        e.expected = sequence + count;
        return;
    }
    const std::uint32_t behind = e.expected - sequence;
    if (behind <= sequence_window) {
        ++e.late;
        const std::uint64_t lo = position(e, sequence);
        const std::uint64_t hi = lo + count;
        if (e.gap_count > 0) {
            drop_stale_gaps(e);
            e.missed -= fill_gaps(e, lo, std::min(hi, half_range));
        }
        // Numbers past the expected one are new ones, in order.
        if (hi > half_range)
            e.expected = sequence + count;
        return;
    }
    // A restart or a stream from elsewhere: nothing before it can be owed.
    ++e.resets;
    e.gap_count = 0;
    e.expected = sequence + count;
}

exporter* find_exporter(exporter_table& t, const datagram_info& dg)
{
    if (t.last_hit < t.list.size() && t.list[t.last_hit].used &&
        same_exporter(t.list[t.last_hit], dg))
        return touch(t, t.last_hit);
    std::size_t of_address = 0;
    if (!t.index.empty()) {
        const std::size_t mask = t.index.size() - 1;
        for (std::size_t s = home_of(dg.exporter, mask); t.index[s] != 0; s = (s + 1) & mask) {
            const std::size_t slot = t.index[s] - 1;
            const exporter& e = t.list[slot];
            if (e.address != dg.exporter)
                continue;
            if (same_exporter(e, dg))
                return touch(t, slot);
            ++of_address;
        }
    }
    if (of_address >= domains_per_address || t.limit == 0)
        return nullptr;
    if (live_count(t) >= t.limit)
        give_up_oldest(t);

    std::uint32_t slot;
    if (!t.free_slots.empty()) {
        slot = t.free_slots.back();
        t.free_slots.pop_back();
    } else {
        slot = static_cast<std::uint32_t>(t.list.size());
        t.list.emplace_back();
    }
    exporter& e = t.list[slot];
    e.address = dg.exporter;
    e.port = session_port(dg);
    e.version = dg.version;
    e.domain = dg.domain;
    e.used = true;
    if (live_count(t) * 2 > t.index.size())
        grow_index(t);
    else
        place_in_index(t, slot);
    link_newest(t, slot);
    t.last_hit = slot;
    return &e;
}

void account_datagram(exporter_table& t, const datagram_info& dg, const sequence_note& n)
{
    exporter* e = find_exporter(t, dg);
    if (e == nullptr) {
        t.untracked_datagrams += 1;
        t.untracked_flows += n.flows;
        return;
    }
    e->datagrams += 1;
    e->flows += n.flows;
    if (n.has_sampling)
        e->sampling = n.sampling;
    note_sequence(*e, n);
}

void note_bad_input(exporter_table& t, exporter* e, bad_input kind, std::uint64_t n)
{
    t.bad[static_cast<std::size_t>(kind)] += n;
    if (e)
        e->bad += n;
    else
        t.bad_unknown += n;
}

std::array<loss_summary, 3> summarize_loss(const exporter_table& t)
{
    std::array<loss_summary, 3> sum = t.retired;
    for (const exporter& e : t.list) {
        if (!e.used)
            continue;
        loss_summary& s = sum[static_cast<std::size_t>(unit_of(e.version))];
        s.missed += e.missed;
        s.units += e.units;
        s.exporters += e.missed > 0 ? 1 : 0;
    }
    return sum;
}

double loss_percent(std::uint64_t missed, std::uint64_t received)
{
    const double sent = static_cast<double>(missed) + static_cast<double>(received);
    return sent > 0 ? static_cast<double>(missed) * 100.0 / sent : 0.0;
}

namespace {

constexpr const char* bad_input_words[bad_input_kinds] = {
    "malformed datagrams",
    "data sets shorter than a record",
    "templates of 0-byte records",
    "fields of a length that does not fit their type",
    "variable lengths past their set",
    "template ids below 256",
    "templates of too many fields",
};

// v5 shows its engine as type/id, the others their domain.
void format_domain(char* text, std::size_t size, const exporter& e)
{
    if (e.version == 5)
        std::snprintf(text, size, "%u/%u", e.domain >> 8, e.domain & 0xff);
    else
        std::snprintf(text, size, "%u", e.domain);
}

}  // namespace

void print_exporters(std::FILE* out, const exporter_table& t)
{
    if (live_count(t) == 0 && t.untracked_datagrams == 0 && t.given_up == 0) {
        show_no_exporters(out);
        return;
    }
    // By address, then port, version and domain, whatever order they came in.
    std::vector<const exporter*> rows;
    rows.reserve(live_count(t));
    bool other_units = false;
    for (const exporter& e : t.list) {
        if (!e.used)
            continue;
        rows.push_back(&e);
        other_units = other_units || e.version != 5;
    }
    std::sort(rows.begin(), rows.end(), [](const exporter* a, const exporter* b) {
        if (a->address != b->address)
            return a->address < b->address;
        if (a->port != b->port)
            return a->port < b->port;
        if (a->version != b->version)
            return a->version < b->version;
        return a->domain < b->domain;
    });

    std::fprintf(out, "Router          Ver Domain     Datagrams      Flows    Missed  Loss%% Resets "
                "Sampling NoTmpl    Bad\n");
    for (const exporter* e : rows) {
        const std::string router = address_text(e->address);
        // A long address has the line to itself: none is cut.
        if (router.size() > 15)
            std::fprintf(out, "%s\n%-15s", router.c_str(), "");
        else
            std::fprintf(out, "%-15s", router.c_str());
        char domain[16];
        format_domain(domain, sizeof domain, *e);
        std::fprintf(out, " %3u %-10s %9llu %10llu %9llu %6.2f %6llu %8u %6llu %6llu\n",
                    unsigned{e->version}, domain, static_cast<unsigned long long>(e->datagrams),
                    static_cast<unsigned long long>(e->flows),
                    static_cast<unsigned long long>(e->missed),
                    loss_percent(e->missed, e->units),
                    static_cast<unsigned long long>(e->resets), e->sampling,
                    static_cast<unsigned long long>(e->no_template),
                    static_cast<unsigned long long>(e->bad));
    }
    if (other_units)
        std::fprintf(out, "Missed counts flows (v5), export packets (v9), data records (IPFIX 10).\n");
    if (t.untracked_datagrams > 0)
        note_untracked_exporters(out, t.untracked_datagrams, t.untracked_flows);
    if (t.given_up > 0)
        std::fprintf(out, "Exporters given up for room: %llu (what they missed still counts)\n",
                    static_cast<unsigned long long>(t.given_up));
    bool any_bad = false;
    for (std::size_t k = 0; k < bad_input_kinds; ++k) {
        if (t.bad[k] == 0)
            continue;
        std::fprintf(out, any_bad ? ", %llu %s" : "Bad input: %llu %s",
                    static_cast<unsigned long long>(t.bad[k]), bad_input_words[k]);
        any_bad = true;
    }
    if (any_bad)
        std::fprintf(out, "\n");
}

void print_live_loss_lines(std::FILE* out, const exporter_table& t)
{
    const auto sum = summarize_loss(t);
    for (std::size_t u = 0; u < sum.size(); ++u)
        if (sum[u].missed > 0)
            print_live_loss_line(out, static_cast<sequence_unit>(u), sum[u].missed,
                                 loss_percent(sum[u].missed, sum[u].units), sum[u].exporters);
}

void report_loss_at_end(const exporter_table& t)
{
    const auto sum = summarize_loss(t);
    for (std::size_t u = 0; u < sum.size(); ++u)
        if (sum[u].missed > 0)
            report_loss_at_end(static_cast<sequence_unit>(u), sum[u].missed,
                               sum[u].missed + sum[u].units,
                               loss_percent(sum[u].missed, sum[u].units));
    if (t.untracked_datagrams > 0)
        report_untracked_at_end(t.untracked_datagrams, t.untracked_flows);
}
