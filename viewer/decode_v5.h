// NetFlow v5 exports decoded into flow records.
#pragma once

#include <cstdint>

#include "common/nf5.h"
#include "viewer/flow_record.h"
#include "viewer/viewer.h"

// What a v5 header gives every record of its datagram: the clocks that turn
// the records' uptimes into times, the sampling interval, the replacement
// for AS 0.
struct nf5_context {
    std::uint64_t export_ns = 0;  // the header's export time
    std::uint32_t uptime_ms = 0;  // SysUptime at that time
    std::uint32_t sampling = 0;
    std::uint16_t zero_as = 0;    // the -0 number's low 16 bits: v5 carries 16
};

nf5_context nf5_context_of(const nf5_header& h, long long zero_as);

// The 48 record bytes at p as a flow record.
void decode_nf5_flow(const std::uint8_t* p, const nf5_context& c, flow_record& out);

// A decoded v5 record as a flow record, its times not known.
flow_record nf5_flow(const nf5_record& r);

// One v5 datagram whose header (decoded as h) has passed the checks and
// whose records are all at d: counted, accounted to its exporter, then its
// flows handed one by one to the filter. dg holds the exporter.
void decode_nf5_datagram(const std::uint8_t* d, const nf5_header& h, datagram_info& dg,
                         flow_context& ctx, input_outcome& out);
