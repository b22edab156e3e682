#include "common/net_address.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::array<std::uint8_t, 12> mapped_prefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool text_to(int family, std::string_view text, void* out)
{
    char buf[INET6_ADDRSTRLEN];
    if (text.empty() || text.size() >= sizeof buf)
        return false;
    text.copy(buf, text.size());
    buf[text.size()] = '\0';
    return inet_pton(family, buf, out) == 1;
}

}  // namespace

bool net_address::is_v4() const
{
    return std::memcmp(bytes.data(), mapped_prefix.data(), mapped_prefix.size()) == 0;
}

std::uint32_t net_address::v4_net() const
{
    std::uint32_t v;
    std::memcpy(&v, bytes.data() + 12, 4);
    return v;
}

net_address net_address::from_v4_net(std::uint32_t addr)
{
    net_address a;
    std::memcpy(a.bytes.data(), mapped_prefix.data(), mapped_prefix.size());
    std::memcpy(a.bytes.data() + 12, &addr, 4);
    return a;
}

bool parse_address(std::string_view text, net_address* out)
{
    in_addr v4{};
    if (text_to(AF_INET, text, &v4)) {
        *out = net_address::from_v4_net(v4.s_addr);
        return true;
    }
    in6_addr v6{};
    if (!text_to(AF_INET6, text, &v6))
        return false;
    std::memcpy(out->bytes.data(), &v6, 16);
    return true;
}

std::string address_text(const net_address& a)
{
    char buf[INET6_ADDRSTRLEN];
    if (a.is_v4()) {
        in_addr v4{a.v4_net()};
        inet_ntop(AF_INET, &v4, buf, sizeof buf);
    } else {
        inet_ntop(AF_INET6, a.bytes.data(), buf, sizeof buf);
    }
    return buf;
}

net_address from_sockaddr(const sockaddr_storage& ss, std::uint16_t* port)
{
    net_address a;
    if (ss.ss_family == AF_INET) {
        const auto& sin = reinterpret_cast<const sockaddr_in&>(ss);
        a = net_address::from_v4_net(sin.sin_addr.s_addr);
        if (port)
            *port = ntohs(sin.sin_port);
    } else if (ss.ss_family == AF_INET6) {
        const auto& sin6 = reinterpret_cast<const sockaddr_in6&>(ss);
        std::memcpy(a.bytes.data(), &sin6.sin6_addr, 16);
        if (port)
            *port = ntohs(sin6.sin6_port);
    } else if (port) {
        *port = 0;
    }
    return a;
}

socklen_t to_sockaddr(const net_address& a, std::uint16_t port, sockaddr_storage* ss)
{
    *ss = sockaddr_storage{};
    if (a.is_v4()) {
        auto& sin = reinterpret_cast<sockaddr_in&>(*ss);
        sin.sin_family = AF_INET;
        sin.sin_port = htons(port);
        sin.sin_addr.s_addr = a.v4_net();
        return sizeof sin;
    }
    auto& sin6 = reinterpret_cast<sockaddr_in6&>(*ss);
    sin6.sin6_family = AF_INET6;
    sin6.sin6_port = htons(port);
    std::memcpy(&sin6.sin6_addr, a.bytes.data(), 16);
    return sizeof sin6;
}

bool parse_prefix(std::string_view text, net_prefix* out)
{
    std::string_view addr = text;
    long long length = -1;
    if (auto slash = text.find('/'); slash != std::string_view::npos) {
        addr = text.substr(0, slash);
        std::string digits(text.substr(slash + 1));
        if (!parse_count(digits.c_str(), 0, 128, &length))
            return false;
    }
    net_address a;
    if (!parse_address(addr, &a))
        return false;
    // The text says which family it is: ::ffff:192.0.2.1 is IPv6 text for
    // an IPv4 peer, and takes IPv6 lengths.
    bool v4_text = addr.find(':') == std::string_view::npos;
    if (v4_text && length > 32)
        return false;
    int bits = length < 0 ? 128 : static_cast<int>(v4_text ? 96 + length : length);
    for (int i = bits; i < 128; ++i)
        if (a.bytes[i / 8] & (0x80 >> (i % 8)))
            return false;
    *out = {a, bits};
    return true;
}

bool parse_prefixes(const char* text, prefix_list& list)
{
    std::string_view rest = text;
    prefix_list found;
    for (;;) {
        auto comma = rest.find(',');
        net_prefix p;
        if (!parse_prefix(rest.substr(0, comma), &p))
            return false;
        found.push_back(p);
        if (comma == std::string_view::npos)
            break;
        rest.remove_prefix(comma + 1);
    }
    list.insert(list.end(), found.begin(), found.end());
    return true;
}

bool in_prefix(const net_prefix& p, const net_address& a)
{
    int whole = p.length / 8;
    if (std::memcmp(p.net.bytes.data(), a.bytes.data(), static_cast<std::size_t>(whole)) != 0)
        return false;
    int rest = p.length % 8;
    if (rest == 0)
        return true;
    std::uint8_t mask = static_cast<std::uint8_t>(0xff << (8 - rest));
    return (a.bytes[whole] & mask) == p.net.bytes[whole];
}

bool in_prefixes(const prefix_list& list, const net_address& a)
{
    for (const net_prefix& p : list)
        if (in_prefix(p, a))
            return true;
    return false;
}

bool parse_count(const char* arg, long long low, long long high, long long* value)
{
    long long v = 0;
    for (const char* p = arg; *p; ++p) {
        if (*p < '0' || *p > '9' || v > high)
            return false;
        v = v * 10 + (*p - '0');
    }
    if (*arg == '\0' || v < low || v > high)
        return false;
    *value = v;
    return true;
}

bool parse_leading_decimal(const char* arg, long long* value)
{
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(arg, &end, 10);
    if (end == arg)
        return false;
    *value = v;
    return true;
}
