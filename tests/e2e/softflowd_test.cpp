// A real exporter end to end: softflowd reads a capture file that the test
// writes and exports NetFlow v5, v9 and IPFIX to a recorder in the test,
// which keeps every datagram; tshark dissects the same datagrams apart.
// Viewers behind the relay and viewers that receive the exports themselves
// list exactly what tshark decodes, and top reports of the v5 and the IPFIX
// exports agree with each other and with the capture's own sums.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/nf5.h"
#include "tests/e2e/harness.h"

namespace {

using namespace e2e;
using namespace std::chrono_literals;
using bytes = std::vector<std::uint8_t>;
using steady = std::chrono::steady_clock;

// Tue Mar 10 2026 10:59:59 UTC: the top viewers start a second before the
// hour, the flows arrive within that second, and the hour closes the interval.
constexpr std::time_t before_hour = 1773140399;

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

// One flow of the capture: every packet the same way, no replies, so the
// exporter makes exactly one record of it.
struct made_flow {
    std::array<std::uint8_t, 16> src{}, dst{};  // IPv4 in the first four bytes
    bool v6 = false;
    std::uint8_t prot = 6, tos = 0;
    std::uint16_t srcport = 0, dstport = 0;  // ICMP: echo identifier; GRE: unused
    unsigned packets = 1;
    std::uint32_t ip_bytes = 0;  // sum of the IP total lengths
};

// A varied, fixed set of flows: IPv4 TCP to several services, UDP, ICMP
// echo and GRE, with different packet counts and sizes, more than one v5
// datagram's worth (30 records); with v6, IPv6 TCP, UDP and ICMPv6 echo too.
std::vector<made_flow> capture_flows(bool v6)
{
    static constexpr std::uint16_t tcp_ports[] = {80, 443, 22, 25, 8080, 993};
    static constexpr std::uint16_t udp_ports[] = {53, 123, 161, 514};
    std::vector<made_flow> flows;
    for (unsigned i = 0; i < 73; ++i) {
        made_flow f{};
        f.src = {192, 0, 2, static_cast<std::uint8_t>(1 + i)};
        f.dst = {198, 51, 100, static_cast<std::uint8_t>(200 - (i * 7) % 150)};
        f.tos = static_cast<std::uint8_t>((i % 4) * 8);
        f.packets = 1 + (i * 11) % 45;
        const unsigned kind = i % 7;
        f.prot = kind == 1 || kind == 4 ? 17 : kind == 6 ? (i % 2 ? 47 : 1) : 6;
        f.srcport = static_cast<std::uint16_t>(f.prot == 6    ? 40000 + i * 13
                                               : f.prot == 17 ? 1024 + i * 101
                                                              : i);
        f.dstport = f.prot == 6 ? tcp_ports[i % 6] : f.prot == 17 ? udp_ports[i % 4] : 0;
        flows.push_back(f);
    }
    for (unsigned i = 0; v6 && i < 37; ++i) {
        made_flow f{};
        f.v6 = true;
        f.src = {0x20, 0x01, 0x0d, 0xb8, 0, 1};
        f.dst = {0x20, 0x01, 0x0d, 0xb8, 0, 2};
        f.src[15] = static_cast<std::uint8_t>(i + 1);
        f.dst[14] = static_cast<std::uint8_t>(i);
        f.dst[15] = static_cast<std::uint8_t>(200 - i);
        f.tos = static_cast<std::uint8_t>((i % 3) * 32);
        f.packets = 1 + (i * 5) % 23;
        f.prot = i % 5 == 4 ? 58 : (i % 2 ? 17 : 6);
        f.srcport = static_cast<std::uint16_t>(i % 5 == 4 ? i : 30000 + i * 17);
        f.dstport = static_cast<std::uint16_t>(i % 2 ? 53 : 443);
        flows.push_back(f);
    }
    return flows;
}

// Writes the flows as a capture and fills in their IP byte counts.
bool write_capture(const std::string& path, std::vector<made_flow>& flows)
{
    pcap_writer capture;
    std::uint32_t sec = static_cast<std::uint32_t>(before_hour - 120), usec = 0;
    for (std::size_t i = 0; i < flows.size(); ++i) {
        made_flow& f = flows[i];
        for (unsigned k = 0; k < f.packets; ++k) {
            const unsigned payload = 20 + static_cast<unsigned>((i * 37 + k * 211) % 700);
            const unsigned l4 = f.prot == 6 ? 20 : 8;
            const unsigned ip_len = (f.v6 ? 40 : 20) + l4 + payload;
            f.ip_bytes += ip_len;
            bytes pkt;
            if (f.v6) {
                put32(pkt, 0x60000000u | std::uint32_t{f.tos} << 20);
                put16(pkt, ip_len - 40);
                pkt.push_back(f.prot);
                pkt.push_back(64);
                pkt.insert(pkt.end(), f.src.begin(), f.src.end());
                pkt.insert(pkt.end(), f.dst.begin(), f.dst.end());
            } else {
                pkt = {0x45, f.tos};
                put16(pkt, ip_len);
                put16(pkt, static_cast<unsigned>(i * 16 + k));  // identification
                put16(pkt, 0x4000);                            // don't fragment
                pkt.insert(pkt.end(), {64, f.prot, 0, 0});
                pkt.insert(pkt.end(), f.src.begin(), f.src.begin() + 4);
                pkt.insert(pkt.end(), f.dst.begin(), f.dst.begin() + 4);
                store_be16(pkt.data() + 10, ip_checksum(pkt.data(), 20));
            }
            if (f.prot == 6) {
                put16(pkt, f.srcport);
                put16(pkt, f.dstport);
                put32(pkt, 1000 + k * 1460);  // sequence
                put32(pkt, 0);
                pkt.push_back(0x50);
                pkt.push_back(k == 0 ? 0x02 : 0x18);  // SYN, then PSH ACK
                put16(pkt, 65535);
                put32(pkt, 0);
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
            capture.add(f.v6 ? 0x86dd : 0x0800, pkt, sec, usec);
            usec += 1000;
            if (usec == 1000000) {
                usec = 0;
                ++sec;
            }
        }
    }
    return capture.save(path);
}

// --- softflowd --------------------------------------------------------------

// A socket on 127.0.0.1 (or ::1) that softflowd exports to and the test
// reads, with room for everything it sends at once.
unique_fd recorder_socket(const char* address = "127.0.0.1")
{
    unique_fd recorder = std::move(udp_exporter(address).fd);
    const int rcvbuf = 4 << 20;
    if (recorder)
        setsockopt(recorder.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    return recorder;
}

bool run_tool(const std::vector<std::string>& argv, std::string& log)
{
    process p = spawn(argv);
    const bool ended = wait_exit(p, 30s);
    log += argv[0] + " " + argv.back() + ": " +
           (ended ? "exit " + std::to_string(p.exit_code()) : std::string("no exit")) + "\n" +
           p.out() + p.err();
    return ended && p.exit_code() == 0;
}

// softflowd reads the whole capture, then waits on its control socket:
// expire every flow, then shut down, which exports them all to a recorder,
// whose datagrams come back in the order they were sent.
::testing::AssertionResult export_with_softflowd(const std::string& version,
                                                 const std::string& capture,
                                                 const temp_dir& dir, const char* to,
                                                 std::vector<bytes>& recorded)
{
    const unique_fd recorder = recorder_socket(to);
    if (!recorder)
        return ::testing::AssertionFailure() << "no recorder on " << to;
    const std::string ctl = dir.file("ctl-" + version);
    const std::string host = std::string(to) == "::1" ? "[::1]" : to;
    process exporter = spawn({find_program("softflowd"), "-d", "-r", capture, "-v", version,
                              "-n", host + ":" + std::to_string(local_port(recorder.get())),
                              "-c", ctl, "-p", dir.file("pid-" + version)});
    const std::string softflowctl = find_program("softflowctl");
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
        pollfd pfd{recorder.get(), POLLIN, 0};
        if (poll(&pfd, 1, 500) <= 0)
            break;
        bytes d(65536);
        const ssize_t n = recv(recorder.get(), d.data(), d.size(), 0);
        if (n < 0)
            break;
        d.resize(static_cast<std::size_t>(n));
        recorded.push_back(std::move(d));
    }
    if (recorded.size() < 3)
        return ::testing::AssertionFailure() << recorded.size() << " datagrams: too few to span "
                                             << "more than one";
    return ::testing::AssertionSuccess();
}

// --- tshark's reading -------------------------------------------------------

// One flow as tshark's dissector shows it.
struct dissected_flow {
    std::string src, dst;
    unsigned long long srcport = 0, dstport = 0, octets = 0, packets = 0, prot = 0, in = 0,
                       out = 0, src_as = 0, dst_as = 0;
};

// The flows of tshark's detailed text, in order: blocks "Flow N" (v9,
// IPFIX) or "pdu N/M" (v5) that hold addresses (options records hold none).
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
    for (std::string line; std::getline(in, line);) {
        const std::size_t first = line.find_first_not_of(' ');
        if (first == std::string::npos)
            continue;
        const std::string l = line.substr(first);
        const bool flow_start = (l.rfind("Flow ", 0) == 0 &&
                                 l.find_first_not_of("0123456789", 5) == std::string::npos) ||
                                l.rfind("pdu ", 0) == 0;
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
        const std::map<std::string, unsigned long long*> numbers = {
            {"SrcPort", &f.srcport}, {"DstPort", &f.dstport}, {"ICMP Type", &f.dstport},
            {"Octets", &f.octets},   {"Packets", &f.packets}, {"InputInt", &f.in},
            {"OutputInt", &f.out},   {"SrcAS", &f.src_as},    {"DstAS", &f.dst_as}};
        if (key == "SrcAddr")
            f.src = value;
        else if (key == "DstAddr")
            f.dst = value;
        else if (numbers.count(key))
            *numbers.at(key) = n;
        else if (key == "IPv6 ICMP Type")  // type and code, as the viewer's port
            f.dstport = n << 8 | (f.dstport & 0xff);
        else if (key == "IPv6 ICMP Code")
            f.dstport = (f.dstport & 0xff00) | n;
        else if (key == "Protocol" && value.find('(') != std::string::npos)
            f.prot = std::strtoull(value.c_str() + value.rfind('(') + 1, nullptr, 10);
    }
    flush();
    return flows;
}

// colondump's form of an address: an IPv6 one with '-' for ':'.
std::string split_form(std::string a)
{
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

// softflowd's v5 and v9 from an IPv4 exporter and its IPFIX from an IPv6
// one, with IPv4 flows and (but for v5) IPv6 flows, each listed by a viewer
// behind the relay (its relay stream for v5, its framed stream for the
// others) and by one that receives them itself (-u): both list exactly what
// tshark decodes from the same datagrams, and miss nothing.
TEST(Softflowd, EveryVersionListedAsTsharkDecodesIt)
{
    NELK_REQUIRE_PROGRAMS("softflowd", "softflowctl", "tshark");
    temp_dir dir("nelk-sf");
    ASSERT_FALSE(dir.path.empty());
    for (const auto& [version, from] :
         {std::pair{"5", "127.0.0.1"}, std::pair{"9", "127.0.0.1"}, std::pair{"10", "::1"}}) {
        SCOPED_TRACE(std::string("version ") + version + " from " + from);
        const bool v5 = std::string(version) == "5";
        std::vector<made_flow> flows = capture_flows(!v5);
        const std::string capture = dir.file(std::string("flows-") + version + ".pcap");
        ASSERT_TRUE(write_capture(capture, flows));
        std::vector<bytes> recorded;
        ASSERT_TRUE(export_with_softflowd(version, capture, dir, "127.0.0.1", recorded));

        pcap_writer exports;
        for (std::size_t i = 0; i < recorded.size(); ++i)
            exports.add_udp(recorded[i], 2055, static_cast<std::uint32_t>(1700000000 + i));
        const std::string pcap = dir.file(std::string("exports-") + version + ".pcap");
        ASSERT_TRUE(exports.save(pcap));
        process tshark = spawn({find_program("tshark"), "-r", pcap, "-V", "-d",
                                "udp.port==2055,cflow"});
        ASSERT_TRUE(wait_exit(tshark, 60s)) << tshark.err();
        const std::vector<dissected_flow> dissected = parse_tshark(tshark.out());
        ASSERT_EQ(dissected.size(), flows.size()) << tshark.out().substr(0, 4000);
        const std::string expected = colondump_of(dissected, from);

        const int udp = free_udp_port(), tcp = free_tcp_port(), framed = free_tcp_port();
        process relay = start_nelkd(udp, tcp, {"-F", std::to_string(framed)});
        ASSERT_TRUE(relay.running()) << relay.err();
        process through =
            spawn({bin("nelk"), "-m", "colondump", "-s", "127.0.0.1:" + std::to_string(v5 ? tcp : framed)});
        ASSERT_TRUE(wait_output_count(relay, "New client:", 1, 30s)) << relay.out();
        const int direct_port = free_udp_port();
        const std::string family_form = v5 || std::string(from) != "::1" ? "127.0.0.1:" : "[::1]:";
        process direct = spawn({bin("nelk"), "-m", "colondump", "-u",
                                family_form + std::to_string(direct_port)});
        ASSERT_TRUE(wait_udp_bound(direct_port, 30s));

        const udp_exporter sender(from);
        ASSERT_TRUE(sender.fd);
        for (const bytes& d : recorded) {
            ASSERT_TRUE(sender.send(udp, d));
            ASSERT_TRUE(sender.send(direct_port, d));
            // One at a time, as a router paces them: none is lost in buffers.
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
// byte, and their totals and first row are the capture's.
TEST(Softflowd, FiveAndIpfixGiveTheSameTopReports)
{
    NELK_REQUIRE_PROGRAMS("softflowd", "softflowctl");
    temp_dir dir("nelk-sf");
    ASSERT_FALSE(dir.path.empty());
    std::vector<made_flow> flows = capture_flows(false);
    const std::string capture = dir.file("flows.pcap");
    ASSERT_TRUE(write_capture(capture, flows));
    std::map<std::string, std::vector<bytes>> exports;
    for (const char* version : {"5", "10"})
        ASSERT_TRUE(export_with_softflowd(version, capture, dir, "127.0.0.1", exports[version]));

    const fake_clock clock(before_hour);
    spawn_options on_clock;
    on_clock.env = clock.env();
    struct viewer {
        std::string version, report;
        int port = free_udp_port();
        process p;
    };
    std::vector<viewer> viewers;
    for (const char* report : {"proto", "tcpport"})
        for (const char* version : {"5", "10"}) {
            viewer& v = viewers.emplace_back();
            v.version = version;
            v.report = report;
            v.p = spawn({bin("nelk"), "-m", "top", "-t", v.report, "-l", "40", "-u",
                         "127.0.0.1:" + std::to_string(v.port)},
                        on_clock);
        }
    for (viewer& v : viewers)
        ASSERT_TRUE(wait_udp_bound(v.port, 30s)) << v.p.err();
    udp_exporter router;
    for (viewer& v : viewers)
        for (const bytes& d : exports[v.version]) {
            ASSERT_TRUE(router.send(v.port, d));
            std::this_thread::sleep_for(1ms);
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
    clock.set(before_hour + 1);
    for (viewer& v : viewers)
        ASSERT_TRUE(router.send(v.port, v5_datagram(1000000, 1)));
    std::map<std::string, std::string> reports;
    for (viewer& v : viewers) {
        ASSERT_TRUE(wait_output(v.p, "\n34:", 30s)) << v.p.out();  // the last row of both
        const std::string out = v.p.out();
        reports[v.report + v.version] = out.substr(std::min(out.find("Summary for interval"), out.size()));
    }

    // What the capture holds: IP bytes and packets, the protocol of most bytes.
    double total_bytes = 0, total_packets = 0;
    std::map<unsigned, double> by_proto;
    for (const made_flow& f : flows) {
        total_bytes += f.ip_bytes;
        total_packets += f.packets;
        by_proto[f.prot] += f.ip_bytes;
    }
    const auto top = std::max_element(by_proto.begin(), by_proto.end(),
                                      [](auto& a, auto& b) { return a.second < b.second; });
    char total[128], top_proto[16];
    // One second from the start to the closing export.
    std::snprintf(total, sizeof total, "\n Total %10.0fkbits/s, %10.0fkpps\n",
                  8 * total_bytes / 1024.0, total_packets / 1024.0);
    std::snprintf(top_proto, sizeof top_proto, "(%5u) ", top->first);
    for (const char* report : {"proto", "tcpport"}) {
        SCOPED_TRACE(report);
        const std::string five = reports[std::string(report) + "5"];
        EXPECT_EQ(five.rfind("Summary for interval (00:00:01 total) ending Tue Mar 10 11:00:00 2026\n", 0), 0u) << five;
        EXPECT_NE(five.find(total), std::string::npos) << total << five;
        EXPECT_EQ(reports[std::string(report) + "10"], five);
    }
    const std::string& proto = reports["proto5"];
    const std::size_t row = std::min(proto.find("\n 1: "), proto.size());
    EXPECT_NE(proto.substr(row, proto.find('\n', row + 1) - row).find(top_proto), std::string::npos)
        << top_proto << proto;
}

}  // namespace
