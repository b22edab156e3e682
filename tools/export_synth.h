// Synthetic NetFlow v9 and IPFIX exports: the flows of the v5 synthesiser
// (tools/nf5_synth.h), a third of them made IPv6 and some of their remote
// ASes 32-bit, sent as a router of today sends them: a template for each
// family in the first message and again every export_synth_template_every
// messages, 64-bit counts, 32-bit AS numbers and interfaces; v9 with
// uptimes, IPFIX with times in milliseconds since 1970.
//
// Like the v5 synthesiser, the output depends only on the seed, the version,
// the domain and the calls made.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/flow_export.h"
#include "tools/nf5_synth.h"

// At most this many flows go in one message, so that one with its
// templates and IPv6 flows only fits an Ethernet frame.
constexpr unsigned export_synth_max_records = 12;
constexpr unsigned export_synth_template_every = 20;
constexpr std::uint16_t export_synth_v4_template = 256;
constexpr std::uint16_t export_synth_v6_template = 257;

// IPv6 flows: the documentation ranges under 2001:db8::/32, the private
// ones under fd00::/32; the IPv4 network in the next 24 bits, the host in
// the last byte (192.0.2.7 is 2001:db8:c000:200::7, 10.1.5.7 fd00:0:a01:500::7).
// The 32-bit AS numbers: the documentation's 65536 to 65551 for half the
// busiest remote ASes, 4200000000 and up (private use) for a quarter of
// the others.
constexpr std::uint32_t export_synth_wide_as = 65536;
constexpr std::uint32_t export_synth_private_as = 4200000000u;

// Generator state. Plain data: copy it to replay a stream.
struct export_synth {
    nf5_synth flows;             // the flows and the exporter's boot time
    std::uint16_t version = 9;   // 9 or 10 (IPFIX)
    std::uint32_t domain = 0;    // v9 source id, IPFIX observation domain
    std::uint32_t sequence = 0;  // v9: messages sent; IPFIX: data records sent
    std::uint64_t messages = 0;
};

// A generator of version 9 or 10 whose output is fixed by seed.
export_synth export_synth_seed(std::uint64_t seed, std::uint16_t version, std::uint32_t domain);

// One flow of the v5 synthesiser's mix, widened, that ended at most a minute
// before uptime_ms; now_ms is the same moment as milliseconds since 1970.
export_flow export_synth_flow(export_synth& s, std::uint32_t uptime_ms, std::uint64_t now_ms);

// One message of n flows (1 to export_synth_max_records), stamped with the
// given wall-clock time, its sequence number as its version counts: empty
// (state untouched) when n is out of range.
std::vector<std::uint8_t> export_synth_message(export_synth& s, unsigned n,
                                               std::uint32_t unix_secs,
                                               std::uint32_t unix_nsecs = 0);
