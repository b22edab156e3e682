#include "viewer/decode_templates.h"

#include "common/export_checks.h"
#include "common/nf5.h"
#include "viewer/exporters.h"

void decode_template_export(const std::uint8_t* d, std::size_t, datagram_info& dg, bool replayed,
                            flow_context& ctx, input_outcome&)
{
    if (replayed)
        return;
    dg.version = load_be16(d);
    sequence_note n;
    n.counted = false;
    account_datagram(*ctx.exporters, dg, n);
}
