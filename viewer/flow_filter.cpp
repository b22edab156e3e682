// The operator's filters, flow numbering, dispatch and the flow limit.
#include "viewer/flow_filter.h"

#include <cstdio>
#include <cstring>

#include "viewer/intervals.h"
#include "viewer/listings.h"
#include "viewer/terminal.h"
#include "viewer/text_format.h"

namespace {

// Records that passed every filter; the listings print it as the flow number.
double shown = 0;

// Dotted text of the last router seen. Frames come from a handful of
// routers, so the text is made once per router change, not per record.
struct router_name {
    std::uint32_t address = 0;
    bool valid = false;
    char text[ipv4_text_max + 1] = "";
};
router_name last_router;

const char* router_text(std::uint32_t address)
{
    if (!last_router.valid || last_router.address != address) {
        *format_ipv4(last_router.text, address) = '\0';
        last_router.address = address;
        last_router.valid = true;
    }
    return last_router.text;
}

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

double flows_shown()
{
    return shown;
}

void account_flow(const nf5_record& rec, const std::uint32_t* router_address,
                  flow_context& ctx)
{
    const viewer_config& config = *ctx.config;
    flow_stats& stats = *ctx.stats;

    // Before the filters, so that an interval closes even when the record
    // that brings its boundary minute is filtered out.
    if (config.mode == mode_top)
        rollover_check(ctx);

    if (passes(rec, *router_address, *ctx.filter, stats)) {
        shown += 1.0;
        switch (config.mode) {
        case mode_top:
            accumulate(rec, ctx);
            break;
        case mode_dump:
            print_dump(rec, shown, router_text(*router_address));
            break;
        case mode_shortdump:
            print_shortdump(rec, shown, router_text(*router_address));
            break;
        case mode_colondump:
            print_colondump(rec, shown, router_text(*router_address));
            break;
        default:
            break;
        }
        if (config.mode == mode_top || ctx.filter->big != 0) {
            if (static_cast<double>(rec.dOctets) > stats.max_bytes)
                stats.max_bytes = rec.dOctets;
            if (static_cast<double>(rec.dPkts) > stats.max_packets)
                stats.max_packets = rec.dPkts;
        }
    }

    // Output reaches the operator at the flush before the loop's next wait
    // (or at the exit below), not after every record.
    if (config.flow_limit != 0 && shown >= config.flow_limit) {
        std::printf("Flow limit reached (%d).  Exiting\n", config.flow_limit);
        viewer_exit(0);
    }
}
