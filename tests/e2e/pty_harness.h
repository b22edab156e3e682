// The viewer under a pseudo-terminal, as an operator runs it, and a scripted
// relay that the test feeds byte for byte.
//
// Every wait is bounded; every viewer started here is stopped by its PID
// and reaped when its pty_viewer goes out of scope.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tests/e2e/harness.h"

namespace e2e {

// nelk on a fresh pseudo-terminal: standard input, output and error are the
// terminal, which is its controlling terminal. The test holds both ends, so
// the terminal's settings can be read after the viewer has ended.
struct pty_viewer {
    process proc;
    pid_t pid = -1;  // proc's
    unique_fd master;
    unique_fd slave;
    termios initial{};   // the settings the viewer was started with
    std::string screen;  // everything the viewer wrote so far

    pty_viewer() = default;
    pty_viewer(pty_viewer&&) = default;
    pty_viewer& operator=(pty_viewer&&) = default;
    ~pty_viewer();  // SIGKILL: a viewer left writing to the terminal takes no SIGTERM

    // Reads what the viewer wrote until screen holds text, or the time-out.
    bool wait_screen(std::string_view text, milliseconds timeout);
    // Reads whatever the viewer writes during the given time.
    void drain(milliseconds time);
    // Types keys on the terminal.
    void type(std::string_view keys);
    // The terminal's current settings.
    termios settings() const;
    // Waits until key mode is on (echo off), or the time-out.
    bool wait_key_mode(milliseconds timeout);
    // Waits until the viewer has ended (reading its last output).
    bool wait_exit(milliseconds timeout);
    int exit_code() const { return proc.exit_code(); }
    int term_signal() const { return proc.term_signal(); }
};

// Starts build/nelk with the arguments (argv[0] is added) on a new terminal
// of 80 by 24 with the system's default settings; with stdout_fd, standard
// output goes there instead of the terminal; env is set over ours. No core
// files. A program path given runs that instead of nelk (a script that
// starts it).
pty_viewer spawn_viewer(const std::vector<std::string>& args, int stdout_fd = -1,
                        const std::vector<std::string>& env = {},
                        const std::string& program = "");

// A listening socket on a free port of 127.0.0.1 in place of nelkd: the test
// accepts the viewer and writes exactly the stream it wants.
struct fake_relay {
    unique_fd listener;
    unique_fd stream;
    int port = 0;

    // Waits for the viewer's connection.
    bool accept_viewer(milliseconds timeout);
    bool send(const std::vector<std::uint8_t>& bytes);
    // Ends the stream as a relay that goes away would.
    void close_stream() { stream.reset(); }
};

fake_relay open_fake_relay();

// "-s" argument for a relay on 127.0.0.1 at port.
std::string relay_arg(int port);

// One relay frame from router (dotted) holding a version 5 datagram with the
// given records; count overrides the header's record count when >= 0.
struct flow_fields {
    const char* src = "192.0.2.1";
    const char* dst = "198.51.100.7";
    std::uint16_t input = 2, output = 3;
    std::uint16_t srcport = 80, dstport = 1025;
    std::uint32_t bytes = 1500, packets = 3;
    std::uint8_t prot = 6;
    std::uint16_t src_as = 0, dst_as = 65001;
};
std::vector<std::uint8_t> relay_frame(const char* router, const std::vector<flow_fields>& flows,
                                      int count = -1, std::uint16_t version = 5);

// The header fields an exporter fills in besides version and count.
struct header_fields {
    std::uint32_t flow_sequence = 0;
    std::uint8_t engine_type = 0, engine_id = 0;
    std::uint16_t sampling_interval = 0;  // as sent: the mode in the top two bits
};
std::vector<std::uint8_t> relay_frame(const char* router, const std::vector<flow_fields>& flows,
                                      const header_fields& head);

// The colondump line of f as flow number n from router.
std::string colondump_line(double n, const char* router, const flow_fields& f);

}  // namespace e2e
