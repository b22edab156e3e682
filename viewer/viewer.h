// The viewer's records and the context that every routine is handed.
//
// Everything the viewer keeps lives in these records, created once at
// start-up by main and reached through the flow_context; the only state
// outside them is what the signal handlers share (signals.h) and the
// terminal description that terminfo keeps for the live view.
#pragma once

#include <termios.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/net_address.h"
#include "viewer/exporters.h"
#include "viewer/flow_record.h"
#include "viewer/templates.h"
#include "viewer/text_format.h"

struct interval_stats;  // intervals.h

enum class display_mode { top = 1, dump = 2, shortdump = 3, colondump = 4, json = 5 };

// The modes whose lines other programs read: no status lines, no keys, no
// AS names, no report tables.
constexpr bool for_programs(display_mode mode)
{
    return mode == display_mode::colondump || mode == display_mode::json;
}

// Report types of top mode; none until -t or a key chooses one.
enum class report_kind { none = 0, as = 1, proto = 2, tcpport = 3, udpport = 4 };

constexpr int server_text_size = 100;

struct viewer_config {
    char server[server_text_size + 1] = "127.0.0.1";
    int port = 4444;
    bool server_bracketed = false;  // -s [host]:port: the host is IPv6
    bool server_given = false;
    // -u: exports received straight from the routers on this UDP port, no
    // relay; -1 when not. Bound to udp_address, or to every address.
    int udp_port = -1;
    std::optional<net_address> udp_address;
    display_mode mode = display_mode::dump;
    report_kind report_type = report_kind::none;
    long long zero_as = 0;  // v5 takes its low 16 bits, v9 and IPFIX its low 32
    int flow_limit = 0;
    int interval = 60;  // minutes
    int lines = 24;
    int live_seconds = 0;            // -L: show the running interval this often; 0: never
    bool sampling = false;           // -S: scale top-mode sums by each export's sampling
    const char* asn_file = nullptr;  // -A: AS names from here, not the installed file
};

// An empty optional is "not set". Addresses of either family, IPv4 ones
// in their mapped form.
struct flow_filter {
    long long as = 0;
    int port = 0;
    int proto = 0;
    int big = 0;
    int ifindex = 0;
    std::optional<net_address> router;
    std::optional<net_prefix> prefix;  // no bits beyond its length
};

struct interval_stats_deleter {
    void operator()(interval_stats* s) const;
};
using interval_stats_ptr = std::unique_ptr<interval_stats, interval_stats_deleter>;

struct flow_stats {
    int last_minute = 0;
    interval_stats_ptr current;
    interval_stats_ptr last_report;
    // In top mode, the record and tables that the first rollover turns into
    // the last report, made at start-up so that no rollover allocates.
    interval_stats_ptr spare;
    std::time_t last_time = 0;
    double records = 0;
    double packets = 0;
    double max_bytes = 0;
    double max_packets = 0;
    // Records that passed every filter; the listings print it as the flow
    // number. Never reset.
    double flows_shown = 0;
};

// Where report intervals get the time: the system clock unless a test puts
// a clock of its own here. The minute of the last reading is kept so that
// localtime runs only when the clock has moved on.
using clock_fn = std::time_t (*)();

struct viewer_clock {
    clock_fn now = nullptr;  // null: time()
    std::time_t cached_time = -1;
    int cached_minute = -1;
};

// AS number to name. The names stand one after the other in text, each with
// its terminating zero; at[number] is where a 16-bit number's name begins,
// plus one, or 0 when it has none; wide holds the same for the numbers above
// 65535. A name that a later line of the file replaces stays in text as
// dead bytes until they outweigh the live ones and the text is compacted,
// so the table grows with the AS numbers named, not with the file. Loaded
// once at start-up.
struct asn_table {
    std::unique_ptr<std::uint32_t[]> at;
    std::unordered_map<std::uint32_t, std::uint32_t> wide;
    std::vector<char> text;
    std::size_t dead = 0;
};

// Standard input's settings as they were before key mode; empty until they
// have been read, so settings never read are never applied or restored.
struct terminal_state {
    std::optional<termios> saved;
};

// What the live view shows: the running interval's report, or the
// exporter table (the e key) until a report key is pressed.
enum class live_page { report, exporters };

// The live view of top mode (-L). On a terminal that can move its cursor
// home and clear, each refresh redraws the screen in place with the
// terminal's own sequences, each line cut to the window; anywhere else it
// is printed as a plain report.
struct live_screen {
    bool in_place = false;
    std::string home, clear_line, clear_below;  // the terminal's sequences
    // The terminal's size when the window's is not known; 0: none.
    int rows = 0;
    int cols = 0;
    // False on a terminal that wraps at once when its last column is
    // written: lines stop a column short there.
    bool last_column = true;
    live_page page = live_page::report;
    std::time_t last_refresh = 0;  // by the viewer's clock
};

struct flow_context {
    viewer_config* config;
    flow_filter* filter;
    flow_stats* stats;
    asn_table* names;
    terminal_state* terminal;
    viewer_clock* clock;
    live_screen* live;
    exporter_table* exporters;
    template_table* templates;
};

// Every record a viewer needs, for main and for tests that run the routines
// as the viewer does.
struct viewer_records {
    viewer_config config;
    flow_filter filter;
    flow_stats stats;
    asn_table names;
    terminal_state terminal;
    viewer_clock clock;
    live_screen live;
    exporter_table exporters;
    template_table templates;
    flow_context ctx{&config,   &filter, &stats,      &names,    &terminal,
                     &clock,    &live,   &exporters,  &templates};

    viewer_records() = default;
    viewer_records(const viewer_records&) = delete;
    viewer_records& operator=(const viewer_records&) = delete;
};
