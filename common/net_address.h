// Addresses, prefixes and numbers as both programs read them from their
// command lines, and addresses as they come from the socket layer.
//
// An address is held as 16 bytes in network order: an IPv6 address, or an
// IPv4 address in its IPv4-mapped form (::ffff:a.b.c.d). A peer that the
// kernel hands over as a mapped IPv6 address is therefore the same value as
// the IPv4 address it stands for, and is judged, counted and shown as such.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct net_address {
    std::array<std::uint8_t, 16> bytes{};

    bool is_v4() const;
    // The IPv4 address in network order; only for is_v4().
    std::uint32_t v4_net() const;
    static net_address from_v4_net(std::uint32_t addr);
    friend bool operator==(const net_address&, const net_address&) = default;
    friend auto operator<=>(const net_address&, const net_address&) = default;
};

// A dotted-quad IPv4 address or an IPv6 address in any of its text forms
// (no zone, no brackets), nothing before or after it.
bool parse_address(std::string_view text, net_address* out);

// Dotted quad for IPv4 (mapped included), RFC 5952 text for IPv6.
std::string address_text(const net_address& a);

// The peer of a socket address of either family; port in host order.
net_address from_sockaddr(const sockaddr_storage& ss, std::uint16_t* port = nullptr);

// A socket address for a (address, port): sockaddr_in for IPv4, else
// sockaddr_in6. Returns its length.
socklen_t to_sockaddr(const net_address& a, std::uint16_t port, sockaddr_storage* ss);

// A prefix: the first `length` bits of net, counted over the 16 bytes, so
// that an IPv4 prefix a.b.c.d/n is ::ffff:a.b.c.d/(96 + n) and only ever
// matches IPv4 peers. net has no bits beyond the length.
struct net_prefix {
    net_address net;
    int length = 128;
};
using prefix_list = std::vector<net_prefix>;

// "a.b.c.d[/0..32]" or "IPv6[/0..128]"; false when it is neither or has
// bits set beyond its length (192.0.2.7/24 is more likely a slip than a
// wish for 192.0.2.0/24).
bool parse_prefix(std::string_view text, net_prefix* out);

// A comma-separated list of prefixes, appended to list only when every
// one of them is good.
bool parse_prefixes(const char* text, prefix_list& list);

bool in_prefix(const net_prefix& p, const net_address& a);
bool in_prefixes(const prefix_list& list, const net_address& a);

// A whole argument of decimal digits only, within [low, high].
bool parse_count(const char* arg, long long low, long long high, long long* value);

// A leading decimal number the way "%d" reads one: blanks and a sign
// allowed, anything after the digits ignored. False when there is none.
bool parse_leading_decimal(const char* arg, long long* value);
