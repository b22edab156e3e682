// The relay stream as viewers see it: frame bytes, order, who gets what.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <tuple>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/framed_stream.h"
#include "common/net_address.h"
#include "common/nf5.h"
#include "tests/e2e/harness.h"
#include "tests/netflow_message.h"

using namespace e2e;
using bytes = std::vector<std::uint8_t>;

namespace {

constexpr milliseconds wait_time(5000);

bytes read_bytes(int fd, std::size_t n)
{
    bytes b(n);
    if (!read_exact(fd, b, wait_time))
        b.clear();
    return b;
}

struct relay_under_test {
    int udp = free_udp_port();
    int tcp = free_tcp_port();
    int framed = free_tcp_port();
    process relay;
    // The word "@F" in extra stands for the framed stream's port.
    explicit relay_under_test(std::vector<std::string> extra = {})
        : relay(start_nelkd(udp, tcp, with_port(extra, framed)))
    {
    }
    static std::vector<std::string> with_port(std::vector<std::string> words, int port)
    {
        for (std::string& w : words)
            if (w == "@F")
                w = std::to_string(port);
        return words;
    }
    int viewers = 0;

    // Connects a viewer and waits until the relay has given it a slot.
    unique_fd viewer(const char* from = nullptr) { return connect_to(tcp, from); }

    // A viewer of the framed stream, past its greeting.
    unique_fd framed_viewer(const char* from = nullptr)
    {
        unique_fd fd = connect_to(framed, from);
        bytes greeting(framed_greeting.size());
        EXPECT_TRUE(read_exact(fd.get(), greeting, wait_time));
        EXPECT_EQ(greeting, bytes(framed_greeting.begin(), framed_greeting.end()));
        return fd;
    }

    unique_fd connect_to(int port, const char* from)
    {
        unique_fd fd = tcp_connect(port, 0, from);
        EXPECT_TRUE(fd);
        ++viewers;
        EXPECT_TRUE(wait_output_count(relay, "New client:  Assigning fd ", viewers, wait_time))
            << relay.out();
        return fd;
    }

