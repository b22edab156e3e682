// The templates of NetFlow v9 and IPFIX exporters, each planned once into
// the few loads a data record of it costs, and kept in bounded tables by
// exporter, domain and template id; with them what the exporters' options
// records said about sampling and their clocks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <list>
#include <unordered_map>
#include <vector>

#include "common/export_checks.h"
#include "common/net_address.h"
#include "viewer/exporters.h"
#include "viewer/flow_record.h"

// What a field of a data record gives.
enum class flow_field : std::uint8_t {
    skip,
    src_v4, dst_v4, nexthop_v4, src_v6, dst_v6, nexthop_v6,
    bytes, packets, input, output, src_as, dst_as, srcport, dstport, icmp_type,
    prot, tos, tcp_flags, src_mask, dst_mask,
    // When the flow began and ended: router uptime in ms; seconds,
    // milliseconds or an NTP timestamp since the epoch; microseconds
    // before the export.
    start_uptime, end_uptime, start_s, end_s, start_ms, end_ms, start_ntp, end_ntp,
    start_delta_us, end_delta_us,
    // Sampling, in options records (or, some exporters, in flow records).
    sampling_interval, sampler_id, packet_interval, packet_space, system_init_ms,
};

// How a step moves its field: most go straight into a member of the flow
// record (load_<width>_store_<size>, the member at dest), addresses into
// theirs; times and sampling need working out (apply_worked).
enum class step_op : std::uint8_t {
    load1_store1, load1_store2, load1_store4, load1_store8,
    load2_store1, load2_store2, load2_store4, load2_store8,
    load4_store1, load4_store2, load4_store4, load4_store8,
    load8_store1, load8_store2, load8_store4, load8_store8,
    loadn_store1, loadn_store2, loadn_store4, loadn_store8,
    v4_address, v6_address, worked,
};

// One field the viewer uses: where it lies in its piece of the record,
// and where it goes.
struct plan_step {
    std::uint16_t offset = 0;
    std::uint16_t width = 0;
    flow_field field = flow_field::skip;
    step_op op = step_op::worked;
    std::uint16_t dest = 0;  // the flow record member's offset
};

// A record of a template with variable-length fields is read piece by
// piece: a run of fixed-length fields, then (unless it is the last piece)
// one variable-length field, stepped over.
struct plan_piece {
    std::uint32_t length = 0;
    std::uint16_t first_step = 0;
    std::uint16_t steps = 0;
    bool variable_after = false;
};

// A template as the decoder uses it, made once when it arrives.
struct template_plan {
    bool options = false;   // an options template: its records say, they are not flows
    bool ipv6 = false;      // its flows' addresses are IPv6
    bool variable = false;  // it has variable-length fields
    bool worked = false;    // some steps need working out (apply_worked)
    // A record's length, or with variable-length fields its least length.
    std::uint32_t record_length = 0;
    std::vector<plan_step> steps;
    std::vector<plan_piece> pieces;  // only with variable-length fields
};

// Fields a template may have; more is refused as bad input.
constexpr std::size_t template_fields_max = 512;

// The flow fields a run uses, one bit per flow_field: a plan leaves out
// the others, so that a record costs only what the run shows of it.
using field_set = std::uint64_t;
constexpr field_set all_fields = ~field_set{0};
constexpr field_set field_bit(flow_field f)
{
    return field_set{1} << static_cast<unsigned>(f);
}

// Plans one template record as check_export found it, with the fields in
// `used` (and always those of sampling); false (with the kind of bad
// input) when it cannot be used. Fields of a wrong length are left out and
// counted in *bad_fields.
bool plan_template(const template_record& t, std::uint16_t version, field_set used,
                   template_plan& plan, bad_input* why, unsigned* bad_fields);

// Whose templates: an exporter's address and port, version and domain.
struct template_source {
    net_address exporter;
    std::uint16_t port = 0;
    std::uint16_t version = 0;
    std::uint32_t domain = 0;
    friend bool operator==(const template_source&, const template_source&) = default;
};

struct template_key {
    template_source source;
    std::uint16_t id = 0;
    friend bool operator==(const template_key&, const template_key&) = default;
};

struct source_hash {
    std::size_t operator()(const template_source& s) const;
};
struct template_key_hash {
    std::size_t operator()(const template_key& k) const;
};

// What an exporter's options records said: its sampling, by sampler when
// it names its samplers, and when it started (IPFIX uptimes count from it).
constexpr std::size_t samplers_per_source = 8;

struct source_options {
    std::uint32_t sampling = 0;  // for records that name no sampler; 0: none said
    bool init_known = false;
    std::uint64_t init_ms = 0;
    std::uint8_t sampler_count = 0;
    std::array<std::uint64_t, samplers_per_source> sampler_ids{};
    std::array<std::uint32_t, samplers_per_source> sampler_rates{};
};

// Templates kept, in all and per source. When a table is full, the
// template defined (or defined again) longest ago goes first; a source at
// its bound gives up its own oldest.
constexpr std::size_t template_limit = 4096;
constexpr std::size_t templates_per_source = 256;
constexpr std::size_t options_source_limit = 4096;

struct template_table {
    struct entry {
        template_plan plan;
        std::list<template_key>::iterator age;
    };
    std::unordered_map<template_key, entry, template_key_hash> templates;
    std::list<template_key> ages;  // defined longest ago first
    std::unordered_map<template_source, std::uint32_t, source_hash> per_source;
    std::unordered_map<template_source, source_options, source_hash> options;
    std::list<template_source> option_ages;
    std::size_t limit = template_limit;
    std::size_t source_limit = templates_per_source;
    field_set used = all_fields;  // set at start-up from the mode and filters
    // The template records of the datagram being decoded, kept from one
    // datagram to the next.
    std::vector<template_record> found;
};

// Keeps a planned template, replacing one of the same key.
void keep_template(template_table& table, const template_key& key, template_plan&& plan);
// The template of key; null when not held.
const template_plan* find_template(const template_table& table, const template_key& key);
// IPFIX withdrawals: one template, or all of a source's of one kind.
void withdraw_template(template_table& table, const template_key& key);
void withdraw_all(template_table& table, const template_source& source, bool options);

// A source's options, made when first needed.
source_options& options_of(template_table& table, const template_source& source);
const source_options* find_options(const template_table& table, const template_source& source);
// The sampling rate for a record of source that named sampler id (or none).
std::uint32_t sampling_of(const source_options& o, bool has_id, std::uint64_t id);
void note_sampler(source_options& o, bool has_id, std::uint64_t id, std::uint32_t rate);
