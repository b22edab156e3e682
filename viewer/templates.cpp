#include "viewer/templates.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "common/flow_fields.h"
#include "common/nf5.h"

namespace {

// How a field's length must look for its type: an address exactly its
// size, a timestamp exactly its encoding's, an unsigned number anything
// from 1 byte (reduced-size encoding) up to its size.
enum class width_rule : std::uint8_t { exactly, up_to };

struct field_use {
    std::uint16_t type;
    flow_field field;
    width_rule rule;
    std::uint8_t width;
    // Several fields may give one thing (octetDeltaCount or octetTotalCount
    // for the bytes): the lowest rank present is used.
    std::uint8_t rank = 0;
};

constexpr field_use field_uses[] = {
    {ie::octetDeltaCount, flow_field::bytes, width_rule::up_to, 8, 0},
    {ie::octetTotalCount, flow_field::bytes, width_rule::up_to, 8, 1},
    {ie::postOctetDeltaCount, flow_field::bytes, width_rule::up_to, 8, 2},
    {ie::packetDeltaCount, flow_field::packets, width_rule::up_to, 8, 0},
    {ie::packetTotalCount, flow_field::packets, width_rule::up_to, 8, 1},
    {ie::postPacketDeltaCount, flow_field::packets, width_rule::up_to, 8, 2},
    {ie::protocolIdentifier, flow_field::prot, width_rule::up_to, 1},
    {ie::ipClassOfService, flow_field::tos, width_rule::up_to, 1},
    {ie::tcpControlBits, flow_field::tcp_flags, width_rule::up_to, 2},
    {ie::sourceTransportPort, flow_field::srcport, width_rule::up_to, 2},
    {ie::destinationTransportPort, flow_field::dstport, width_rule::up_to, 2},
    // ICMP's type and code stand in the destination port, as v5 carries them,
    // when the template has no port.
    {ie::icmpTypeCodeIPv4, flow_field::icmp_type, width_rule::up_to, 2, 1},
    {ie::icmpTypeCodeIPv6, flow_field::icmp_type, width_rule::up_to, 2, 2},
    {ie::sourceIPv4Address, flow_field::src_v4, width_rule::exactly, 4},
    {ie::destinationIPv4Address, flow_field::dst_v4, width_rule::exactly, 4},
    {ie::ipNextHopIPv4Address, flow_field::nexthop_v4, width_rule::exactly, 4},
    {ie::sourceIPv6Address, flow_field::src_v6, width_rule::exactly, 16},
    {ie::destinationIPv6Address, flow_field::dst_v6, width_rule::exactly, 16},
    {ie::ipNextHopIPv6Address, flow_field::nexthop_v6, width_rule::exactly, 16},
    {ie::sourceIPv4PrefixLength, flow_field::src_mask, width_rule::up_to, 1},
    {ie::destinationIPv4PrefixLength, flow_field::dst_mask, width_rule::up_to, 1},
    {ie::sourceIPv6PrefixLength, flow_field::src_mask, width_rule::up_to, 1, 1},
    {ie::destinationIPv6PrefixLength, flow_field::dst_mask, width_rule::up_to, 1, 1},
    {ie::ingressInterface, flow_field::input, width_rule::up_to, 4},
    {ie::egressInterface, flow_field::output, width_rule::up_to, 4},
    {ie::bgpSourceAsNumber, flow_field::src_as, width_rule::up_to, 4},
    {ie::bgpDestinationAsNumber, flow_field::dst_as, width_rule::up_to, 4},
    {ie::flowStartMilliseconds, flow_field::start_ms, width_rule::exactly, 8, 0},
    {ie::flowStartNanoseconds, flow_field::start_ntp, width_rule::exactly, 8, 1},
    {ie::flowStartMicroseconds, flow_field::start_ntp, width_rule::exactly, 8, 2},
    {ie::flowStartSeconds, flow_field::start_s, width_rule::exactly, 4, 3},
    {ie::flowStartSysUpTime, flow_field::start_uptime, width_rule::up_to, 4, 4},
    {ie::flowStartDeltaMicroseconds, flow_field::start_delta_us, width_rule::up_to, 4, 5},
    {ie::flowEndMilliseconds, flow_field::end_ms, width_rule::exactly, 8, 0},
    {ie::flowEndNanoseconds, flow_field::end_ntp, width_rule::exactly, 8, 1},
    {ie::flowEndMicroseconds, flow_field::end_ntp, width_rule::exactly, 8, 2},
    {ie::flowEndSeconds, flow_field::end_s, width_rule::exactly, 4, 3},
    {ie::flowEndSysUpTime, flow_field::end_uptime, width_rule::up_to, 4, 4},
    {ie::flowEndDeltaMicroseconds, flow_field::end_delta_us, width_rule::up_to, 4, 5},
    {ie::samplingInterval, flow_field::sampling_interval, width_rule::up_to, 4, 0},
    {ie::samplerRandomInterval, flow_field::sampling_interval, width_rule::up_to, 4, 1},
    {ie::samplerId, flow_field::sampler_id, width_rule::up_to, 8, 0},
    {ie::selectorId, flow_field::sampler_id, width_rule::up_to, 8, 1},
    {ie::samplingPacketInterval, flow_field::packet_interval, width_rule::up_to, 4},
    {ie::samplingPacketSpace, flow_field::packet_space, width_rule::up_to, 4},
    {ie::systemInitTimeMilliseconds, flow_field::system_init_ms, width_rule::exactly, 8},
};

const field_use* use_of(std::uint16_t type)
{
    for (const field_use& u : field_uses)
        if (u.type == type)
            return &u;
    return nullptr;
}

// Which of the things a field gives share one place in the record: the
// start time, whichever way it is told, is one.
int slot_of(flow_field f)
{
    switch (f) {
    case flow_field::start_uptime: case flow_field::start_s: case flow_field::start_ms:
    case flow_field::start_ntp: case flow_field::start_delta_us:
        return 100;
    case flow_field::end_uptime: case flow_field::end_s: case flow_field::end_ms:
    case flow_field::end_ntp: case flow_field::end_delta_us:
        return 101;
    case flow_field::icmp_type:
        return static_cast<int>(flow_field::dstport);
    default:
        return static_cast<int>(f);
    }
}

bool options_field(flow_field f)
{
    return f == flow_field::sampling_interval || f == flow_field::sampler_id ||
           f == flow_field::packet_interval || f == flow_field::packet_space ||
           f == flow_field::system_init_ms;
}

bool v4_field(flow_field f)
{
    return f == flow_field::src_v4 || f == flow_field::dst_v4 || f == flow_field::nexthop_v4;
}

bool v6_field(flow_field f)
{
    return f == flow_field::src_v6 || f == flow_field::dst_v6 || f == flow_field::nexthop_v6;
}

// The flow record member a field goes straight into: its offset and size;
// size 0 when the field needs working out.
struct member {
    std::uint16_t dest = 0;
    std::uint8_t size = 0;
};

member member_of(flow_field f)
{
    switch (f) {
    case flow_field::src_v4: case flow_field::src_v6:
        return {offsetof(flow_record, srcaddr), 16};
    case flow_field::dst_v4: case flow_field::dst_v6:
        return {offsetof(flow_record, dstaddr), 16};
    case flow_field::nexthop_v4: case flow_field::nexthop_v6:
        return {offsetof(flow_record, nexthop), 16};
    case flow_field::bytes:
        return {offsetof(flow_record, bytes), 8};
    case flow_field::packets:
        return {offsetof(flow_record, packets), 8};
    case flow_field::input:
        return {offsetof(flow_record, input), 4};
    case flow_field::output:
        return {offsetof(flow_record, output), 4};
    case flow_field::src_as:
        return {offsetof(flow_record, src_as), 4};
    case flow_field::dst_as:
        return {offsetof(flow_record, dst_as), 4};
    case flow_field::srcport:
        return {offsetof(flow_record, srcport), 2};
    case flow_field::dstport: case flow_field::icmp_type:
        return {offsetof(flow_record, dstport), 2};
    case flow_field::prot:
        return {offsetof(flow_record, prot), 1};
    case flow_field::tos:
        return {offsetof(flow_record, tos), 1};
    case flow_field::tcp_flags:  // the classic eight of tcpControlBits
        return {offsetof(flow_record, tcp_flags), 1};
    case flow_field::src_mask:
        return {offsetof(flow_record, src_mask), 1};
    case flow_field::dst_mask:
        return {offsetof(flow_record, dst_mask), 1};
    default:
        return {};
    }
}

// The step's way of moving its field.
void choose_op(plan_step& s)
{
    const member m = member_of(s.field);
    if (m.size == 0) {
        s.op = step_op::worked;
        return;
    }
    s.dest = m.dest;
    if (m.size == 16) {
        s.op = s.width == 4 ? step_op::v4_address : step_op::v6_address;
        return;
    }
    int load = 4;  // any other width
    if (s.width == 1)
        load = 0;
    else if (s.width == 2)
        load = 1;
    else if (s.width == 4)
        load = 2;
    else if (s.width == 8)
        load = 3;
    const int store = m.size == 1 ? 0 : m.size == 2 ? 1 : m.size == 4 ? 2 : 3;
    s.op = static_cast<step_op>(load * 4 + store);
}

struct raw_field {
    plan_step step;
    std::uint16_t piece = 0;
    std::uint8_t rank = 0;
};

std::size_t mix(std::uint64_t h, std::uint64_t v)
{
    h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
    return static_cast<std::size_t>(h * 0xC2B2AE3D27D4EB4Full);
}

}  // namespace

