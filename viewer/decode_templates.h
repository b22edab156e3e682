// NetFlow v9 and IPFIX exports decoded into flow records, by the templates
// their exporters sent.
#pragma once

#include <cstddef>
#include <cstdint>

#include "viewer/flow_record.h"
#include "viewer/viewer.h"

// One v9 or IPFIX export of len bytes that passed the structure checks.
void decode_template_export(const std::uint8_t* d, std::size_t len, datagram_info& dg,
                            bool replayed, flow_context& ctx, input_outcome& out);
