// NetFlow v9 and IPFIX exports decoded into flow records, by the templates
// their exporters sent.
#pragma once

#include <cstddef>
#include <cstdint>

#include "viewer/flow_record.h"
#include "viewer/templates.h"
#include "viewer/viewer.h"

// One v9 or IPFIX export of len bytes that passed the structure checks
// (check_export, whose template records are in ctx.templates->found): its
// templates kept, its data records decoded, each flow handed to the
// filter, and the export accounted to its exporter. A replayed export
// only gives its templates.
void decode_template_export(const std::uint8_t* d, std::size_t len, datagram_info& dg,
                            bool replayed, flow_context& ctx, input_outcome& out);

// What a record's times count from: the export and the exporter's uptime
// then (v9), or the exporter's start as its options records told it
// (IPFIX).
struct record_clock {
    bool ipfix = false;
    std::uint64_t export_ns = 0;
    std::uint32_t uptime_ms = 0;
    bool init_known = false;
    std::uint64_t init_ms = 0;
};

// What a record says of sampling: options records, and some exporters'
// flow records.
struct sampling_fields {
    bool has_interval = false, has_id = false, has_packet_interval = false,
         has_packet_space = false, has_init = false;
    std::uint64_t interval = 0, id = 0, packet_interval = 0, packet_space = 0, init_ms = 0;

    // One in this many packets; 0 when the record says nothing of it.
    std::uint32_t rate() const;
};

// Reads one data record of plan at p, of at most left bytes, into r (which
// holds the template's blank record) and f. Returns its length; 0 when it
// does not fit, or a variable length runs past left.
std::size_t read_record(const std::uint8_t* p, std::size_t left, const template_plan& plan,
                        const record_clock& clock, flow_record& r, sampling_fields& f);