bool plan_template(const template_record& t, std::uint16_t version, field_set used,
                   template_plan& plan, bad_input* why, unsigned* bad_fields)
{
    plan = template_plan{};
    *bad_fields = 0;
    const bool ipfix = version == ipfix_version;
    const bool options = t.set_id == nf9_options_set || t.set_id == ipfix_options_set;
    const std::uint8_t* r = t.bytes;
    if (t.size < 4) {
        *why = bad_input::field_count;
        return false;
    }
    const std::uint16_t id = load_be16(r);
    std::size_t count, scope = 0, at;
    if (options && !ipfix) {
        if (t.size < 6) {
            *why = bad_input::field_count;
            return false;
        }
        scope = load_be16(r + 2) / 4u;
        count = scope + load_be16(r + 4) / 4u;
        at = 6;
    } else {
        count = load_be16(r + 2);
        at = 4;
        if (options) {
            if (t.size < 6) {
                *why = bad_input::field_count;
                return false;
            }
            scope = load_be16(r + 4);
            at = 6;
        }
    }
    if (id < first_data_set) {
        *why = bad_input::template_id;
        return false;
    }
    if (count > template_fields_max) {
        *why = bad_input::field_count;
        return false;
    }

    std::vector<raw_field> raw;
    std::uint32_t piece_length = 0;
    std::uint16_t piece = 0;
    std::uint32_t least = 0;
    std::vector<std::uint32_t> piece_lengths;
    for (std::size_t i = 0; i < count; ++i) {
        if (t.size - at < 4) {
            *why = bad_input::field_count;
            return false;
        }
        const std::uint16_t type = load_be16(r + at);
        const std::uint16_t length = load_be16(r + at + 2);
        at += 4;
        const bool enterprise = ipfix && (type & ipfix_enterprise_bit);
        if (enterprise) {
            if (t.size - at < 4) {
                *why = bad_input::field_count;
                return false;
            }
            at += 4;
        }
        // v9 scope fields number scopes (system, interface...), not fields;
        // enterprise numbers mean what their enterprise says.
        const field_use* use = enterprise || (i < scope && !ipfix) ? nullptr : use_of(type);
        if (use && options != options_field(use->field) &&
            !(use->field == flow_field::sampling_interval || use->field == flow_field::sampler_id))
            use = nullptr;
        if (ipfix && length == ipfix_variable_length) {
            if (use)
                ++*bad_fields;  // none of the fields used varies in length
            piece_lengths.push_back(piece_length);
            least += piece_length + 1;
            piece_length = 0;
            ++piece;
            continue;
        }
        if (use) {
            const bool fits = use->rule == width_rule::exactly
                                  ? length == use->width
                                  : length >= 1 && length <= use->width;
            if (fits)
                raw.push_back({{static_cast<std::uint16_t>(piece_length), length, use->field},
                               piece, use->rank});
            else
                ++*bad_fields;
        }
        piece_length += length;
        if (piece_length > 0xffff) {
            // No set holds a record this long.
            *why = bad_input::field_count;
            return false;
        }
    }
    piece_lengths.push_back(piece_length);
    least += piece_length;
    if (least == 0) {
        *why = bad_input::empty_record;
        return false;
    }

    // Of the fields that give one thing, the best ranked (then the first).
    for (raw_field& a : raw) {
        for (const raw_field& b : raw) {
            if (&a != &b && slot_of(a.step.field) == slot_of(b.step.field) &&
                (b.rank < a.rank || (b.rank == a.rank && &b < &a))) {
                a.step.field = flow_field::skip;
                break;
            }
        }
    }
    // One address family per template: IPv4 when it has IPv4 addresses.
    bool has_v4 = false, has_v6 = false;
    for (const raw_field& f : raw) {
        has_v4 = has_v4 || f.step.field == flow_field::src_v4 || f.step.field == flow_field::dst_v4;
        has_v6 = has_v6 || f.step.field == flow_field::src_v6 || f.step.field == flow_field::dst_v6;
    }
    plan.ipv6 = has_v6 && !has_v4;
    plan.options = options;
    plan.variable = piece_lengths.size() > 1;
    plan.record_length = least;
    for (std::uint16_t p = 0; p < piece_lengths.size(); ++p) {
        plan_piece pc;
        pc.length = piece_lengths[p];
        pc.first_step = static_cast<std::uint16_t>(plan.steps.size());
        for (const raw_field& f : raw) {
            if (f.piece != p || f.step.field == flow_field::skip)
                continue;
            if ((plan.ipv6 && v4_field(f.step.field)) || (!plan.ipv6 && v6_field(f.step.field)))
                continue;
            if (!options_field(f.step.field) && !(used & field_bit(f.step.field)))
                continue;
            plan_step step = f.step;
            choose_op(step);
            plan.worked = plan.worked || step.op == step_op::worked;
            plan.steps.push_back(step);
        }
        pc.steps = static_cast<std::uint16_t>(plan.steps.size() - pc.first_step);
        pc.variable_after = p + 1u < piece_lengths.size();
        if (plan.variable)
            plan.pieces.push_back(pc);
    }
    return true;
}

