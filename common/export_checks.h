// The structure checks a datagram passes before anything relays it: a
// whole NetFlow v5 export, or a NetFlow v9 or IPFIX message whose sets and
// template records are sound. Data records are not looked into here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr std::uint16_t nf9_version = 9;
constexpr std::uint16_t ipfix_version = 10;
constexpr std::size_t nf9_header_size = 20;
constexpr std::size_t ipfix_header_size = 16;

// v9 flowset ids and IPFIX set ids of template records; ids from 256 on
// carry data records of the template with that id.
constexpr std::uint16_t nf9_template_set = 0;
constexpr std::uint16_t nf9_options_set = 1;
constexpr std::uint16_t ipfix_template_set = 2;
constexpr std::uint16_t ipfix_options_set = 3;
constexpr std::uint16_t first_data_set = 256;

// One template or options template record of a checked export, pointing
// into the datagram.
struct template_record {
    std::uint16_t set_id = 0;       // 0 or 1 (v9), 2 or 3 (IPFIX)
    std::uint16_t template_id = 0;  // 256 and up; 2 or 3 in an IPFIX "withdraw all"
    bool withdrawal = false;        // IPFIX: field count 0
    const std::uint8_t* bytes = nullptr;  // the record, from its template id on
    std::size_t size = 0;
};

struct checked_export {
    std::uint16_t version = 0;  // from the first two bytes; 0 when fewer
    // Bytes of the datagram that go out: v5 the header and its records,
    // v9 up to the end of its last flowset, IPFIX its message length.
    // 0 when the datagram is malformed.
    std::size_t length = 0;
    // v9 source id or IPFIX observation domain id.
    std::uint32_t domain = 0;
};

// Checks one datagram. templates (when given) is cleared and gets every
// template record of a good v9 or IPFIX export, in the datagram's order;
// its storage is kept from call to call.
checked_export check_export(const std::uint8_t* d, std::size_t len,
                            std::vector<template_record>* templates = nullptr);
