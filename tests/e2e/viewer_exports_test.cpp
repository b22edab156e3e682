// The viewer on exports of every version: received directly (-u) or from a
// scripted framed stream, IPv6 filters, bad input, loss by each version's
// sequence numbers, and exporters that flood or restart.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/export_checks.h"
#include "common/flow_fields.h"
#include "common/framed_stream.h"
#include "common/net_address.h"
#include "tests/e2e/harness.h"
#include "tests/e2e/pty_harness.h"
#include "tests/python_json.h"
#include "tools/flow_export.h"
#include "tools/nf5_synth.h"
#include "tests/addresses.h"

namespace {

using namespace e2e;
using namespace std::chrono_literals;
using bytes = std::vector<std::uint8_t>;

// One TCP flow of the standard templates, src:1000 to dst:80.
export_flow flow(const char* src, const char* dst, std::uint64_t bytes = 1500)
{
    export_flow f;
    f.src = addr(src);
    f.dst = addr(dst);
    f.input = 1;
    f.output = 2;
    f.packets = 3;
    f.bytes = bytes;
    f.srcport = 1000;
    f.dstport = 80;
    f.prot = 6;
    return f;
}

// A v9 or IPFIX message: the standard template for its flows' family (id
// 256 for IPv4, 257 for IPv6) when asked, then the flows.
bytes export_of(std::uint16_t version, std::uint32_t sequence, const std::vector<export_flow>& flows,
                bool with_template = true, bool ipv6_template = false)
{
    const bool ipv6 = flows.empty() ? ipv6_template : !flows.front().src.is_v4();
    const std::uint16_t id = ipv6 ? 257 : 256;
    export_message m = start_message(version, sequence, 1, 1700000000, 100000 + sequence);
    if (with_template) {
        open_set(m, version == ipfix_version ? ipfix_template_set : nf9_template_set);
        add_template(m, id, standard_fields(ipv6));
        close_set(m);
    }
    if (!flows.empty()) {
        open_set(m, id);
        for (const export_flow& f : flows)
            put_flow(m, f, ipv6);
        close_set(m);
    }
    return finish_message(m);
}

// A v5 export of n records from 10.0.0.1 to 10.0.0.2, with its header's
// sequence, engine and clock.
bytes v5_export(std::uint32_t sequence, unsigned n, std::uint8_t engine = 0,
                std::uint32_t uptime_ms = 3600000, std::uint32_t unix_secs = 1700000000)
{
    nf5_header h = nf5_make_header(static_cast<std::uint16_t>(n), unix_secs);
    h.flow_sequence = sequence;
    h.engine_id = engine;
    h.SysUptime = uptime_ms;
    nf5_record r{};
    r.srcaddr = addr("10.0.0.1").v4_net();
    r.dstaddr = addr("10.0.0.2").v4_net();
    r.dOctets = 100;
    r.dPkts = 1;
    r.prot = 17;
    const std::vector<nf5_record> records(n, r);
    bytes d(nf5_datagram_size(n));
    nf5_build_datagram(d, h, records);
    return d;
}

bytes framed(const bytes& datagram, std::uint8_t kind, const char* exporter, std::uint16_t port)
{
    framed_head h;
    h.length = static_cast<std::uint32_t>(framed_head_size + datagram.size());
    h.kind = kind;
    h.exporter = addr(exporter);
    h.family = h.exporter.is_v4() ? 4 : 6;
    h.port = port;
    h.time_ns = 1700000000000000000;
    bytes out(framed_head_size);
    encode_framed_head(out.data(), h);
    out.insert(out.end(), datagram.begin(), datagram.end());
    return out;
}

// nelk with -u on a free port of the exporter's family, ready for exports.
struct direct_viewer {
    int port = free_udp_port();
    process p;
    direct_viewer(const std::string& family_form, std::vector<std::string> args)
    {
        std::vector<std::string> argv = {bin("nelk"), "-u", family_form + std::to_string(port)};
        argv.insert(argv.end(), args.begin(), args.end());
        p = spawn(argv);
        EXPECT_TRUE(wait_udp_bound(port, 10s)) << p.err();
    }
};

// A viewer that connects after the exporter sent its templates gets them
// replayed by the relay, and decodes the first data export after that;
// replayed frames are neither traffic nor numbers in the sequence, and a
// kind of frame it does not know is passed over.
TEST(ViewerExports, ALateViewerDecodesTheFirstDataExport)
{
    fake_relay relay = open_fake_relay();
    process viewer = spawn({bin("nelk"), "-m", "colondump", "-s", relay_arg(relay.port)});
    ASSERT_TRUE(relay.accept_viewer(5s)) << viewer.err();
    const export_flow v4 = flow("192.0.2.1", "198.51.100.7", 6000000000);
    const export_flow v6 = flow("2001:db8::1", "2001:db8:2::7");
    bytes stream(framed_greeting.begin(), framed_greeting.end());
    auto add = [&](const bytes& b) { stream.insert(stream.end(), b.begin(), b.end()); };
    add(framed(export_of(9, 0, {}), framed_replayed, "10.1.2.3", 2055));
    add(framed(export_of(10, 0, {}, true, true), framed_replayed, "2001:db8::99", 4739));
    add(framed(bytes(40, 7), 9, "10.1.2.3", 2055));  // a kind still to come
    add(framed(export_of(9, 5, {v4, v4}, false), framed_live, "10.1.2.3", 2055));
    add(framed(export_of(10, 8, {v6}, false), framed_live, "2001:db8::99", 4739));
    add(framed(export_of(9, 6, {v4}, false), framed_live, "10.1.2.3", 2055));
    ASSERT_TRUE(relay.send(stream));
    const std::string v4_line =
        ":10.1.2.3:1:192.0.2.1:1000:2:198.51.100.7:80:6000000000:3:6:0:0\n";
    const std::string expected = "1" + v4_line + "2" + v4_line +
                                 "3:2001-db8--99:1:2001-db8--1:1000:2:2001-db8-2--7:80:1500:3:6:0:0\n" +
                                 "4" + v4_line;
    EXPECT_TRUE(wait_output(viewer, expected, 5s)) << viewer.out();
    EXPECT_EQ(viewer.out(), expected);
    stop(viewer);
    EXPECT_EQ(viewer.err(), "") << "the replayed numbers 0 started no run";
}

// The same with the real relay: the templates reach it before any viewer
// is there, and a viewer that connects afterwards lists the flows of the
// first export after that, data alone, at once, and misses nothing.
TEST(ViewerExports, ALateViewerOfTheRealRelayDecodesTheFirstDataExport)
{
    const int udp = free_udp_port(), tcp = free_tcp_port(), framed = free_tcp_port();
    process relay = start_nelkd(udp, tcp, {"-F", std::to_string(framed)});
    ASSERT_TRUE(relay.running()) << relay.err();
    udp_exporter nine("127.0.0.1"), ipfix("::1");
    ASSERT_TRUE(nine.send(udp, export_of(9, 0, {})));
    ASSERT_TRUE(ipfix.send(udp, export_of(10, 0, {}, true, true)));
    bool taken = false;
    for (int i = 0; i < 500 && !taken; ++i) {
        taken = udp_drained(udp, relay.pid);
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_TRUE(taken);

    process viewer = spawn({bin("nelk"), "-m", "colondump", "-s", relay_arg(framed)});
    ASSERT_TRUE(wait_output(relay, "New client:", 10s)) << relay.out();
    ASSERT_TRUE(nine.send(udp, export_of(9, 1, {flow("192.0.2.1", "198.51.100.7")}, false)));
    const std::string first = "1:127.0.0.1:1:192.0.2.1:1000:2:198.51.100.7:80:1500:3:6:0:0\n";
    EXPECT_TRUE(wait_output(viewer, first, 5s)) << viewer.out();
    ASSERT_TRUE(ipfix.send(udp, export_of(10, 0, {flow("2001:db8::1", "2001:db8:2::7")}, false)));
    const std::string both =
        first + "2:--1:1:2001-db8--1:1000:2:2001-db8-2--7:80:1500:3:6:0:0\n";
    EXPECT_TRUE(wait_output(viewer, both, 5s)) << viewer.out();
    EXPECT_EQ(viewer.out(), both);
    stop(viewer);
    EXPECT_EQ(viewer.err(), "");
}

// A framed stream that states a length no frame has ends the viewer: there
// is no way back into step.
TEST(ViewerExports, AFramedStreamOutOfStepEnds)
{
    fake_relay relay = open_fake_relay();
    process viewer = spawn({bin("nelk"), "-m", "colondump", "-s", relay_arg(relay.port)});
    ASSERT_TRUE(relay.accept_viewer(5s)) << viewer.err();
    bytes stream(framed_greeting.begin(), framed_greeting.end());
    bytes head(framed_head_size);
    store_be32(head.data(), 12);
    stream.insert(stream.end(), head.begin(), head.end());
    ASSERT_TRUE(relay.send(stream));
    ASSERT_TRUE(wait_exit(viewer, 5s));
    EXPECT_EQ(viewer.exit_code(), 1);
    EXPECT_EQ(viewer.err(),
              "nelk: the framed stream is out of step (a frame length no frame has); ending\n");
}

// Each version's loss, by its own meaning of a sequence number, in the
// lines at the end of the run. A v5 router that restarts its numbers from
// below where it was keeps what it lost before the restart lost, and its new
// numbers fill no old gap.
TEST(ViewerExports, LossOfEachVersionAtTheEnd)
{
    direct_viewer v("127.0.0.1:", {"-m", "colondump"});
    udp_exporter five, nine, ipfix;
    // v5, up an hour: 0 and 60 (30 lost); restarted 10 minutes later, up 20
    // seconds: 0 and 60 again (30 lost).
    ASSERT_TRUE(five.send(v.port, v5_export(0, 30, 0, 3600000, 1700000000)));
    ASSERT_TRUE(five.send(v.port, v5_export(60, 30, 0, 3601000, 1700000001)));
    ASSERT_TRUE(five.send(v.port, v5_export(0, 30, 0, 20000, 1700000600)));
    ASSERT_TRUE(five.send(v.port, v5_export(60, 30, 0, 21000, 1700000601)));
    // v9: packets 10, 11, 14 (12 and 13 lost); IPFIX: 4 records from 0,
    // then from 9 (5 lost).
    const export_flow f = flow("10.0.0.1", "10.0.0.2");
    ASSERT_TRUE(nine.send(v.port, export_of(9, 10, {f})));
    ASSERT_TRUE(nine.send(v.port, export_of(9, 11, {f}, false)));
    ASSERT_TRUE(nine.send(v.port, export_of(9, 14, {f}, false)));
    ASSERT_TRUE(ipfix.send(v.port, export_of(10, 0, {f, f, f, f})));
    ASSERT_TRUE(ipfix.send(v.port, export_of(10, 9, {f, f}, false)));
    EXPECT_TRUE(wait_output_count(v.p, "\n", 129, 5s)) << v.p.out();
    stop(v.p);
    EXPECT_EQ(v.p.err(),
              "nelk: 60 of 180 flows missed (33.33%) by sequence numbers\n"
              "nelk: 2 of 5 NetFlow v9 export packets missed (40.00%) by sequence numbers\n"
              "nelk: 5 of 11 IPFIX data records missed (45.45%) by sequence numbers\n");
}

// What a run of the traffic generator says it sent, from its last line.
unsigned long long records_sent(const process& gen)
{
    unsigned long long datagrams = 0, records = 0;
    const std::string err = gen.err();
    if (std::sscanf(err.c_str(), "flowgen: sent %llu datagrams, %llu records", &datagrams,
                    &records) != 2)
        return 0;
    return records;
}

// JSON lines counted by python's json module: by type and exporter, the
// IPv6 flows and those with a 32-bit AS number.
std::map<std::string, long> tally(const std::string& lines)
{
    const python_run py = run_python(
        "import sys, json, collections\n"
        "c = collections.Counter()\n"
        "for line in sys.stdin:\n"
        "    o = json.loads(line)\n"
        "    c[o[\"type\"] + \"@\" + o[\"sampler_address\"]] += 1\n"
        "    c[\"ipv6\"] += o[\"etype\"] == 34525\n"
        "    c[\"wide_as\"] += max(o[\"src_as\"], o[\"dst_as\"]) > 65535\n"
        "for k in sorted(c): print(k, c[k])\n",
        lines);
    EXPECT_EQ(py.status, 0) << py.err;
    std::map<std::string, long> counts;
    std::istringstream in(py.out);
    std::string key;
    for (long n; in >> key >> n;)
        counts[key] = n;
    return counts;
}

// The traffic generator's exporters of every version side by side, from
// IPv4 and IPv6 sources, into viewers that receive them themselves: every
// record it sent is a JSON line of its version and exporter, IPv6 flows
// and 32-bit AS numbers among them, and no loss is seen.
TEST(ViewerExports, TheGeneratorsExportsOfEveryVersionDecode)
{
    direct_viewer four("127.0.0.1:", {"-m", "json"});
    direct_viewer six("[::1]:", {"-m", "json"});
    process gen4 = spawn({bin("flowgen"), "-p", std::to_string(four.port), "-e", "5", "-e",
                          "9@127.0.0.2", "-e", "10@127.0.0.3", "-c", "60", "-r", "2000"});
    process gen6 = spawn({bin("flowgen"), "-a", "::1", "-p", std::to_string(six.port), "-e",
                          "9@::1", "-e", "10@::1", "-c", "40", "-r", "2000"});
    for (process* gen : {&gen4, &gen6}) {
        ASSERT_TRUE(wait_exit(*gen, 10s));
        EXPECT_EQ(gen->exit_code(), 0) << gen->err();
    }
    const std::map<std::string, std::vector<std::string>> exporters = {
        {"4", {"IPFIX@127.0.0.3", "NETFLOW_V5@127.0.0.1", "NETFLOW_V9@127.0.0.2"}},
        {"6", {"IPFIX@::1", "NETFLOW_V9@::1"}},
    };
    for (auto [family, viewer, gen] :
         {std::tuple{"4", &four, &gen4}, std::tuple{"6", &six, &gen6}}) {
        SCOPED_TRACE(family);
        const unsigned long long records = records_sent(*gen);
        ASSERT_GT(records, 0u) << gen->err();
        EXPECT_TRUE(wait_output_count(viewer->p, "\n", static_cast<int>(records), 10s));
        stop(viewer->p);
        EXPECT_EQ(viewer->p.err(), "") << "nothing missed";
        std::map<std::string, long> counts = tally(viewer->p.out());
        EXPECT_GT(counts["ipv6"], 0);
        EXPECT_GT(counts["wide_as"], 0);
        long listed = 0;
        for (const std::string& exporter : exporters.at(family)) {
            EXPECT_GT(counts[exporter], 0) << exporter;
            listed += counts[exporter];
        }
        EXPECT_EQ(static_cast<unsigned long long>(listed), records);
    }
}

}  // namespace
