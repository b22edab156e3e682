// The templates the relay has seen, so that a viewer that connects to the
// framed stream can be handed them before any live frame and decode the
// next data record at once, instead of waiting for the exporter's next
// refresh (routers send templates every 10 to 30 minutes).
//
// An entry is the latest template or options template record for one
// exporter (address and UDP port), NetFlow version, source id or
// observation domain, and template id, with the header of the datagram it
// came in. Bounded per exporter and in all; when full, the entry refreshed
// longest ago goes. Entries not refreshed within the time to live expire;
// an IPFIX withdrawal removes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/export_checks.h"
#include "common/net_address.h"

constexpr std::size_t template_cache_per_exporter = 512;
constexpr std::size_t template_cache_total = 16384;
// A template record longer than this is not kept (a template of 250
// fields with enterprise numbers needs about 2 KiB).
constexpr std::size_t template_cache_max_record = 2048;
constexpr long template_cache_default_ttl_s = 1800;

struct template_cache_stats {
    std::uint64_t learned = 0;    // records added or refreshed
    std::uint64_t withdrawn = 0;  // removed by an IPFIX withdrawal
    std::uint64_t expired = 0;    // not refreshed within the time to live
    std::uint64_t evicted = 0;    // given up for room
    std::uint64_t too_long = 0;   // records too long to keep
};

struct template_cache {
    explicit template_cache(long ttl_ms = template_cache_default_ttl_s * 1000,
                            std::size_t per_exporter = template_cache_per_exporter,
                            std::size_t total = template_cache_total);
    ~template_cache();
    template_cache(const template_cache&) = delete;
    template_cache& operator=(const template_cache&) = delete;

    // Takes the template records of one checked v9 or IPFIX export (its
    // bytes d, len, and check_export's findings): adds or refreshes their
    // entries and applies withdrawals. now_ms is a monotonic clock for the
    // time to live; time_ns the receive time that replay frames carry.
    void learn(const net_address& exporter, std::uint16_t port, const std::uint8_t* d,
               std::size_t len, const checked_export& info,
               const std::vector<template_record>& templates, long now_ms,
               std::uint64_t time_ns);

    // Drops entries not refreshed for longer than the time to live.
    void expire(long now_ms);

    // Appends to out one framed-stream frame (kind replayed) per entry: a
    // v9 or IPFIX datagram holding that one template record, with the
    // header of the datagram it last came in (its count or length made to
    // fit) and the exporter's address and port in the frame head.
    void replay(std::vector<std::uint8_t>& out) const;

    std::size_t size() const;
    // Bytes that replay() would append now.
    std::size_t replay_size() const;
    const template_cache_stats& stats() const;

    // (the entries and their indexes)
};
