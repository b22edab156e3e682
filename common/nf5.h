// Wire layouts shared by nelkd and nelk: the relay frame and the NetFlow
// version 5 export header and flow record.
//
// Everything received from the network is decoded with explicit big-endian
// reads from a buffer of known length; a received buffer is never cast to
// one of these structs. The structs hold decoded values: counters, ports,
// ifIndexes and AS numbers in host order, IPv4 addresses left in network
// order (the form in which they are compared with command-line addresses and
// turned into dotted text).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Relay frame: the exporting router's IPv4 address (network order), then the
// datagram exactly as received. Frames follow each other with no length,
// greeting or delimiter.
constexpr std::size_t relay_addr_size = 4;
constexpr std::size_t relay_max_datagram = 8192;
constexpr std::size_t relay_max_frame = relay_addr_size + relay_max_datagram;

constexpr std::uint16_t nf5_version = 5;
constexpr std::size_t nf5_header_size = 24;
constexpr std::size_t nf5_record_size = 48;
// Router address and v5 header: what a reader takes before it knows the count.
constexpr std::size_t relay_frame_head_size = relay_addr_size + nf5_header_size;

struct nf5_header {
    std::uint16_t version;
    std::uint16_t count;
    std::uint32_t SysUptime;
    std::uint32_t unix_secs;
    std::uint32_t unix_nsecs;
    std::uint32_t flow_sequence;
    std::uint8_t engine_type;
    std::uint8_t engine_id;
    std::uint16_t sampling_interval;  // left in network order
};

struct nf5_record {
    std::uint32_t srcaddr;  // network order
    std::uint32_t dstaddr;  // network order
    std::uint32_t nexthop;  // network order
    std::uint16_t input;
    std::uint16_t output;
    std::uint32_t dPkts;
    std::uint32_t dOctets;
    std::uint32_t First;
    std::uint32_t Last;
    std::uint16_t srcport;
    std::uint16_t dstport;
    std::uint8_t pad1;
    std::uint8_t tcp_flags;
    std::uint8_t prot;
    std::uint8_t tos;
    std::uint16_t src_as;
    std::uint16_t dst_as;
    std::uint8_t src_mask;
    std::uint8_t dst_mask;
    std::uint16_t pad2;
};

// The in-memory structs mirror the wire layout field for field, so the
// offsets below are the wire offsets too.
static_assert(sizeof(nf5_header) == nf5_header_size);
static_assert(offsetof(nf5_header, count) == 2);
static_assert(offsetof(nf5_header, SysUptime) == 4);
static_assert(offsetof(nf5_header, unix_secs) == 8);
static_assert(offsetof(nf5_header, unix_nsecs) == 12);
static_assert(offsetof(nf5_header, flow_sequence) == 16);
static_assert(offsetof(nf5_header, engine_type) == 20);
static_assert(offsetof(nf5_header, engine_id) == 21);
static_assert(offsetof(nf5_header, sampling_interval) == 22);

static_assert(sizeof(nf5_record) == nf5_record_size);
static_assert(offsetof(nf5_record, dstaddr) == 4);
static_assert(offsetof(nf5_record, nexthop) == 8);
static_assert(offsetof(nf5_record, input) == 12);
static_assert(offsetof(nf5_record, output) == 14);
static_assert(offsetof(nf5_record, dPkts) == 16);
static_assert(offsetof(nf5_record, dOctets) == 20);
static_assert(offsetof(nf5_record, First) == 24);
static_assert(offsetof(nf5_record, Last) == 28);
static_assert(offsetof(nf5_record, srcport) == 32);
static_assert(offsetof(nf5_record, dstport) == 34);
static_assert(offsetof(nf5_record, pad1) == 36);
static_assert(offsetof(nf5_record, tcp_flags) == 37);
static_assert(offsetof(nf5_record, prot) == 38);
static_assert(offsetof(nf5_record, tos) == 39);
static_assert(offsetof(nf5_record, src_as) == 40);
static_assert(offsetof(nf5_record, dst_as) == 42);
static_assert(offsetof(nf5_record, src_mask) == 44);
static_assert(offsetof(nf5_record, dst_mask) == 45);
static_assert(offsetof(nf5_record, pad2) == 46);

