#include "viewer/text_format.h"

#include <array>
#include <cmath>
#include <cstring>

namespace {

constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

int decimal_digits(unsigned long long v)
{
    int n = 1;
    for (;;) {
        if (v < 10)
            return n;
        if (v < 100)
            return n + 1;
        if (v < 1000)
            return n + 2;
        if (v < 10000)
            return n + 3;
        v /= 10000;
        n += 4;
    }
}

// The decimal digits of v, exactly n of them, written at p.
char* write_digits(char* p, unsigned long long v, int n)
{
    char* end = p + n;
    char* q = end;
    while (v >= 100) {
        unsigned i = static_cast<unsigned>(v % 100) * 2;
        v /= 100;
        *--q = digit_pairs[i + 1];
        *--q = digit_pairs[i];
    }
    if (v >= 10) {
        unsigned i = static_cast<unsigned>(v) * 2;
        *--q = digit_pairs[i + 1];
        *--q = digit_pairs[i];
    } else {
        *--q = static_cast<char>('0' + v);
    }
    return end;
}

// Dotted addresses are the bulk of a listing: each octet's text is looked
// up rather than divided out.
struct octet_entry {
    char text[3];
    unsigned char len;
};

constexpr std::array<octet_entry, 256> make_octet_texts()
{
    std::array<octet_entry, 256> t{};
    for (unsigned v = 0; v < 256; ++v) {
        octet_entry& e = t[v];
        if (v >= 100) {
            e.text[0] = static_cast<char>('0' + v / 100);
            e.text[1] = static_cast<char>('0' + v / 10 % 10);
            e.text[2] = static_cast<char>('0' + v % 10);
            e.len = 3;
        } else if (v >= 10) {
            e.text[0] = static_cast<char>('0' + v / 10);
            e.text[1] = static_cast<char>('0' + v % 10);
            e.len = 2;
        } else {
            e.text[0] = static_cast<char>('0' + v);
            e.len = 1;
        }
    }
    return t;
}

constexpr std::array<octet_entry, 256> octet_texts = make_octet_texts();

char* copy_padded(char* p, const char* s, std::size_t n, int width, bool left)
{
    std::size_t pad = width > 0 && static_cast<std::size_t>(width) > n
                          ? static_cast<std::size_t>(width) - n
                          : 0;
    if (!left) {
        std::memset(p, ' ', pad);
        p += pad;
    }
    std::memcpy(p, s, n);
    p += n;
    if (left) {
        std::memset(p, ' ', pad);
        p += pad;
    }
    return p;
}

void put_spaces(text_buffer& tb, std::size_t n)
{
    while (n > 0) {
        reserve_text(tb, 1);
        std::size_t room = text_buffer_size - tb.len;
        std::size_t k = n < room ? n : room;
        std::memset(tb.data + tb.len, ' ', k);
        tb.len += k;
        n -= k;
    }
}

std::size_t pad_for(std::size_t n, int width)
{
    return width > 0 && static_cast<std::size_t>(width) > n ? static_cast<std::size_t>(width) - n
                                                             : 0;
}

}  // namespace

char* format_int(char* p, long long v, int width, bool left)
{
    // The magnitude in unsigned arithmetic, so LLONG_MIN has one too.
    unsigned long long magnitude =
        v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    int digits = decimal_digits(magnitude);
    int len = digits + (v < 0 ? 1 : 0);
    int pad = width > len ? width - len : 0;
    if (pad > 0 && !left) {
        std::memset(p, ' ', static_cast<std::size_t>(pad));
        p += pad;
    }
    if (v < 0)
        *p++ = '-';
    p = write_digits(p, magnitude, digits);
    if (pad > 0 && left) {
        std::memset(p, ' ', static_cast<std::size_t>(pad));
        p += pad;
    }
    return p;
}

char* format_uint(char* p, unsigned long long v)
{
    return write_digits(p, v, decimal_digits(v));
}

char* format_ipv4(char* p, std::uint32_t addr)
{
    unsigned char octet[4];
    std::memcpy(octet, &addr, sizeof octet);
    for (int i = 0; i < 4; ++i) {
        if (i > 0)
            *p++ = '.';
        const octet_entry& e = octet_texts[octet[i]];
        std::memcpy(p, e.text, sizeof e.text);
        p += e.len;
    }
    return p;
}

