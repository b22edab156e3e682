// The NetFlow v9 and IPFIX checks and the relay's template cache fed
// arbitrary datagrams from a handful of exporters, with the cache kept from
// input to input as the relay keeps it for its whole life. Each input is a
// run of datagrams:
//
//   byte 0    exporter: bits 0-2 its address (half of them IPv6), bits 3-4
//             its port
//   byte 1    how far the clock moves first, in tenths of a second
//   bytes 2-3 the datagram's length (big-endian; cut to what is left)
//   then the datagram
//
// Small bounds and a short time to live, so that eviction and expiry
// happen often. After each input, what a viewer connecting now would be
// handed must be sound messages that hold exactly what the cache holds.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "common/export_checks.h"
#include "common/framed_stream.h"
#include "relay/template_cache.h"
#include "tests/fuzz/quiet_output.h"

namespace {

template_limits small_limits()
{
    template_limits l;
    l.exporter_templates = 8;
    l.exporter_bytes = 4096;
    l.templates = 32;
    l.bytes = 16384;
    l.ttl_ms = 10000;
    return l;
}

template_cache* cache = nullptr;
long now_ms = 0;
std::vector<template_record> found;
std::vector<std::uint8_t> replayed;

net_address exporter(unsigned i)
{
    net_address a;
    const char* text[] = {"192.0.2.1",   "192.0.2.2",   "10.0.0.1",  "198.51.100.9",
                          "2001:db8::1", "2001:db8::2", "fe80::1",   "::1"};
    parse_address(text[i % 8], &a);
    return a;
}

void check_findings(const std::uint8_t* d, std::size_t len, const checked_export& e)
{
    fuzz::check(e.length <= len, "checked length beyond the datagram");
    if (e.length == 0) {
        fuzz::check(found.empty(), "templates of a refused datagram");
        return;
    }
    for (const template_record& t : found) {
        fuzz::check(t.bytes >= d && t.size >= 4 && t.bytes + t.size <= d + e.length,
                    "template record outside the checked message");
        fuzz::check(t.withdrawal == (t.size == 4 && e.version == ipfix_version &&
                                     load_be16(t.bytes + 2) == 0),
                    "withdrawal misread");
    }
}

// Every frame a viewer would get now: replayed, sound, one exporter's and
// domain's templates in its own version, and together what the cache holds.
void check_replay()
{
    replayed.clear();
    const std::size_t frames = cache->replay(replayed);
    std::size_t at = 0, seen_frames = 0, records = 0, bytes = 0;
    std::vector<template_record> in_frame;
    std::map<std::pair<net_address, std::uint16_t>, std::pair<std::size_t, std::size_t>> per;
    while (at < replayed.size()) {
        fuzz::check(replayed.size() - at >= framed_head_size, "replay cut inside a head");
        const framed_head h = decode_framed_head(replayed.data() + at);
        fuzz::check(h.length > framed_head_size && h.length - framed_head_size <= framed_max_datagram &&
                        h.length <= replayed.size() - at,
                    "replayed frame of a wrong length");
        fuzz::check(h.kind == framed_replayed, "replayed frame not marked so");
        fuzz::check(h.family == (h.exporter.is_v4() ? 4 : 6), "family and address disagree");
        const std::uint8_t* d = replayed.data() + at + framed_head_size;
        const std::size_t n = h.length - framed_head_size;
        const checked_export e = check_export(d, n, &in_frame);
        fuzz::check(e.length == n, "a replayed message fails the checks");
        fuzz::check(e.version == nf9_version || e.version == ipfix_version,
                    "replayed message of another version");
        fuzz::check(!in_frame.empty(), "replayed message without templates");
        fuzz::check(load_be16(d + 2) == (e.version == nf9_version ? in_frame.size() : n),
                    "replayed header's count or length is wrong");
        auto& [count, held] = per[{h.exporter, h.port}];
        for (const template_record& t : in_frame) {
            fuzz::check(!t.withdrawal && t.template_id >= first_data_set,
                        "replayed record that is no template");
            bytes += t.size;
            held += t.size;
        }
        count += in_frame.size();
        const template_limits limits = small_limits();
        fuzz::check(count <= limits.exporter_templates && held <= limits.exporter_bytes,
                    "an exporter beyond its bounds");
        records += in_frame.size();
        at += h.length;
        ++seen_frames;
    }
    fuzz::check(seen_frames == frames, "replay miscounts its frames");
    fuzz::check(records == cache->size(), "replay does not hold every template");
    fuzz::check(bytes == cache->bytes(), "replayed records differ from those held");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::silence_stdout();
    cache = new template_cache(small_limits());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const template_limits limits = small_limits();
    while (size >= 4) {
        const unsigned who = data[0];
        now_ms += 100 * data[1];
        std::size_t n = load_be16(data + 2);
        data += 4;
        size -= 4;
        n = std::min(n, size);
        // A copy of just the datagram, so that reading past it is caught.
        std::vector<std::uint8_t> d(data, data + n);
        data += n;
        size -= n;

        const checked_export e = check_export(d.data(), d.size(), &found);
        check_findings(d.data(), d.size(), e);
        cache->learn(exporter(who & 7), static_cast<std::uint16_t>(2055 + (who >> 3 & 3)),
                     d.data(), e, found, now_ms, static_cast<std::uint64_t>(now_ms) * 1000000u);
        fuzz::check(cache->size() <= limits.templates && cache->bytes() <= limits.bytes,
                    "cache beyond its bounds");
    }
    cache->expire(now_ms);
    check_replay();
    return 0;
}
