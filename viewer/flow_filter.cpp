// The operator's filters, flow numbering, dispatch and the flow limit.
#include "viewer/flow_filter.h"

#include <cstdio>
#include <cstring>

#include "viewer/intervals.h"
#include "viewer/listings.h"
#include "viewer/messages.h"

namespace {

bool passes(const nf5_record& rec, std::uint32_t router, const flow_filter& f,
            const flow_stats& stats)
{
    if (f.as != 0 && f.as != rec.src_as && f.as != rec.dst_as)
        return false;
    // Port fields are compared whatever the protocol.
    if (f.port != 0 && f.port != rec.srcport && f.port != rec.dstport)
        return false;
    if (f.prefix && (rec.srcaddr & *f.prefix_mask) != *f.prefix &&
        (rec.dstaddr & *f.prefix_mask) != *f.prefix)
        return false;
    if (f.router && router != *f.router)
        return false;
    if (f.proto != 0 && f.proto != rec.prot)
        return false;
    if (f.big != 0 && !(static_cast<double>(rec.dOctets) > stats.max_bytes) &&
        !(static_cast<double>(rec.dPkts) > stats.max_packets))
        return false;
    return true;
}

}  // namespace

void account_flow(const nf5_record& rec, const frame_info& frame, flow_context& ctx)
{
    const viewer_config& config = *ctx.config;
    flow_stats& stats = *ctx.stats;

    if (passes(rec, frame.router, *ctx.filter, stats)) {
        stats.flows_shown += 1.0;
        switch (config.mode) {
        case display_mode::top:
            accumulate(rec, ctx, frame.scale);
            break;
        case display_mode::dump:
            print_dump(rec, stats.flows_shown, frame.router_text, *ctx.names);
            break;
        case display_mode::shortdump:
            print_shortdump(rec, stats.flows_shown, frame.router_text, *ctx.names);
            break;
        case display_mode::colondump:
            print_colondump(rec, stats.flows_shown, frame.router_text);
            break;
        }
        if (config.mode == display_mode::top || ctx.filter->big != 0) {
            if (static_cast<double>(rec.dOctets) > stats.max_bytes)
                stats.max_bytes = rec.dOctets;
            if (static_cast<double>(rec.dPkts) > stats.max_packets)
                stats.max_packets = rec.dPkts;
        }
    }

    // Output reaches the operator at the flush before the loop's next wait
    // (or at the exit below), not after every record.
    if (config.flow_limit != 0 && stats.flows_shown >= config.flow_limit)
        end_at_flow_limit(ctx);
}
