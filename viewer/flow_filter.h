// The operator's filters, flow numbering and dispatch to listing or interval.
#pragma once

#include "viewer/flow_record.h"
#include "viewer/templates.h"
#include "viewer/viewer.h"

// The flow fields the mode and the filters use: what a v9 or IPFIX
// template's plan needs to read of each record. Top mode sums counts per
// AS, protocol and port, and reads addresses and interfaces only for -x
// and -n; the listings show neither next hops, times, TOS, flags nor
// masks. A mode this does not know reads every field.
field_set fields_used(const viewer_config& config, const flow_filter& filter);

// Once per datagram that brings traffic, before its flows: in top mode the
// rollover check, which notes in out when it closed an interval.
void start_datagram(flow_context& ctx, input_outcome& out);

// Handles one flow of the datagram dg. False once the flow limit has been
// reached: the caller hands on no more flows and the loop ends the run.
[[nodiscard]] bool account_flow(const flow_record& rec, const datagram_info& dg,
                                flow_context& ctx);
