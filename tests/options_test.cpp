// The viewer's command line: what each option sets, what it prints, and
// how the run ends when an option is refused.
#include "viewer/options.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/addresses.h"

namespace {

constexpr int go_on = -1;

// A prefix as the filter holds it: the address's bits beyond the length
// already cleared, IPv4 ones counted over the mapped form.
net_prefix prefix(const char* text, int length)
{
    return {addr(text), length};
}

struct parsed {
    int status;
    std::string out;
    std::string err;
    viewer_config config;
    flow_filter filter;
    double max_bytes;
};

parsed parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "./nelk");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    viewer_records v;
    v.stats.max_bytes = 5000;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();  // getopt's own complaint
    int status = parse_options(static_cast<int>(args.size()), argv.data(), v.ctx);
    std::fflush(stdout);
    std::string err = testing::internal::GetCapturedStderr();
    return {status, testing::internal::GetCapturedStdout(), err, v.config, v.filter,
            v.stats.max_bytes};
}

std::string args_text(const std::vector<std::string>& args)
{
    std::string s;
    for (const std::string& a : args)
        s += " '" + a + "'";
    return s;
}

// Every field of both records, to compare them whole.
std::string fields(const viewer_config& c, const flow_filter& f)
{
    char text[1024];
    std::snprintf(
        text, sizeof text,
        "server %s port %d [%d] given %d mode %d report %d zero_as %lld limit %d interval %d "
        "lines %d as %lld port %d proto %d big %d ifindex %d router %s prefix %s/%d live %d "
        "sampling %d udp %s port %d",
        c.server, c.port, c.server_bracketed, c.server_given, static_cast<int>(c.mode),
        static_cast<int>(c.report_type), c.zero_as, c.flow_limit, c.interval, c.lines, f.as,
        f.port, f.proto, f.big, f.ifindex, f.router ? address_text(*f.router).c_str() : "-",
        f.prefix ? address_text(f.prefix->net).c_str() : "-", f.prefix ? f.prefix->length : -1,
        c.live_seconds, c.sampling ? 1 : 0,
        c.udp_address ? address_text(*c.udp_address).c_str() : "-", c.udp_port);
    return text;
}

