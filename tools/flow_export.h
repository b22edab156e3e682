// NetFlow v9 and IPFIX messages built field by field, for the traffic
// generator, the tests, the fuzz seeds and the benchmarks: templates, options
// templates and data records as an exporter lays them out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/net_address.h"

// A template field: type and length, and for IPFIX an enterprise number
// (the type then goes out with its enterprise bit set).
struct export_field {
    std::uint16_t type = 0;
    std::uint16_t length = 0;
    std::uint32_t enterprise = 0;
};

// A message under construction. Sets are opened, filled and closed in turn;
// finish_message fills in the header's count (v9) or length (IPFIX).
struct export_message {
    std::uint16_t version = 9;
    std::vector<std::uint8_t> bytes;
    std::size_t set_at = 0;  // where the open set began; 0: none open
    std::uint16_t records = 0;
};

// version 9: uptime_ms is the header's SysUptime; IPFIX has none.
export_message start_message(std::uint16_t version, std::uint32_t sequence, std::uint32_t domain,
                           std::uint32_t export_secs, std::uint32_t uptime_ms = 0);
void open_set(export_message& m, std::uint16_t id);
// padding: bytes of zeros at the set's end.
void close_set(export_message& m, std::size_t padding = 0);
// One template record into the open template set.
void add_template(export_message& m, std::uint16_t id, std::span<const export_field> fields);
// One options template record into the open options template set.
void add_options_template(export_message& m, std::uint16_t id, std::span<const export_field> scope,
                          std::span<const export_field> fields);
// Data: a number of width bytes, big-endian, or bytes as they are.
void put_uint(export_message& m, std::uint64_t v, unsigned width);
void put_bytes(export_message& m, std::span<const std::uint8_t> b);
void put_address(export_message& m, const net_address& a, bool ipv6);
// Counts one record towards a v9 header's count.
void count_record(export_message& m);
std::vector<std::uint8_t> finish_message(export_message& m);

// A flow as the standard templates below carry it.
struct export_flow {
    net_address src, dst, nexthop;
    std::uint32_t input = 0, output = 0;
    std::uint64_t packets = 0, bytes = 0;
    std::uint32_t first_ms = 0, last_ms = 0;  // uptimes (v9) or since the start (IPFIX)
    std::uint64_t start_unix_ms = 0, end_unix_ms = 0;  // with flow_times::unix_ms
    std::uint16_t srcport = 0, dstport = 0;
    std::uint8_t tcp_flags = 0, prot = 0, tos = 0;
    std::uint32_t src_as = 0, dst_as = 0;
    std::uint8_t src_mask = 0, dst_mask = 0;
};

// How a template gives a flow's start and end: as the exporter's uptimes
// (4 bytes each, v9's way), or as milliseconds since 1970 (8 bytes each,
// as IPFIX exporters mostly do).
enum class flow_times { uptime, unix_ms };

// The fields of a router's usual flow template, for IPv4 or IPv6 flows:
// addresses, ifIndexes, 64-bit counts, times, ports, flags, protocol, TOS,
// 32-bit AS numbers and masks.
std::vector<export_field> standard_fields(bool ipv6, flow_times times = flow_times::uptime);
// One data record of standard_fields(ipv6, times).
void put_flow(export_message& m, const export_flow& f, bool ipv6,
              flow_times times = flow_times::uptime);
