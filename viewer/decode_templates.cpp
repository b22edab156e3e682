// NetFlow v9 and IPFIX: template sets planned and kept, data sets decoded
// by their plans, options records taken for sampling and clocks.
#include "viewer/decode_templates.h"

#include <cstring>

#include "common/export_checks.h"
#include "common/flow_fields.h"
#include "common/nf5.h"
#include "viewer/exporters.h"
#include "viewer/flow_filter.h"
#include "viewer/templates.h"

namespace {

constexpr std::uint64_t ns_per_ms = 1000000;
constexpr std::uint64_t ns_per_s = 1000000000;

// What every record of one export is read against.
struct export_context {
    template_source source;
    record_clock clock;
    const source_options* options = nullptr;
    std::uint32_t zero_as = 0;
    flow_record blank_v4;
    flow_record blank_v6;
};

// An unsigned number of 1 to 8 bytes, big-endian.
std::uint64_t load_uint(const std::uint8_t* p, unsigned width)
{
    switch (width) {
    case 1:
        return p[0];
    case 2:
        return load_be16(p);
    case 4:
        return load_be32(p);
    case 8:
        return std::uint64_t{load_be32(p)} << 32 | load_be32(p + 4);
    default: {
        std::uint64_t v = 0;
        for (unsigned i = 0; i < width; ++i)
            v = v << 8 | p[i];
        return v;
    }
    }
}

std::uint64_t ntp_to_ns(std::uint64_t ntp)
{
    const std::uint64_t secs = ntp >> 32;
    if (secs < ntp_unix_offset)
        return 0;
    return (secs - ntp_unix_offset) * ns_per_s + ((ntp & 0xffffffffu) * ns_per_s >> 32);
}

std::uint64_t uptime_to_ns(const record_clock& c, std::uint64_t at_ms)
{
    if (!c.ipfix)
        return c.export_ns - static_cast<std::uint32_t>(c.uptime_ms - at_ms) * ns_per_ms;
    // IPFIX uptimes count from the exporter's start, which its options tell.
    if (!c.init_known)
        return 0;
    return (c.init_ms + at_ms) * ns_per_ms;
}

void take_sampling(flow_field f, std::uint64_t v, sampling_fields& s)
{
    switch (f) {
    case flow_field::sampling_interval:
        s.has_interval = true;
        s.interval = v;
        break;
    case flow_field::sampler_id:
        s.has_id = true;
        s.id = v;
        break;
    case flow_field::packet_interval:
        s.has_packet_interval = true;
        s.packet_interval = v;
        break;
    case flow_field::packet_space:
        s.has_packet_space = true;
        s.packet_space = v;
        break;
    case flow_field::system_init_ms:
        s.has_init = true;
        s.init_ms = v;
        break;
    default:
        break;
    }
}

// A field that is not simply moved: a time to work out, or what a record
// says of sampling.
void apply_worked(const std::uint8_t* at, const plan_step& s, const record_clock& c,
                  flow_record& r, sampling_fields& sampling)
{
    const std::uint64_t v = load_uint(at, s.width);
    switch (s.field) {
    case flow_field::start_uptime:
        r.start_ns = uptime_to_ns(c, v);
        break;
    case flow_field::end_uptime:
        r.end_ns = uptime_to_ns(c, v);
        break;
    case flow_field::start_s:
        r.start_ns = v * ns_per_s;
        break;
    case flow_field::end_s:
        r.end_ns = v * ns_per_s;
        break;
    case flow_field::start_ms:
        r.start_ns = v * ns_per_ms;
        break;
    case flow_field::end_ms:
        r.end_ns = v * ns_per_ms;
        break;
    case flow_field::start_ntp:
        r.start_ns = ntp_to_ns(v);
        break;
    case flow_field::end_ntp:
        r.end_ns = ntp_to_ns(v);
        break;
    case flow_field::start_delta_us:
        r.start_ns = c.export_ns - v * 1000;
        break;
    case flow_field::end_delta_us:
        r.end_ns = c.export_ns - v * 1000;
        break;
    default:
        take_sampling(s.field, v, sampling);
        break;
    }
}

std::uint64_t load_be64(const std::uint8_t* p)
{
    return std::uint64_t{load_be32(p)} << 32 | load_be32(p + 4);
}

// A number of a field into the flow record member at dest, cut to its type.
template <typename T>
void store(std::uint8_t* record, std::uint16_t dest, std::uint64_t v)
{
    const T x = static_cast<T>(v);
    std::memcpy(record + dest, &x, sizeof x);
}

// The steps of one piece of a record, or of a whole fixed-length record:
// one jump each, most of them a load and a store.
void apply_steps(const std::uint8_t* p, const plan_step* steps, std::size_t n,
                 const record_clock& c, flow_record& r, sampling_fields& sampling)
{
    auto* record = reinterpret_cast<std::uint8_t*>(&r);
    for (std::size_t i = 0; i < n; ++i) {
        const plan_step& s = steps[i];
        const std::uint8_t* at = p + s.offset;
        switch (s.op) {
        case step_op::load1_store1:
            store<std::uint8_t>(record, s.dest, at[0]);
            break;
        case step_op::load1_store2:
            store<std::uint16_t>(record, s.dest, at[0]);
            break;
        case step_op::load1_store4:
            store<std::uint32_t>(record, s.dest, at[0]);
            break;
        case step_op::load1_store8:
            store<std::uint64_t>(record, s.dest, at[0]);
            break;
        case step_op::load2_store1:
            store<std::uint8_t>(record, s.dest, load_be16(at));
            break;
        case step_op::load2_store2:
            store<std::uint16_t>(record, s.dest, load_be16(at));
            break;
        case step_op::load2_store4:
            store<std::uint32_t>(record, s.dest, load_be16(at));
            break;
        case step_op::load2_store8:
            store<std::uint64_t>(record, s.dest, load_be16(at));
            break;
        case step_op::load4_store1:
            store<std::uint8_t>(record, s.dest, load_be32(at));
            break;
        case step_op::load4_store2:
            store<std::uint16_t>(record, s.dest, load_be32(at));
            break;
        case step_op::load4_store4:
            store<std::uint32_t>(record, s.dest, load_be32(at));
            break;
        case step_op::load4_store8:
            store<std::uint64_t>(record, s.dest, load_be32(at));
            break;
        case step_op::load8_store1:
            store<std::uint8_t>(record, s.dest, load_be64(at));
            break;
        case step_op::load8_store2:
            store<std::uint16_t>(record, s.dest, load_be64(at));
            break;
        case step_op::load8_store4:
            store<std::uint32_t>(record, s.dest, load_be64(at));
            break;
        case step_op::load8_store8:
            store<std::uint64_t>(record, s.dest, load_be64(at));
            break;
        case step_op::loadn_store1:
            store<std::uint8_t>(record, s.dest, load_uint(at, s.width));
            break;
        case step_op::loadn_store2:
            store<std::uint16_t>(record, s.dest, load_uint(at, s.width));
            break;
        case step_op::loadn_store4:
            store<std::uint32_t>(record, s.dest, load_uint(at, s.width));
            break;
        case step_op::loadn_store8:
            store<std::uint64_t>(record, s.dest, load_uint(at, s.width));
            break;
        case step_op::v4_address:
            // The record's blank address holds the mapped form's first 12.
            std::memcpy(record + s.dest + 12, at, 4);
            break;
        case step_op::v6_address:
            std::memcpy(record + s.dest, at, 16);
            break;
        case step_op::worked:
            apply_worked(at, s, c, r, sampling);
            break;
        }
    }
}

// Reads one record of a template with variable-length fields at p, at most
// `left` bytes; returns its length, or 0 when a length runs past the set.
std::size_t apply_variable(const std::uint8_t* p, std::size_t left, const template_plan& plan,
                           const record_clock& c, flow_record& r, sampling_fields& sampling)
{
    std::size_t at = 0;
    for (const plan_piece& piece : plan.pieces) {
        if (left - at < piece.length)
            return 0;
        apply_steps(p + at, plan.steps.data() + piece.first_step, piece.steps, c, r, sampling);
        at += piece.length;
        if (!piece.variable_after)
            break;
        // A length of 255 says that the next two bytes hold the length.
        if (left - at < 1)
            return 0;
        std::size_t length = p[at++];
        if (length == 255) {
            if (left - at < 2)
                return 0;
            length = load_be16(p + at);
            at += 2;
        }
        if (left - at < length)
            return 0;
        at += length;
    }
    return at;
}

// The exporter and what is known of it while its export is decoded.
struct export_state {
    datagram_info& dg;
    flow_context& ctx;
    input_outcome& out;
    exporter* e;
    bool replayed;
    export_context c;
    std::uint32_t flows = 0;
    std::uint64_t data_records = 0;
    bool counted = true;  // every data record could be counted
    bool stopped = false;

