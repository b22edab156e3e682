// Capture files for the exporters and decoders that read them: softflowd
// makes flows of a capture, tshark dissects exports from one. Classic pcap
// of Ethernet frames, in this machine's byte order, as a capture on it
// would be.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace harness {

struct pcap_writer {
    std::vector<std::uint8_t> file;  // the whole capture so far
    std::uint16_t ip_id = 0;         // identification of the next UDP packet

    pcap_writer();  // the file header: Ethernet, a snapshot length of 65535
    // One Ethernet frame of the given type (0x0800 IPv4, 0x86dd IPv6)
    // around packet, captured at sec.usec.
    void add(std::uint16_t ethertype, std::span<const std::uint8_t> packet, std::uint32_t sec,
             std::uint32_t usec = 0);
    // A UDP datagram over IPv4 from 127.0.0.1:40000 to 127.0.0.1:port.
    void add_udp(std::span<const std::uint8_t> payload, std::uint16_t port, std::uint32_t sec,
                 std::uint32_t usec = 0);
    bool save(const std::string& path) const;
};

// The checksum of an IPv4 header.
std::uint16_t ip_checksum(const std::uint8_t* p, std::size_t n);

}  // namespace harness
