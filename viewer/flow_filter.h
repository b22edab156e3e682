// The operator's filters, flow numbering and dispatch to listing or interval.
#pragma once

#include "common/nf5.h"
#include "viewer/viewer.h"

// Handles one record of the frame `frame`. Ends the process at the flow
// limit.
void account_flow(const nf5_record& rec, const frame_info& frame, flow_context& ctx);
