// The templates the relay has seen, so that a viewer that connects to the
// framed stream is handed them before any live frame and decodes the next
// data record at once, instead of waiting for the exporter's next refresh
// (routers send templates every 10 to 30 minutes).
//
// An entry is the latest template or options template record for one
// exporter (address and UDP port), NetFlow version, source id or
// observation domain, and template id. Entries are bounded per exporter and
// in all, by number and by bytes; when full, the entries refreshed longest
// ago go first, so forged exporters can push out others but never grow the
// cache. Entries not refreshed within the time to live expire; an IPFIX
// withdrawal removes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/export_checks.h"
#include "common/net_address.h"

constexpr long template_default_ttl_s = 1800;

struct template_limits {
    std::size_t exporter_templates = 512;     // per exporter (address and port)
    std::size_t exporter_bytes = 128 << 10;   // of template records, per exporter
    std::size_t templates = 8192;             // in all
    std::size_t bytes = 1 << 20;              // of template records, in all
    long ttl_ms = template_default_ttl_s * 1000;
};

struct template_cache {
    explicit template_cache(const template_limits& limits = {});
    ~template_cache();
    template_cache(const template_cache&) = delete;
    template_cache& operator=(const template_cache&) = delete;

    // Takes one checked NetFlow v9 or IPFIX message d from an exporter:
    // adds or refreshes the entries of its template records, applies its
    // withdrawals, and keeps its header for the messages replay() makes.
    // now_ms is the monotonic clock the time to live runs on; time_ns the
    // receive time that the replayed frames carry.
    void learn(const net_address& exporter, std::uint16_t port, const std::uint8_t* d,
               const checked_export& info, std::span<const template_record> records,
               long now_ms, std::uint64_t time_ns);

    // Drops the entries not refreshed within the time to live.
    void expire(long now_ms);

    // Appends to out the framed stream's frames of kind replayed that hand
    // over every entry: per exporter and domain, complete messages in the
    // exporter's version and with the header of its last message, each
    // holding the templates last received at one time (the frame's time).
    // Returns the number of frames.
    std::size_t replay(std::vector<std::uint8_t>& out) const;

    std::size_t size() const;   // templates held
    std::size_t bytes() const;  // bytes of their records
    // Changes whenever replay() would make other bytes.
    std::uint64_t generation() const;

    struct state;
    std::unique_ptr<state> s;
};
