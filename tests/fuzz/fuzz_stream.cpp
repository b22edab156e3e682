// The relay-stream reader fed arbitrary bytes: whatever a relay, or anything
// that answers on its port, may write to a viewer.
//
// Input: a 7-byte set-up, a clock tape, then the stream.
//   [0]    bits 0-1 display mode (dump, shortdump, colondump, top),
//          bits 2-4 report type (none, as, proto, tcpport, udpport),
//          bits 5-6 and 7: after the stream, in top mode, the key help and
//          the report key a, p, t or u (when bit 7 is set)
//   [1]    filters, one per bit: big, router 10.1.2.3, ifIndex 2 (with the
//          router only, as on the command line), prefix 10.0.0.0/8,
//          protocol 6, port 80, AS 7018, zero AS 65000
//   [2]    bits 0-3 report interval, bits 4-7 start time
//   [3]    screen lines: bit 7 clear, 0 to 15 (each report row ranks whole
//          tables, so no more); set, a negative count, down to INT_MIN
//   [4..5] where the stream splits between the two reads (big-endian,
//          taken modulo the stream length + 1)
//   [6]    clock tape length (low 4 bits), then that many tape bytes
// The first part of the stream is placed in the reader's buffer and handled;
// the second arrives through a pipe and goes through read_packet, so a frame
// cut between two reads takes the same road as on a socket.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "common/nf5.h"
#include "tests/fuzz/quiet_output.h"
#include "common/net_address.h"
#include "viewer/asn_names.h"
#include "viewer/clock.h"
#include "viewer/event_loop.h"
#include "viewer/intervals.h"
#include "viewer/options.h"
#include "viewer/packet_reader.h"
#include "viewer/viewer.h"

