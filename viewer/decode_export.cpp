#include "viewer/decode_export.h"

#include "common/export_checks.h"
#include "common/nf5.h"
#include "viewer/decode_templates.h"
#include "viewer/decode_v5.h"
#include "viewer/exporters.h"
#include "viewer/text_format.h"

void name_exporter(datagram_info& dg, const flow_context& ctx)
{
    if (ctx.config->mode == display_mode::top)
        return;
    char* end = dg.exporter.is_v4() ? format_ipv4(dg.exporter_text, dg.exporter.v4_net())
                                    : format_ipv6(dg.exporter_text, dg.exporter.bytes.data());
    *end = '\0';
}

void decode_export(const std::uint8_t* d, std::size_t len, datagram_info& dg, bool replayed,
                   flow_context& ctx, input_outcome& out)
{
    const checked_export c = check_export(d, len, &ctx.templates->found);
    if (c.length == 0) {
        // Counted against its exporter when it names one it could be.
        exporter* e = nullptr;
        if (!replayed && (c.version == nf5_version || c.version == nf9_version ||
                          c.version == ipfix_version)) {
            dg.version = c.version;
            dg.domain = c.domain;
            e = find_exporter(*ctx.exporters, dg);
        }
        note_bad_input(*ctx.exporters, e, bad_input::malformed);
        return;
    }
    name_exporter(dg, ctx);
    if (c.version == nf5_version) {
        if (!replayed)
            decode_nf5_datagram(d, decode_nf5_header(d), dg, ctx, out);
        return;
    }
    decode_template_export(d, c.length, dg, replayed, ctx, out);
}