TEST(Options, MessagesAndStatuses)
{
    std::ifstream usage_file(std::string(NELK_TEST_DATA) + "/options/usage.txt");
    std::stringstream usage;
    usage << usage_file.rdbuf();
    ASSERT_FALSE(usage.str().empty());
    const std::string modes =
        " not supported.  Available modes:\n dump\n shortdump\n colondump\n top\n json\n";
    const std::string reports =
        " not supported.  Available top modes:\n as\n proto\n tcpport\n udpport\n";
    const std::string word(500, 'w');
    const std::string host(300, 'h');
    const std::string version = "nelk version 0.3, October 4 2001\n";

    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;
    } rows[] = {
        {{}, go_on, ""},
        {{"-0", "65000", "-c", "5", "-b", "-m", "top extra"}, go_on, ""},
        {{"-a", "x", "-a", "65001"}, go_on, "Filtering for AS 0\nFiltering for AS 65001\n"},
        {{"-i", "-5", "-i", "soon"}, go_on,
         "Setting report interval to -5\nSetting report interval to -5\n"},
        {{"-i", "0"}, 1, "Error: invalid report interval 0; it must be at least 1 minute\n"},
        {{"-l", "40", "-p", "53", "-P", "17"}, go_on,
         "Setting screen length to 40 lines\nFiltering for port 53\nFiltering for protocol 17\n"},
        {{"-r", "10.0.0.256"}, 1, "Error: invalid router address 10.0.0.256\n"},
        {{"-r", std::string(200, '1')}, 1,
         "Error: invalid router address " + std::string(100, '1') + "\n"},
        {{"-n", "3", "-r", "10.0.0.1"}, 0, "Error: must specify a router with -r before using -e."},
        {{"-r", "10.0.0.1", "-n", "3"}, go_on,
         "Filtering for router 10.0.0.1\nDisplaying stats only for interface index 3\n"},
        {{"-x", "10.1.2.3/8"}, go_on, "Filtering for prefix 10.1.2.3/8\n"},
        {{"-x", "10.0.0.256/8"}, 1, "Error: invalid prefix 10.0.0.256\n"},
        {{"-x", "net/8"}, 1, "Error: invalid prefix net/8\n"},
        {{"-x", "1" + std::string(150, '0') + "/8"}, 1,
         "Error: invalid prefix 1" + std::string(99, '0') + "\n"},
        {{"-x", "10.0.0.0"}, 1,
         "Error: prefix 10.0.0.0 has no length; give it as address/length, for example "
         "10.0.0.0/8\n"},
        {{"-x", "10.0.0.0/33"}, 1,
         "Error: invalid prefix length 33 in 10.0.0.0/33; it must be 0 to 32\n"},
        {{"-x", "10.0.0.0/-1"}, 1,
         "Error: invalid prefix length -1 in 10.0.0.0/-1; it must be 0 to 32\n"},
        {{"-m", "Top"}, 0, "Mode Top" + modes},
        {{"-m", "JSON"}, 0, "Mode JSON" + modes},
        {{"-m", word}, 0, "Mode " + word + modes},
        {{"-t", "udp"}, 0, "Top mode udp" + reports},
        {{"-t", word + " as"}, 0, "Top mode " + word + reports},
        {{"-s", "relayhost"}, 0, "strtok could not find a port number in 'relayhost'\n"},
        {{"-s", "relayhost:"}, 0, "strtok could not find a port number in 'relayhost'\n"},
        // The leading colon is skipped, not cut off the text shown.
        {{"-s", ":4444"}, 0, "strtok could not find a port number in ':4444'\n"},
        {{"-s", ":::"}, 0, "strtok could not find a server name in ':::'\n"},
        {{"-s", host + ":4444"}, 0,
         "strtok could not find a port number in '" + host.substr(0, 100) + "'\n"},
        {{"-a", "1", "-v", "-a", "2"}, 0, "Filtering for AS 1\n" + version},
        {{"-h"}, 0, usage.str()},
        {{"-p", "80", "-z"}, 0, "Filtering for port 80\n" + usage.str()},
        {{"-a"}, 0, usage.str()},
        // The live view: top mode only, 1 to 3600 seconds, -m before or after.
        {{"-L", "1", "-m", "top"}, go_on, ""},
        {{"-m", "top", "-L", "3600", "-S", "-A", "/nowhere"}, go_on, ""},
        {{"-L", "5"}, 1,
         "Error: -L shows the running interval of top mode; use it with -m top\n"},
        {{"-m", "top", "-L", "0"}, 1,
         "Error: invalid live view period 0; it must be 1 to 3600 seconds\n"},
        {{"-m", "top", "-L", "3601"}, 1,
         "Error: invalid live view period 3601; it must be 1 to 3600 seconds\n"},
        {{"-m", "top", "-L", "soon"}, 1,
         "Error: invalid live view period soon; it must be 1 to 3600 seconds\n"},
        // IPv6 and 32-bit AS numbers.
        {{"-a", "4200000001"}, go_on, "Filtering for AS 4200000001\n"},
        {{"-r", "2001:db8::1", "-n", "7"}, go_on,
         "Filtering for router 2001:db8::1\nDisplaying stats only for interface index 7\n"},
        {{"-r", "2001:db8:::1"}, 1, "Error: invalid router address 2001:db8:::1\n"},
        {{"-x", "2001:db8:1:2::9/33"}, go_on, "Filtering for prefix 2001:db8:1:2::9/33\n"},
        {{"-x", "2001:db8::/129"}, 1,
         "Error: invalid prefix length 129 in 2001:db8::/129; it must be 0 to 128\n"},
        {{"-x", "2001:db8::"}, 1,
         "Error: prefix 2001:db8:: has no length; give it as address/length, for example "
         "10.0.0.0/8\n"},
        {{"-x", "2001:db8::g/64"}, 1,
         "Error: prefix 2001:db8::g/64 has no length; give it as address/length, for example "
         "10.0.0.0/8\n"},
        {{"-x", "2001:db8:::1/64"}, 1, "Error: invalid prefix 2001:db8:::1\n"},
        {{"-s", "[2001:db8::1]"}, 0, "strtok could not find a port number in '[2001:db8::1]'\n"},
        {{"-s", "[2001:db8::1]:"}, 0,
         "strtok could not find a port number in '[2001:db8::1]'\n"},
        {{"-s", "[2001:db8::1"}, 0, "strtok could not find a server name in '[2001:db8::1'\n"},
        {{"-s", "[]:4444"}, 0, "strtok could not find a server name in '[]:4444'\n"},
        {{"-u", "2055", "-m", "colondump"}, go_on, ""},
        {{"-u", "2055", "-s", "relay:4444"}, 1,
         "Error: -u and -s exclude each other: receive exports directly with -u, or from a "
         "relay with -s\n"},
        {{"-s", "relay:4444", "-u", "[::1]:2055"}, 1,
         "Error: -u and -s exclude each other: receive exports directly with -u, or from a "
         "relay with -s\n"},
        {{"-u", "70000"}, 1,
         "Error: invalid UDP port 70000; give port, address:port or [IPv6 address]:port, for "
         "example 2055, 192.0.2.1:2055 or [2001:db8::1]:2055\n"},
        {{"-u", "2001:db8::1:2055"}, 1,
         "Error: invalid UDP port 2001:db8::1:2055; give port, address:port or [IPv6 "
         "address]:port, for example 2055, 192.0.2.1:2055 or [2001:db8::1]:2055\n"},
        {{"-u", "host:2055"}, 1,
         "Error: invalid UDP port host:2055; give port, address:port or [IPv6 address]:port, "
         "for example 2055, 192.0.2.1:2055 or [2001:db8::1]:2055\n"},
        {{"-u", "[::1]2055"}, 1,
         "Error: invalid UDP port [::1]2055; give port, address:port or [IPv6 address]:port, "
         "for example 2055, 192.0.2.1:2055 or [2001:db8::1]:2055\n"},
    };
    for (const auto& r : rows) {
        parsed p = parse(r.args);
        EXPECT_EQ(p.status, r.status) << args_text(r.args);
        EXPECT_EQ(p.out, r.out) << args_text(r.args);
    }

    // JSON lines own standard output: every note goes to standard error,
    // those of options before -m json too; a run without json is as before.
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;
    } json_rows[] = {
        {{"-P", "17", "-m", "json", "-p", "53"}, go_on,
         "Filtering for protocol 17\nFiltering for port 53\n"},
        {{"-m", "json", "-r", "10.0.0.256"}, 1, "Error: invalid router address 10.0.0.256\n"},
        {{"-m", "json", "-m", "dump", "-P", "6"}, go_on, ""},
    };
    for (const auto& r : json_rows) {
        parsed p = parse(r.args);
        EXPECT_EQ(p.status, r.status) << args_text(r.args);
        EXPECT_EQ(p.out, r.err.empty() ? "Filtering for protocol 6\n" : "") << args_text(r.args);
        EXPECT_EQ(p.err, r.err) << args_text(r.args);
    }
}

