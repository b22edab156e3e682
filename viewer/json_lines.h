// -m json: one JSON object per flow, one per line, for programs (jq, log
// shippers, kcat, ClickHouse's JSONEachRow). The keys are the ones that
// goflow2's JSON lines use, so that pipelines built for it read these.
#pragma once

#include <cstddef>
#include <cstdint>

#include "viewer/flow_record.h"

// The longest line format_json_flow writes, its line end included.
constexpr std::size_t json_line_max = 1024;

// Writes the flow's line at p (room for json_line_max) and returns its end.
// received_ns stands in for dg.received_ns when that is not known.
char* format_json_flow(char* p, const flow_record& rec, const datagram_info& dg,
                       std::uint64_t received_ns);

// Prints the flow's line on standard output. A datagram of the relay's v5
// stream carries no receive time: the viewer's clock at the flow stands in.
void print_json(const flow_record& rec, const datagram_info& dg);
