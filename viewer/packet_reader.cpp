// The stream readers: the relay stream's frame heads, version and count
// checks; the framed stream's greeting and frame lengths.
#include "viewer/packet_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "viewer/decode_export.h"
#include "viewer/decode_v5.h"
#include "viewer/messages.h"
#include "viewer/text_format.h"

namespace {

// The relay stream: a refused head is all that is taken; the stream
// carries no lengths, so the 28 bytes after it are read as the next head.
std::size_t relay_frames(const std::uint8_t* buf, std::size_t pos, std::size_t end,
                         flow_context& ctx, input_outcome& out)
{
    const bool listing = ctx.config->mode != display_mode::top;
    while (end - pos >= relay_frame_head_size) {
        const std::uint8_t* head = buf + pos;
        const nf5_header h = decode_nf5_header(head + relay_addr_size);
        if (h.version != nf5_version) {
            report_bad_version(h.version);
            pos += relay_frame_head_size;
            continue;
        }
        if (h.count == 0 || h.count > reader_max_records) {
            report_strange_count(h.count);
            pos += relay_frame_head_size;
            continue;
        }
        const std::size_t frame_size = relay_frame_head_size + h.count * nf5_record_size;
        if (end - pos < frame_size)
            break;  // the rest of this frame comes with a later read

        datagram_info dg;
        const std::uint32_t router = load_net32(head);
        dg.exporter = mapped_v4(router);
        // Only the listings show the router; top mode has no use for its text.
        if (listing)
            *format_ipv4(dg.exporter_text, router) = '\0';
        decode_nf5_datagram(head + relay_addr_size, h, dg, ctx, out);
        pos += frame_size;
        if (out.interval_closed || out.end != input_end::none)
            break;
    }
    return pos;
}

// The framed stream: every frame states its length; one that states a
// length no frame has leaves no way back into step.
std::size_t framed_frames(const std::uint8_t* buf, std::size_t pos, std::size_t end,
                          flow_context& ctx, input_outcome& out)
{
    while (end - pos >= framed_head_size) {
        const framed_head h = decode_framed_head(buf + pos);
        if (h.length < framed_head_size || h.length > framed_max_frame) {
            out.end = input_end::out_of_step;
            break;
        }
        if (end - pos < h.length)
            break;
        const std::uint8_t* datagram = buf + pos + framed_head_size;
        const std::size_t size = h.length - framed_head_size;
        pos += h.length;
        // Kinds this viewer does not know are passed over by their length.
        if (h.kind != framed_live && h.kind != framed_replayed)
            continue;
        datagram_info dg;
        dg.exporter = h.exporter;
        dg.port = h.port;
        dg.received_ns = h.time_ns;
        decode_export(datagram, size, dg, h.kind == framed_replayed, ctx, out);
        if (out.interval_closed || out.end != input_end::none)
            break;
    }
    return pos;
}

// The framed stream's first six bytes; the relay stream's bytes 4 and 5
// are 00 05 there.
constexpr std::size_t kind_bytes = 6;

}  // namespace

input_outcome handle_frames(packet_reader& reader, flow_context& ctx)
{
    input_outcome out;
    const std::uint8_t* buf = reader.buffer.get();
    if (reader.kind == stream_kind::unknown) {
        if (reader.end - reader.start < kind_bytes)
            return out;
        if (std::memcmp(buf + reader.start, framed_greeting.data(), kind_bytes) != 0) {
            reader.kind = stream_kind::relay;
        } else {
            if (reader.end - reader.start < framed_greeting.size())
                return out;
            // A later format of the framed stream is not this one.
            if (std::memcmp(buf + reader.start, framed_greeting.data(),
                            framed_greeting.size()) != 0) {
                out.end = input_end::out_of_step;
                return out;
            }
            reader.kind = stream_kind::framed;
            reader.start += framed_greeting.size();
        }
    }
    if (reader.kind == stream_kind::relay)
        reader.start = relay_frames(buf, reader.start, reader.end, ctx, out);
    else
        reader.start = framed_frames(buf, reader.start, reader.end, ctx, out);
    return out;
}

input_outcome read_packet(packet_reader& reader, int rfd, flow_context& ctx)
{
    // Keep an incomplete frame at the front so that a whole frame of any
    // length the checks allow always fits behind it.
    if (reader.start > 0) {
        const std::size_t kept = reader.end - reader.start;
        if (kept > 0)
            std::memmove(reader.buffer.get(), reader.buffer.get() + reader.start, kept);
        reader.start = 0;
        reader.end = kept;
    }

    input_outcome out;
    const ssize_t r = ::read(rfd, reader.buffer.get() + reader.end,
                             reader_buffer_size - reader.end);
    if (r < 0) {
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
            out.end = input_end::read_failed;
        return out;  // else the loop waits again
    }
    if (r == 0) {
        // Bytes of a frame the relay never finished are dropped unused.
        out.end = input_end::end_of_stream;
        return out;
    }
    reader.end += static_cast<std::size_t>(r);
    return handle_frames(reader, ctx);
}
