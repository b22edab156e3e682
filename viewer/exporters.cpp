// Exporter loss accounting: sequence numbers per exporter, and the `e` table.
#include "viewer/exporters.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>

#include "viewer/messages.h"
#include "viewer/text_format.h"

namespace {

// Sequence numbers run modulo 2^32. Positions are taken from a point 2^31
// flows behind the expected number, so that everything an exporter can still
// bring late lies in order below it.
constexpr std::uint64_t half_range = std::uint64_t{1} << 31;

std::uint64_t position(const exporter& e, std::uint32_t sequence)
{
    return static_cast<std::uint32_t>(sequence - (e.expected - half_range));
}

// Gaps whose flows are more than the window behind can no longer be brought:
// a datagram that far back is a reset.
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

// Takes the flows from lo to hi (positions) out of the open gaps; returns
// how many of them were still missing.
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

std::size_t slot_of(std::uint32_t router, std::uint8_t engine_type, std::uint8_t engine_id,
                    std::size_t mask)
{
    const std::uint64_t key = (std::uint64_t{router} << 16) |
                              (std::uint64_t{engine_type} << 8) | engine_id;
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 32) & mask;
}

void index_exporter(exporter_table& table, std::size_t at)
{
    const exporter& e = table.list[at];
    const std::size_t mask = table.index.size() - 1;
    std::size_t s = slot_of(e.router, e.engine_type, e.engine_id, mask);
    while (table.index[s] != 0)
        s = (s + 1) & mask;
    table.index[s] = static_cast<std::uint32_t>(at + 1);
}

void grow_index(exporter_table& table)
{
    table.index.assign(std::max<std::size_t>(16, table.index.size() * 2), 0);
    for (std::size_t at = 0; at < table.list.size(); ++at)
        index_exporter(table, at);
}

}  // namespace

void note_out_of_order(exporter& e, std::uint32_t flow_sequence, unsigned count)
{
    const std::uint32_t ahead = flow_sequence - e.expected;
    if (ahead <= sequence_window) {
        add_gap(e, e.expected, ahead);
        e.missed += ahead;
        e.expected = flow_sequence + count;
        return;
    }
    const std::uint32_t behind = e.expected - flow_sequence;
    if (behind <= sequence_window) {
        ++e.late;
        const std::uint64_t lo = position(e, flow_sequence);
        const std::uint64_t hi = lo + count;
        if (e.gap_count > 0) {
            drop_stale_gaps(e);
            e.missed -= fill_gaps(e, lo, std::min(hi, half_range));
        }
        // Flows past the expected number are new ones, in order.
        if (hi > half_range)
            e.expected = flow_sequence + count;
        return;
    }
    // A restart or a stream from elsewhere: nothing before it can be owed.
    ++e.resets;
    e.gap_count = 0;
    e.expected = flow_sequence + count;
}

exporter* find_exporter(exporter_table& table, std::uint32_t router, std::uint8_t engine_type,
                        std::uint8_t engine_id)
{
    if (!table.list.empty()) {
        exporter& hit = table.list[table.last_hit];
        if (hit.router == router && hit.engine_type == engine_type && hit.engine_id == engine_id)
            return &hit;
    }
    if (!table.index.empty()) {
        const std::size_t mask = table.index.size() - 1;
        for (std::size_t s = slot_of(router, engine_type, engine_id, mask);
             table.index[s] != 0; s = (s + 1) & mask) {
            const std::size_t at = table.index[s] - 1;
            const exporter& e = table.list[at];
            if (e.router == router && e.engine_type == engine_type && e.engine_id == engine_id) {
                table.last_hit = at;
                return &table.list[at];
            }
        }
    }
    if (table.list.size() >= table.limit)
        return nullptr;
    exporter e;
    e.router = router;
    e.engine_type = engine_type;
    e.engine_id = engine_id;
    table.list.push_back(e);
    if (table.list.size() * 2 > table.index.size())
        grow_index(table);
    else
        index_exporter(table, table.list.size() - 1);
    table.last_hit = table.list.size() - 1;
    return &table.list.back();
}

void account_datagram(exporter_table& table, std::uint32_t router, const nf5_header& h)
{
    exporter* e = find_exporter(table, router, h.engine_type, h.engine_id);
    if (e == nullptr) {
        table.untracked_datagrams += 1;
        table.untracked_flows += h.count;
        return;
    }
    note_datagram(*e, h.flow_sequence, h.count, nf5_sampling_interval(h));
}

loss_summary summarize_loss(const exporter_table& table)
{
    loss_summary sum;
    sum.flows = table.untracked_flows;
    for (const exporter& e : table.list) {
        sum.missed += e.missed;
        sum.flows += e.flows;
        sum.exporters += e.missed > 0 ? 1 : 0;
    }
    return sum;
}

double loss_percent(std::uint64_t missed, std::uint64_t received)
{
    const double sent = static_cast<double>(missed) + static_cast<double>(received);
    return sent > 0 ? static_cast<double>(missed) * 100.0 / sent : 0.0;
}

void print_exporters(const exporter_table& table)
{
    if (table.list.empty() && table.untracked_datagrams == 0) {
        show_no_exporters();
        return;
    }
    // By address, then engine, whatever order they came in.
    std::vector<const exporter*> rows;
    rows.reserve(table.list.size());
    for (const exporter& e : table.list)
        rows.push_back(&e);
    std::sort(rows.begin(), rows.end(), [](const exporter* a, const exporter* b) {
        const std::uint32_t ra = ntohl(a->router), rb = ntohl(b->router);
        if (ra != rb)
            return ra < rb;
        if (a->engine_type != b->engine_type)
            return a->engine_type < b->engine_type;
        return a->engine_id < b->engine_id;
    });

    std::printf("Router          Engine  Datagrams      Flows    Missed  Loss%% Resets Sampling\n");
    for (const exporter* e : rows) {
        char router[ipv4_text_max + 1];
        *format_ipv4(router, e->router) = '\0';
        std::printf("%-15s %3u/%-3u %9llu %10llu %9llu %6.2f %6llu %8u\n", router,
                    unsigned{e->engine_type}, unsigned{e->engine_id},
                    static_cast<unsigned long long>(e->datagrams),
                    static_cast<unsigned long long>(e->flows),
                    static_cast<unsigned long long>(e->missed),
                    loss_percent(e->missed, e->flows),
                    static_cast<unsigned long long>(e->resets), unsigned{e->sampling});
    }
    if (table.untracked_datagrams > 0)
        note_untracked_exporters(table.untracked_datagrams, table.untracked_flows);
}