    void send(const bytes& d) { ASSERT_TRUE(udp_send(udp, d)); }
};

// Descriptor of the client in slot `slot`, from the latest assignment line.
int fd_of_slot(const std::string& out, int slot)
{
    std::string tail = " to l_clients[" + std::to_string(slot) + "]\n";
    auto at = out.rfind(tail);
    if (at == std::string::npos)
        return -1;
    auto start = out.rfind("Assigning fd ", at);
    return std::stoi(out.substr(start + 13, at - start - 13));
}

// -r: every datagram as it came, whatever it holds.
TEST(RelayStream, UncheckedFrameBytes)
{
    relay_under_test r({"-r"});
    ASSERT_TRUE(r.relay.running()) << r.relay.err();
    unique_fd v = r.viewer();

    // A full datagram: router address 127.0.0.1 as the bytes 127, 0, 0, 1.
    bytes d30 = v5_datagram(1, 30);
    r.send(d30);
    bytes got = read_bytes(v.get(), 4 + d30.size());
    ASSERT_EQ(got.size(), 1468u);
    EXPECT_EQ(got, frame_of(d30));

    // An empty datagram is a frame of the address alone: the next frame
    // follows right after it.
    bytes marker = v5_datagram(2, 1);
    r.send({});
    r.send(marker);
    bytes want = frame_of({});
    bytes marker_frame = frame_of(marker);
    want.insert(want.end(), marker_frame.begin(), marker_frame.end());
    EXPECT_EQ(read_bytes(v.get(), want.size()), want);

    // A datagram beyond 8192 bytes is relayed as its first 8192.
    bytes big(9000);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint8_t>(i % 251);
    r.send(big);
    r.send(marker);
    want = frame_of(bytes(big.begin(), big.begin() + 8192));
    ASSERT_EQ(want.size(), 8196u);
    want.insert(want.end(), marker_frame.begin(), marker_frame.end());
    EXPECT_EQ(read_bytes(v.get(), want.size()), want);

    // And nothing else.
    EXPECT_TRUE(read_available(v.get(), milliseconds(200), milliseconds(1000)).empty());
}

// Viewers get the same frames in arrival order; one that comes later gets
// only the later ones; a slot freed by one that leaves is taken again.
TEST(RelayStream, ViewersGetTheSameFramesInArrivalOrder)
{
    relay_under_test r;
    unique_fd a = r.viewer();
    unique_fd b = r.viewer();
    bytes want;
    for (std::uint32_t seq = 0; seq < 60; ++seq) {
        bytes d = v5_datagram(seq, 1 + seq % 30);
        r.send(d);
        bytes f = frame_of(d);
        want.insert(want.end(), f.begin(), f.end());
    }
    EXPECT_EQ(read_bytes(a.get(), want.size()), want);
    EXPECT_EQ(read_bytes(b.get(), want.size()), want);

    unique_fd c = r.viewer();
    bytes d = v5_datagram(100, 5);
    r.send(d);
    for (int fd : {a.get(), b.get(), c.get()})
        EXPECT_EQ(read_bytes(fd, 4 + d.size()), frame_of(d));
    EXPECT_TRUE(read_available(c.get(), milliseconds(200), milliseconds(1000)).empty());

    std::string out = r.relay.out();
    const int fd_a = fd_of_slot(out, 0);
    ASSERT_GT(fd_a, 0) << out;
    a.reset();
    ASSERT_TRUE(wait_output(r.relay,
                            "Closing connection " + std::to_string(fd_a) + "/0\n", wait_time))
        << r.relay.out();
    unique_fd e = r.viewer();
    out = r.relay.out();
    EXPECT_EQ(count(out, " to l_clients[0]\n"), 2) << out;
    EXPECT_EQ(count(out, " to l_clients[3]\n"), 0) << out;
    d = v5_datagram(101, 2);
    r.send(d);
    for (int fd : {b.get(), c.get(), e.get()})
        EXPECT_EQ(read_bytes(fd, 4 + d.size()), frame_of(d));
}

// A viewer has nothing to say: a few bytes are read and thrown away, but
// one that goes on (and would keep the relay busy reading) is dropped.
TEST(RelayStream, ViewerThatSaysAWordStaysOneThatGoesOnIsDropped)
{
    relay_under_test r;
    unique_fd a = r.viewer();
    unique_fd b = r.viewer();
    int fd = fd_of_slot(r.relay.out(), 0);
    ASSERT_EQ(send(a.get(), "hello!", 6, 0), 6);
    EXPECT_TRUE(wait_output(r.relay, "read 6 bytes from client " + std::to_string(fd) + "/0\n",
                            wait_time))
        << r.relay.out();

    bytes d = v5_datagram(3, 4);
    r.send(d);
    EXPECT_EQ(read_bytes(a.get(), 4 + d.size()), frame_of(d));
    EXPECT_EQ(count(r.relay.out(), "Closing connection"), 0);

    const std::vector<char> chatter(4091, 'x');  // 4097 bytes in all
    ASSERT_EQ(send(a.get(), chatter.data(), chatter.size(), 0), 4091);
    EXPECT_TRUE(wait_closed(a.get(), wait_time));
    EXPECT_TRUE(wait_output(r.relay,
                            "client " + std::to_string(fd) + "/0 sent more than 4096 bytes: "
                            "dropped.\n",
                            wait_time))
        << r.relay.out();
    r.send(d);
    EXPECT_EQ(read_bytes(b.get(), 4 + d.size()), frame_of(d));
    EXPECT_EQ(read_bytes(b.get(), 4 + d.size()), frame_of(d));
}

TEST(RelayStream, ViewerThatResetsDoesNotEndTheRelay)
{
    relay_under_test r;
    unique_fd a = r.viewer();
    unique_fd b = r.viewer();
    int fd_a = fd_of_slot(r.relay.out(), 0);

    // Frames a never reads, then an abortive close: the relay meets a reset
    // connection, on reading or on writing.
    bytes d = v5_datagram(1, 30);
    for (int i = 0; i < 3; ++i) {
        r.send(d);
        EXPECT_EQ(read_bytes(b.get(), 4 + d.size()), frame_of(d));
    }
    linger hard{1, 0};
    ASSERT_EQ(setsockopt(a.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
    a.reset();

    std::string died = "client " + std::to_string(fd_a) + "/0 died somehow.\n";
    std::string gone = "client " + std::to_string(fd_a) + "/0 seems to have gone away.\n";
    for (int i = 0; i < 20; ++i) {
        r.send(d);
        ASSERT_EQ(read_bytes(b.get(), 4 + d.size()), frame_of(d)) << "frame " << i;
    }
    ASSERT_TRUE(r.relay.running()) << r.relay.err();
    std::string out = r.relay.out();
    EXPECT_EQ(count(out, died) + count(out, gone), 1) << out;

    unique_fd c = r.viewer();
    EXPECT_EQ(count(r.relay.out(), " to l_clients[0]\n"), 2);
}

// The counters line the relay prints on SIGUSR1 in debug mode.
std::string counters(int received, int relayed, int malformed, int unlisted, int viewers,
                     int refused, int missed)
{
    std::ostringstream s;
    s << "counters: received=" << received << " relayed=" << relayed << " malformed=" << malformed
      << " unlisted=" << unlisted << " viewers=" << viewers << " refused=" << refused
      << " missed=" << missed << " unstreamed=0 framed_viewers=0 templates=0 replayed=0\n";
    return s.str();
}

bool signalled_counters(relay_under_test& r, const std::string& line)
{
    kill(r.relay.pid, SIGUSR1);
    return wait_output(r.relay, line, wait_time);
}

// A stray or hostile datagram costs the viewers that datagram and nothing
// else: every viewer gets exactly the good exports, in step.
TEST(RelayStream, OnlyWholeExportsEnterTheStream)
{
    relay_under_test r;
    unique_fd a = r.viewer();
    unique_fd b = r.viewer();

    bytes v9 = v5_datagram(0, 2);
    store_be16(v9.data(), 9);
    bytes overclaim = v5_datagram(0, 3);
    store_be16(overclaim.data() + 2, 4);
    // A whole export of two records, then a frame of made-up flows from a
    // router of the sender's choosing.
    bytes honest = v5_datagram(500, 2);
    bytes hidden = honest;
    bytes invented = v5_datagram(666, 5);
    hidden.insert(hidden.end(), {10, 9, 9, 9});
    hidden.insert(hidden.end(), invented.begin(), invented.end());
    const bytes strays[] = {{5}, {}, v9, v5_datagram(0, 0), overclaim, bytes(honest.begin(), honest.begin() + 23),
                           hidden};

    bytes want;
    std::uint32_t seq = 1;
    for (const bytes& stray : strays) {
        r.send(stray);
        if (&stray == &strays[std::size(strays) - 1]) {
            bytes f = frame_of(honest);
            want.insert(want.end(), f.begin(), f.end());
        }
        for (int i = 0; i < 2; ++i) {
            bytes good = v5_datagram(seq, 1 + seq % 30);
            ++seq;
            r.send(good);
            bytes f = frame_of(good);
            want.insert(want.end(), f.begin(), f.end());
        }
    }
    EXPECT_EQ(read_bytes(a.get(), want.size()), want);
    EXPECT_EQ(read_bytes(b.get(), want.size()), want);
    EXPECT_TRUE(read_available(a.get(), milliseconds(200), milliseconds(1000)).empty());
    // 7 strays (one relayed as its records), 14 good exports.
    EXPECT_TRUE(signalled_counters(r, counters(21, 15, 6, 0, 2, 0, 0))) << r.relay.out();
}

// The datagram of the framed frame that comes next, after checking that
// its head names the exporter.
bytes framed_datagram(int fd, const char* exporter)
{
    bytes head = read_bytes(fd, framed_head_size);
    if (head.size() != framed_head_size)
        return {};
    framed_head h = decode_framed_head(head.data());
    EXPECT_EQ(address_text(h.exporter), exporter);
    EXPECT_EQ(h.family, std::string(exporter).find(':') == std::string::npos ? 4 : 6);
    EXPECT_EQ(h.kind, framed_live);
    return read_bytes(fd, h.length - framed_head_size);
}

// Each malformed shape is dropped and counted; the good exports after it
// reach framed viewers whole, and the relay stream sees none of them.
TEST(RelayStream, FramedStreamTakesOnlySoundMessages)
{
    relay_under_test r({"-F", "@F"});
    unique_fd f = r.framed_viewer();
    unique_fd v = r.viewer();
    auto with = [](bytes d, std::size_t at, std::uint16_t value) {
        store_be16(d.data() + at, value);
        return d;
    };
    const bytes nine = flow_message(9, 1), ten = flow_message(10, 1);
    bytes padded = flow_message(9, 2);
    padded.insert(padded.end(), {0, 0});  // padding, cut
    const bytes strays[] = {
        bytes(nine.begin(), nine.begin() + 19),  // short header
        with(nine, 38, 200),                     // a set length past the end
        with(nine, 30, 0),                       // a zero-length field
        with(ten, 2, 200),                       // an IPFIX length that lies
        with(ten, 18, 12),                       // a template that overruns its set
    };
    std::uint32_t seq = 10;
    for (const bytes& stray : strays) {
        r.send(stray);
        r.send(flow_message(9, seq));
        EXPECT_EQ(framed_datagram(f.get(), "127.0.0.1"), flow_message(9, seq));
        r.send(flow_message(10, seq));
        EXPECT_EQ(framed_datagram(f.get(), "127.0.0.1"), flow_message(10, seq));
        ++seq;
    }
    r.send(padded);
    EXPECT_EQ(framed_datagram(f.get(), "127.0.0.1"), flow_message(9, 2));
    const bytes five = v5_datagram(3, 2);
    r.send(five);
    EXPECT_EQ(framed_datagram(f.get(), "127.0.0.1"), five);
    EXPECT_EQ(read_bytes(v.get(), 4 + five.size()), frame_of(five));
    EXPECT_TRUE(read_available(v.get(), milliseconds(200), milliseconds(1000)).empty());
    kill(r.relay.pid, SIGUSR1);
    EXPECT_TRUE(wait_output(r.relay,
                            "counters: received=17 relayed=12 malformed=5 unlisted=0 viewers=1 "
                            "refused=0 missed=0 unstreamed=0 framed_viewers=1 templates=11 "
                            "replayed=0\n",
                            wait_time))
        << r.relay.out();
}

// Live frames carry the exporter's port and the time the datagram came. A
// framed viewer that connects after the exporters sent their templates
// gets them first, marked replayed, each in a message of its exporter's
// version with the header of the exporter's last message; then live
// frames. A withdrawn template is not handed over, and one not refreshed
// for the time -T gives is forgotten.
TEST(RelayStream, LateFramedViewersGetTheTemplatesFirst)
{
    relay_under_test r({"-F", "@F", "-T", "2"});
    unique_fd early = r.framed_viewer();
    const udp_exporter from4("127.0.0.1"), from6("::1");
    const int port4 = from4.port(), port6 = from6.port();
    // A live frame: the datagram whole, with its exporter's port and the
    // time it came.
    auto send = [&](const udp_exporter& from, const bytes& d) {
        const auto now_ns = [] {
            return static_cast<std::uint64_t>(
                std::chrono::system_clock::now().time_since_epoch() / std::chrono::nanoseconds(1));
        };
        const std::uint64_t before = now_ns();
        ASSERT_TRUE(from.send(r.udp, d));
        const framed_frame f = read_framed(early.get(), wait_time);
        EXPECT_EQ(f.datagram, d);
        EXPECT_EQ(f.head.port, from.port());
        // The kernel's tick may lag the clock by a few milliseconds.
        EXPECT_GE(f.head.time_ns + 100000000, before);
        EXPECT_LE(f.head.time_ns, now_ns());
    };
    // The template of flow_message, in a message of its own.
    auto replay_of = [](const bytes& m) {
        const bool v9 = load_be16(m.data()) == 9;
        const std::size_t header = v9 ? 20 : 16;
        test_messages::message t{bytes(m.begin(), m.begin() + static_cast<long>(header))};
        t.set(v9 ? 0 : 2, bytes(m.begin() + static_cast<long>(header) + 4,
                                m.begin() + static_cast<long>(header) + 16));
        store_be16(t.b.data() + 2, static_cast<std::uint16_t>(v9 ? 1 : t.b.size()));
        return t.b;
    };
    using seen = std::set<std::tuple<std::string, int, bytes>>;
    auto late_viewer = [&](const seen& want) {
        unique_fd v = r.framed_viewer();
        seen got;
        for (std::size_t i = 0; i < want.size(); ++i) {
            const framed_frame f = read_framed(v.get(), wait_time);
            EXPECT_EQ(f.head.kind, framed_replayed);
            got.insert({address_text(f.head.exporter), f.head.port, f.datagram});
        }
        EXPECT_EQ(got, want);
        return v;
    };

    send(from4, flow_message(9, 1));
    send(from6, flow_message(10, 1));
    send(from4, flow_message(9, 2));  // a refresh, and the header to go with it
    unique_fd v1 = late_viewer({{"127.0.0.1", port4, replay_of(flow_message(9, 2))},
                                {"::1", port6, replay_of(flow_message(10, 1))}});
    const bytes withdrawal =
        test_messages::sized(test_messages::ipfix(0, 2).set(2, {1, 0, 0, 0}));
    send(from6, withdrawal);
    const framed_frame live = read_framed(v1.get(), wait_time);
    EXPECT_EQ(live.head.kind, framed_live);
    EXPECT_EQ(live.datagram, withdrawal);

    unique_fd v2 = late_viewer({{"127.0.0.1", port4, replay_of(flow_message(9, 2))}});
    std::this_thread::sleep_for(milliseconds(2200));
    unique_fd v3 = late_viewer({});
    EXPECT_TRUE(read_available(v3.get(), milliseconds(300), milliseconds(1000)).empty());
    EXPECT_TRUE(signalled_counters(r, "counters: received=4 relayed=4 malformed=0 unlisted=0 "
                                      "viewers=0 refused=0 missed=0 unstreamed=0 "
                                      "framed_viewers=4 templates=0 replayed=3\n"))
        << r.relay.out();
}

// A storm of SIGUSR1 writes at most one counters line (and metrics file) a
// second, and the last request is still answered.
TEST(RelayStream, CountersAtMostOnceASecond)
{
    relay_under_test r;
    int signals = 0;
    for (auto end = std::chrono::steady_clock::now() + milliseconds(950);
         std::chrono::steady_clock::now() < end; ++signals) {
        kill(r.relay.pid, SIGUSR1);
        std::this_thread::sleep_for(milliseconds(5));
    }
    ASSERT_GT(signals, 20);
    // One at once, one when the second is over.
    std::this_thread::sleep_for(milliseconds(1500));
    EXPECT_EQ(count(r.relay.out(), "counters: "), 2) << r.relay.out();
}

// Exporters and viewers of both families against -e and -a; a peer that
// comes as ::ffff:127.0.0.1 is judged and shown as 127.0.0.1.
TEST(RelayStream, BothFamiliesAgainstTheLists)
{
    relay_under_test r({"-F", "@F", "-e", "::1,127.0.0.2", "-a", "127.0.0.1,::1/128"});
    unique_fd f6 = r.framed_viewer("::1");
    unique_fd f4 = r.framed_viewer("127.0.0.1");
    unique_fd v = r.viewer();
    unique_fd stranger = tcp_connect(r.framed, 0, "127.0.0.3");
    EXPECT_TRUE(wait_closed(stranger.get(), wait_time));
    EXPECT_TRUE(wait_output(r.relay, "Connection from 127.0.0.3 refused: not an allowed viewer.\n",
                            wait_time))
        << r.relay.out();

    const bytes nine = flow_message(9, 5), five = v5_datagram(9, 1);
    ASSERT_TRUE(udp_send(r.udp, nine, "::1"));
    ASSERT_TRUE(udp_send(r.udp, nine, "127.0.0.1"));  // not listed
    ASSERT_TRUE(udp_send(r.udp, five, "::1"));        // v5, but from IPv6: framed only
    ASSERT_TRUE(udp_send(r.udp, five, "127.0.0.2"));
    for (int fd : {f6.get(), f4.get()}) {
        EXPECT_EQ(framed_datagram(fd, "::1"), nine);
        EXPECT_EQ(framed_datagram(fd, "::1"), five);
        EXPECT_EQ(framed_datagram(fd, "127.0.0.2"), five);
    }
    EXPECT_EQ(read_bytes(v.get(), 4 + five.size()), frame_of(five, 2));
    EXPECT_TRUE(read_available(v.get(), milliseconds(200), milliseconds(1000)).empty());
    EXPECT_TRUE(signalled_counters(r, "counters: received=4 relayed=3 malformed=0 unlisted=1 "
                                      "viewers=1 refused=1 missed=0 unstreamed=0 "
                                      "framed_viewers=2 templates=1 replayed=0\n"))
        << r.relay.out();
}

// Just enough of the text exposition format: HELP and TYPE before the
// samples of a family, one sample a line, and the values.
std::map<std::string, double> parse_prometheus(const std::string& text, std::string& error)
{
    static const std::regex help(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) \S.*)");
    static const std::regex type(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge))");
    static const std::regex sample(
        R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[a-zA-Z_][a-zA-Z0-9_]*="[^"\\]*"\})? ([0-9]+))");
    std::map<std::string, double> values;
    std::set<std::string> helped, typed;
    std::istringstream in(text);
    std::string line;
    if (text.empty() || text.back() != '\n')
        error = "no line end at the end";
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_match(line, m, help)) {
            helped.insert(m[1]);
        } else if (std::regex_match(line, m, type)) {
            if (!helped.count(m[1]) || !typed.insert(m[1]).second)
                error = "TYPE without HELP or twice: " + line;
        } else if (std::regex_match(line, m, sample)) {
            if (!typed.count(m[1]))
                error = "sample before its TYPE: " + line;
            values[m[1].str() + m[2].str()] = std::stod(m[3]);
        } else {
            error = "not exposition format: " + line;
        }
    }
    return values;
}

