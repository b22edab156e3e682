// The fast formatters must print exactly what the printf conversions they
// replace print, for every value a listing can meet.
#include "viewer/text_format.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <array>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::string printf_text(const char* format, auto... args)
{
    char text[4096];
    int n = std::snprintf(text, sizeof text, format, args...);
    return std::string(text, static_cast<std::size_t>(n));
}

TEST(FormatInt, MatchesPrintfWithWidthsAndAlignment)
{
    std::vector<long long> values{0,    1,     -1,     9,     10,      99,      100,       65535,
                                  1023, 99999, 100000, INT_MAX, INT_MIN, UINT_MAX, LLONG_MIN};
    std::mt19937_64 rng(20011004);
    for (int i = 0; i < 3000; ++i) {
        auto x = static_cast<long long>(rng() >> (rng() % 64));
        values.push_back(i % 2 ? x : -x);
    }
    struct conversion {
        const char* format;
        int width;
        bool left;
    };
    const conversion conversions[] = {{"%lld", 0, false},  {"%2lld", 2, false},
                                      {"%5lld", 5, false}, {"%-6lld", 6, true},
                                      {"%-1lld", 1, true}, {"%25lld", 25, false},
                                      {"%-25lld", 25, true}};
    for (long long v : values)
        for (const conversion& c : conversions) {
            char text[int_text_max + 32];
            ASSERT_EQ(std::string(text, format_int(text, v, c.width, c.left)),
                      printf_text(c.format, v))
                << c.format << " of " << v;
        }
}

TEST(FormatIpv4, MatchesInetNtoa)
{
    std::vector<std::uint32_t> hosts{0, 0xffffffff, 0x0a000001, 0x01000001, 0x640a0a64};
    std::mt19937 rng(4444);
    for (int i = 0; i < 5000; ++i)
        hosts.push_back(static_cast<std::uint32_t>(rng()));
    for (std::uint32_t host : hosts) {
        in_addr a{htonl(host)};
        char text[ipv4_text_max];  // exactly the longest: a write past it is caught
        ASSERT_EQ(std::string(text, format_ipv4(text, a.s_addr)), inet_ntoa(a));
    }
}

// Addresses with runs of zero groups of every length and place, the
// IPv4-mapped and -compatible forms, and random ones, zeros sprinkled in.
TEST(FormatIpv6, MatchesInetNtop)
{
    std::vector<std::array<std::uint8_t, 16>> addresses;
    std::mt19937_64 rng(2001);
    for (unsigned mask = 0; mask < 256; ++mask) {
        std::array<std::uint8_t, 16> a{};
        for (int g = 0; g < 8; ++g)
            if (mask & (1u << g))
                a[2 * g + 1] = static_cast<std::uint8_t>(g + 1);
        addresses.push_back(a);
        a[10] = a[11] = 0xff;  // ::ffff:... where the rest is zero
        addresses.push_back(a);
    }
    for (int i = 0; i < 20000; ++i) {
        std::array<std::uint8_t, 16> a{};
        for (int g = 0; g < 8; ++g) {
            if (rng() % 3 == 0)
                continue;
            const auto w = static_cast<std::uint16_t>(rng() >> (rng() % 64));
            a[2 * g] = static_cast<std::uint8_t>(w >> 8);
            a[2 * g + 1] = static_cast<std::uint8_t>(w);
        }
        addresses.push_back(a);
    }
    for (const auto& a : addresses) {
        char want[INET6_ADDRSTRLEN];
        ASSERT_NE(inet_ntop(AF_INET6, a.data(), want, sizeof want), nullptr);
        char text[ipv6_text_max];  // exactly the longest: a write past it is caught
        ASSERT_EQ(std::string(text, format_ipv6(text, a.data())), want);
    }
}

TEST(FormatUint, MatchesPercentLlu)
{
    std::mt19937_64 rng(64);
    for (int i = 0; i < 5000; ++i) {
        const unsigned long long v = i < 3 ? ULLONG_MAX - static_cast<unsigned>(i) : rng() >> (i % 64);
        char text[int_text_max];
        ASSERT_EQ(std::string(text, format_uint(text, v)), printf_text("%llu", v));
    }
}

TEST(FormatFlowNumber, MatchesPercentDotZeroF)
{
    const double two64 = 18446744073709551616.0;
    std::vector<double> values{0.0,   -0.0,     1.0,     -1.0,    0.5,     1.5,
                               2.5,   1e6 + 0.5, 9007199254740993.0, std::nextafter(two64, 0.0),
                               two64, 1e300,    DBL_MAX, -DBL_MAX, DBL_MIN, HUGE_VAL,
                               -HUGE_VAL, std::nan("")};
    std::mt19937_64 rng(2001);
    for (int i = 0; i < 3000; ++i) {
        values.push_back(static_cast<double>(rng() >> (rng() % 64)));
        values.push_back(std::ldexp(static_cast<double>(rng() >> 11),
                                    static_cast<int>(rng() % 80) - 60));
    }
    for (double v : values) {
        char text[flow_number_text_max];
        ASSERT_EQ(std::string(text, format_flow_number(text, v)), printf_text("%.0f", v)) << v;
    }
}

TEST(PutText, WidthPrecisionAndAlignmentMatchPrintf)
{
    const std::string long_name(300, 'n');
    const char* strings[] = {"", "<unknown>", "255.255.255.255", "1234567890123",
                             "EXAMPLE-NETWORK-ONE", long_name.c_str()};
    const int sizes[][2] = {{0, -1}, {15, -1}, {17, -1}, {15, 15}, {13, 13}, {5, 2}, {0, 0},
                            {120, 200}};
    for (const char* s : strings)
        for (const auto& [width, precision] : sizes)
            for (bool left : {false, true}) {
                text_buffer tb(stdout);
                put_text(tb, s, width, precision, left);
                std::string want =
                    precision < 0
                        ? printf_text(left ? "%-*s" : "%*s", width, s)
                        : printf_text(left ? "%-*.*s" : "%*.*s", width, precision, s);
                ASSERT_EQ(std::string(text_of(tb)), want) << width << "." << precision << " " << s;
            }
}

// A full buffer writes out what it holds and goes on, so texts of any
// length come out whole and in order.
TEST(TextBuffer, OverflowGoesOutInOrder)
{
    char* mem = nullptr;
    std::size_t mem_size = 0;
    std::FILE* out = open_memstream(&mem, &mem_size);
    ASSERT_NE(out, nullptr);
    std::string want;
    {
        text_buffer tb(out);
        const std::string big(3 * text_buffer_size + 17, 'x');
        for (int i = 0; i < 300; ++i) {
            put_int(tb, i * 7919, 9, i % 2 == 0);
            put_literal(tb, ":");
            put_ipv4(tb, htonl(0x0a000000u + static_cast<std::uint32_t>(i)));
            put_flow_number(tb, i);
            put_int(tb, -i, 200);
            put_text(tb, "ab", 3000, -1, true);
            want += printf_text(i % 2 == 0 ? "%-9d:10.0.%d.%d%d%200d%-3000s"
                                           : "%9d:10.0.%d.%d%d%200d%-3000s",
                                i * 7919, i / 256, i % 256, i, -i, "ab");
            if (i % 100 == 0) {
                put_text(tb, big);
                want += big;
            }
        }
        flush_text(tb);
    }
    std::fclose(out);
    std::string got(mem, mem_size);
    std::free(mem);
    EXPECT_TRUE(got == want) << got.size() << " bytes instead of " << want.size();
}

}  // namespace