std::size_t source_hash::operator()(const template_source& s) const
{
    std::uint64_t a, b;
    std::memcpy(&a, s.exporter.bytes.data(), 8);
    std::memcpy(&b, s.exporter.bytes.data() + 8, 8);
    std::size_t h = mix(a, b);
    h = mix(h, std::uint64_t{s.port} << 48 | std::uint64_t{s.version} << 32 | s.domain);
    return h;
}

std::size_t template_key_hash::operator()(const template_key& k) const
{
    return mix(source_hash{}(k.source), k.id);
}

namespace {

void drop(template_table& t, std::unordered_map<template_key, template_table::entry,
                                                template_key_hash>::iterator it)
{
    auto per = t.per_source.find(it->first.source);
    if (per != t.per_source.end() && --per->second == 0)
        t.per_source.erase(per);
    t.ages.erase(it->second.age);
    t.templates.erase(it);
}

}  // namespace

void keep_template(template_table& t, const template_key& key, template_plan&& plan)
{
    auto it = t.templates.find(key);
    if (it != t.templates.end()) {
        // Defined again: the new one replaces the old, and is now the newest.
        it->second.plan = std::move(plan);
        t.ages.splice(t.ages.end(), t.ages, it->second.age);
        return;
    }
    std::uint32_t& of_source = t.per_source[key.source];
    if (of_source >= t.source_limit) {
        // The source's own oldest goes.
        for (auto age = t.ages.begin(); age != t.ages.end(); ++age) {
            if (age->source == key.source) {
                drop(t, t.templates.find(*age));
                break;
            }
        }
    }
    if (t.templates.size() >= t.limit && !t.ages.empty())
        drop(t, t.templates.find(t.ages.front()));
    t.ages.push_back(key);
    t.templates.emplace(key, template_table::entry{std::move(plan), std::prev(t.ages.end())});
    ++t.per_source[key.source];
}