// Every option writes its own field and no other.
TEST(Options, Fields)
{
    using cfg = viewer_config;
    using flt = flow_filter;
    const std::string host(300, 'h');
    const struct {
        std::vector<std::string> args;
        std::function<void(cfg&, flt&)> want;
    } rows[] = {
        {{}, [](cfg&, flt&) {}},
        {{"-0", "65000", "-c", "-1"}, [](cfg& c, flt&) { c.zero_as = 65000, c.flow_limit = -1; }},
        {{"-a", "65001", "-b"}, [](cfg&, flt& f) { f.as = 65001, f.big = 1; }},
        {{"-i", "-5", "-l", "40"}, [](cfg& c, flt&) { c.interval = -5, c.lines = 40; }},
        {{"-p", "53", "-P", "17"}, [](cfg&, flt& f) { f.port = 53, f.proto = 17; }},
        {{"-m", "shortdump"}, [](cfg& c, flt&) { c.mode = display_mode::shortdump; }},
        {{"-m", " colondump x"}, [](cfg& c, flt&) { c.mode = display_mode::colondump; }},
        {{"-m", "dump", "-m", "top"}, [](cfg& c, flt&) { c.mode = display_mode::top; }},
        {{"-m", "json"}, [](cfg& c, flt&) { c.mode = display_mode::json; }},
        {{"-t", "as"}, [](cfg& c, flt&) { c.report_type = report_kind::as; }},
        {{"-t", "proto"}, [](cfg& c, flt&) { c.report_type = report_kind::proto; }},
        {{"-t", "tcpport"}, [](cfg& c, flt&) { c.report_type = report_kind::tcpport; }},
        {{"-t", "udpport"}, [](cfg& c, flt&) { c.report_type = report_kind::udpport; }},
        {{"-r", "10.0.0.1", "-n", "3"},
         [](cfg&, flt& f) { f.router = addr("10.0.0.1"), f.ifindex = 3; }},
        {{"-s", "relay.example:5555"},
         [](cfg& c, flt&) {
             std::strcpy(c.server, "relay.example"), c.port = 5555, c.server_given = true;
         }},
        {{"-s", "relay:x:1"},
         [](cfg& c, flt&) { std::strcpy(c.server, "relay"), c.server_given = true; }},
        {{"-s", "::relay::7:8"},
         [](cfg& c, flt&) { std::strcpy(c.server, "relay"), c.port = 7, c.server_given = true; }},
        // Stored before the port is found missing.
        {{"-s", ":4444"}, [](cfg& c, flt&) { std::strcpy(c.server, "4444"), c.server_given = true; }},
        {{"-s", host + ":1"},
         [&](cfg& c, flt&) {
             std::strcpy(c.server, host.substr(0, 100).c_str()), c.server_given = true;
         }},
        {{"-s", "[2001:db8::1]:4445"},
         [](cfg& c, flt&) {
             std::strcpy(c.server, "2001:db8::1"), c.port = 4445, c.server_given = true,
                                                   c.server_bracketed = true;
         }},
        {{"-s", "[2001:db8::1]:4445", "-s", "relay:9"},
         [](cfg& c, flt&) { std::strcpy(c.server, "relay"), c.port = 9, c.server_given = true; }},
        {{"-x", "10.1.2.3/8"}, [](cfg&, flt& f) { f.prefix = prefix("::ffff:10.0.0.0", 104); }},
        {{"-x", "192.168.7.9/16"},
         [](cfg&, flt& f) { f.prefix = prefix("::ffff:192.168.0.0", 112); }},
        {{"-x", "1.2.3.7/30"}, [](cfg&, flt& f) { f.prefix = prefix("::ffff:1.2.3.4", 126); }},
        {{"-x", "10.9.8.7/32"}, [](cfg&, flt& f) { f.prefix = prefix("::ffff:10.9.8.7", 128); }},
        {{"-x", "10.9.8.7/0"}, [](cfg&, flt& f) { f.prefix = prefix("::ffff:0.0.0.0", 96); }},
        {{"-x", "10.9.8.7/33"}, [](cfg&, flt&) {}},
        {{"-x", "2001:db8:1:2::9/33"}, [](cfg&, flt& f) { f.prefix = prefix("2001:db8::", 33); }},
        {{"-x", "2001:DB8::/128"}, [](cfg&, flt& f) { f.prefix = prefix("2001:db8::", 128); }},
        {{"-x", "::/0"}, [](cfg&, flt& f) { f.prefix = prefix("::", 0); }},
        {{"-x", "::ffff:10.1.0.0/104"},
         [](cfg&, flt& f) { f.prefix = prefix("::ffff:10.0.0.0", 104); }},
        {{"-r", "2001:db8::7"}, [](cfg&, flt& f) { f.router = addr("2001:db8::7"); }},
        {{"-r", "::ffff:10.0.0.1"}, [](cfg&, flt& f) { f.router = addr("10.0.0.1"); }},
        {{"-a", "4294967295", "-0", "4200000000"},
         [](cfg& c, flt& f) { f.as = 4294967295, c.zero_as = 4200000000; }},
        {{"-u", "2055"}, [](cfg& c, flt&) { c.udp_port = 2055; }},
        {{"-u", "127.0.0.1:2055"},
         [](cfg& c, flt&) { c.udp_port = 2055, c.udp_address = addr("127.0.0.1"); }},
        {{"-u", "[::1]:9995"}, [](cfg& c, flt&) { c.udp_port = 9995, c.udp_address = addr("::1"); }},
        {{"-m", "top", "-L", "7", "-S"},
         [](cfg& c, flt&) { c.mode = display_mode::top, c.live_seconds = 7, c.sampling = true; }},
    };
    for (const auto& r : rows) {
        cfg c;
        flt f;
        r.want(c, f);
        parsed p = parse(r.args);
        EXPECT_EQ(fields(p.config, p.filter), fields(c, f)) << args_text(r.args);
        // Only -b starts the big-flow maxima again.
        EXPECT_EQ(p.max_bytes, f.big ? 0 : 5000) << args_text(r.args);
    }
}

TEST(Options, ReconcileModeAndReportType)
{
    const struct {
        display_mode mode;
        report_kind report_type;
        const char* out;  // no line end: the next start-up line follows on it
        report_kind report_after;
    } rows[] = {
        {display_mode::top, report_kind::none, "topmode not set with -t, defaulting to as.",
         report_kind::as},
        {display_mode::top, report_kind::udpport, "", report_kind::udpport},
        {display_mode::dump, report_kind::udpport,
         "Warning: topmode set but mode not set to top", report_kind::udpport},
        {display_mode::colondump, report_kind::as,
         "Warning: topmode set but mode not set to top", report_kind::as},
        {display_mode::shortdump, report_kind::none, "", report_kind::none},
    };
    for (const auto& r : rows) {
        viewer_config config;
        config.mode = r.mode;
        config.report_type = r.report_type;
        testing::internal::CaptureStdout();
        reconcile_mode(config);
        std::fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), r.out)
            << static_cast<int>(r.mode) << "/" << static_cast<int>(r.report_type);
        EXPECT_EQ(config.report_type, r.report_after);
        EXPECT_EQ(config.mode, r.mode);
    }
}

}  // namespace