namespace {

constexpr std::size_t setup_size = 7;
// Both parts must fit the reader's buffer behind the most a frame can leave.
constexpr std::size_t stream_max = reader_buffer_size - reader_max_frame;

constexpr display_mode modes[] = {display_mode::dump, display_mode::shortdump,
                                  display_mode::colondump, display_mode::top};
// Any non-zero count of minutes passes the command line.
constexpr int intervals[] = {1,  2,  3,  5,   15,      60,      1440,   527040,
                             -1, -2, -7, -60, INT_MIN, INT_MAX, 100000, 7};
constexpr int negative_lines[] = {-1, -2, -5, -6, -7, -1000, INT_MIN + 7, INT_MIN + 6,
                                  INT_MIN + 5, INT_MIN + 4, INT_MIN + 3, INT_MIN + 2,
                                  INT_MIN + 1, INT_MIN, -100000, -24};

// The viewer's clock during a run: each reading moves it on by the next tape
// byte in half minutes; bytes from 0xf0 step it back by whole minutes, as a
// corrected system clock would. At the end of the tape the clock stands
// still, so an input closes at most 15 intervals and renders at most as
// many reports: a fuzzer that spends its time ranking tables finds little.
struct tape_clock {
    const std::uint8_t* tape = nullptr;
    std::size_t length = 0;
    std::size_t pos = 0;
    std::time_t now = 0;
    bool running = false;
};
tape_clock fuzz_clock;

std::time_t read_tape_clock()
{
    tape_clock& c = fuzz_clock;
    if (c.running && c.pos < c.length) {
        const std::uint8_t step = c.tape[c.pos++];
        if (step >= 0xf0)
            c.now -= (step - 0xef) * 60;
        else
            c.now += step * 30;
    }
    return c.now;
}

// The pipe that carries the second part.
int pipe_read = -1;
int pipe_write = -1;

// What is dear to set up lives across inputs: the viewer's records with the
// AS names, the current interval's tables (cleared for each input) and the
// reader's buffer. Each input starts from a fresh configuration and fresh
// counters all the same.
std::unique_ptr<viewer_records> viewer;
std::unique_ptr<packet_reader> reader;

// Fresh records for one input, keeping the names and the current interval.
void reset_viewer()
{
    viewer_records& v = *viewer;
    interval_stats_ptr current = std::move(v.stats.current);
    interval_stats_ptr spare = std::move(v.stats.spare);
    v.config = viewer_config{};
    v.filter = flow_filter{};
    v.stats = flow_stats{};
    v.clock = viewer_clock{};
    v.exporters = exporter_table{};
    v.clock.now = read_tape_clock;
    if (current && current->in_src_as)
        stats_clear(*current);
    else
        current.reset();
    v.stats.current = std::move(current);
    v.stats.spare = std::move(spare);
    reader->start = reader->end = 0;
}

void write_all(int fd, const std::uint8_t* p, std::size_t n)
{
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w <= 0)
            fuzz::broken("the pipe took less than the second part");
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

// A few names, one as long as names get, for the listings and the AS report.
void load_names(asn_table& names)
{
    const int fd = memfd_create("asn", MFD_CLOEXEC);
    std::string text = "0 AS-ZERO\n7018 ATT-INTERNET\n3356 LEVEL3\n65000 PRIVATE\n1 ";
    text.append(111, 'N');
    text += '\n';
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        fuzz::broken("AS name file set-up");
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    fuzz::quiet_stderr quiet;
    if (load_asn_file(names, path.c_str()) != 0)
        fuzz::broken("AS name file set-up");
    close(fd);
}

void apply_filters(std::uint8_t bits, flow_filter& filter, viewer_config& config,
                   flow_stats& stats)
{
    if (bits & 0x01) {
        filter.big = 1;
        stats.max_bytes = 0;
        stats.max_packets = 0;
    }
    if (bits & 0x02) {
        filter.router = net_address::from_v4_net(inet_addr("10.1.2.3"));
        if (bits & 0x04)
            filter.ifindex = 2;
    }
    if (bits & 0x08)
        filter.prefix = net_prefix{net_address::from_v4_net(inet_addr("10.0.0.0")), 104};
    if (bits & 0x10)
        filter.proto = 6;
    if (bits & 0x20)
        filter.port = 80;
    if (bits & 0x40)
        filter.as = 7018;
    if (bits & 0x80)
        config.zero_as = 65000;
}

// What the reader promises after every read: nothing beyond what was read
// is taken, and what it keeps is less than one frame.
void check_reader(const packet_reader& reader, const flow_stats& stats)
{
    fuzz::check(reader.start <= reader.end, "reader start beyond its end");
    fuzz::check(reader.end <= reader_buffer_size, "reader end beyond its buffer");
    fuzz::check(reader.end - reader.start < reader_max_frame,
                "reader keeps a whole frame or more unhandled");
    fuzz::check(reader.kind != stream_kind::relay || stats.records >= stats.packets,
                "relay-stream records and packets out of step");
    // Every accepted datagram is accounted to its exporter, and what is
    // missed is at least what the gaps still open hold.
    const exporter_table& exporters = viewer->exporters;
    std::uint64_t flows = exporters.untracked_flows, datagrams = exporters.untracked_datagrams;
    for (const exporter& e : exporters.list) {
        flows += e.flows;
        datagrams += e.datagrams;
    }
    fuzz::check(static_cast<double>(flows) == stats.records,
                "exporter flows out of step with the records");
    fuzz::check(static_cast<double>(datagrams) == stats.packets,
                "exporter datagrams out of step with the packets");
    for (const exporter& e : exporters.list) {
        std::uint64_t open = 0;
        for (std::size_t i = 0; i < e.gap_count; ++i)
            open += e.gaps[i].length;
        fuzz::check(open <= e.missed, "missed flows below the open gaps");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::silence_stdout();
    // Report minutes in a fixed zone, whatever the machine's.
    setenv("TZ", "UTC", 1);
    tzset();
    viewer = std::make_unique<viewer_records>();
    reader = std::make_unique<packet_reader>();
    load_names(viewer->names);

    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0 ||
        fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(reader_buffer_size)) <
            static_cast<int>(stream_max))
        fuzz::broken("pipe set-up");
    pipe_read = fds[0];
    pipe_write = fds[1];
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < setup_size)
        return 0;
    const std::size_t tape_length = data[6] & 15;
    if (size < setup_size + tape_length)
        return 0;
    const std::uint8_t* stream = data + setup_size + tape_length;
    std::size_t stream_length = size - setup_size - tape_length;
    if (stream_length > stream_max)
        stream_length = stream_max;

    reset_viewer();
    viewer_config& config = viewer->config;
    flow_stats& stats = viewer->stats;
    flow_context& ctx = viewer->ctx;

    config.mode = modes[data[0] & 3];
    config.report_type = static_cast<report_kind>((data[0] >> 2 & 7) % 5);
    apply_filters(data[1], viewer->filter, config, stats);
    config.interval = intervals[data[2] & 15];
    config.lines = data[3] & 0x80 ? negative_lines[data[3] & 15] : data[3] & 15;
    reconcile_mode(config);

    // Start-up as the viewer does it, on a clock the tape drives afterwards.
    fuzz_clock = tape_clock{data + setup_size, tape_length, 0,
                            1700000000 + static_cast<std::time_t>(data[2] >> 4) * 97 * 60,
                            false};
    stats.last_time = clock_now(*ctx.clock);
    stats.last_minute = report_minute(clock_now(*ctx.clock));
    if (!stats.current)
        open_current_interval(ctx);
    fuzz_clock.running = true;

    const std::size_t split = load_be16(data + 4) % (stream_length + 1);
    std::memcpy(reader->buffer.get(), stream, split);
    reader->end = split;
    input_end end = follow_input(*reader, handle_frames(*reader, ctx), ctx);
    if (end == input_end::none)
        check_reader(*reader, stats);

    if (stream_length > split && end == input_end::none) {
        write_all(pipe_write, stream + split, stream_length - split);
        end = follow_input(*reader, read_packet(*reader, pipe_read, ctx), ctx);
        if (end == input_end::none)
            check_reader(*reader, stats);
        std::uint8_t left;
        fuzz::check(read(pipe_read, &left, 1) < 0, "read_packet left bytes in the pipe");
    }
    // An input that ended its stream (the framed stream out of step) leaves
    // the rest in the pipe for none to read.
    std::uint8_t drain[4096];
    while (read(pipe_read, drain, sizeof drain) > 0) {
    }

    if (config.mode == display_mode::top && (data[0] & 0x80)) {
        handle_key('?', ctx);
        handle_key("aptu"[data[0] >> 5 & 3], ctx);
    }

    // The last report becomes the spare that the next input's first
    // rollover takes, as a viewer's start-up would have made it: nothing is
    // allocated or freed between inputs, so the leak check after each input
    // finds nothing to look into.
    if (stats.last_report)
        stats.spare = std::move(stats.last_report);
    return 0;
}
