// The relay stream reader: frame heads, version and count checks, records
// decoded to host order and handed to the filter one by one.
#include "viewer/packet_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "viewer/flow_filter.h"
#include "viewer/intervals.h"
#include "viewer/messages.h"

void handle_frames(packet_reader& reader, flow_context& ctx)
{
    const std::uint8_t* buf = reader.buffer.get();
    std::size_t pos = reader.start;
    const std::size_t end = reader.end;
    flow_stats& stats = *ctx.stats;
    const auto zero_as = static_cast<std::uint16_t>(ctx.config->zero_as);
    exporter_table& exporters = *ctx.exporters;
    // Listings show records as exported; only top-mode sums are scaled.
    const bool sampled = ctx.config->sampling && ctx.config->mode == display_mode::top;
    const bool listing = ctx.config->mode != display_mode::top;

    while (end - pos >= relay_frame_head_size) {
        const std::uint8_t* head = buf + pos;
        const nf5_header h = decode_nf5_header(head + relay_addr_size);
        const std::uint16_t version = h.version;
        const std::uint16_t count = h.count;
        // A refused head is all that is taken: the stream carries no lengths,
        // so the 28 bytes after it are read as the next head.
        if (version != nf5_version) {
            report_bad_version(version);
            pos += relay_frame_head_size;
            continue;
        }
        if (count == 0 || count > reader_max_records) {
            report_strange_count(count);
            pos += relay_frame_head_size;
            continue;
        }
        const std::size_t frame_size = relay_frame_head_size + count * nf5_record_size;
        if (end - pos < frame_size)
            break;  // the rest of this frame comes with a later read

        frame_info frame;
        frame.router = load_net32(head);
        // Only the listings show the router; top mode has no use for its text.
        if (listing)
            *format_ipv4(frame.router_text, frame.router) = '\0';
        stats.packets += 1.0;
        // Every accepted datagram, whatever the mode and the filters: loss
        // is the exporter's (or the relay's), not the operator's choice.
        account_datagram(exporters, frame.router, h);
        if (sampled) {
            const std::uint16_t interval = nf5_sampling_interval(h);
            frame.scale = interval == 0 ? 1.0 : interval;
        }
        // Before the filters see any record, so that an interval closes even
        // when every record that brings its boundary minute is filtered out.
        if (!listing)
            rollover_check(ctx);
        const std::uint8_t* p = head + relay_frame_head_size;
        for (unsigned i = 0; i < count; ++i, p += nf5_record_size) {
            stats.records += 1.0;
            nf5_record rec = decode_nf5_record(p);
            if (rec.src_as == 0)
                rec.src_as = zero_as;
            if (rec.dst_as == 0)
                rec.dst_as = zero_as;
            account_flow(rec, frame, ctx);
        }
        pos += frame_size;
    }
    reader.start = pos;
}

void read_packet(packet_reader& reader, int rfd, flow_context& ctx)
{
    // Keep an incomplete frame at the front so that a whole frame of any
    // count the checks allow always fits behind it.
    if (reader.start > 0) {
        const std::size_t kept = reader.end - reader.start;
        if (kept > 0)
            std::memmove(reader.buffer.get(), reader.buffer.get() + reader.start, kept);
        reader.start = 0;
        reader.end = kept;
    }

    const ssize_t r = ::read(rfd, reader.buffer.get() + reader.end,
                             reader_buffer_size - reader.end);
    if (r < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
            return;  // the loop waits again
        fail_read(ctx);
    }
    if (r == 0) {
        // Bytes of a frame the relay never finished are dropped unused.
        end_of_stream(ctx);
    }
    reader.end += static_cast<std::size_t>(r);
    handle_frames(reader, ctx);
}