    void bad(bad_input kind, std::uint64_t n = 1) { note_bad_input(*ctx.exporters, e, kind, n); }
};

void take_options_record(export_state& s, const sampling_fields& f)
{
    source_options& o = options_of(*s.ctx.templates, s.c.source);
    if (f.has_init) {
        o.init_known = true;
        o.init_ms = f.init_ms;
    }
    const std::uint32_t rate = f.rate();
    if (f.has_interval || (f.has_packet_interval && f.has_packet_space)) {
        note_sampler(o, f.has_id, f.id, rate);
        if (s.e)
            s.e->sampling = rate;
    }
    s.c.options = &o;
}

// One data record; false once the flow limit has been reached.
bool take_record(export_state& s, const template_plan& plan, flow_record& r,
                 const sampling_fields& f)
{
    if (plan.options) {
        take_options_record(s, f);
        return true;
    }
    if (s.replayed)
        return true;
    if (r.src_as == 0)
        r.src_as = s.c.zero_as;
    if (r.dst_as == 0)
        r.dst_as = s.c.zero_as;
    if (f.has_interval)
        r.sampling = f.rate();
    else if (s.c.options)
        r.sampling = sampling_of(*s.c.options, f.has_id, f.id);
    ++s.flows;
    s.ctx.stats->records += 1.0;
    return account_flow(r, s.dg, s.ctx);
}

void decode_data_set(export_state& s, const template_plan& plan, const std::uint8_t* p,
                     std::size_t n)
{
    if (n < plan.record_length) {
        s.bad(bad_input::short_data_set);
        return;
    }
    s.c.clock.init_known = s.c.options && s.c.options->init_known;
    s.c.clock.init_ms = s.c.options ? s.c.options->init_ms : 0;
    const flow_record& blank = plan.ipv6 ? s.c.blank_v6 : s.c.blank_v4;
    flow_record r;
    // Fewer bytes than a record at the end are padding.
    for (std::size_t at = 0; n - at >= plan.record_length;) {
        r = blank;
        sampling_fields f;
        const std::size_t used = read_record(p + at, n - at, plan, s.c.clock, r, f);
        if (used == 0) {
            // What follows cannot be told from padding or another record.
            s.bad(bad_input::variable_length);
            s.counted = false;
            return;
        }
        at += used;
        ++s.data_records;
        if (!take_record(s, plan, r, f)) {
            s.stopped = true;
            return;
        }
    }
}

void learn_templates(export_state& s, const std::uint8_t* set, std::size_t length)
{
    template_table& tt = *s.ctx.templates;
    for (const template_record& t : tt.found) {
        if (t.bytes < set || t.bytes >= set + length)
            continue;
        const template_key key{s.c.source, t.template_id};
        if (t.withdrawal) {
            if (t.template_id == ipfix_template_set || t.template_id == ipfix_options_set)
                withdraw_all(tt, s.c.source, t.template_id == ipfix_options_set);
            else
                withdraw_template(tt, key);
            continue;
        }
        template_plan plan;
        bad_input why = bad_input::malformed;
        unsigned bad_fields = 0;
        const bool usable = plan_template(t, s.dg.version, tt.used, plan, &why, &bad_fields);
        if (bad_fields > 0)
            s.bad(bad_input::field_length, bad_fields);
        if (!usable) {
            s.bad(why);
            // A template that cannot be used is no longer the one of its id.
            if (t.template_id >= first_data_set)
                withdraw_template(tt, key);
            continue;
        }
        keep_template(tt, key, std::move(plan));
    }
}

}  // namespace

