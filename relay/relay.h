// nelkd: receives NetFlow datagrams on UDP and writes each one, framed with
// the exporting router's address, to every viewer connected over TCP.
#pragma once

#include <cstddef>
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <sys/uio.h>

#include "common/net_address.h"
#include "common/nf5.h"
#include "common/unique_fd.h"
#include "relay/template_cache.h"

// The relay's two mode switches, set during start-up only.
extern int debug_mode;  // -d: stay in the foreground, print debug lines
extern int use_syslog;  // reports go to syslog once we have detached

constexpr int relay_default_port = 4444;
constexpr int relay_default_bufsize = 196608;
constexpr int relay_min_bufsize = 16384;
constexpr int relay_backlog = 32;
constexpr int relay_max_clients = 256;
constexpr int relay_sndlowat = 2048;
// Whatever -s asks for the UDP socket, a viewer's send buffer stays below
// this: 256 viewers that never read must not pin gigabytes of kernel memory.
constexpr int relay_max_sndbuf = 1 << 20;
constexpr long relay_max_template_ttl_s = 86400;
// A viewer has nothing to say: one that sends more than this is dropped.
constexpr std::size_t relay_max_heard = 4096;

struct relay_settings {
    int udpport = relay_default_port;
    int tcpport = relay_default_port;
    int framed_port = -1;            // -F: the framed stream's port; -1 none
    int bufsize = relay_default_bufsize;
    bool debug = false;
    bool unchecked = false;          // -r: the relay stream takes every datagram as it came
    std::vector<net_address> bind_addrs;  // -b, each; none: every address of both families
    prefix_list exporters;           // -e: empty lets every sender in
    prefix_list viewers;             // -a: empty lets every viewer in
    int per_address = 0;             // -m: viewers one address may hold; 0 no limit
    std::string metrics_path;        // -M: empty writes no metrics file
    std::string user;                // -U: the user to run as once the ports are held
    long template_ttl_s = template_default_ttl_s;  // -T: templates not refreshed for this long expire
};

enum class option_outcome {
    run,           // start relaying with the settings
    usage,         // print the usage text, exit 0
    bad_bufsize,   // -s without a number or below relay_min_bufsize, exit 1
    bad_port,      // -u or -t outside 0..65535, exit 1
    bad_address,   // -b not an IPv4 or IPv6 address, exit 1
    bad_prefixes,  // -e or -a not a list of prefixes, exit 1
    bad_limit,     // -m not a number from 1 to relay_max_clients, exit 1
    bad_metrics,   // -M with an empty file name, exit 1
    bad_user,      // -U with an empty name, exit 1
    bad_expiry,    // -T not a number of seconds from 1 to relay_max_template_ttl_s, exit 1
};

struct option_result {
    option_outcome outcome = option_outcome::run;
    relay_settings settings;
    const char* bad_arg = nullptr;  // the argument a refusal names
};

// Reads the command line ("u:t:s:drb:e:a:m:M:F:U:T:"); getopt itself complains about
// unknown options and missing arguments. Stops at the first refusal.
option_result parse_options(int argc, char* argv[]);
void print_usage(const char* prog);

// --- messages (relay_log.cpp): the one place that knows where they go

