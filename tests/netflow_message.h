// NetFlow v9 and IPFIX messages for the tests, built from words: a header,
// then sets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/nf5.h"

namespace test_messages {

using bytes = std::vector<std::uint8_t>;

struct message {
    bytes b;
    message& u16(unsigned v)
    {
        b.push_back(static_cast<std::uint8_t>(v >> 8));
        b.push_back(static_cast<std::uint8_t>(v));
        return *this;
    }
    message& u32(std::uint32_t v) { return u16(v >> 16).u16(v & 0xffff); }
    message& pad(std::size_t n)
    {
        b.insert(b.end(), n, 0);
        return *this;
    }
    // A set (flowset) of the given id around body.
    message& set(unsigned id, const bytes& body)
    {
        u16(id).u16(static_cast<unsigned>(4 + body.size()));
        b.insert(b.end(), body.begin(), body.end());
        return *this;
    }
};

// Header fields: sequence and source id (observation domain) as given.
inline message v9(std::uint32_t sequence = 42, std::uint32_t domain = 7)
{
    return message{}.u16(9).u16(1).u32(1000).u32(1700000000).u32(sequence).u32(domain);
}
// An IPFIX header claiming `length` bytes (0: fixed later by sized()).
inline message ipfix(unsigned length = 0, std::uint32_t sequence = 42, std::uint32_t domain = 7)
{
    return message{}.u16(10).u16(length).u32(1700000000).u32(sequence).u32(domain);
}
inline bytes sized(message m)
{
    store_be16(m.b.data() + 2, static_cast<std::uint16_t>(m.b.size()));
    return m.b;
}

// A template record: its id, then `fields` fields of 4 bytes with types
// that follow from `seed`.
inline bytes template_record_of(unsigned id, unsigned fields, unsigned seed = 1)
{
    message m;
    m.u16(id).u16(fields);
    for (unsigned f = 0; f < fields; ++f)
        m.u16(1 + (seed * 7 + f) % 200).u16(4);
    return m.b;
}

// An options template record: v9 (scope and option lengths in bytes) or
// IPFIX (field count, then scope field count), one scope field and
// `fields` option fields.
inline bytes options_record_of(bool ipfix_form, unsigned id, unsigned fields)
{
    message m;
    if (ipfix_form)
        m.u16(id).u16(1 + fields).u16(1);
    else
        m.u16(id).u16(4).u16(4 * fields);
    m.u16(ipfix_form ? 149 : 1).u16(4);
    for (unsigned f = 0; f < fields; ++f)
        m.u16(34 + f).u16(4);
    return m.b;
}

}  // namespace test_messages