std::uint32_t sampling_fields::rate() const
{
    std::uint64_t r = 0;
    if (has_interval)
        r = interval;
    else if (has_packet_interval && has_packet_space && packet_interval > 0)
        r = (packet_interval + packet_space) / packet_interval;
    return r > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(r);
}

std::size_t read_record(const std::uint8_t* p, std::size_t left, const template_plan& plan,
                        const record_clock& clock, flow_record& r, sampling_fields& f)
{
    if (plan.variable)
        return apply_variable(p, left, plan, clock, r, f);
    if (left < plan.record_length)
        return 0;
    apply_steps(p, plan.steps.data(), plan.steps.size(), clock, r, f);
    return plan.record_length;
}

void decode_template_export(const std::uint8_t* d, std::size_t len, datagram_info& dg,
                            bool replayed, flow_context& ctx, input_outcome& out)
{
    const bool ipfix = load_be16(d) == ipfix_version;
    std::size_t at;
    std::uint32_t uptime = 0;
    dg.version = ipfix ? ipfix_version : nf9_version;
    if (ipfix) {
        dg.export_secs = load_be32(d + 4);
        dg.sequence = load_be32(d + 8);
        dg.domain = load_be32(d + 12);
        at = ipfix_header_size;
    } else {
        uptime = load_be32(d + 4);
        dg.export_secs = load_be32(d + 8);
        dg.sequence = load_be32(d + 12);
        dg.domain = load_be32(d + 16);
        at = nf9_header_size;
    }
    export_state s{dg, ctx, out, find_exporter(*ctx.exporters, dg), replayed, {}};
    s.c.source = {dg.exporter, session_port(dg), dg.version, dg.domain};
    s.c.clock.ipfix = ipfix;
    s.c.clock.export_ns = std::uint64_t{dg.export_secs} * ns_per_s;
    s.c.clock.uptime_ms = uptime;
    s.c.options = find_options(*ctx.templates, s.c.source);
    s.c.zero_as = static_cast<std::uint32_t>(ctx.config->zero_as);
    s.c.blank_v4.srcaddr = s.c.blank_v4.dstaddr = s.c.blank_v4.nexthop =
        net_address::from_v4_net(0);
    s.c.blank_v6.ipv6 = true;
    if (!replayed) {
        ctx.stats->packets += 1.0;
        // Before any flow: an interval closes even when every flow of the
        // export that brings its boundary minute is filtered out.
        start_datagram(ctx, out);
    }

    while (len - at >= 4 && !s.stopped) {
        const std::uint16_t id = load_be16(d + at);
        const std::size_t length = load_be16(d + at + 2);
        if (length < 4 || length > len - at)
            break;  // the checks let none such through
        const std::uint8_t* body = d + at + 4;
        const bool templates = ipfix ? id == ipfix_template_set || id == ipfix_options_set
                                     : id == nf9_template_set || id == nf9_options_set;
        if (templates) {
            learn_templates(s, d + at, length);
        } else if (id >= first_data_set) {
            const template_plan* plan = find_template(*ctx.templates, {s.c.source, id});
            if (plan == nullptr) {
                // Never guessed at: counted, and its records cannot be.
                if (s.e && !replayed)
                    ++s.e->no_template;
                s.counted = false;
            } else {
                decode_data_set(s, *plan, body, length - 4);
            }
        }
        at += length;
    }

    if (replayed)
        return;
    sequence_note n;
    n.sequence = dg.sequence;
    n.flows = s.flows;
    if (ipfix) {
        n.count = static_cast<std::uint32_t>(s.data_records);
        n.counted = s.counted && !s.stopped;
    } else {
        n.count = 1;
        // An exporter that keeps no uptime says 0.
        n.has_uptime = uptime != 0;
        n.uptime_ms = uptime;
        n.export_ms = std::uint64_t{dg.export_secs} * 1000;
    }
    account_datagram(*ctx.exporters, dg, n);
    if (s.stopped)
        out.end = input_end::flow_limit;
}