char* format_ipv6(char* p, const std::uint8_t* a)
{
    static constexpr char hex[] = "0123456789abcdef";
    unsigned words[8];
    for (int i = 0; i < 8; ++i)
        words[i] = static_cast<unsigned>(a[2 * i] << 8 | a[2 * i + 1]);
    // The longest run of two or more zero groups, the first of equals, is
    // written as "::".
    int best = -1, best_len = 0;
    for (int i = 0; i < 8;) {
        if (words[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && words[j] == 0)
            ++j;
        if (j - i > best_len) {
            best = i;
            best_len = j - i;
        }
        i = j;
    }
    if (best_len < 2)
        best = -1;
    for (int i = 0; i < 8; ++i) {
        if (best >= 0 && i >= best && i < best + best_len) {
            if (i == best)
                *p++ = ':';
            continue;
        }
        if (i != 0)
            *p++ = ':';
        // IPv4-compatible and IPv4-mapped addresses end in a dotted quad.
        if (i == 6 && best == 0 && (best_len == 6 || (best_len == 5 && words[5] == 0xffff))) {
            std::uint32_t v4;
            std::memcpy(&v4, a + 12, 4);
            return format_ipv4(p, v4);
        }
        const unsigned w = words[i];
        bool started = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const unsigned nibble = w >> shift & 15;
            if (nibble != 0 || started || shift == 0) {
                *p++ = hex[nibble];
                started = true;
            }
        }
    }
    if (best >= 0 && best + best_len == 8)
        *p++ = ':';
    return p;
}

char* format_flow_number(char* p, double v)
{
    // Every whole double below 2^64 converts exactly, and its decimal digits
    // are what printf shows. Fractions (rounded half to even by printf),
    // negative zero, huge values, infinities and NaN go the slow way.
    if (!std::signbit(v) && v < 18446744073709551616.0) {
        auto whole = static_cast<unsigned long long>(v);
        if (static_cast<double>(whole) == v)
            return write_digits(p, whole, decimal_digits(whole));
    }
    char text[flow_number_text_max + 1];
    int n = std::snprintf(text, sizeof text, "%.0f", v);
    if (n < 0)
        return p;
    std::size_t len = static_cast<std::size_t>(n) < flow_number_text_max
                          ? static_cast<std::size_t>(n)
                          : flow_number_text_max;
    std::memcpy(p, text, len);
    return p + len;
}

void flush_text(text_buffer& tb)
{
    if (tb.len > 0)
        std::fwrite(tb.data, 1, tb.len, tb.out);
    tb.len = 0;
}

void put_text(text_buffer& tb, std::string_view s)
{
    if (s.size() > text_buffer_size - tb.len) {
        flush_text(tb);
        if (s.size() > text_buffer_size) {
            std::fwrite(s.data(), 1, s.size(), tb.out);
            return;
        }
    }
    std::memcpy(tb.data + tb.len, s.data(), s.size());
    tb.len += s.size();
}

void put_text(text_buffer& tb, const char* s, int width, int precision, bool left)
{
    std::size_t n = precision >= 0 ? strnlen(s, static_cast<std::size_t>(precision))
                                   : std::strlen(s);
    std::size_t pad = pad_for(n, width);
    if (n + pad <= text_buffer_size) {
        reserve_text(tb, n + pad);
        tb.len = static_cast<std::size_t>(copy_padded(tb.data + tb.len, s, n, width, left) -
                                          tb.data);
        return;
    }
    if (!left)
        put_spaces(tb, pad);
    put_text(tb, std::string_view(s, n));
    if (left)
        put_spaces(tb, pad);
}

void put_int_wide(text_buffer& tb, long long v, int width, bool left)
{
    char text[int_text_max];
    std::size_t n = static_cast<std::size_t>(format_int(text, v) - text);
    std::size_t pad = pad_for(n, width);
    if (!left)
        put_spaces(tb, pad);
    put_text(tb, std::string_view(text, n));
    if (left)
        put_spaces(tb, pad);
}
