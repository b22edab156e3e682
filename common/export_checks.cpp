#include "common/export_checks.h"

#include "common/nf5.h"

namespace {

// The header and records of a whole v5 export; anything after its records
// is cut.
std::size_t v5_length(const std::uint8_t* d, std::size_t len)
{
    if (len < nf5_header_size)
        return 0;
    std::size_t count = load_be16(d + 2);
    std::size_t need = nf5_header_size + nf5_record_size * count;
    return count > 0 && need <= len ? need : 0;
}

bool all_zero(const std::uint8_t* p, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        if (p[i] != 0)
            return false;
    return true;
}

// The records of one template or options template set, which fill the set
// but for padding (v9: zero bytes, as many as an exporter likes). v9 records are (id, count) then count (type, length)
// pairs; v9 options records (id, scope bytes, option bytes) then the
// pairs of both. IPFIX fields with the enterprise bit carry four more
// bytes; IPFIX options records add a scope field count; a field count of
// 0 is a withdrawal. No field may be 0 bytes long.
bool check_template_set(bool ipfix, std::uint16_t set_id, const std::uint8_t* p, std::size_t n,
                        std::vector<template_record>* out)
{
    const bool options = set_id == nf9_options_set || set_id == ipfix_options_set;
    std::size_t head = options ? 6 : 4;
    std::size_t off = 0;
    while (n - off >= 4) {
        const std::uint8_t* r = p + off;
        if (!ipfix && all_zero(r, n - off))
            return true;
        template_record t;
        t.set_id = set_id;
        t.template_id = load_be16(r);
        std::uint16_t second = load_be16(r + 2);
        if (ipfix && second == 0) {
            // Withdrawal: just the id and the zero count.
            t.withdrawal = true;
            t.bytes = r;
            t.size = 4;
            if (out)
                out->push_back(t);
            off += 4;
            continue;
        }
        if (n - off < head)
            return true;  // too short for a record: padding
        std::size_t fields;
        if (!ipfix && options) {
            std::uint16_t scope_bytes = second, option_bytes = load_be16(r + 4);
            if (scope_bytes % 4 || option_bytes % 4 || scope_bytes + option_bytes == 0)
                return false;
            fields = (scope_bytes + option_bytes) / 4u;
        } else {
            fields = second;
            if (ipfix && options) {
                std::uint16_t scope = load_be16(r + 4);
                if (scope == 0 || scope > fields)
                    return false;
            }
        }
        if (!ipfix && fields == 0)
            return false;  // a v9 template of no fields

        std::size_t at = off + head;
        for (std::size_t f = 0; f < fields; ++f) {
            if (n - at < 4)
                return false;
            std::uint16_t type = load_be16(p + at);
            std::uint16_t length = load_be16(p + at + 2);
            if (length == 0)
                return false;
            at += 4;
            if (ipfix && (type & 0x8000)) {
                if (n - at < 4)
                    return false;
                at += 4;
            }
        }
        t.bytes = r;
        t.size = at - off;
        if (out)
            out->push_back(t);
        off = at;
    }
    return true;  // fewer than four bytes left: padding
}

// Sets from offset `at` to `end`: each at least 4 bytes long and wholly
// inside. A v9 datagram may end with fewer than 4 bytes of padding, which
// are cut; an IPFIX message's sets must tile it exactly.
std::size_t check_sets(bool ipfix, const std::uint8_t* d, std::size_t at, std::size_t end,
                       std::vector<template_record>* out)
{
    while (end - at >= 4) {
        std::uint16_t id = load_be16(d + at);
        std::size_t length = load_be16(d + at + 2);
        if (length < 4 || length > end - at)
            return 0;
        bool is_template = ipfix ? id == ipfix_template_set || id == ipfix_options_set
                                 : id == nf9_template_set || id == nf9_options_set;
        if (is_template && !check_template_set(ipfix, id, d + at + 4, length - 4, out))
            return 0;
        at += length;
    }
    if (ipfix && at != end)
        return 0;
    return at;
}

}  // namespace

checked_export check_export(const std::uint8_t* d, std::size_t len,
                            std::vector<template_record>* templates)
{
    checked_export c;
    if (templates)
        templates->clear();
    if (len < 2)
        return c;
    c.version = load_be16(d);
    switch (c.version) {
    case nf5_version:
        c.length = v5_length(d, len);
        break;
    case nf9_version:
        if (len < nf9_header_size)
            break;
        c.domain = load_be32(d + 16);
        c.length = check_sets(false, d, nf9_header_size, len, templates);
        break;
    case ipfix_version: {
        if (len < ipfix_header_size)
            break;
        std::size_t message = load_be16(d + 2);
        if (message < ipfix_header_size || message > len)
            break;
        c.domain = load_be32(d + 12);
        c.length = check_sets(true, d, ipfix_header_size, message, templates);
        break;
    }
    default:
        break;
    }
    if (c.length == 0 && templates)
        templates->clear();
    return c;
}