std::string file_text(const std::string& path)
{
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// The metrics file, written where anyone in the collector's group may plant
// a link or a FIFO at the name of an earlier relay's temporary file: no
// link is followed, no FIFO waited on; a stopped relay takes its file away.
TEST(RelayStream, MetricsFile)
{
    char dir[] = "/tmp/nelk-metrics-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string path = std::string(dir) + "/nelkd.prom";
    const std::string victim = std::string(dir) + "/victim";
    std::ofstream(victim) << "secret\n";
    ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
    ASSERT_EQ(symlink(victim.c_str(), (path + ".tmp").c_str()), 0);
    {
        relay_under_test r({"-M", path});
        // Written once at start.
        std::string error;
        auto start = parse_prometheus(file_text(path), error);
        EXPECT_EQ(error, "");
        EXPECT_EQ(start["nelkd_datagrams_received_total"], 0);

        unique_fd v = r.viewer();
        bytes good = v5_datagram(1, 4);
        r.send({1, 2, 3});
        r.send(good);
        EXPECT_EQ(read_bytes(v.get(), 4 + good.size()), frame_of(good));
        ASSERT_TRUE(signalled_counters(r, counters(2, 1, 1, 0, 1, 0, 0)));
        const std::string text = file_text(path);
        auto got = parse_prometheus(text, error);
        EXPECT_EQ(error, "") << text;
        std::map<std::string, double> want = {
            {"nelkd_datagrams_received_total", 2},
            {"nelkd_datagrams_relayed_total", 1},
            {"nelkd_datagrams_dropped_total{reason=\"malformed\"}", 1},
            {"nelkd_datagrams_dropped_total{reason=\"unlisted\"}", 0},
            {"nelkd_viewers", 1},
            {"nelkd_connections_refused_total", 0},
            {"nelkd_frames_missed_total", 0},
            {"nelkd_datagrams_dropped_total{reason=\"unstreamed\"}", 0},
            {"nelkd_framed_viewers", 0},
            {"nelkd_templates", 0},
            {"nelkd_template_frames_replayed_total", 0},
        };
        // By version: the good v5 export, and three bytes of no version.
        for (const char* family : {"received", "relayed", "malformed"})
            for (const char* v : {"5", "9", "10", "other"}) {
                const std::string f = std::string(family);
                want[std::string("nelkd_version_datagrams_") + family + "_total{version=\"" + v +
                     "\"}"] = (f != "malformed" && std::string(v) == "5") ||
                               (f != "relayed" && std::string(v) == "other");
            }
        EXPECT_EQ(got, want) << text;
        EXPECT_EQ(file_text(victim), "secret\n");

        // A FIFO where the link was: the relay neither waits on it nor
        // stops serving.
        ASSERT_EQ(unlink((path + ".tmp").c_str()), 0);
        ASSERT_EQ(mkfifo((path + ".tmp").c_str(), 0600), 0);
        bytes next = v5_datagram(2, 4);
        r.send(next);
        EXPECT_EQ(read_bytes(v.get(), 4 + next.size()), frame_of(next));
        ASSERT_TRUE(signalled_counters(r, counters(3, 2, 1, 0, 1, 0, 0)));
        EXPECT_EQ(parse_prometheus(file_text(path), error)["nelkd_datagrams_received_total"], 3);
        r.send(good);
        EXPECT_EQ(read_bytes(v.get(), 4 + good.size()), frame_of(good));
        // Nothing else: every temporary file was renamed or removed.
        std::set<std::string> files;
        for (auto& e : std::filesystem::directory_iterator(dir))
            files.insert(e.path().filename());
        EXPECT_EQ(files, (std::set<std::string>{"nelkd.prom", "nelkd.prom.tmp", "victim"}));
        struct stat st{};
        ASSERT_EQ(stat(victim.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);

        stop(r.relay);
        EXPECT_TRUE(WIFSIGNALED(r.relay.status) && WTERMSIG(r.relay.status) == SIGTERM);
        EXPECT_FALSE(std::filesystem::exists(path)) << "a stopped relay left its counters";
    }
    std::filesystem::remove_all(dir);
}

// A datagram of the largest size relayed whole, numbered by its first bytes.
bytes big_datagram(std::uint32_t seq)
{
    bytes d(8192);
    store_be32(d.data(), seq);
    for (std::size_t i = 4; i < d.size(); ++i)
        d[i] = static_cast<std::uint8_t>(seq * 131 + i);
    return d;
}

// A viewer that reads far too slowly misses frames but must not hold up one
// that keeps up. What it does get is whole frames in order, and the rest of
// a frame it could take only part of comes as soon as it reads, not when the
// next datagram comes (which may be minutes away).
TEST(RelayStream, SlowViewerMissesFramesButStaysInStep)
{
    relay_under_test r({"-r"});
    unique_fd slow = tcp_connect(r.tcp, 2048);
    ASSERT_TRUE(slow);
    ASSERT_TRUE(wait_output_count(r.relay, "New client:", ++r.viewers, wait_time));
    unique_fd fast = r.viewer();

    // Bursts of big frames, each far more than the slow viewer's buffers
    // hold, the fast viewer reading along; then silence, in which the slow
    // one reads. A cut may end at a frame's end by chance: several rounds.
    constexpr std::size_t frame_size = 4 + 8192;
    std::uint32_t seq = 0;
    auto fast_takes = [&](std::uint32_t n) {
        for (std::uint32_t i = 0; i < n; ++i)
            r.send(big_datagram(seq + i));
        for (std::uint32_t i = 0; i < n; ++i)
            if (read_bytes(fast.get(), frame_size) != frame_of(big_datagram(seq + i)))
                return false;
        seq += n;
        return true;
    };
    bytes stream;
    for (int round = 0; round < 12; ++round) {
        for (int chunk = 0; chunk < 5; ++chunk)
            ASSERT_TRUE(fast_takes(16)) << "the reading viewer waited at frame " << seq;
        std::this_thread::sleep_for(milliseconds(100));
        const bytes got = read_available(slow.get(), milliseconds(300), milliseconds(10000));
        ASSERT_EQ(got.size() % frame_size, 0u) << "the stream stops inside a frame, round " << round;
        stream.insert(stream.end(), got.begin(), got.end());
    }
    // Reading again, it gets every new frame.
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(fast_takes(1));
        const bytes got = read_available(slow.get(), milliseconds(200), milliseconds(3000));
        stream.insert(stream.end(), got.begin(), got.end());
    }

    ASSERT_EQ(stream.size() % frame_size, 0u) << "stream cut inside a frame";
    const std::size_t frames = stream.size() / frame_size;
    EXPECT_LT(frames, static_cast<std::size_t>(seq)) << "nothing was missed: the test proves nothing";
    long last = -1;
    for (std::size_t i = 0; i < frames; ++i) {
        const bytes f(stream.begin() + static_cast<long>(i * frame_size),
                      stream.begin() + static_cast<long>((i + 1) * frame_size));
        const std::uint32_t n = load_be32(f.data() + 4);
        ASSERT_GT(static_cast<long>(n), last) << "frame " << i;
        ASSERT_EQ(f, frame_of(big_datagram(n))) << "frame " << i;
        last = n;
    }
    EXPECT_EQ(last, static_cast<long>(seq - 1));
    EXPECT_EQ(count(r.relay.out(), "gone away"), 0);
}

}  // namespace