const template_plan* find_template(const template_table& t, const template_key& key)
{
    const auto it = t.templates.find(key);
    return it == t.templates.end() ? nullptr : &it->second.plan;
}

void withdraw_template(template_table& t, const template_key& key)
{
    const auto it = t.templates.find(key);
    if (it != t.templates.end())
        drop(t, it);
}

void withdraw_all(template_table& t, const template_source& source, bool options)
{
    for (auto it = t.templates.begin(); it != t.templates.end();) {
        const auto next = std::next(it);
        if (it->first.source == source && it->second.plan.options == options)
            drop(t, it);
        it = next;
    }
}

source_options& options_of(template_table& t, const template_source& source)
{
    const auto it = t.options.find(source);
    if (it != t.options.end())
        return it->second;
    if (t.options.size() >= options_source_limit && !t.option_ages.empty()) {
        t.options.erase(t.option_ages.front());
        t.option_ages.pop_front();
    }
    t.option_ages.push_back(source);
    return t.options[source];
}

const source_options* find_options(const template_table& t, const template_source& source)
{
    const auto it = t.options.find(source);
    return it == t.options.end() ? nullptr : &it->second;
}

std::uint32_t sampling_of(const source_options& o, bool has_id, std::uint64_t id)
{
    if (has_id)
        for (std::size_t i = 0; i < o.sampler_count; ++i)
            if (o.sampler_ids[i] == id)
                return o.sampler_rates[i];
    return o.sampling;
}

void note_sampler(source_options& o, bool has_id, std::uint64_t id, std::uint32_t rate)
{
    if (!has_id) {
        o.sampling = rate;
        return;
    }
    for (std::size_t i = 0; i < o.sampler_count; ++i) {
        if (o.sampler_ids[i] == id) {
            o.sampler_rates[i] = rate;
            return;
        }
    }
    // A full list gives up the sampler told of longest ago.
    if (o.sampler_count == samplers_per_source) {
        std::copy(o.sampler_ids.begin() + 1, o.sampler_ids.end(), o.sampler_ids.begin());
        std::copy(o.sampler_rates.begin() + 1, o.sampler_rates.end(), o.sampler_rates.begin());
        --o.sampler_count;
    }
    o.sampler_ids[o.sampler_count] = id;
    o.sampler_rates[o.sampler_count] = rate;
    ++o.sampler_count;
}
