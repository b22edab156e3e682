// The framed stream: nelkd's stream of every datagram it relays, of every
// NetFlow version, from exporters of either address family. nelkd(8)
// documents it for readers of other programs; this is the one definition
// both programs build it from.
//
// The stream opens with an 8-byte greeting, then frames back to back. Each
// frame is a 32-byte head, then the datagram as the relay checked it:
//
//   offset size  field
//   0      4     frame length, head included (32 + datagram bytes)
//   4      1     kind: 1 a datagram as received, 2 a template replayed
//   5      1     exporter's address family: 4 or 6
//   6      2     exporter's UDP source port
//   8      8     time the relay received it, ns since the epoch (UTC)
//   16     16    exporter's address: IPv6, or IPv4 as ::ffff:a.b.c.d
//
// Every number is big-endian. An IPv4 exporter's address thus takes the
// head's last four bytes, right before the datagram.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/net_address.h"
#include "common/nf5.h"

// "NELKFS" and the format's version. Bytes 4 and 5 are never 00 05, the
// place where the relay stream's first frame has its version.
constexpr std::array<std::uint8_t, 8> framed_greeting = {'N', 'E', 'L', 'K', 'F', 'S', 0, 1};
constexpr std::size_t framed_head_size = 32;
// The largest datagram a frame carries: UDP's own limit.
constexpr std::size_t framed_max_datagram = 65535;
constexpr std::size_t framed_max_frame = framed_head_size + framed_max_datagram;

enum framed_kind : std::uint8_t {
    framed_live = 1,      // a datagram as an exporter sent it (checked, padding cut)
    framed_replayed = 2,  // a template the relay held, for a viewer that just came
};

struct framed_head {
    std::uint32_t length = 0;
    std::uint8_t kind = framed_live;
    std::uint8_t family = 4;
    std::uint16_t port = 0;
    std::uint64_t time_ns = 0;
    net_address exporter;
};

inline void store_be64(std::uint8_t* p, std::uint64_t v)
{
    store_be32(p, static_cast<std::uint32_t>(v >> 32));
    store_be32(p + 4, static_cast<std::uint32_t>(v));
}

inline std::uint64_t load_be64(const std::uint8_t* p)
{
    return (std::uint64_t{load_be32(p)} << 32) | load_be32(p + 4);
}

inline void encode_framed_head(std::uint8_t* p, const framed_head& h)
{
    store_be32(p, h.length);
    p[4] = h.kind;
    p[5] = h.family;
    store_be16(p + 6, h.port);
    store_be64(p + 8, h.time_ns);
    std::memcpy(p + 16, h.exporter.bytes.data(), 16);
}

inline framed_head decode_framed_head(const std::uint8_t* p)
{
    framed_head h;
    h.length = load_be32(p);
    h.kind = p[4];
    h.family = p[5];
    h.port = load_be16(p + 6);
    h.time_ns = load_be64(p + 8);
    std::memcpy(h.exporter.bytes.data(), p + 16, 16);
    return h;
}
