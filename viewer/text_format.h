// Fast text formatting for the per-flow output paths.
//
// A listing prints millions of records a second, far more than a printf call
// per field allows. These routines give the same bytes as the printf
// conversions named beside them, append to a fixed buffer and leave one
// write per record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

// Longest text of format_int: a sign and 20 digits, or the width if wider.
constexpr std::size_t int_text_max = 21;
// Longest text of format_ipv4: "255.255.255.255".
constexpr std::size_t ipv4_text_max = 15;
// Longest text of format_ipv6: six groups and a dotted quad.
constexpr std::size_t ipv6_text_max = 45;
// Longest text of format_flow_number: "%.0f" of -DBL_MAX is 310 characters.
constexpr std::size_t flow_number_text_max = 320;

// Low level: each writes at p, which must have room for the longest text
// (or the width, when larger), adds no terminating zero, and returns the
// end of what it wrote.

// "%d" / "%u" of v; with a width, "%<width>d", or "%-<width>d" when left.
char* format_int(char* p, long long v, int width = 0, bool left = false);

// "%llu" of v.
char* format_uint(char* p, unsigned long long v);

// inet_ntoa of an IPv4 address held in network order.
char* format_ipv4(char* p, std::uint32_t addr);

// inet_ntop of the IPv6 address in the 16 bytes at a (RFC 5952 text).
char* format_ipv6(char* p, const std::uint8_t* a);

// "%.0f" of v.
char* format_flow_number(char* p, double v);

// A record's text on its way to a stream. Whatever does not fit is written
// out first, so any length is printed whole and nothing is written past the
// buffer. No allocation: it lives on the caller's stack.
constexpr std::size_t text_buffer_size = 2048;

struct text_buffer {
    explicit text_buffer(std::FILE* to) : out(to) {}
    text_buffer(const text_buffer&) = delete;
    text_buffer& operator=(const text_buffer&) = delete;

    std::FILE* out;
    std::size_t len = 0;
    char data[text_buffer_size];  // left uninitialised on purpose: per record
};

// Writes what the buffer holds to its stream with one fwrite and empties it.
void flush_text(text_buffer& tb);

// What the buffer holds and has not yet written.
inline std::string_view text_of(const text_buffer& tb)
{
    return {tb.data, tb.len};
}

// Makes room for n more bytes, writing the buffer out when needed.
inline void reserve_text(text_buffer& tb, std::size_t n)
{
    if (text_buffer_size - tb.len < n)
        flush_text(tb);
}

inline void put_char(text_buffer& tb, char c)
{
    reserve_text(tb, 1);
    tb.data[tb.len++] = c;
}

// "%s" of s.
void put_text(text_buffer& tb, std::string_view s);

// "%<width>.<precision>s" of s, "%-<width>.<precision>s" when left; a
// negative precision means none.
void put_text(text_buffer& tb, const char* s, int width, int precision = -1,
              bool left = false);

// Widths up to this are formatted in place; wider ones are padded in pieces.
constexpr int inline_width_max = 64;

void put_int_wide(text_buffer& tb, long long v, int width, bool left);

// As format_int.
inline void put_int(text_buffer& tb, long long v, int width = 0, bool left = false)
{
    if (width > inline_width_max) {
        put_int_wide(tb, v, width, left);
        return;
    }
    reserve_text(tb, int_text_max + inline_width_max);
    tb.len = static_cast<std::size_t>(format_int(tb.data + tb.len, v, width, left) - tb.data);
}

inline void put_ipv4(text_buffer& tb, std::uint32_t addr)
{
    reserve_text(tb, ipv4_text_max);
    tb.len = static_cast<std::size_t>(format_ipv4(tb.data + tb.len, addr) - tb.data);
}

inline void put_uint(text_buffer& tb, unsigned long long v)
{
    reserve_text(tb, int_text_max);
    tb.len = static_cast<std::size_t>(format_uint(tb.data + tb.len, v) - tb.data);
}

inline void put_ipv6(text_buffer& tb, const std::uint8_t* a)
{
    reserve_text(tb, ipv6_text_max);
    tb.len = static_cast<std::size_t>(format_ipv6(tb.data + tb.len, a) - tb.data);
}

inline void put_flow_number(text_buffer& tb, double v)
{
    reserve_text(tb, flow_number_text_max);
    tb.len = static_cast<std::size_t>(format_flow_number(tb.data + tb.len, v) - tb.data);
}

// A text literal, without its terminating zero.
template <std::size_t N>
inline void put_literal(text_buffer& tb, const char (&s)[N])
{
    static_assert(N - 1 <= text_buffer_size);
    reserve_text(tb, N - 1);
    std::memcpy(tb.data + tb.len, s, N - 1);
    tb.len += N - 1;
}
