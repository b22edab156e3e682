// The one flow record every decoder makes, whatever the export's version,
// and the datagram it came in. Filters, listings, top-mode sums and the
// exporter accounting read these and nothing of the wire.
#pragma once

#include <cstdint>
#include <cstring>

#include "common/net_address.h"

// The longest address text: INET6_ADDRSTRLEN less its terminating zero.
constexpr std::size_t address_text_max = 45;

// One flow. Addresses are 16 bytes in network order, an IPv4 address in
// its mapped form (::ffff:a.b.c.d), so that one comparison serves both
// families; ipv6 tells which the flow is. Counts and numbers in host order.
struct flow_record {
    net_address srcaddr;
    net_address dstaddr;
    net_address nexthop;
    std::uint64_t bytes = 0;
    std::uint64_t packets = 0;
    std::uint64_t start_ns = 0;  // first packet, ns since the epoch; 0 when not known
    std::uint64_t end_ns = 0;    // last packet
    std::uint32_t input = 0;     // ifIndexes
    std::uint32_t output = 0;
    std::uint32_t src_as = 0;
    std::uint32_t dst_as = 0;
    std::uint32_t sampling = 0;  // one packet in this many was looked at; 0: not stated
    std::uint16_t srcport = 0;
    std::uint16_t dstport = 0;
    std::uint8_t prot = 0;
    std::uint8_t tos = 0;
    std::uint8_t tcp_flags = 0;
    std::uint8_t src_mask = 0;
    std::uint8_t dst_mask = 0;
    bool ipv6 = false;
};

// An IPv4 address (network order) in its mapped form, as
// net_address::from_v4_net makes it; inline, for the records' hot path.
inline net_address mapped_v4(std::uint32_t addr)
{
    net_address a;
    a.bytes[10] = 0xff;
    a.bytes[11] = 0xff;
    std::memcpy(a.bytes.data() + 12, &addr, 4);
    return a;
}

// NetFlow v5's AS fields hold 16 bits; its number for a 32-bit AS.
constexpr std::uint32_t as_trans = 23456;

// The datagram whose flows are being handed on: who exported it and what
// its header says. Valid only while its flows are handled.
struct datagram_info {
    net_address exporter;  // IPv4 exporters in the mapped form
    std::uint16_t port = 0;     // the exporter's UDP source port; 0 when not known
    std::uint16_t version = 5;  // 5, 9 or 10 (IPFIX)
    // v5: engine type << 8 | engine id; v9: source id; IPFIX: observation
    // domain. With the exporter, what a sequence number counts within.
    std::uint32_t domain = 0;
    std::uint32_t sequence = 0;
    std::uint32_t export_secs = 0;  // the header's export time
    std::uint64_t received_ns = 0;  // when it was received; 0 when not known
    // The exporter as text for the listings; empty in top mode.
    char exporter_text[address_text_max + 1] = "";
};

// The port that, with the address, version and domain, tells one
// exporter's stream from another's: IPFIX scopes templates and sequence
// numbers to the transport session (address and port); v9 to the address
// and source id; v5 to the address and engine.
inline std::uint16_t session_port(const datagram_info& dg)
{
    return dg.version == 10 ? dg.port : 0;
}

// What handling input leaves for the loop to do besides waiting for more.
enum class input_end : std::uint8_t {
    none,
    flow_limit,     // the flow limit was reached
    end_of_stream,  // the relay closed the connection
    read_failed,    // reading the relay failed (errno says why)
    out_of_step,    // the framed stream gave a length no frame has
};

struct input_outcome {
    // An interval closed: its report is printed before more input is handled.
    bool interval_closed = false;
    input_end end = input_end::none;
};
