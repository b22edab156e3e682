// End-to-end harness: starts the real programs on free loopback ports and
// talks to them over TCP and UDP on 127.0.0.1.
//
// Every wait is bounded by a time-out. Every process started here is a
// `process`, which stops it (SIGTERM, then SIGKILL) and reaps it when it goes
// out of scope, so a failing test never leaves one behind. A process that we
// did not fork ourselves (the relay's daemon) is stopped by `pid_guard`.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/framed_stream.h"
#include "common/unique_fd.h"

namespace e2e {

using std::chrono::milliseconds;

// Path of a program of the build: NELK_BIN_DIR/name ("nelkd", "nelk", "flowgen").
std::string bin(const std::string& name);

// A port that was free on 127.0.0.1 a moment ago.
int free_tcp_port();
int free_udp_port();

struct spawn_options {
    std::vector<std::string> env;  // "NAME=value", added to our environment
    bool close_stdin = false;      // start the program with descriptor 0 closed
    long nofile = 0;               // soft RLIMIT_NOFILE for it; 0 keeps ours
    int fill_fds_below = 0;        // hand it descriptors 3 .. n-1 open (on /dev/null)
    bool stdout_pipe = false;      // standard output a pipe whose read end we hold
};

// A started program. Its standard input is /dev/null (or closed), its
// standard output and error go to temporary files, read with out() and err()
// at any time, also after it ended; it inherits no other descriptor.
struct process {
    pid_t pid = -1;
    bool reaped = false;
    int status = 0;  // wait status, once reaped
    std::string out_path;
    std::string err_path;
    unique_fd out_pipe;  // read end of its standard output, with stdout_pipe

    process() = default;
    process(process&& o) noexcept;
    process& operator=(process&& o) noexcept;
    process(const process&) = delete;
    process& operator=(const process&) = delete;
    ~process();  // stops it and removes the files

    std::string out() const;
    std::string err() const;
    // True while it has not ended; reaps it when it has.
    bool running();
    // Exit status once ended normally, -1 when killed by a signal or running.
    int exit_code() const;
};

process spawn(const std::vector<std::string>& argv, const spawn_options& opts = {});

// Waits until the process ends; false when the time-out passes first.
bool wait_exit(process& p, milliseconds timeout);

// SIGTERM, a grace time, then SIGKILL; always reaped afterwards.
void stop(process& p);

// Stops a process that is not our child (SIGTERM, then SIGKILL) and waits
// until it is gone. spawn makes the test a subreaper, so a daemon that a
// spawned program forked is reaped here too.
void stop_pid(pid_t pid);

struct pid_guard {
    pid_t pid = -1;
    explicit pid_guard(pid_t p) : pid(p) {}
    pid_guard(const pid_guard&) = delete;
    pid_guard& operator=(const pid_guard&) = delete;
    ~pid_guard()
    {
        if (pid > 0)
            stop_pid(pid);
    }
};

// Waits until the program's standard output (or error) contains text.
bool wait_output(const process& p, const std::string& text, milliseconds timeout,
                 bool from_stderr = false);

// Waits until text appears at least n times in standard output (or error).
bool wait_output_count(const process& p, const std::string& text, int n, milliseconds timeout,
                       bool from_stderr = false);

// Occurrences of needle in haystack.
int count(const std::string& haystack, const std::string& needle);

// CPU time (user + system) the process has used so far, in clock ticks.
long cpu_ticks(pid_t pid);

// The state letter of /proc/PID/stat ('R', 'S', 'Z'...); 0 when it is gone.
char run_state(pid_t pid);

// The process holding a listening TCP socket on port, -1 when none is seen.
pid_t tcp_port_owner(int port);

// True when a UDP socket of either family is bound to port (the viewer's -u).
bool udp_port_bound(int port);

// True once nothing waits in the UDP socket bound to port and the process
// pid that reads it waits again: all that was sent to it is handled.
bool udp_drained(int port, pid_t pid);

// Waits until a UDP socket is bound to port; false at the time-out.
bool wait_udp_bound(int port, milliseconds timeout);

// Starts nelkd in debug mode on the given ports and waits for its listening
// line. `extra` goes after -d -u -t.
process start_nelkd(int udpport, int tcpport, const std::vector<std::string>& extra = {},
                    const spawn_options& opts = {});

// A NetFlow v5 datagram of `records` records (0 to 30) whose header carries
// `sequence` as flow_sequence and whose record bytes follow from it, so that
// a receiver can tell every datagram of a test apart and check its bytes.
std::vector<std::uint8_t> v5_datagram(std::uint32_t sequence, unsigned records);

// A sound NetFlow v9 (version 9) or IPFIX (10) message: a template and two
// data records that follow from `sequence`, which the header carries.
std::vector<std::uint8_t> flow_message(std::uint16_t version, std::uint32_t sequence);

// A connected TCP socket to 127.0.0.1:port; invalid on failure. A rcvbuf
// above 0 sets SO_RCVBUF before connecting (a small one makes a slow reader).
// `from` is the local address to connect from (another 127.x.y.z, or ::1
// to connect over IPv6 to ::1).
unique_fd tcp_connect(int port, int rcvbuf = 0, const char* from = nullptr);

// Sends one datagram to 127.0.0.1:port from a new socket, bound to `from`
// when given (::1 sends over IPv6 to ::1).
bool udp_send(int port, std::span<const std::uint8_t> data, const char* from = nullptr);

// An exporter's one UDP socket: bound to `from` (127.x.y.z, or ::1 for
// IPv6) at a port of the kernel's choice, which every datagram it sends
// comes from, as a router's do.
struct udp_exporter {
    unique_fd fd;
    std::string from;
    explicit udp_exporter(const char* address = "127.0.0.1");
    // To the loopback address of its family at port.
    bool send(int port, std::span<const std::uint8_t> data) const;
    int port() const;  // its own
};

// The local port of a socket.
int local_port(int fd);

// One frame of the framed stream; ok is false when none came whole in time.
struct framed_frame {
    bool ok = false;
    framed_head head;
    std::vector<std::uint8_t> datagram;
};
framed_frame read_framed(int fd, milliseconds timeout);

// Reads exactly buf.size() bytes; false on end of stream, error or time-out.
bool read_exact(int fd, std::span<std::uint8_t> buf, milliseconds timeout);

// Reads whatever arrives until nothing comes for `quiet` or `limit` passes.
std::vector<std::uint8_t> read_available(int fd, milliseconds quiet, milliseconds limit);

// True when the peer closes (or resets) within the time-out; bytes that
// arrive before are thrown away, and counted in *seen when given.
bool wait_closed(int fd, milliseconds timeout, std::size_t* seen = nullptr);

// The frame the relay makes of a datagram sent from 127.0.0.1 (or
// 127.0.0.last): the router address in network order, then the datagram.
std::vector<std::uint8_t> frame_of(const std::vector<std::uint8_t>& datagram,
                                   std::uint8_t last = 1);

}  // namespace e2e
