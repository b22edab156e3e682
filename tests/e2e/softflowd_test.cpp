// A real exporter end to end: softflowd reads a capture file that the test
// writes and exports NetFlow v5 to a recorder in the test, which keeps every
// datagram and hands it on unchanged to nelkd. Two viewers watch the relay:
// colondump, checked field by field against the test's own decoding of the
// recorded datagrams, and top mode, checked against the sums of the records.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/export_checks.h"
#include "common/framed_stream.h"
#include "common/net_address.h"
#include "tests/e2e/harness.h"
#include "tests/e2e/pty_harness.h"

namespace {

using namespace e2e;
using namespace std::chrono_literals;
using bytes = std::vector<std::uint8_t>;
using steady = std::chrono::steady_clock;

// Tue Mar 10 2026 10:59:59 UTC: the top viewer starts a second before the
// hour, the flows arrive within that second, and the hour closes the interval.
constexpr std::time_t before_hour = 1773140399;
constexpr std::time_t on_hour = before_hour + 1;

// --- the capture file -----------------------------------------------------

void put16(bytes& b, unsigned v)
{
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}

void put32(bytes& b, std::uint32_t v)
{
    put16(b, v >> 16);
    put16(b, v & 0xffff);
}

// pcap's own headers are in the writer's byte order; little-endian here.
void put32le(bytes& b, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::uint16_t ip_checksum(const std::uint8_t* p, std::size_t n)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < n; i += 2)
        sum += static_cast<std::uint32_t>(p[i] << 8 | p[i + 1]);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

std::uint32_t addr(const char* dotted)
{
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return ntohl(a.s_addr);
}

std::string dotted(std::uint32_t host_order)
{
    in_addr a{};
    a.s_addr = htonl(host_order);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

// One flow of the capture: every packet the same way, no replies, so the
// exporter makes exactly one record of it.
struct made_flow {
    std::uint32_t src, dst;
    std::uint8_t prot, tos;
    std::uint16_t srcport, dstport;  // ICMP: echo identifier; GRE: unused
    unsigned packets;
    std::uint32_t ip_bytes = 0;      // sum of the IP total lengths
    // An IPv6 flow: these addresses, not src and dst.
    bool v6 = false;
    std::array<std::uint8_t, 16> src6{}, dst6{};
};

// A varied, fixed set of flows: TCP to several services, UDP, ICMP echo and
// GRE, with different packet counts and sizes; more than one export
// datagram's worth (30 records).
std::vector<made_flow> capture_flows()
{
    static constexpr std::uint16_t tcp_ports[] = {80, 443, 22, 25, 8080, 993};
    static constexpr std::uint16_t udp_ports[] = {53, 123, 161, 514};
    std::vector<made_flow> flows;
    for (unsigned i = 0; i < 73; ++i) {
        made_flow f{};
        f.src = addr("192.0.2.0") + 1 + i;
        f.dst = addr("198.51.100.0") + 200 - (i * 7) % 150;
        f.tos = static_cast<std::uint8_t>((i % 4) * 8);
        f.packets = 1 + (i * 11) % 45;
        switch (i % 7) {
        case 0: case 2: case 3: case 5:
            f.prot = 6;
            f.srcport = static_cast<std::uint16_t>(40000 + i * 13);
            f.dstport = tcp_ports[i % 6];
            break;
        case 1: case 4:
            f.prot = 17;
            f.srcport = static_cast<std::uint16_t>(1024 + i * 101);
            f.dstport = udp_ports[i % 4];
            break;
        case 6:
            f.prot = i % 2 ? 47 : 1;
            f.srcport = static_cast<std::uint16_t>(i);
            break;
        }
        flows.push_back(f);
    }
    return flows;
}

// Writes the flows as an Ethernet capture and fills in their IP byte counts.
bool write_capture(const std::string& path, std::vector<made_flow>& flows)
{
    bytes file;
    put32le(file, 0xa1b2c3d4);
    file.insert(file.end(), {2, 0, 4, 0});  // version 2.4
    put32le(file, 0);                       // thiszone
    put32le(file, 0);                       // sigfigs
    put32le(file, 65535);                   // snaplen
    put32le(file, 1);                       // Ethernet
    std::uint32_t usec = 0;
    std::uint32_t sec = static_cast<std::uint32_t>(before_hour - 120);
    for (std::size_t i = 0; i < flows.size(); ++i) {
        made_flow& f = flows[i];
        for (unsigned k = 0; k < f.packets; ++k) {
            const unsigned payload = 20 + static_cast<unsigned>((i * 37 + k * 211) % 700);
            unsigned l4 = 0;
            if (f.prot == 6)
                l4 = 20;
            else if (f.prot == 17 || f.prot == 1 || f.prot == 47 || f.prot == 58)
                l4 = 8;
            const unsigned ip_len = (f.v6 ? 40 : 20) + l4 + payload;
            f.ip_bytes += ip_len;

            bytes pkt{0x02, 0, 0, 0, 0, 2, 0x02, 0, 0, 0, 0, 1};
            put16(pkt, f.v6 ? 0x86dd : 0x0800);
            const std::size_t ip = pkt.size();
            if (f.v6) {
                put32(pkt, 0x60000000u | std::uint32_t{f.tos} << 20);
                put16(pkt, ip_len - 40);
                pkt.push_back(f.prot);
                pkt.push_back(64);
                pkt.insert(pkt.end(), f.src6.begin(), f.src6.end());
                pkt.insert(pkt.end(), f.dst6.begin(), f.dst6.end());
            } else {
            pkt.push_back(0x45);
            pkt.push_back(f.tos);
            put16(pkt, ip_len);
            put16(pkt, static_cast<unsigned>(i * 16 + k));  // identification
            put16(pkt, 0x4000);                            // don't fragment
            pkt.push_back(64);
            pkt.push_back(f.prot);
            put16(pkt, 0);
            put32(pkt, f.src);
            put32(pkt, f.dst);
            const std::uint16_t sum = ip_checksum(pkt.data() + ip, 20);
            pkt[ip + 10] = static_cast<std::uint8_t>(sum >> 8);
            pkt[ip + 11] = static_cast<std::uint8_t>(sum);
            }
            if (f.prot == 6) {
                put16(pkt, f.srcport);
                put16(pkt, f.dstport);
                put32(pkt, 1000 + k * 1460);  // sequence
                put32(pkt, 0);
                pkt.push_back(0x50);
                pkt.push_back(k == 0 ? 0x02 : 0x18);  // SYN, then PSH ACK
                put16(pkt, 65535);
                put16(pkt, 0);
                put16(pkt, 0);
            } else if (f.prot == 17) {
                put16(pkt, f.srcport);
                put16(pkt, f.dstport);
                put16(pkt, 8 + payload);
                put16(pkt, 0);
            } else if (f.prot == 1 || f.prot == 58) {
                pkt.insert(pkt.end(), {f.prot == 1 ? std::uint8_t{8} : std::uint8_t{128}, 0, 0,
                                       0});  // echo request
                put16(pkt, f.srcport);
                put16(pkt, k);
            } else {
                put32(pkt, 0x00000800);  // GRE carrying IPv4
                put32(pkt, 0);
            }
            pkt.resize(pkt.size() + payload, static_cast<std::uint8_t>(i));

            put32le(file, sec);
            put32le(file, usec);
            put32le(file, static_cast<std::uint32_t>(pkt.size()));
            put32le(file, static_cast<std::uint32_t>(pkt.size()));
            file.insert(file.end(), pkt.begin(), pkt.end());
            usec += 1000;
            if (usec >= 1000000) {
                usec = 0;
                ++sec;
            }
        }
    }
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    return static_cast<bool>(out);
}

// --- our own reading of NetFlow v5 -----------------------------------------

unsigned be16(const std::uint8_t* p)
{
    return static_cast<unsigned>(p[0]) << 8 | p[1];
}

std::uint32_t be32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(be16(p)) << 16 | be16(p + 2);
}

// The fields a record carries, at the offsets of the published layout:
// a 24-byte header, then 48-byte records.
struct decoded_record {
    std::uint32_t srcaddr, dstaddr;
    unsigned input, output;
    std::uint32_t packets, octets;
    unsigned srcport, dstport, prot, tos, src_as, dst_as;
};

struct decoded_datagram {
    unsigned version = 0, count = 0;
    std::uint32_t sequence = 0;
    std::vector<decoded_record> records;
    bool size_ok = false;
};

decoded_datagram decode_v5(const bytes& d)
{
    decoded_datagram out;
    if (d.size() < 24)
        return out;
    out.version = be16(&d[0]);
    out.count = be16(&d[2]);
    out.sequence = be32(&d[16]);
    out.size_ok = d.size() == 24 + 48 * static_cast<std::size_t>(out.count);
    if (!out.size_ok)
        return out;
    for (unsigned i = 0; i < out.count; ++i) {
        const std::uint8_t* r = &d[24 + 48 * i];
        out.records.push_back({be32(r + 0), be32(r + 4), be16(r + 12), be16(r + 14), be32(r + 16),
                               be32(r + 20), be16(r + 32), be16(r + 34), r[38], r[39],
                               be16(r + 40), be16(r + 42)});
    }
    return out;
}

std::string expected_line(unsigned n, const decoded_record& r)
{
    char line[200];
    std::snprintf(line, sizeof line, "%u:127.0.0.1:%u:%s:%u:%u:%s:%u:%u:%u:%u:%u:%u\n", n, r.input,
                  dotted(r.srcaddr).c_str(), r.srcport, r.output, dotted(r.dstaddr).c_str(),
                  r.dstport, r.octets, r.packets, r.prot, r.src_as, r.dst_as);
    return line;
}

// A version 5 datagram of one record, made here to close the top viewer's
// interval.
bytes closing_datagram(std::uint32_t sequence)
{
    bytes d;
    put16(d, 5);
    put16(d, 1);
    put32(d, 1000);
    put32(d, static_cast<std::uint32_t>(on_hour));
    put32(d, 0);
    put32(d, sequence);
    put32(d, 0);
    put32(d, addr("203.0.113.9"));
    put32(d, addr("203.0.113.10"));
    put32(d, 0);
    put16(d, 0);
    put16(d, 0);
    put32(d, 3);     // packets
    put32(d, 4321);  // bytes
    put32(d, 900);
    put32(d, 990);
    put16(d, 4444);
    put16(d, 5555);
    d.push_back(0);
    d.push_back(0);
    d.push_back(17);
    d.push_back(0);
    put32(d, 0);
    put32(d, 0);
    return d;
}

// --- the programs -----------------------------------------------------------

// softflowd and softflowctl live in sbin, which a user's PATH may lack.
std::string find_tool(const char* name)
{
    std::string dirs = std::getenv("PATH") ? std::getenv("PATH") : "";
    dirs += ":/usr/sbin:/sbin:/usr/local/sbin";
    std::size_t at = 0;
    while (at <= dirs.size()) {
        const std::size_t end = std::min(dirs.find(':', at), dirs.size());
        const std::string path = dirs.substr(at, end - at) + "/" + name;
        if (end > at && access(path.c_str(), X_OK) == 0)
            return path;
        at = end + 1;
    }
    return "";
}

struct temp_dir {
    std::string path;
    temp_dir()
    {
        const char* base = std::getenv("TMPDIR");
        path = std::string(base && *base ? base : "/tmp") + "/nelk-sf-XXXXXX";
        if (!mkdtemp(path.data()))
            path.clear();
    }
    ~temp_dir()
    {
        std::error_code ignored;
        if (!path.empty())
            std::filesystem::remove_all(path, ignored);
    }
};

// The viewer's clock: the modification time of a file, read by the
// preloaded stand-in for time().
void set_clock(const std::string& path, std::time_t t)
{
    const timespec times[2] = {{t, 0}, {t, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// Sets the environment for the viewer about to be spawned, and puts ours
// back afterwards.
struct scoped_env {
    std::vector<std::pair<std::string, std::string>> saved;
    void set(const char* name, const std::string& value)
    {
        const char* old = std::getenv(name);
        saved.emplace_back(name, old ? std::string(1, '=') + old : "");
        setenv(name, value.c_str(), 1);
    }
    ~scoped_env()
    {
        for (const auto& [name, old] : saved) {
            if (old.empty())
                unsetenv(name.c_str());
            else
                setenv(name.c_str(), old.c_str() + 1, 1);
        }
    }
};

long long bytes_read(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/io");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("rchar:", 0) == 0)
            return std::stoll(line.substr(6));
    return -1;
}


// Sends a datagram to the relay from the recorder's socket and waits until
// the top viewer has read its frame and waits again, so that the viewer
// handled it at the clock's present time.
bool forward_and_settle(int sock, int relay_udp, const bytes& datagram, pty_viewer& top)
{
    const long long before = bytes_read(top.pid);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(relay_udp));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (before < 0 || sendto(sock, datagram.data(), datagram.size(), 0,
                             reinterpret_cast<sockaddr*>(&to), sizeof to) !=
                          static_cast<ssize_t>(datagram.size()))
        return false;
    const long long want = before + 4 + static_cast<long long>(datagram.size());
    const auto end = steady::now() + 30s;
    while (steady::now() < end) {
        top.drain(5ms);
        if (bytes_read(top.pid) >= want && run_state(top.pid) == 'S')
            return true;
    }
    return false;
}

bool run_tool(const std::vector<std::string>& argv, std::string& log)
{
    process p = spawn(argv);
    const bool ended = wait_exit(p, 30s);
    log += argv[0] + " " + argv.back() + ": " + (ended ? "exit " + std::to_string(p.exit_code())
                                                       : std::string("no exit")) +
           "\n" + p.out() + p.err();
    return ended && p.exit_code() == 0;
}

std::string report_of(const std::string& screen)
{
    const auto at = screen.find("Summary for interval");
    return at == std::string::npos ? "" : screen.substr(at);
}

// A socket on 127.0.0.1 (or ::1) that softflowd exports to and the test
// reads.
unique_fd recorder_socket(const char* address = "127.0.0.1")
{
    unique_fd recorder = std::move(udp_exporter(address).fd);
    const int rcvbuf = 4 << 20;
    if (recorder)
        setsockopt(recorder.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    return recorder;
}

// softflowd reads the whole capture, then waits on its control socket:
// expire every flow, then shut down, which exports them all to the
// recorder, whose datagrams come back in the order they were sent.
::testing::AssertionResult export_with_softflowd(const std::string& softflowd,
                                                 const std::string& softflowctl,
                                                 const std::string& version,
                                                 const std::string& capture,
                                                 const std::string& dir, int recorder,
                                                 std::vector<bytes>& recorded)
{
    const std::string ctl = dir + "/ctl-" + version;
    sockaddr_storage me{};
    socklen_t len = sizeof me;
    getsockname(recorder, reinterpret_cast<sockaddr*>(&me), &len);
    const std::string host = me.ss_family == AF_INET6 ? "[::1]" : "127.0.0.1";
    process exporter = spawn({softflowd, "-d", "-r", capture, "-v", version, "-n",
                              host + ":" + std::to_string(local_port(recorder)), "-c", ctl,
                              "-p", dir + "/pid-" + version});
    std::string log;
    bool expired = false;
    for (auto end = steady::now() + 60s; !expired && steady::now() < end && exporter.running();) {
        struct stat st{};
        if (stat(ctl.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
            expired = run_tool({softflowctl, "-c", ctl, "expire-all"}, log);
        if (!expired)
            std::this_thread::sleep_for(50ms);
    }
    if (!expired)
        return ::testing::AssertionFailure() << log << exporter.out() << exporter.err();
    if (!run_tool({softflowctl, "-c", ctl, "shutdown"}, log))
        return ::testing::AssertionFailure() << log;
    if (!wait_exit(exporter, 60s) || exporter.exit_code() != 0)
        return ::testing::AssertionFailure() << exporter.out() << exporter.err();
    // Everything it sent is in the recorder's buffer by now.
    for (;;) {
        pollfd pfd{recorder, POLLIN, 0};
        if (poll(&pfd, 1, 500) <= 0)
            break;
        bytes d(65536);
        const ssize_t n = recv(recorder, d.data(), d.size(), 0);
        if (n < 0)
            break;
        d.resize(static_cast<std::size_t>(n));
        recorded.push_back(std::move(d));
    }
    return ::testing::AssertionSuccess();
}

TEST(Softflowd, ExportsThroughTheRelayToBothViewers)
{
    const std::string softflowd = find_tool("softflowd");
    const std::string softflowctl = find_tool("softflowctl");
    if (softflowd.empty() || softflowctl.empty()) {
        const char* ci = std::getenv("CI");
        const std::string why =
            "softflowd and softflowctl are needed (Debian package softflowd; tools/install-deps "
            "installs it); not found in PATH, /usr/sbin or /sbin";
        if (ci && std::string(ci) == "true")
            FAIL() << why;
        GTEST_SKIP() << why;
    }
    const std::string fake_clock = NELK_FAKE_CLOCK;
    ASSERT_EQ(access(fake_clock.c_str(), R_OK), 0)
        << fake_clock << " is missing: build the fake_clock target";

    temp_dir dir;
    ASSERT_FALSE(dir.path.empty());
    std::vector<made_flow> flows = capture_flows();
    const std::string capture = dir.path + "/flows.pcap";
    ASSERT_TRUE(write_capture(capture, flows));
    const std::string clock_file = dir.path + "/clock";
    { std::ofstream touch(clock_file); }
    set_clock(clock_file, before_hour);

    const int udp = free_udp_port();
    const int tcp = free_tcp_port();
    process relay = start_nelkd(udp, tcp);
    ASSERT_TRUE(relay.running()) << relay.err();
    ASSERT_TRUE(wait_output(relay, "Listening on UDP port", 30s)) << relay.out() << relay.err();

    process dump = spawn({bin("nelk"), "-m", "colondump", "-s", relay_arg(tcp)});
    ASSERT_TRUE(wait_output_count(relay, "New client:", 1, 30s)) << relay.out();
    pty_viewer top = [&] {
        scoped_env env;
        env.set("LD_PRELOAD", fake_clock);
        env.set("NELK_FAKE_TIME", clock_file);
        env.set("TZ", "UTC");
        // An ASan build wants its runtime first; the stand-in clock comes first.
        const char* asan = std::getenv("ASAN_OPTIONS");
        env.set("ASAN_OPTIONS", std::string(asan ? asan : "") + (asan && *asan ? ":" : "") +
                                    "verify_asan_link_order=0");
        return spawn_viewer({"-m", "top", "-t", "proto", "-l", "200", "-s", relay_arg(tcp)});
    }();
    ASSERT_TRUE(wait_output_count(relay, "New client:", 2, 30s)) << relay.out();
    ASSERT_TRUE(top.wait_key_mode(30s)) << top.screen;
    ASSERT_TRUE(top.wait_screen("Starting. Hit '?' for help with keys.", 30s)) << top.screen;

    std::vector<bytes> recorded;
    unique_fd recorder = recorder_socket();
    ASSERT_TRUE(recorder);
    ASSERT_TRUE(export_with_softflowd(softflowd, softflowctl, "5", capture, dir.path, recorder.get(),
                                      recorded));

    // Our reading of them.
    std::vector<decoded_record> records;
    std::uint32_t next_sequence = 0;
    for (std::size_t i = 0; i < recorded.size(); ++i) {
        const decoded_datagram d = decode_v5(recorded[i]);
        EXPECT_EQ(d.version, 5u) << "datagram " << i;
        EXPECT_TRUE(d.size_ok) << "datagram " << i << " of " << recorded[i].size() << " bytes";
        EXPECT_LE(d.count, 30u);
        if (i > 0) {
            EXPECT_EQ(d.sequence, next_sequence) << "datagram " << i;
        }
        next_sequence = d.sequence + d.count;
        records.insert(records.end(), d.records.begin(), d.records.end());
    }
    EXPECT_GE(recorded.size(), 3u) << "more than two export datagrams";

    // The decoding agrees with the capture: one record per flow, with its
    // addresses, protocol, ToS, packets and IP bytes (ports for TCP and UDP).
    ASSERT_EQ(records.size(), flows.size());
    using key = std::tuple<std::uint32_t, std::uint32_t, unsigned>;
    std::map<key, const made_flow*> by_key;
    for (const made_flow& f : flows)
        by_key[{f.src, f.dst, f.prot}] = &f;
    for (const decoded_record& r : records) {
        const auto it = by_key.find({r.srcaddr, r.dstaddr, r.prot});
        ASSERT_NE(it, by_key.end()) << dotted(r.srcaddr) << " > " << dotted(r.dstaddr);
        const made_flow& f = *it->second;
        EXPECT_EQ(r.packets, f.packets) << dotted(r.srcaddr);
        EXPECT_EQ(r.octets, f.ip_bytes) << dotted(r.srcaddr);
        EXPECT_EQ(r.tos, f.tos) << dotted(r.srcaddr);
        if (f.prot == 6 || f.prot == 17) {
            EXPECT_EQ(r.srcport, f.srcport) << dotted(r.srcaddr);
            EXPECT_EQ(r.dstport, f.dstport) << dotted(r.srcaddr);
        }
        by_key.erase(it);
    }

    // Through the relay, in the order softflowd sent them, the top viewer's
    // clock still within the hour.
    for (std::size_t i = 0; i < recorded.size(); ++i)
        ASSERT_TRUE(forward_and_settle(recorder.get(), udp, recorded[i], top))
            << "datagram " << i << "\n" << top.screen;

    std::map<unsigned, double> proto_bytes;
    double total_bytes = 0, total_packets = 0;
    for (const decoded_record& r : records) {
        proto_bytes[r.prot] += r.octets;
        total_bytes += r.octets;
        total_packets += r.packets;
    }

    // The hour's first datagram closes the interval; its record belongs to
    // the next one, but the colondump viewer lists it.
    set_clock(clock_file, on_hour);
    const bytes closing = closing_datagram(next_sequence);
    const decoded_datagram closing_decoded = decode_v5(closing);
    ASSERT_EQ(closing_decoded.records.size(), 1u);
    records.push_back(closing_decoded.records[0]);
    ASSERT_TRUE(forward_and_settle(recorder.get(), udp, closing, top)) << top.screen;

    std::string expected;
    for (std::size_t i = 0; i < records.size(); ++i)
        expected += expected_line(static_cast<unsigned>(i + 1), records[i]);
    EXPECT_TRUE(wait_output_count(dump, "\n", static_cast<int>(records.size()), 60s)) << dump.out();
    EXPECT_EQ(dump.out(), expected);

    // The rows, biggest first, and one empty row after them.
    std::vector<std::pair<double, unsigned>> ranked;
    for (const auto& [prot, b] : proto_bytes)
        ranked.emplace_back(b, prot);
    std::sort(ranked.rbegin(), ranked.rend());
    char empty_row[32];
    std::snprintf(empty_row, sizeof empty_row, "\r\n%2zu:\r\n", ranked.size() + 1);
    ASSERT_TRUE(top.wait_screen(empty_row, 60s)) << top.screen;
    const std::string report = report_of(top.screen);

    int h = -1, m = -1, s = -1;
    ASSERT_EQ(std::sscanf(report.c_str(), "Summary for interval (%d:%d:%d total)", &h, &m, &s), 3)
        << report;
    const int seconds = h * 3600 + m * 60 + s;
    EXPECT_GE(seconds, 1) << report;
    // Enough traffic that neither total prints as 0.
    EXPECT_GE(total_packets / (seconds * 1024.0), 1.0);
    EXPECT_EQ(report.find("ending Tue Mar 10 11:00:00 2026\r\n"), report.find("ending ")) << report;

    char total[128];
    std::snprintf(total, sizeof total, "\r\n Total %10.0fkbits/s, %10.0fkpps\r\n",
                  8 * total_bytes / (seconds * 1024.0), total_packets / (seconds * 1024.0));
    EXPECT_NE(report.find(total), std::string::npos) << total << "\n" << report;

    for (std::size_t rank = 0; rank < ranked.size(); ++rank) {
        const auto [b, prot] = ranked[rank];
        const double rate = b * 8 / seconds;
        const float share = static_cast<float>(b / total_bytes * 100);
        char row_start[32], cell[64];
        std::snprintf(row_start, sizeof row_start, "\r\n%2zu: ", rank + 1);
        if (rate >= 10240)
            std::snprintf(cell, sizeof cell, "(%5u) %6.0fk; %6.2f%%\r\n", prot, rate / 1024, share);
        else
            std::snprintf(cell, sizeof cell, "(%5u) %6.0fb; %6.2f%%\r\n", prot, rate, share);
        const auto row = report.find(row_start);
        ASSERT_NE(row, std::string::npos) << row_start << report;
        const auto row_end = report.find("\r\n", row + 2);
        EXPECT_NE(report.substr(row, row_end + 2 - row).find(cell), std::string::npos)
            << "rank " << rank + 1 << ": " << cell << "\n" << report;
    }
    EXPECT_TRUE(relay.running());
    EXPECT_TRUE(dump.running());
}

}  // namespace

namespace {

std::uint64_t now_ns()
{
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

// The templates a message holds, by exporter, port, version, domain and
// template id; the latest of each wins.
using template_map = std::map<std::tuple<std::string, int, int, std::uint32_t, int>, bytes>;

void add_templates(template_map& m, const std::string& exporter, int port, const bytes& d)
{
    std::vector<template_record> found;
    const checked_export e = check_export(d.data(), d.size(), &found);
    for (const template_record& t : found)
        m[{exporter, port, e.version, e.domain, t.template_id}] = bytes(t.bytes, t.bytes + t.size);
}

// softflowd's NetFlow v9 and IPFIX, exported over IPv4 to 127.0.0.1 and
// over IPv6 to ::1 and sent on from there, then a v5 export: the framed
// viewer gets every datagram whole and in order, with its exporter and
// port, behind the greeting; the relay stream's viewer gets the v5 export
// alone, byte for byte. A viewer that connects afterwards gets every
// template first, marked replayed, and then the next datagram.
TEST(Softflowd, NineAndIpfixThroughTheFramedStream)
{
    const std::string softflowd = find_tool("softflowd");
    const std::string softflowctl = find_tool("softflowctl");
    if (softflowd.empty() || softflowctl.empty()) {
        const char* ci = std::getenv("CI");
        if (ci && std::string(ci) == "true")
            FAIL() << "softflowd and softflowctl are needed";
        GTEST_SKIP() << "softflowd and softflowctl are needed";
    }
    temp_dir dir;
    ASSERT_FALSE(dir.path.empty());
    std::vector<made_flow> flows = capture_flows();
    const std::string capture = dir.path + "/flows.pcap";
    ASSERT_TRUE(write_capture(capture, flows));

    const int udp = free_udp_port(), tcp = free_tcp_port(), framed = free_tcp_port();
    process relay = start_nelkd(udp, tcp, {"-F", std::to_string(framed)});
    ASSERT_TRUE(relay.running()) << relay.err();
    unique_fd fv = tcp_connect(framed);
    unique_fd dv = tcp_connect(tcp);
    ASSERT_TRUE(fv && dv);
    ASSERT_TRUE(wait_output_count(relay, "New client:", 2, 30s)) << relay.out();
    bytes greeting(framed_greeting.size());
    ASSERT_TRUE(read_exact(fv.get(), greeting, 10s));
    EXPECT_EQ(greeting, bytes(framed_greeting.begin(), framed_greeting.end()));

    struct sent {
        bytes datagram;
        const char* from;
        int port;
    };
    std::vector<sent> want;
    std::vector<udp_exporter> senders;
    template_map templates;
    const std::uint64_t t0 = now_ns();
    for (const auto& [version, from] :
         {std::pair{"9", "127.0.0.1"}, std::pair{"10", "127.0.0.1"}, std::pair{"9", "::1"},
          std::pair{"10", "::1"}}) {
        unique_fd recorder = recorder_socket(from);
        ASSERT_TRUE(recorder);
        std::vector<bytes> recorded;
        ASSERT_TRUE(export_with_softflowd(softflowd, softflowctl, version, capture, dir.path,
                                          recorder.get(), recorded));
        ASSERT_GE(recorded.size(), 2u) << "templates and data";
        const udp_exporter& sender = senders.emplace_back(from);
        ASSERT_TRUE(sender.fd);
        for (const bytes& d : recorded) {
            ASSERT_EQ(load_be16(d.data()), std::stoi(version));
            ASSERT_GT(check_export(d.data(), d.size()).length, 0u);
            ASSERT_TRUE(sender.send(udp, d));
            want.push_back({d, from, sender.port()});
            add_templates(templates, from, sender.port(), d);
            // One at a time, as a router paces them: none is lost in buffers.
            std::this_thread::sleep_for(2ms);
        }
    }
    ASSERT_FALSE(templates.empty());
    const bytes v5 = v5_datagram(7, 3);
    const udp_exporter& v5_sender = senders.emplace_back("127.0.0.1");
    ASSERT_TRUE(v5_sender.send(udp, v5));
    want.push_back({v5, "127.0.0.1", v5_sender.port()});
    const std::uint64_t t1 = now_ns();

    for (std::size_t i = 0; i < want.size(); ++i) {
        const framed_frame f = read_framed(fv.get(), 10s);
        ASSERT_TRUE(f.ok) << "frame " << i;
        const sent& w = want[i];
        const std::size_t length = check_export(w.datagram.data(), w.datagram.size()).length;
        EXPECT_EQ(f.head.kind, framed_live);
        EXPECT_EQ(f.head.family, std::string(w.from) == "::1" ? 6 : 4) << "frame " << i;
        EXPECT_EQ(address_text(f.head.exporter), w.from) << "frame " << i;
        EXPECT_EQ(f.head.port, w.port) << "frame " << i;
        EXPECT_GE(f.head.time_ns, t0);
        EXPECT_LE(f.head.time_ns, t1 + 1000000000u);
        EXPECT_EQ(f.datagram, bytes(w.datagram.begin(), w.datagram.begin() + length))
            << "frame " << i;
    }
    bytes relayed(4 + v5.size());
    ASSERT_TRUE(read_exact(dv.get(), relayed, 10s));
    EXPECT_EQ(relayed, frame_of(v5));
    EXPECT_TRUE(read_available(dv.get(), 200ms, 1000ms).empty());
    EXPECT_TRUE(read_available(fv.get(), 200ms, 1000ms).empty());

    // Late: the templates first, every one of them as last sent, then live.
    unique_fd late = tcp_connect(framed);
    ASSERT_TRUE(late);
    ASSERT_TRUE(read_exact(late.get(), greeting, 10s));
    template_map replayed;
    std::size_t records = 0;
    for (std::size_t frames = 0; records < templates.size() && frames < templates.size();
         ++frames) {
        const framed_frame f = read_framed(late.get(), 10s);
        ASSERT_TRUE(f.ok);
        ASSERT_EQ(f.head.kind, framed_replayed);
        EXPECT_GE(f.head.time_ns, t0);
        ASSERT_EQ(check_export(f.datagram.data(), f.datagram.size()).length, f.datagram.size());
        const std::size_t before = replayed.size();
        add_templates(replayed, address_text(f.head.exporter), f.head.port, f.datagram);
        records += replayed.size() - before;
    }
    EXPECT_EQ(replayed, templates);
    const sent& again = want.front();
    ASSERT_TRUE(senders.front().send(udp, again.datagram));
    const framed_frame f = read_framed(late.get(), 10s);
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.head.kind, framed_live);
    EXPECT_EQ(f.datagram, again.datagram);
}

// --- v9 and IPFIX of both families, read back by tshark ---------------------

// IPv6 flows for the capture: TCP, UDP and ICMPv6 echo, between two /64s.
std::vector<made_flow> capture_flows_v6()
{
    std::vector<made_flow> flows;
    for (unsigned i = 0; i < 37; ++i) {
        made_flow f{};
        f.v6 = true;
        f.src6 = {0x20, 0x01, 0x0d, 0xb8, 0, 1};
        f.dst6 = {0x20, 0x01, 0x0d, 0xb8, 0, 2};
        f.src6[15] = static_cast<std::uint8_t>(i + 1);
        f.dst6[14] = static_cast<std::uint8_t>(i);
        f.dst6[15] = static_cast<std::uint8_t>(200 - i);
        f.tos = static_cast<std::uint8_t>((i % 3) * 32);
        f.packets = 1 + (i * 5) % 23;
        f.prot = i % 5 == 4 ? 58 : (i % 2 ? 17 : 6);
        f.srcport = static_cast<std::uint16_t>(i % 5 == 4 ? i : 30000 + i * 17);
        f.dstport = static_cast<std::uint16_t>(i % 2 ? 53 : 443);
        flows.push_back(f);
    }
    return flows;
}

// The datagrams as a capture of UDP to port from 127.0.0.1, for tshark.
bool write_udp_capture(const std::string& path, const std::vector<bytes>& datagrams, int port)
{
    bytes file;
    put32le(file, 0xa1b2c3d4);
    file.insert(file.end(), {2, 0, 4, 0});
    put32le(file, 0);
    put32le(file, 0);
    put32le(file, 65535);
    put32le(file, 1);
    std::uint32_t sec = 1700000000;
    for (const bytes& d : datagrams) {
        bytes pkt{0x02, 0, 0, 0, 0, 2, 0x02, 0, 0, 0, 0, 1};
        put16(pkt, 0x0800);
        const std::size_t ip = pkt.size();
        pkt.push_back(0x45);
        pkt.push_back(0);
        put16(pkt, static_cast<unsigned>(28 + d.size()));
        put32(pkt, 0x4000);
        pkt.push_back(64);
        pkt.push_back(17);
        put16(pkt, 0);
        put32(pkt, addr("127.0.0.1"));
        put32(pkt, addr("127.0.0.1"));
        const std::uint16_t sum = ip_checksum(pkt.data() + ip, 20);
        pkt[ip + 10] = static_cast<std::uint8_t>(sum >> 8);
        pkt[ip + 11] = static_cast<std::uint8_t>(sum);
        put16(pkt, 40000);
        put16(pkt, static_cast<unsigned>(port));
        put16(pkt, static_cast<unsigned>(8 + d.size()));
        put16(pkt, 0);
        pkt.insert(pkt.end(), d.begin(), d.end());
        put32le(file, sec++);
        put32le(file, 0);
        put32le(file, static_cast<std::uint32_t>(pkt.size()));
        put32le(file, static_cast<std::uint32_t>(pkt.size()));
        file.insert(file.end(), pkt.begin(), pkt.end());
    }
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    return static_cast<bool>(out);
}

// One flow as tshark's dissector shows it.
struct dissected_flow {
    std::string src, dst;
    unsigned long long srcport = 0, dstport = 0, octets = 0, packets = 0, prot = 0, in = 0,
                       out = 0, src_as = 0, dst_as = 0;
};

// The flows of tshark's detailed text, in order: blocks "Flow N" that hold
// addresses (options records hold none).
std::vector<dissected_flow> parse_tshark(const std::string& text)
{
    std::vector<dissected_flow> flows;
    dissected_flow f;
    bool in_flow = false;
    auto flush = [&] {
        if (in_flow && !f.src.empty())
            flows.push_back(f);
        f = dissected_flow{};
        in_flow = false;
    };
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t first = line.find_first_not_of(' ');
        if (first == std::string::npos)
            continue;
        const std::string l = line.substr(first);
        const bool flow_start = l.rfind("Flow ", 0) == 0 &&
                                l.find_first_not_of("0123456789", 5) == std::string::npos;
        if (flow_start || l.rfind("Set ", 0) == 0 || l.rfind("FlowSet ", 0) == 0 ||
            l.rfind("Frame ", 0) == 0) {
            flush();
            in_flow = flow_start;
            continue;
        }
        const std::size_t colon = l.find(": ");
        if (!in_flow || colon == std::string::npos)
            continue;
        const std::string key = l.substr(0, colon), value = l.substr(colon + 2);
        const unsigned long long n = std::strtoull(value.c_str(), nullptr, 0);
        if (key == "SrcAddr")
            f.src = value;
        else if (key == "DstAddr")
            f.dst = value;
        else if (key == "SrcPort")
            f.srcport = n;
        else if (key == "DstPort" || key == "ICMP Type")
            f.dstport = n;
        else if (key == "IPv6 ICMP Type")  // type and code, as the viewer's port
            f.dstport = n << 8 | (f.dstport & 0xff);
        else if (key == "IPv6 ICMP Code")
            f.dstport = (f.dstport & 0xff00) | n;
        else if (key == "Octets")
            f.octets = n;
        else if (key == "Packets")
            f.packets = n;
        else if (key == "InputInt")
            f.in = n;
        else if (key == "OutputInt")
            f.out = n;
        else if (key == "SrcAS")
            f.src_as = n;
        else if (key == "DstAS")
            f.dst_as = n;
        else if (key == "Protocol" && value.find('(') != std::string::npos)
            f.prot = std::strtoull(value.c_str() + value.rfind('(') + 1, nullptr, 10);
    }
    flush();
    return flows;
}

// colondump's form of an address: an IPv6 one with '-' for ':'.
std::string split_form(std::string a)
{
    if (a.find(':') != std::string::npos)
        std::replace(a.begin(), a.end(), ':', '-');
    return a;
}

std::string colondump_of(const std::vector<dissected_flow>& flows, const std::string& exporter)
{
    std::string text;
    unsigned n = 0;
    for (const dissected_flow& f : flows) {
        char line[400];
        std::snprintf(line, sizeof line, "%u:%s:%llu:%s:%llu:%llu:%s:%llu:%llu:%llu:%llu:%llu:%llu\n",
                      ++n, split_form(exporter).c_str(), f.in, split_form(f.src).c_str(), f.srcport,
                      f.out, split_form(f.dst).c_str(), f.dstport, f.octets, f.packets, f.prot,
                      f.src_as, f.dst_as);
        text += line;
    }
    return text;
}

// Skips the test (fails it in CI, where they are installed) when a tool
// is missing; the test returns when IsSkipped() or HasFatalFailure().
void require_tools()
{
    for (const char* name : {"softflowd", "softflowctl", "tshark"}) {
        if (!find_tool(name).empty())
            continue;
        const std::string why = std::string(name) + " is needed (tools/install-deps installs it)";
        const char* ci = std::getenv("CI");
        if (ci && std::string(ci) == "true")
            FAIL() << why;
        GTEST_SKIP() << why;
    }
}

// softflowd's v9 from an IPv4 exporter and its IPFIX from an IPv6 one, with
// IPv4 and IPv6 flows, each listed by a viewer on the relay's framed stream
// and by one that receives them itself (-u): both list exactly what tshark
// decodes from the same datagrams, and miss nothing.
TEST(Softflowd, NineAndIpfixOfBothFamiliesListedAsTsharkDecodesThem)
{
    require_tools();
    if (IsSkipped() || HasFatalFailure())
        return;
    temp_dir dir;
    ASSERT_FALSE(dir.path.empty());
    std::vector<made_flow> flows = capture_flows();
    const std::vector<made_flow> v6 = capture_flows_v6();
    flows.insert(flows.end(), v6.begin(), v6.end());
    const std::string capture = dir.path + "/flows.pcap";
    ASSERT_TRUE(write_capture(capture, flows));

    for (const auto& [version, from] : {std::pair{"9", "127.0.0.1"}, std::pair{"10", "::1"}}) {
        SCOPED_TRACE(std::string("version ") + version + " from " + from);
        unique_fd recorder = recorder_socket();
        ASSERT_TRUE(recorder);
        std::vector<bytes> recorded;
        ASSERT_TRUE(export_with_softflowd(find_tool("softflowd"), find_tool("softflowctl"), version,
                                          capture, dir.path, recorder.get(), recorded));
        ASSERT_GE(recorded.size(), 3u);

        const std::string pcap = dir.path + "/exports-" + version + ".pcap";
        ASSERT_TRUE(write_udp_capture(pcap, recorded, 2055));
        process tshark = spawn({find_tool("tshark"), "-r", pcap, "-V", "-d", "udp.port==2055,cflow"});
        ASSERT_TRUE(wait_exit(tshark, 60s)) << tshark.err();
        const std::vector<dissected_flow> dissected = parse_tshark(tshark.out());
        ASSERT_EQ(dissected.size(), flows.size()) << tshark.out().substr(0, 4000);
        const std::string expected = colondump_of(dissected, from);

        // Through the relay's framed stream, and straight from the exporter.
        const int udp = free_udp_port(), tcp = free_tcp_port(), framed = free_tcp_port();
        process relay = start_nelkd(udp, tcp, {"-F", std::to_string(framed)});
        ASSERT_TRUE(relay.running()) << relay.err();
        process through = spawn({bin("nelk"), "-m", "colondump", "-s", relay_arg(framed)});
        ASSERT_TRUE(wait_output_count(relay, "New client:", 1, 30s)) << relay.out();
        const int direct_port = free_udp_port();
        const std::string family_form =
            std::string(from) == "::1" ? "[::1]:" : std::string(from) + ":";
        process direct = spawn({bin("nelk"), "-m", "colondump", "-u",
                                family_form + std::to_string(direct_port)});
        ASSERT_TRUE(wait_udp_bound(direct_port, 30s));

        const udp_exporter sender(from);
        ASSERT_TRUE(sender.fd);
        for (const bytes& d : recorded) {
            ASSERT_TRUE(sender.send(udp, d));
            ASSERT_TRUE(sender.send(direct_port, d));
            std::this_thread::sleep_for(2ms);
        }
        const int lines = static_cast<int>(flows.size());
        EXPECT_TRUE(wait_output_count(through, "\n", lines, 30s)) << through.out();
        EXPECT_TRUE(wait_output_count(direct, "\n", lines, 30s)) << direct.out();
        EXPECT_EQ(through.out(), expected);
        EXPECT_EQ(direct.out(), expected);
        // Nothing was missed: v9 export packets are numbered one by one,
        // and softflowd numbers an IPFIX message by its flow records up to
        // and including it (not the data records before it), which the
        // viewer learns from the numbers.
        stop(through);
        stop(direct);
        EXPECT_EQ(through.err(), "");
        EXPECT_EQ(direct.err(), "");
    }
}

// The same capture exported as NetFlow v5 and as IPFIX, each received by
// top-mode viewers on the same clock: their reports are the same, byte for
// byte.
TEST(Softflowd, FiveAndIpfixGiveTheSameTopReports)
{
    require_tools();
    if (IsSkipped() || HasFatalFailure())
        return;
    const std::string fake_clock = NELK_FAKE_CLOCK;
    ASSERT_EQ(access(fake_clock.c_str(), R_OK), 0) << fake_clock;
    temp_dir dir;
    ASSERT_FALSE(dir.path.empty());
    std::vector<made_flow> flows = capture_flows();
    const std::string capture = dir.path + "/flows.pcap";
    ASSERT_TRUE(write_capture(capture, flows));
    const std::string clock_file = dir.path + "/clock";
    { std::ofstream touch(clock_file); }
    set_clock(clock_file, before_hour);

    std::map<std::string, std::vector<bytes>> exports;
    for (const char* version : {"5", "10"}) {
        unique_fd recorder = recorder_socket();
        ASSERT_TRUE(recorder);
        ASSERT_TRUE(export_with_softflowd(find_tool("softflowd"), find_tool("softflowctl"), version,
                                          capture, dir.path, recorder.get(), exports[version]));
    }

    struct viewer {
        std::string version, report;
        int port = free_udp_port();
        process p;
    };
    std::vector<viewer> viewers;
    for (const char* report : {"proto", "tcpport"}) {
        for (const char* version : {"5", "10"}) {
            viewers.emplace_back();
            viewers.back().version = version;
            viewers.back().report = report;
        }
    }
    {
        scoped_env env;
        env.set("LD_PRELOAD", fake_clock);
        env.set("NELK_FAKE_TIME", clock_file);
        env.set("TZ", "UTC");
        // An ASan build wants its runtime first; the stand-in clock comes first.
        const char* asan = std::getenv("ASAN_OPTIONS");
        env.set("ASAN_OPTIONS", std::string(asan ? asan : "") + (asan && *asan ? ":" : "") +
                                    "verify_asan_link_order=0");
        for (viewer& v : viewers)
            v.p = spawn({bin("nelk"), "-m", "top", "-t", v.report, "-l", "40", "-u",
                         "127.0.0.1:" + std::to_string(v.port)});
    }
    for (viewer& v : viewers)
        ASSERT_TRUE(wait_udp_bound(v.port, 30s)) << v.p.err();
    udp_exporter router;
    for (viewer& v : viewers) {
        for (const bytes& d : exports[v.version]) {
            ASSERT_TRUE(router.send(v.port, d));
            std::this_thread::sleep_for(1ms);
        }
    }
    for (viewer& v : viewers) {
        bool drained = false;
        for (auto end = steady::now() + 30s; !drained && steady::now() < end;) {
            drained = udp_drained(v.port, v.p.pid);
            std::this_thread::sleep_for(5ms);
        }
        ASSERT_TRUE(drained) << v.version << " " << v.report;
    }
    // The hour's first export closes every viewer's interval.
    set_clock(clock_file, on_hour);
    for (viewer& v : viewers)
        ASSERT_TRUE(router.send(v.port, closing_datagram(1000000)));
    std::map<std::string, std::string> reports;
    for (viewer& v : viewers) {
        ASSERT_TRUE(wait_output(v.p, "\n34:", 30s)) << v.p.out();  // the last row of both
        reports[v.report + v.version] = report_of(v.p.out());
    }
    for (const char* report : {"proto", "tcpport"}) {
        SCOPED_TRACE(report);
        const std::string five = reports[std::string(report) + "5"];
        EXPECT_NE(five.find("ending Tue Mar 10 11:00:00 2026\n"), std::string::npos) << five;
        EXPECT_NE(five.find("\n 1: "), std::string::npos) << "a ranked first row: " << five;
        EXPECT_EQ(reports[std::string(report) + "10"], five);
    }
}

}  // namespace
