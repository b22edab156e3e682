#include "viewer/decode_v5.h"

#include "viewer/exporters.h"
#include "viewer/flow_filter.h"

namespace {

constexpr std::uint64_t ns_per_ms = 1000000;

// A record's uptime as a time: the export time less how long before it
// the uptime was, modulo the uptime's 32 bits.
std::uint64_t uptime_to_ns(const nf5_context& c, std::uint32_t at_ms)
{
    return c.export_ns - static_cast<std::uint32_t>(c.uptime_ms - at_ms) * ns_per_ms;
}

}  // namespace

nf5_context nf5_context_of(const nf5_header& h, long long zero_as)
{
    nf5_context c;
    c.export_ns = std::uint64_t{h.unix_secs} * 1000000000 + h.unix_nsecs;
    c.uptime_ms = h.SysUptime;
    c.sampling = nf5_sampling_interval(h);
    c.zero_as = static_cast<std::uint16_t>(zero_as);
    return c;
}

void decode_nf5_flow(const std::uint8_t* p, const nf5_context& c, flow_record& r)
{
    r.srcaddr = mapped_v4(load_net32(p + 0));
    r.dstaddr = mapped_v4(load_net32(p + 4));
    r.nexthop = mapped_v4(load_net32(p + 8));
    r.input = load_be16(p + 12);
    r.output = load_be16(p + 14);
    r.packets = load_be32(p + 16);
    r.bytes = load_be32(p + 20);
    r.start_ns = uptime_to_ns(c, load_be32(p + 24));
    r.end_ns = uptime_to_ns(c, load_be32(p + 28));
    r.srcport = load_be16(p + 32);
    r.dstport = load_be16(p + 34);
    r.tcp_flags = p[37];
    r.prot = p[38];
    r.tos = p[39];
    const std::uint16_t src_as = load_be16(p + 40);
    const std::uint16_t dst_as = load_be16(p + 42);
    r.src_as = src_as == 0 ? c.zero_as : src_as;
    r.dst_as = dst_as == 0 ? c.zero_as : dst_as;
    r.src_mask = p[44];
    r.dst_mask = p[45];
    r.sampling = c.sampling;
    r.ipv6 = false;
}

flow_record nf5_flow(const nf5_record& rec)
{
    std::uint8_t wire[nf5_record_size];
    encode_nf5_record(wire, rec);
    flow_record r;
    decode_nf5_flow(wire, nf5_context{}, r);
    r.start_ns = r.end_ns = 0;
    return r;
}

void decode_nf5_datagram(const std::uint8_t* d, const nf5_header& h, datagram_info& dg,
                         flow_context& ctx, input_outcome& out)
{
    flow_stats& stats = *ctx.stats;
    dg.version = nf5_version;
    dg.domain = std::uint32_t{h.engine_type} << 8 | h.engine_id;
    dg.sequence = h.flow_sequence;
    dg.export_secs = h.unix_secs;
    const nf5_context c = nf5_context_of(h, ctx.config->zero_as);
    stats.packets += 1.0;
    // Every accepted datagram, whatever the mode and the filters: loss is
    // the exporter's (or the relay's), not the operator's choice.
    sequence_note note;
    note.sequence = h.flow_sequence;
    note.count = h.count;
    note.flows = h.count;
    note.uptime_ms = h.SysUptime;
    note.has_uptime = h.SysUptime != 0;  // an exporter that keeps none says 0
    note.export_ms = c.export_ns / 1000000;
    note.has_sampling = true;
    note.sampling = c.sampling;
    account_datagram(*ctx.exporters, dg, note);
    // Before the filters see any record, so that an interval closes even
    // when every record that brings its boundary minute is filtered out.
    start_datagram(ctx, out);

    const std::uint8_t* p = d + nf5_header_size;
    flow_record rec;
    for (unsigned i = 0; i < h.count; ++i, p += nf5_record_size) {
        stats.records += 1.0;
        decode_nf5_flow(p, c, rec);
        if (!account_flow(rec, dg, ctx)) {
            out.end = input_end::flow_limit;
            return;
        }
    }
}
