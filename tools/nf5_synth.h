// Synthetic NetFlow v5 exports: datagrams shaped like those of a busy border
// router, for the traffic generator, the tests and the benchmarks.
//
// Output depends only on the seed and on the calls made (record counts and
// the times given): the generator is its own integer PRNG, so the same seed
// gives the same bytes on every host and library version.
//
// What the records look like: a few big ASes carry most flows and a long
// tail of others follows (AS 0 for the router's own side); mostly TCP, UDP
// and ICMP with some GRE, ESP, ICMPv6 and others; a well-known service port
// on one side and an ephemeral port on the other; heavy-tailed packet counts
// with bytes between 20 and 1500 per packet; router interfaces 1 to 6, where
// 1 is the uplink. Addresses come from the documentation (192.0.2.0/24,
// 198.51.100.0/24, 203.0.113.0/24) and private (10.0.0.0/8, 192.168.0.0/16)
// ranges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/nf5.h"

constexpr unsigned nf5_synth_max_records = 30;
// Largest synthesised datagram: 24 + 30 * 48 = 1464 bytes.
constexpr std::size_t nf5_synth_max_datagram =
    nf5_header_size + nf5_synth_max_records * nf5_record_size;

// Size of a v5 datagram of n records.
constexpr std::size_t nf5_datagram_size(std::size_t n)
{
    return nf5_header_size + n * nf5_record_size;
}

// Generator state. Plain data: copy it to replay a stream.
struct nf5_synth {
    std::uint64_t rng = 0;            // splitmix64 state
    std::uint32_t flow_sequence = 0;  // records sent before the next datagram
    std::uint32_t boot_secs = 0;      // router boot time; set by the first datagram
    bool booted = false;
};

// A generator whose output is fixed by seed; flow_sequence starts at 0.
nf5_synth nf5_synth_seed(std::uint64_t seed);

// Next raw 64-bit value of the generator's PRNG (splitmix64).
std::uint64_t nf5_synth_next(nf5_synth& s);

// Uniform value in 0 .. bound - 1 (0 when bound is 0).
std::uint32_t nf5_synth_below(nf5_synth& s, std::uint32_t bound);

// One flow record that ended at most a minute before uptime_ms (the
// router's SysUptime): First <= Last <= uptime_ms.
nf5_record nf5_synth_record(nf5_synth& s, std::uint32_t uptime_ms);

// Writes one datagram of n records (1 to 30) into buf, stamped with the given
// wall-clock time, and advances flow_sequence by n. Returns its length,
// 24 + 48 * n, or 0 (nothing written, state untouched) when n is out of range
// or buf is too small.
std::size_t nf5_synth_datagram(nf5_synth& s, std::span<std::uint8_t> buf, unsigned n,
                               std::uint32_t unix_secs, std::uint32_t unix_nsecs = 0);

// A version 5 header for count records, all other fields zero but the time.
nf5_header nf5_make_header(std::uint16_t count, std::uint32_t unix_secs = 0);

// Encodes h exactly as given (so tests can forge a wrong version or count),
// then the records, into buf. Any number of records that fits is accepted.
// Returns the length, or 0 when buf is too small.
std::size_t nf5_build_datagram(std::span<std::uint8_t> buf, const nf5_header& h,
                               std::span<const nf5_record> records);
