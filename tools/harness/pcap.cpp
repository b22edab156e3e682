#include "tools/harness/pcap.h"

#include <cstdio>
#include <cstring>

#include "common/nf5.h"

namespace harness {

namespace {

// pcap's own headers are in the writer's byte order.
void put_host32(std::vector<std::uint8_t>& b, std::uint32_t v)
{
    std::uint8_t bytes[4];
    std::memcpy(bytes, &v, 4);
    b.insert(b.end(), bytes, bytes + 4);
}

}  // namespace

pcap_writer::pcap_writer()
{
    put_host32(file, 0xa1b2c3d4);
    const std::uint16_t version[] = {2, 4};
    const auto* v = reinterpret_cast<const std::uint8_t*>(version);
    file.insert(file.end(), v, v + sizeof version);
    put_host32(file, 0);      // thiszone
    put_host32(file, 0);      // sigfigs
    put_host32(file, 65535);  // snaplen
    put_host32(file, 1);      // Ethernet
}

void pcap_writer::add(std::uint16_t ethertype, std::span<const std::uint8_t> packet,
                      std::uint32_t sec, std::uint32_t usec)
{
    const std::uint8_t ethernet[14] = {0x02, 0, 0, 0, 0, 2, 0x02, 0, 0, 0, 0, 1,
                                       static_cast<std::uint8_t>(ethertype >> 8),
                                       static_cast<std::uint8_t>(ethertype)};
    const auto length = static_cast<std::uint32_t>(sizeof ethernet + packet.size());
    put_host32(file, sec);
    put_host32(file, usec);
    put_host32(file, length);
    put_host32(file, length);
    file.insert(file.end(), ethernet, ethernet + sizeof ethernet);
    file.insert(file.end(), packet.begin(), packet.end());
}

void pcap_writer::add_udp(std::span<const std::uint8_t> payload, std::uint16_t port,
                          std::uint32_t sec, std::uint32_t usec)
{
    std::vector<std::uint8_t> packet(20 + 8 + payload.size());
    std::uint8_t* ip = packet.data();
    ip[0] = 0x45;
    store_be16(ip + 2, static_cast<std::uint16_t>(packet.size()));
    store_be16(ip + 4, ip_id++);
    ip[6] = 0x40;  // don't fragment
    ip[8] = 64;
    ip[9] = 17;  // UDP
    const std::uint8_t lo[4] = {127, 0, 0, 1};
    std::memcpy(ip + 12, lo, 4);
    std::memcpy(ip + 16, lo, 4);
    store_be16(ip + 10, ip_checksum(ip, 20));
    std::uint8_t* udp = ip + 20;
    store_be16(udp, 40000);
    store_be16(udp + 2, port);
    store_be16(udp + 4, static_cast<std::uint16_t>(8 + payload.size()));
    std::memcpy(udp + 8, payload.data(), payload.size());
    add(0x0800, packet, sec, usec);
}

bool pcap_writer::save(const std::string& path) const
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = std::fwrite(file.data(), 1, file.size(), f) == file.size();
    return std::fclose(f) == 0 && ok;
}

std::uint16_t ip_checksum(const std::uint8_t* p, std::size_t n)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < n; i += 2)
        sum += static_cast<std::uint32_t>(p[i] << 8 | p[i + 1]);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

}  // namespace harness