// Big-endian accessors. Callers guarantee the bytes exist.
inline std::uint16_t load_be16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

inline std::uint32_t load_be32(const std::uint8_t* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
           (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}

// Network-order 32-bit value: the four bytes as they stand.
inline std::uint32_t load_net32(const std::uint8_t* p)
{
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store_be16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

inline void store_be32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

inline void store_net32(std::uint8_t* p, std::uint32_t v)
{
    std::memcpy(p, &v, sizeof v);
}

// Decodes the 24 header bytes at p.
inline nf5_header decode_nf5_header(const std::uint8_t* p)
{
    nf5_header h;
    h.version = load_be16(p + 0);
    h.count = load_be16(p + 2);
    h.SysUptime = load_be32(p + 4);
    h.unix_secs = load_be32(p + 8);
    h.unix_nsecs = load_be32(p + 12);
    h.flow_sequence = load_be32(p + 16);
    h.engine_type = p[20];
    h.engine_id = p[21];
    std::memcpy(&h.sampling_interval, p + 22, 2);
    return h;
}

// The sampling interval a decoded header announces: the low 14 bits of
// sampling_interval, which stays in network order (the top two bits give the
// sampling mode). 0: the exporter states none.
inline std::uint16_t nf5_sampling_interval(const nf5_header& h)
{
    std::uint8_t b[2];
    std::memcpy(b, &h.sampling_interval, 2);
    return load_be16(b) & 0x3fff;
}

// Decodes the 48 record bytes at p.
inline nf5_record decode_nf5_record(const std::uint8_t* p)
{
    nf5_record r;
    r.srcaddr = load_net32(p + 0);
    r.dstaddr = load_net32(p + 4);
    r.nexthop = load_net32(p + 8);
    r.input = load_be16(p + 12);
    r.output = load_be16(p + 14);
    r.dPkts = load_be32(p + 16);
    r.dOctets = load_be32(p + 20);
    r.First = load_be32(p + 24);
    r.Last = load_be32(p + 28);
    r.srcport = load_be16(p + 32);
    r.dstport = load_be16(p + 34);
    r.pad1 = p[36];
    r.tcp_flags = p[37];
    r.prot = p[38];
    r.tos = p[39];
    r.src_as = load_be16(p + 40);
    r.dst_as = load_be16(p + 42);
    r.src_mask = p[44];
    r.dst_mask = p[45];
    std::memcpy(&r.pad2, p + 46, 2);
    return r;
}

// Encoders, the inverse of the decoders: used by the traffic generator and
// the tests to build datagrams a router would send.
inline void encode_nf5_header(std::uint8_t* p, const nf5_header& h)
{
    store_be16(p + 0, h.version);
    store_be16(p + 2, h.count);
    store_be32(p + 4, h.SysUptime);
    store_be32(p + 8, h.unix_secs);
    store_be32(p + 12, h.unix_nsecs);
    store_be32(p + 16, h.flow_sequence);
    p[20] = h.engine_type;
    p[21] = h.engine_id;
    std::memcpy(p + 22, &h.sampling_interval, 2);
}

inline void encode_nf5_record(std::uint8_t* p, const nf5_record& r)
{
    store_net32(p + 0, r.srcaddr);
    store_net32(p + 4, r.dstaddr);
    store_net32(p + 8, r.nexthop);
    store_be16(p + 12, r.input);
    store_be16(p + 14, r.output);
    store_be32(p + 16, r.dPkts);
    store_be32(p + 20, r.dOctets);
    store_be32(p + 24, r.First);
    store_be32(p + 28, r.Last);
    store_be16(p + 32, r.srcport);
    store_be16(p + 34, r.dstport);
    p[36] = r.pad1;
    p[37] = r.tcp_flags;
    p[38] = r.prot;
    p[39] = r.tos;
    store_be16(p + 40, r.src_as);
    store_be16(p + 42, r.dst_as);
    p[44] = r.src_mask;
    p[45] = r.dst_mask;
    std::memcpy(p + 46, &r.pad2, 2);
}
