// The NetFlow v9 and IPFIX decoder fed arbitrary exports, its templates
// kept from one input to the next as a viewer keeps them from one export
// to the next: a template from one input shapes the data of a later one.
//
// Input: a 1-byte set-up, then datagrams, each behind a 2-byte big-endian
// length (the top bit: replayed by the relay), the last one the rest.
//   [0] bits 0-1 display mode (dump, shortdump, colondump, top), bit 2 -S,
//       bit 3 forget every template first, bits 4-7 the exporter: one of
//       sixteen, IPv4 and IPv6, two ports
// Every datagram goes the way a received one goes: the structure checks,
// then the decoder, its flows to the listings or top-mode sums.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "common/net_address.h"
#include "tests/fuzz/quiet_output.h"
#include "viewer/clock.h"
#include "viewer/decode_export.h"
#include "viewer/intervals.h"
#include "viewer/templates.h"
#include "viewer/viewer.h"

namespace {

constexpr display_mode modes[] = {display_mode::dump, display_mode::shortdump,
                                  display_mode::colondump, display_mode::top};

std::unique_ptr<viewer_records> viewer;

std::time_t fixed_clock() { return 1700000000; }

datagram_info exporter_of(unsigned which)
{
    static const char* const addresses[] = {
        "192.0.2.1", "192.0.2.2", "10.0.0.1", "198.51.100.9",
        "2001:db8::1", "2001:db8::2", "fe80::1", "::1",
    };
    datagram_info dg;
    parse_address(addresses[which % 8], &dg.exporter);
    dg.port = which >= 8 ? 9995 : 2055;
    dg.received_ns = 1700000000000000000;
    return dg;
}

// What the table promises whatever came: its bounds, its order of age and
// its counts per source in step, and every plan's steps within its record.
void check_templates(const template_table& t)
{
    fuzz::check(t.templates.size() <= t.limit, "more templates than the table holds");
    fuzz::check(t.ages.size() == t.templates.size(), "ages out of step with the templates");
    std::size_t counted = 0;
    for (const auto& [source, n] : t.per_source) {
        fuzz::check(n > 0 && n <= t.source_limit, "a source's count out of bounds");
        counted += n;
    }
    fuzz::check(counted == t.templates.size(), "counts per source out of step");
    fuzz::check(t.options.size() <= options_source_limit, "more option sources than held");
    for (const auto& [key, entry] : t.templates) {
        const template_plan& p = entry.plan;
        fuzz::check(p.record_length > 0, "a template of 0-byte records kept");
        fuzz::check(key.id >= 256, "a template id below 256 kept");
        if (!p.variable) {
            for (const plan_step& s : p.steps)
                fuzz::check(s.offset + s.width <= p.record_length, "a step past its record");
            continue;
        }
        std::uint64_t least = 0;
        for (const plan_piece& piece : p.pieces) {
            fuzz::check(piece.first_step + piece.steps <= p.steps.size(), "a piece's steps");
            for (std::size_t i = piece.first_step; i < piece.first_step + piece.steps; ++i)
                fuzz::check(p.steps[i].offset + p.steps[i].width <= piece.length,
                            "a step past its piece");
            least += piece.length + (piece.variable_after ? 1 : 0);
        }
        fuzz::check(least == p.record_length, "least record length out of step");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::silence_stdout();
    setenv("TZ", "UTC", 1);
    viewer = std::make_unique<viewer_records>();
    viewer->clock.now = fixed_clock;
    viewer->config.mode = display_mode::top;
    open_current_interval(viewer->ctx);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    viewer_records& v = *viewer;
    v.config.mode = modes[data[0] & 3];
    v.config.report_type = report_kind::as;
    v.config.sampling = (data[0] & 4) != 0;
    if (data[0] & 8)
        v.templates = template_table{};
    v.exporters = exporter_table{};
    v.stats.packets = v.stats.records = 0;
    v.stats.last_minute = report_minute(fixed_clock());
    const datagram_info from = exporter_of(data[0] >> 4);

    std::size_t at = 1;
    while (at < size) {
        std::size_t length = size - at;
        bool replayed = false;
        if (size - at >= 2) {
            const std::size_t stated = (std::size_t{data[at]} << 8 | data[at + 1]) & 0x7fff;
            replayed = (data[at] & 0x80) != 0;
            at += 2;
            length = stated < size - at ? stated : size - at;
        }
        datagram_info dg = from;
        input_outcome out;
        decode_export(data + at, length, dg, replayed, v.ctx, out);
        fuzz::check(out.end == input_end::none, "an end with no flow limit set");
        at += length;
    }

    std::uint64_t flows = v.exporters.untracked_flows, datagrams = v.exporters.untracked_datagrams;
    for (const exporter& e : v.exporters.list) {
        flows += e.flows;
        datagrams += e.datagrams;
    }
    fuzz::check(static_cast<double>(flows) == v.stats.records,
                "exporter flows out of step with the records");
    fuzz::check(static_cast<double>(datagrams) == v.stats.packets,
                "exporter datagrams out of step with the packets");
    check_templates(v.templates);
    return 0;
}
