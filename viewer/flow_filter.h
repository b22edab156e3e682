// The operator's filters, flow numbering and dispatch to listing or interval.
#pragma once

#include "viewer/flow_record.h"
#include "viewer/viewer.h"

// Once per datagram that brings traffic, before its flows: in top mode the
// rollover check, which notes in out when it closed an interval.
void start_datagram(flow_context& ctx, input_outcome& out);

// Handles one flow of the datagram dg. False once the flow limit has been
// reached: the caller hands on no more flows and the loop ends the run.
[[nodiscard]] bool account_flow(const flow_record& rec, const datagram_info& dg,
                                flow_context& ctx);
