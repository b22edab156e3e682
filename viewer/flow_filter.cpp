// The operator's filters, flow numbering, dispatch and the flow limit.
#include "viewer/flow_filter.h"

#include "viewer/intervals.h"
#include "viewer/json_lines.h"
#include "viewer/listings.h"

namespace {

bool passes(const flow_record& rec, const datagram_info& dg, const flow_filter& f,
            const flow_stats& stats)
{
    if (f.as != 0 && f.as != rec.src_as && f.as != rec.dst_as)
        return false;
    // Port fields are compared whatever the protocol.
    if (f.port != 0 && f.port != rec.srcport && f.port != rec.dstport)
        return false;
    if (f.prefix && !in_prefix(*f.prefix, rec.srcaddr) && !in_prefix(*f.prefix, rec.dstaddr))
        return false;
    if (f.router && dg.exporter != *f.router)
        return false;
    if (f.proto != 0 && f.proto != rec.prot)
        return false;
    if (f.big != 0 && !(static_cast<double>(rec.bytes) > stats.max_bytes) &&
        !(static_cast<double>(rec.packets) > stats.max_packets))
        return false;
    return true;
}

}  // namespace

field_set fields_used(const viewer_config& config, const flow_filter& filter)
{
    const field_set counted =
        field_bit(flow_field::bytes) | field_bit(flow_field::packets) |
        field_bit(flow_field::src_as) | field_bit(flow_field::dst_as) |
        field_bit(flow_field::srcport) | field_bit(flow_field::dstport) |
        field_bit(flow_field::icmp_type) | field_bit(flow_field::prot);
    const field_set interfaces = field_bit(flow_field::input) | field_bit(flow_field::output);
    const field_set addresses = field_bit(flow_field::src_v4) | field_bit(flow_field::dst_v4) |
                                field_bit(flow_field::src_v6) | field_bit(flow_field::dst_v6);
    switch (config.mode) {
    case display_mode::top:
        return counted | (filter.ifindex != 0 ? interfaces : 0) | (filter.prefix ? addresses : 0);
    case display_mode::dump:
    case display_mode::shortdump:
    case display_mode::colondump:
        return counted | interfaces | addresses;
    default:
        return all_fields;
    }
}

void start_datagram(flow_context& ctx, input_outcome& out)
{
    if (ctx.config->mode == display_mode::top && rollover_check(ctx))
        out.interval_closed = true;
}

bool account_flow(const flow_record& rec, const datagram_info& dg, flow_context& ctx)
{
    const viewer_config& config = *ctx.config;
    flow_stats& stats = *ctx.stats;

    if (passes(rec, dg, *ctx.filter, stats)) {
        stats.flows_shown += 1.0;
        switch (config.mode) {
        case display_mode::top:
            // Listings show flows as exported; only top-mode sums are scaled.
            accumulate(rec, ctx, config.sampling && rec.sampling > 1 ? rec.sampling : 1);
            break;
        case display_mode::dump:
            print_dump(rec, stats.flows_shown, dg, *ctx.names);
            break;
        case display_mode::shortdump:
            print_shortdump(rec, stats.flows_shown, dg, *ctx.names);
            break;
        case display_mode::colondump:
            print_colondump(rec, stats.flows_shown, dg);
            break;
        case display_mode::json:
            print_json(rec, dg);
            break;
        }
        if (config.mode == display_mode::top || ctx.filter->big != 0) {
            if (static_cast<double>(rec.bytes) > stats.max_bytes)
                stats.max_bytes = static_cast<double>(rec.bytes);
            if (static_cast<double>(rec.packets) > stats.max_packets)
                stats.max_packets = static_cast<double>(rec.packets);
        }
    }

    // Output reaches the operator at the flush before the loop's next wait
    // (or at the exit), not after every record. The test runs after every
    // record, passed or not.
    return !(config.flow_limit != 0 && stats.flows_shown >= config.flow_limit);
}
