// Turns the relay stream back into flow records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/nf5.h"
#include "viewer/viewer.h"

// Records a frame may carry: the head's count check lets 1 to 1000 through.
constexpr std::size_t reader_max_records = 1000;
constexpr std::size_t reader_max_frame =
    relay_frame_head_size + reader_max_records * nf5_record_size;
// One read takes whatever the socket holds, up to this much; a busy relay
// then costs one system call per few thousand records, not two per frame.
constexpr std::size_t reader_buffer_size = 256 * 1024;
static_assert(reader_buffer_size >= 2 * reader_max_frame);

// The stream buffer: bytes from start to end are read but not yet handled,
// at most the beginning of one frame between two readable events.
struct packet_reader {
    std::unique_ptr<std::uint8_t[]> buffer =
        std::make_unique_for_overwrite<std::uint8_t[]>(reader_buffer_size);
    std::size_t start = 0;
    std::size_t end = 0;
};

// One readable event on the relay socket: one read of what is waiting, then
// every complete frame in the buffer goes through handle_frames. At the end
// of the stream prints "connection closed" and ends the process (a frame cut
// short by the end is dropped); a read error ends it after a report.
void read_packet(packet_reader& reader, int rfd, flow_context& ctx);

// Checks and decodes every complete frame between start and end: once per
// frame the rollover check (top mode), then each record to account_flow.
// Keeps the bytes of an incomplete frame.
void handle_frames(packet_reader& reader, flow_context& ctx);
