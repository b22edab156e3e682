// The operator's filters, flow numbering and dispatch to listing or interval.
#pragma once

#include <cstdint>

#include "common/nf5.h"
#include "viewer/viewer.h"

// Handles one record of a frame from the router at router_address (four
// bytes, network order). Ends the process at the flow limit.
void account_flow(const nf5_record& rec, const std::uint32_t* router_address,
                  flow_context& ctx);

// Number of records that passed the filters so far.
double flows_shown();
