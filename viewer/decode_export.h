// A datagram as an exporter sent it, of any version: checked as the relay
// checks it, then decoded by its version's decoder.
#pragma once

#include <cstddef>
#include <cstdint>

#include "viewer/flow_record.h"
#include "viewer/viewer.h"

// Handles one datagram from the exporter in dg (address, port and receive
// time filled in). A replayed one is a template the relay held for a
// viewer that came late: its templates are kept, it is neither counted
// nor accounted. A datagram that fails the checks is counted as malformed
// and costs nothing else.
void decode_export(const std::uint8_t* d, std::size_t len, datagram_info& dg, bool replayed,
                   flow_context& ctx, input_outcome& out);

// The exporter's text in dg for the listings; none in top mode.
void name_exporter(datagram_info& dg, const flow_context& ctx);