// A failed system call: perror form on stderr, or syslog once detached.
void report_error(const char* msg);
// "msg: strerror(errno)" to syslog at LOG_ERR.
void syslog_error(const char* msg);
// report_error, then exit with status 1.
[[noreturn]] void fatal_error(const char* msg);
// A refusal to start, in err(3)'s form on standard error ("nelkd: text",
// then ": " and the system error with_errno), then exit with status 1.
[[noreturn]] void refuse_start(bool with_errno, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// From now on (just before detaching) reports go to syslog.
void start_syslog();
// A line for the operator: standard error, or syslog LOG_WARNING once detached.
void report_warning(const char* text);
// Standard output in debug mode, syslog LOG_INFO when detached.
void report_info(const char* text);
// A viewer left: stdout in debug mode, syslog LOG_INFO when detached.
void report_client_gone(int fd, int slot);

// A debug line on standard output (printf-style). Once the loop runs it
// goes through a bounded buffer that is never waited on (see below).
void debug_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Debug mode: standard output and error stop being able to stall the
// relay. What they cannot take yet waits in a bounded buffer; lines that
// do not fit are dropped and counted, and a note says so once there is
// room again.
void start_unblocking_output();
// Descriptors (1 and 2) with output waiting, for the loop's write set.
bool output_waiting(int fd);
// Writes what the descriptors take now, never waiting.
void flush_output();

// Messages that a storm could repeat without end: at most burst of them
// in a window of window_ms; what is held back is counted and summed up
// once the window is over ("N <what> suppressed").
struct log_limiter {
    int burst = 20;
    long window_ms = 10000;
    const char* what = "";
    long window_start = -window_ms;
    int used = 0;
    unsigned long suppressed = 0;

    // True when a message at time now (ms) may go out.
    bool allow(long now);
    // When a summary of held-back messages is due at now, their number
    // (and the count starts again); else 0.
    unsigned long summary_due(long now);
    // Time at which a summary will be due, or -1 when none is waiting.
    long next_summary() const { return suppressed ? window_start + window_ms : -1; }
};

// A refused connection or a dropped viewer: debug lines on standard output
// in debug mode; else syslog at the priority given, 20 in 10 seconds.
void report_viewer_event(int priority, const char* text);
// A connection refused: syslog LOG_ERR in both modes, through the same
// limit (table full, descriptors beyond select's reach).
void report_rejected(const char* text);
// "accept error" with the system's error, once in 10 seconds: a shortage
// of descriptors or memory lasts.
void report_accept_error();
// Runs at every pass: a summary line when messages were held back.
void report_suppressed(long now);
// When the next summary is due (ms of the monotonic clock), or -1.
long next_report_due();
// Milliseconds of the monotonic clock.
long monotonic_ms();

// The NetFlow versions the counters tell apart; "other" is any other
// first two bytes (and datagrams of fewer than two).
enum export_kind { kind_v5, kind_v9, kind_ipfix, kind_other, kind_count };
constexpr const char* export_kind_label[kind_count] = {"5", "9", "10", "other"};

inline export_kind kind_of_version(std::uint16_t version)
{
    switch (version) {
    case 5:
        return kind_v5;
    case 9:
        return kind_v9;
    case 10:
        return kind_ipfix;
    default:
        return kind_other;
    }
}

// What the relay did since it started, for SIGUSR1 and the metrics file.
// received = relayed + malformed + unlisted + unstreamed.
struct relay_counters {
    std::uint64_t received = 0;    // datagrams taken from the UDP sockets
    std::uint64_t relayed = 0;     // of those, put into a stream
    std::uint64_t malformed = 0;   // failed the structure checks (and -r did not let them in)
    std::uint64_t unlisted = 0;    // from an exporter outside -e
    std::uint64_t unstreamed = 0;  // sound, but no stream carries them (v9, IPFIX or an
                                   // IPv6 exporter without -F)
    std::uint64_t refused = 0;     // connections closed before any frame
    std::uint64_t missed = 0;      // frames viewers missed, not being writable
    std::uint64_t replayed = 0;    // template frames viewers took whole as they connected
    std::array<std::uint64_t, kind_count> received_by{};
    std::array<std::uint64_t, kind_count> relayed_by{};
    std::array<std::uint64_t, kind_count> malformed_by{};
};

// What the relay holds now.
struct relay_gauges {
    int viewers = 0;         // on the relay stream
    int framed_viewers = 0;  // on the framed stream
    std::size_t templates = 0;  // held for viewers of the framed stream
};

// --- counters (relay_metrics.cpp)

// "counters: received=N relayed=N ... missed=N unstreamed=N framed_viewers=N
// templates=N replayed=N" (no line end).
std::string counters_line(const relay_counters& c, const relay_gauges& g);
// The counters in Prometheus' text exposition format.
std::string metrics_text(const relay_counters& c, const relay_gauges& g);

// The metrics file (-M): its directory, opened once at start, so that the
// file is always written where it was at start, also after a change of user.
struct metrics_file {
    unique_fd dir;
    std::string name;  // within dir
    std::string path;  // as given, for messages
};
// Opens the directory of path. False (errno set) when it cannot.
bool open_metrics(const std::string& path, metrics_file* m);
// Writes the metrics to a new file of a name nobody can guess beside the
// file and renames it over the file, so a reader never sees half a file
// and nothing planted in the directory is followed or waited on. False
// (errno set) on failure.
bool write_metrics(const metrics_file& m, const relay_counters& c, const relay_gauges& g);
// A stopped relay leaves no counters that look alive.
void remove_metrics(const metrics_file& m);

// --- start-up (relay_setup.cpp)

// One socket per local address (-b), or one per family when none is
// given: the relay stream's and the framed stream's listeners apart.
struct relay_sockets {
    std::vector<unique_fd> udp;
    std::vector<unique_fd> listen;
    std::vector<unique_fd> framed;
};

// Gives /dev/null to any of descriptors 0..2 that we were started without,
// so that no socket lands there and no message lands in a socket.
void ensure_std_descriptors();
void tune_udp_socket(int fd, int bufsize);
void tune_client_socket(int fd, int bufsize);
// A viewer from which nothing at all (not even the answer to a window or
// keep-alive probe) came for this long has vanished. Window probes of a
// paused viewer come at least every 120 s, the kernel's longest back-off.
constexpr long viewer_silence_ms = 130000;
// True when the kernel has heard nothing from the peer for longer.
bool viewer_vanished(int fd, long silence_ms = viewer_silence_ms);
// Creates, binds and tunes every socket; exits with status 1 on failure.
// With no -b, one IPv6 socket a port takes both families where the host
// has IPv6, and an IPv4 socket does where it has not.
relay_sockets open_relay_sockets(const relay_settings& s);
// What -U found: the relay runs as the user now, there is no such user,
// or a call failed (errno set).
enum class user_outcome { done, no_user, failed };
// Takes the user's groups, gid and uid (real, effective and saved) for
// good, and checks that root cannot be had back. Nothing to do when the
// relay already runs as that user.
user_outcome run_as_user(const std::string& user);
// Closes every descriptor from 3 on: a daemon holds nothing it inherited.
void close_inherited_descriptors();
// Detaches into a new session with standard input, output and error on
// /dev/null and a umask of 022; only the child returns.
void become_daemon();

// --- the relay loop (relay_loop.cpp)

// Datagrams taken from the UDP socket in one go.
constexpr std::size_t relay_batch = 64;

// The bytes of a datagram that go into the stream: all of it for a whole
// NetFlow v5 export (24 + 48 x count bytes, count at least 1), cutting
// whatever follows its records; 0 when it is not one.
inline std::size_t whole_export_size(const unsigned char* d, std::size_t len)
{
    if (len < nf5_header_size || load_be16(d) != nf5_version)
        return 0;
    std::size_t count = load_be16(d + 2);
    std::size_t need = nf5_header_size + nf5_record_size * count;
    return count > 0 && need <= len ? need : 0;
}

// A viewer's debt: the rest of a frame of which only a part went out, or
// what a framed viewer is owed as it connects (the greeting and the held
// templates, shared by the viewers that connected while they stayed the
// same). Nothing else is ever kept for a viewer.
struct replay_snapshot {
    std::vector<unsigned char> bytes;
    std::size_t frames = 0;  // template frames in bytes
};
struct pending_frame {
    std::unique_ptr<unsigned char[]> buf;
    std::size_t cap = 0;
    std::size_t off = 0;
    std::size_t len = 0;
    std::shared_ptr<const replay_snapshot> shared;  // when set, owed from it, not buf
    std::size_t replay_frames = 0;  // template frames owed, counted once all went out
    const unsigned char* data() const { return shared ? shared->bytes.data() : buf.get(); }
    std::size_t owed() const { return len - off; }
};

// How one send to a viewer split over what it was given: first the rest of
// the frame in hand (owed bytes), then the batch's frames in order.
struct send_split {
    std::size_t owed_left = 0;  // bytes of the earlier frame still owed
    std::size_t whole = 0;      // batch frames that went out whole
    std::size_t cut_sent = 0;   // bytes sent of frame [whole]; 0 if none
};

send_split split_sent(std::size_t owed, std::span<const iovec> frames, std::size_t sent);

enum class send_result {
    sent,     // something went out; what is owed is in the pending frame
    no_room,  // nothing went out: the viewer misses these frames
    gone,     // the connection failed or took nothing
};

// Sends to one viewer the rest of its frame in hand, then the frames (at
// most relay_batch), in one call that never waits.
// `started` (if given) gets the number of frames of which something went
// out; the others the viewer missed.
send_result send_frames(int fd, pending_frame& p, std::span<const iovec> frames,
                        std::size_t* started = nullptr);

// Set by SIGUSR1: the loop writes the counters line.
void request_counters(int);
// Set by SIGTERM and SIGINT: the loop removes the metrics file and ends
// the relay by that signal.
void request_stop(int signo);

// Serves viewers until told to stop; ends the process on a fatal socket
// failure.
[[noreturn]] void relay_loop(relay_sockets& socks, metrics_file& metrics,
                             const relay_settings& s);
