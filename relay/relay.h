// nelkd: receives NetFlow datagrams on UDP and writes each one, framed with
// the exporting router's address, to every viewer connected over TCP.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

#include <sys/uio.h>

#include "common/unique_fd.h"

// The relay's two mode switches, set during start-up only.
extern int debug_mode;  // -d: stay in the foreground, print debug lines
extern int use_syslog;  // reports go to syslog once we have detached

constexpr int relay_default_port = 4444;
constexpr int relay_default_bufsize = 196608;
constexpr int relay_min_bufsize = 16384;
constexpr int relay_backlog = 32;
constexpr int relay_max_clients = 256;
constexpr int relay_sndlowat = 2048;

struct relay_settings {
    int udpport = relay_default_port;
    int tcpport = relay_default_port;
    int bufsize = relay_default_bufsize;
    bool debug = false;
};

enum class option_outcome {
    run,          // start relaying with the settings
    usage,        // print the usage text, exit 0
    bad_bufsize,  // -s without a number or below relay_min_bufsize, exit 1
    bad_port,     // -u or -t outside 0..65535, exit 1
};

struct option_result {
    option_outcome outcome = option_outcome::run;
    relay_settings settings;
    const char* bad_arg = nullptr;  // the argument a refusal names
};

// Reads the command line ("u:t:s:d"); getopt itself complains about unknown
// options and missing arguments. Stops at the first refusal.
option_result parse_options(int argc, char* argv[]);

// --- reporting (relay_report.cpp): the one place that knows where messages go

// A failed system call: perror form on stderr, or syslog once detached.
void report_error(const char* msg);
// "msg: strerror(errno)" to syslog at LOG_ERR.
void syslog_error(const char* msg);
// report_error, then exit with status 1.
[[noreturn]] void fatal_error(const char* msg);
// A viewer left: stdout in debug mode, syslog LOG_INFO when detached.
void report_client_gone(int fd, int slot);
// A connection refused: syslog LOG_ERR in both modes.
void report_rejected(const char* text);
void print_usage(const char* prog);

// --- start-up (relay_setup.cpp)

struct relay_sockets {
    unique_fd udp;
    unique_fd listen;
};

// Gives /dev/null to any of descriptors 0..2 that we were started without,
// so that no socket lands there and no message lands in a socket.
void ensure_std_descriptors();
void tune_udp_socket(int fd, int bufsize);
void tune_client_socket(int fd, int bufsize);
// Creates, binds and tunes both sockets; exits with status 1 on failure.
relay_sockets open_relay_sockets(const relay_settings& s);
// Detaches into a new session; only the child returns.
void become_daemon();

// --- the relay loop (relay_loop.cpp)

// Datagrams taken from the UDP socket in one go.
constexpr std::size_t relay_batch = 64;

// A viewer's debt: the rest of a frame of which only a part went out.
// Nothing else is ever kept for a viewer.
struct pending_frame {
    std::unique_ptr<unsigned char[]> buf;
    std::size_t cap = 0;
    std::size_t off = 0;
    std::size_t len = 0;
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
send_result send_frames(int fd, pending_frame& p, std::span<const iovec> frames);

// Serves viewers for ever; ends the process on a fatal socket failure.
[[noreturn]] void relay_loop(int udp_fd, int listen_fd, int bufsize);
