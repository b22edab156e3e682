// The viewer under a pseudo-terminal: key mode, the key table, the ways out
// and the terminal settings they leave behind.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>

#include <fcntl.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <string>

#include "tests/e2e/harness.h"
#include "tests/e2e/pty_harness.h"

namespace {

using namespace e2e;
using namespace std::chrono_literals;

const std::string help_line =
    "\rKeys: (a)AS, (p)proto, (t)tcp, (u)udp, (q)uit                             \r";
const std::string quitting_line =
    "\rQuitting...                                                               \r\n";
const std::string no_stats_line =
    "No stats to display.  As least one report interval needs to pass        \r";
const std::string starting_line = "Starting. Hit '?' for help with keys.\r";

// What a text with line ends looks like on the terminal (output processing
// turns each line end into a carriage return and a line end).
std::string on_screen(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

constexpr tcflag_t key_bits = ECHO | ICANON | ISIG;

// A viewer connected to a scripted relay, past start-up and in key mode.
struct running_viewer {
    fake_relay relay = open_fake_relay();
    pty_viewer viewer;

    explicit running_viewer(const std::vector<std::string>& args, bool key_mode = true)
        : viewer(spawn_viewer(with_relay(args, relay.port)))
    {
        EXPECT_TRUE(relay.accept_viewer(5s));
        if (key_mode) {
            EXPECT_TRUE(viewer.wait_key_mode(5s)) << viewer.screen;
        }
    }

    static std::vector<std::string> with_relay(std::vector<std::string> args, int port)
    {
        args.push_back("-s");
        args.push_back(relay_arg(port));
        return args;
    }
};

void expect_restored(const pty_viewer& v)
{
    const termios now = v.settings();
    EXPECT_EQ(now.c_lflag, v.initial.c_lflag);
    EXPECT_EQ(now.c_cc[VMIN], v.initial.c_cc[VMIN]);
    EXPECT_EQ(now.c_cc[VTIME], v.initial.c_cc[VTIME]);
    EXPECT_EQ(now.c_cc[VEOF], v.initial.c_cc[VEOF]);
    EXPECT_EQ(now.c_cc[VINTR], v.initial.c_cc[VINTR]);
}

// Key mode: single keys, no echo, no signals from the keyboard, the rest of
// the terminal's settings as they were. Keys with no meaning bring the help
// line, report keys before any interval has closed the no-stats line, and
// nothing else is written.
TEST(ViewerKeys, KeyModeTakesSingleKeysWithoutEcho)
{
    running_viewer r({});
    ASSERT_TRUE(r.viewer.wait_screen(starting_line, 5s)) << r.viewer.screen;
    const termios t = r.viewer.settings();
    EXPECT_EQ(t.c_lflag & key_bits, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(t.c_lflag | key_bits, r.viewer.initial.c_lflag | key_bits);
    EXPECT_EQ(t.c_iflag, r.viewer.initial.c_iflag);
    EXPECT_EQ(t.c_oflag, r.viewer.initial.c_oflag);
    EXPECT_EQ(t.c_cc[VINTR], r.viewer.initial.c_cc[VINTR]);

    r.viewer.screen.clear();
    r.viewer.type("?Qau");
    const std::string want = help_line + help_line + no_stats_line + no_stats_line;
    ASSERT_TRUE(r.viewer.wait_screen(want, 5s)) << r.viewer.screen;
    r.viewer.drain(200ms);
    EXPECT_EQ(r.viewer.screen, want) << "no echo, nothing more";
    EXPECT_FALSE(r.viewer.wait_exit(0ms));
}

// Every way out puts the terminal back as it was: q and Control-C in key
// mode say they quit; SIGINT, and Control-C where keys are not read
// (colondump, where q does nothing), say they were interrupted; SIGTERM,
// SIGHUP and SIGQUIT end the viewer by that same signal, in every mode; the
// end of the relay stream and the flow limit end it with their lines.
TEST(ViewerKeys, EveryWayOutRestoresTheTerminal)
{
    const std::string interrupted = "Received interrupt.  Exiting.\r\n";
    struct way_out {
        std::vector<std::string> args;
        std::string keys;
        int sig = 0;  // sent once the viewer is going
        bool close_stream = false;
        int exit_code = 0, term_signal = 0;
        std::string shown, not_shown;
    };
    const way_out cases[] = {
        {{}, "q", 0, false, 0, 0, quitting_line, "Received interrupt"},
        {{"-m", "top"}, "\x03", 0, false, 0, 0, quitting_line, "Received interrupt"},
        {{"-m", "colondump"}, "q\x03", 0, false, 0, 0, interrupted, "Quitting"},
        {{"-m", "colondump"}, "", SIGINT, false, 0, 0, interrupted, "Quitting"},
        {{"-m", "top"}, "", SIGINT, false, 0, 0, interrupted, "Quitting"},
        {{"-m", "top", "-L", "1"}, "", SIGTERM, false, -1, SIGTERM, "", "Received interrupt"},
        {{"-m", "dump"}, "", SIGHUP, false, -1, SIGHUP, "", "Received interrupt"},
        {{"-m", "shortdump"}, "", SIGQUIT, false, -1, SIGQUIT, "", "Received interrupt"},
        {{"-m", "colondump"}, "", SIGTERM, false, -1, SIGTERM, "", "Received interrupt"},
        {{"-m", "top"}, "", SIGHUP, false, -1, SIGHUP, "", "Received interrupt"},
        {{"-m", "top", "-L", "2"}, "", SIGQUIT, false, -1, SIGQUIT, "", "Received interrupt"},
        {{"-m", "shortdump"}, "", 0, true, 0, 0, "connection closed\r\n", "Received interrupt"},
        {{"-m", "dump", "-c", "2"}, "", 0, false, 0, 0, "Flow limit reached (2).  Exiting\r\n",
         "flow #3"},
    };
    for (const way_out& c : cases) {
        const bool colondump = c.args.size() > 1 && c.args[1] == "colondump";
        SCOPED_TRACE(testing::Message() << (c.args.empty() ? "dump" : c.args[1]) << " keys "
                                        << c.keys.size() << " signal " << c.sig);
        running_viewer r(c.args, !colondump);
        // Something on the screen: the loop, and its handlers, are in place.
        flow_fields f;
        ASSERT_TRUE(r.relay.send(relay_frame("10.0.0.1", {f, f, f})));
        ASSERT_TRUE(r.viewer.wait_screen(colondump ? on_screen(colondump_line(3, "10.0.0.1", f))
                                                   : starting_line,
                                         5s))
            << r.viewer.screen;
        // One key at a time, each read (or not) before the next.
        for (char key : c.keys) {
            r.viewer.type(std::string(1, key));
            r.viewer.drain(100ms);
        }
        if (c.sig)
            ::kill(r.viewer.pid, c.sig);
        if (c.close_stream)
            r.relay.close_stream();
        ASSERT_TRUE(r.viewer.wait_exit(5s)) << r.viewer.screen;
        EXPECT_EQ(r.viewer.exit_code(), c.exit_code);
        EXPECT_EQ(r.viewer.term_signal(), c.term_signal);
        EXPECT_NE(r.viewer.screen.find(c.shown), std::string::npos) << r.viewer.screen;
        EXPECT_EQ(r.viewer.screen.find(c.not_shown), std::string::npos) << r.viewer.screen;
        expect_restored(r.viewer);
    }
}

// Router 10.0.0.1 skips flows 2 to 9; 10.0.0.2 (engine 1/2) samples 1 in 64.
std::vector<std::uint8_t> stream_with_a_gap()
{
    flow_fields f;
    std::vector<std::uint8_t> stream;
    for (const auto& frame : {relay_frame("10.0.0.1", {f, f}, header_fields{0}),
                              relay_frame("10.0.0.1", {f, f}, header_fields{10}),
                              relay_frame("10.0.0.2", {f}, header_fields{100, 1, 2, 0x4000 | 64})})
        stream.insert(stream.end(), frame.begin(), frame.end());
    return stream;
}

TEST(ViewerKeys, ExporterTableAndTheMissedFlowsAtTheEnd)
{
    running_viewer r({"-m", "dump"});
    ASSERT_TRUE(r.viewer.wait_screen(starting_line, 5s));
    r.viewer.type("e");
    ASSERT_TRUE(r.viewer.wait_screen("\rNo exporter seen yet." + std::string(53, ' ') + "\r\n", 5s))
        << r.viewer.screen;

    ASSERT_TRUE(r.relay.send(stream_with_a_gap()));
    ASSERT_TRUE(r.viewer.wait_screen("flow #5 received", 5s)) << r.viewer.screen;
    r.viewer.screen.clear();
    r.viewer.type("e");
    const std::string table = on_screen(
        "Router          Ver Domain     Datagrams      Flows    Missed  Loss% Resets Sampling "
        "NoTmpl    Bad\n"
        "10.0.0.1          5 0/0                2          4         8  66.67      0        0 "
        "     0      0\n"
        "10.0.0.2          5 1/2                1          1         0   0.00      0       64 "
        "     0      0\n");
    ASSERT_TRUE(r.viewer.wait_screen(table, 5s)) << r.viewer.screen;
    r.viewer.drain(100ms);
    EXPECT_EQ(r.viewer.screen, table) << "the table and nothing else";

    r.viewer.type("q");
    ASSERT_TRUE(r.viewer.wait_exit(5s)) << r.viewer.screen;
    EXPECT_EQ(r.viewer.exit_code(), 0);
    EXPECT_EQ(r.viewer.screen, table + quitting_line +
                                   "nelk: 8 of 13 flows missed (61.54%) by sequence numbers\r\n");
    expect_restored(r.viewer);
}

// Which system call a process is in ("1" is write on x86-64), or "".
std::string current_syscall(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
    std::string nr;
    in >> nr;
    return nr;
}

// Output piped to a pager that is paused: the viewer is stuck writing, and
// SIGINT still ends it within about a second, with the terminal restored.
TEST(ViewerKeys, SigintEndsTheViewerWhileItsOutputIsBlocked)
{
    int p[2];
    ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
    unique_fd nobody_reads(p[0]);
    unique_fd write_end(p[1]);
    ::fcntl(p[1], F_SETPIPE_SZ, 4096);

    fake_relay relay = open_fake_relay();
    pty_viewer v = spawn_viewer({"-m", "dump", "-s", relay_arg(relay.port)}, p[1]);
    write_end.reset();
    ASSERT_TRUE(relay.accept_viewer(5s));
    ASSERT_TRUE(v.wait_key_mode(5s));
    // Far more listing than the pipe holds.
    ASSERT_TRUE(relay.send(relay_frame("10.0.0.1", std::vector<flow_fields>(200))));
    bool blocked = false;
    for (int i = 0; i < 500 && !blocked; ++i) {
        blocked = current_syscall(v.pid) == "1";
        if (!blocked)
            v.drain(10ms);
    }
    if (!blocked && current_syscall(v.pid).empty())
        GTEST_SKIP() << "/proc/PID/syscall unreadable here";
    ASSERT_TRUE(blocked) << "the viewer should be stuck in a write";
    // Still stuck a moment later: nothing else ends the write.
    v.drain(300ms);
    ASSERT_EQ(current_syscall(v.pid), "1");

    const auto start = std::chrono::steady_clock::now();
    ::kill(v.pid, SIGINT);
    ASSERT_TRUE(v.wait_exit(3s)) << "SIGINT did not end a viewer blocked on its output";
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, 1800ms);
    EXPECT_EQ(v.exit_code(), 0);
    expect_restored(v);
}

TEST(ViewerKeys, ConnectErrorWithNoRelayListening)
{
    // A bound socket that does not listen holds the port and refuses.
    fake_relay r = open_fake_relay();
    r.listener.reset();
    unique_fd holder(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(r.port));
    const int on = 1;
    ::setsockopt(holder.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(holder.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        GTEST_SKIP() << "port taken again";
    pty_viewer v = spawn_viewer({"-s", relay_arg(r.port)});
    ASSERT_TRUE(v.wait_exit(5s));
    EXPECT_EQ(v.exit_code(), 1);
    EXPECT_NE(v.screen.find("connect error: Connection refused\r\n"), std::string::npos)
        << v.screen;
    // Start-up lines came out before the report.
    EXPECT_LT(v.screen.find(starting_line), v.screen.find("connect error"));
    expect_restored(v);
}

}  // namespace
