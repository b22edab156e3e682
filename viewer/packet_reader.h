// Turns a relay's stream back into flow records: the relay stream (a router
// address and a v5 datagram per frame) or the framed stream (a greeting,
// then frames that state their length, of every version), told apart by
// their first bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/framed_stream.h"
#include "common/nf5.h"
#include "viewer/flow_record.h"
#include "viewer/viewer.h"

// Records a relay-stream frame may carry: the head's count check lets 1 to
// 1000 through.
constexpr std::size_t reader_max_records = 1000;
constexpr std::size_t reader_max_relay_frame =
    relay_frame_head_size + reader_max_records * nf5_record_size;
constexpr std::size_t reader_max_frame =
    reader_max_relay_frame > framed_max_frame ? reader_max_relay_frame : framed_max_frame;
// One read takes whatever the socket holds, up to this much; a busy relay
// then costs one system call per few thousand records, not two per frame.
constexpr std::size_t reader_buffer_size = 256 * 1024;
static_assert(reader_buffer_size >= 2 * reader_max_frame);

enum class stream_kind : std::uint8_t { unknown, relay, framed };

// The stream buffer: bytes from start to end are read but not yet handled.
// Between two reads it holds at most the beginning of one frame, unless a
// closed interval's report stopped the handling (see follow_input).
struct packet_reader {
    std::unique_ptr<std::uint8_t[]> buffer =
        std::make_unique_for_overwrite<std::uint8_t[]>(reader_buffer_size);
    std::size_t start = 0;
    std::size_t end = 0;
    stream_kind kind = stream_kind::unknown;
};

// One readable event on the relay socket: one read of what is waiting, then
// handle_frames. At the end of the stream (a frame cut short by it is
// dropped) or on a read error, says so in its outcome.
input_outcome read_packet(packet_reader& reader, int rfd, flow_context& ctx);

// Checks and decodes the complete frames between start and end, each
// datagram's flows to the filter, and keeps the bytes of an incomplete
// frame. Stops after a datagram that closed an interval or reached the
// flow limit, and returns what it came to.
input_outcome handle_frames(packet_reader& reader, flow_context& ctx);
