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
#include <vector>

#include "common/nf5.h"
#include "viewer/exporters.h"
#include "viewer/text_format.h"

struct interval_stats;  // intervals.h

enum class display_mode { top = 1, dump = 2, shortdump = 3, colondump = 4 };

// Report types of top mode; none until -t or a key chooses one.
enum class report_kind { none = 0, as = 1, proto = 2, tcpport = 3, udpport = 4 };

constexpr int server_text_size = 100;

struct viewer_config {
    char server[server_text_size + 1] = "127.0.0.1";
    int port = 4444;
    display_mode mode = display_mode::dump;
    report_kind report_type = report_kind::none;
    int zero_as = 0;
    int flow_limit = 0;
    int interval = 60;  // minutes
    int lines = 24;
    int live_seconds = 0;            // -L: show the running interval this often; 0: never
    bool sampling = false;           // -S: scale top-mode sums by each export's sampling
    const char* asn_file = nullptr;  // -A: AS names from here, not the installed file
};

// Addresses are IPv4 in network order; an empty optional is "not set".
struct flow_filter {
    int as = 0;
    int port = 0;
    int proto = 0;
    int big = 0;
    int ifindex = 0;
    std::optional<std::uint32_t> router;
    std::optional<std::uint32_t> prefix;       // already masked
    std::optional<std::uint32_t> prefix_mask;
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
// its terminating zero; at[number] is where the number's name begins, plus
// one, or 0 when it has none. Loaded once at start-up; names stay where they
// are until the next load.
struct asn_table {
    std::unique_ptr<std::uint32_t[]> at;
    std::vector<char> text;
};

// Standard input's settings as they were before key mode; empty until they
// have been read, so settings never read are never applied or restored.
struct terminal_state {
    std::optional<termios> saved;
};

// The live view of top mode (-L). On a terminal that can move its cursor
// home and clear, each refresh redraws the screen in place with the
// terminal's own sequences; anywhere else it is printed as a plain report.
struct live_screen {
    bool in_place = false;
    std::string home, clear_line, clear_below;  // the terminal's sequences
    int rows = 0;  // the terminal's length when the window's is not known; 0: none
    std::time_t last_refresh = 0;  // by the viewer's clock
};

// The frame whose records are being handled, as the reader hands it on.
struct frame_info {
    std::uint32_t router = 0;                 // network order
    char router_text[ipv4_text_max + 1] = "";  // dotted, for the listings
    // What each of its records' bytes and packets count for in top-mode
    // sums: the datagram's sampling interval with -S, else 1.
    double scale = 1;
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
    flow_context ctx{&config, &filter, &stats, &names, &terminal, &clock, &live, &exporters};

    viewer_records() = default;
    viewer_records(const viewer_records&) = delete;
    viewer_records& operator=(const viewer_records&) = delete;
};
