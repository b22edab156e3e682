#include "tools/flow_export.h"

#include "common/export_checks.h"
#include "common/flow_fields.h"
#include "common/nf5.h"

namespace {

void put16(std::vector<std::uint8_t>& b, std::uint16_t v)
{
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}

void put32(std::vector<std::uint8_t>& b, std::uint32_t v)
{
    put16(b, static_cast<std::uint16_t>(v >> 16));
    put16(b, static_cast<std::uint16_t>(v));
}

void put_fields(export_message& m, std::span<const export_field> fields)
{
    for (const export_field& f : fields) {
        const bool enterprise = m.version == ipfix_version && f.enterprise != 0;
        put16(m.bytes, enterprise ? f.type | ipfix_enterprise_bit : f.type);
        put16(m.bytes, f.length);
        if (enterprise)
            put32(m.bytes, f.enterprise);
    }
}

}  // namespace

export_message start_message(std::uint16_t version, std::uint32_t sequence, std::uint32_t domain,
                           std::uint32_t export_secs, std::uint32_t uptime_ms)
{
    export_message m;
    m.version = version;
    put16(m.bytes, version);
    put16(m.bytes, 0);  // v9 count, IPFIX length: finish_message
    if (version == ipfix_version) {
        put32(m.bytes, export_secs);
    } else {
        put32(m.bytes, uptime_ms);
        put32(m.bytes, export_secs);
    }
    put32(m.bytes, sequence);
    put32(m.bytes, domain);
    return m;
}

void open_set(export_message& m, std::uint16_t id)
{
    m.set_at = m.bytes.size();
    put16(m.bytes, id);
    put16(m.bytes, 0);
}

void close_set(export_message& m, std::size_t padding)
{
    m.bytes.resize(m.bytes.size() + padding, 0);
    store_be16(m.bytes.data() + m.set_at + 2, static_cast<std::uint16_t>(m.bytes.size() - m.set_at));
    m.set_at = 0;
}

void add_template(export_message& m, std::uint16_t id, std::span<const export_field> fields)
{
    put16(m.bytes, id);
    put16(m.bytes, static_cast<std::uint16_t>(fields.size()));
    put_fields(m, fields);
    count_record(m);
}

void add_options_template(export_message& m, std::uint16_t id, std::span<const export_field> scope,
                          std::span<const export_field> fields)
{
    put16(m.bytes, id);
    if (m.version == ipfix_version) {
        put16(m.bytes, static_cast<std::uint16_t>(scope.size() + fields.size()));
        put16(m.bytes, static_cast<std::uint16_t>(scope.size()));
    } else {
        put16(m.bytes, static_cast<std::uint16_t>(scope.size() * 4));
        put16(m.bytes, static_cast<std::uint16_t>(fields.size() * 4));
    }
    put_fields(m, scope);
    put_fields(m, fields);
    count_record(m);
}

void put_uint(export_message& m, std::uint64_t v, unsigned width)
{
    for (unsigned i = width; i-- > 0;)
        m.bytes.push_back(static_cast<std::uint8_t>(i < 8 ? v >> (8 * i) : 0));
}

void put_bytes(export_message& m, std::span<const std::uint8_t> b)
{
    m.bytes.insert(m.bytes.end(), b.begin(), b.end());
}

void put_address(export_message& m, const net_address& a, bool ipv6)
{
    if (ipv6)
        put_bytes(m, a.bytes);
    else
        put_bytes(m, std::span<const std::uint8_t>(a.bytes).subspan(12));
}

void count_record(export_message& m)
{
    ++m.records;
}

std::vector<std::uint8_t> finish_message(export_message& m)
{
    if (m.version == ipfix_version)
        store_be16(m.bytes.data() + 2, static_cast<std::uint16_t>(m.bytes.size()));
    else
        store_be16(m.bytes.data() + 2, m.records);
    return m.bytes;
}

std::vector<export_field> standard_fields(bool ipv6, flow_times times)
{
    const std::uint16_t a = ipv6 ? 16 : 4;
    const bool unix_ms = times == flow_times::unix_ms;
    return {
        {ipv6 ? ie::sourceIPv6Address : ie::sourceIPv4Address, a},
        {ipv6 ? ie::destinationIPv6Address : ie::destinationIPv4Address, a},
        {ipv6 ? ie::ipNextHopIPv6Address : ie::ipNextHopIPv4Address, a},
        {ie::ingressInterface, 4},
        {ie::egressInterface, 4},
        {ie::packetDeltaCount, 8},
        {ie::octetDeltaCount, 8},
        unix_ms ? export_field{ie::flowStartMilliseconds, 8}
                : export_field{ie::flowStartSysUpTime, 4},
        unix_ms ? export_field{ie::flowEndMilliseconds, 8} : export_field{ie::flowEndSysUpTime, 4},
        {ie::sourceTransportPort, 2},
        {ie::destinationTransportPort, 2},
        {ie::tcpControlBits, 1},
        {ie::protocolIdentifier, 1},
        {ie::ipClassOfService, 1},
        {ie::bgpSourceAsNumber, 4},
        {ie::bgpDestinationAsNumber, 4},
        {ipv6 ? ie::sourceIPv6PrefixLength : ie::sourceIPv4PrefixLength, 1},
        {ipv6 ? ie::destinationIPv6PrefixLength : ie::destinationIPv4PrefixLength, 1},
    };
}

void put_flow(export_message& m, const export_flow& f, bool ipv6, flow_times times)
{
    put_address(m, f.src, ipv6);
    put_address(m, f.dst, ipv6);
    put_address(m, f.nexthop, ipv6);
    put_uint(m, f.input, 4);
    put_uint(m, f.output, 4);
    put_uint(m, f.packets, 8);
    put_uint(m, f.bytes, 8);
    if (times == flow_times::unix_ms) {
        put_uint(m, f.start_unix_ms, 8);
        put_uint(m, f.end_unix_ms, 8);
    } else {
        put_uint(m, f.first_ms, 4);
        put_uint(m, f.last_ms, 4);
    }
    put_uint(m, f.srcport, 2);
    put_uint(m, f.dstport, 2);
    put_uint(m, f.tcp_flags, 1);
    put_uint(m, f.prot, 1);
    put_uint(m, f.tos, 1);
    put_uint(m, f.src_as, 4);
    put_uint(m, f.dst_as, 4);
    put_uint(m, f.src_mask, 1);
    put_uint(m, f.dst_mask, 1);
    count_record(m);
}
