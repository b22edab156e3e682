// The viewer's three records and the context that every routine is handed.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>

struct interval_stats;  // intervals.h

// Display modes.
constexpr int mode_top = 1;
constexpr int mode_dump = 2;
constexpr int mode_shortdump = 3;
constexpr int mode_colondump = 4;

// Report types of top mode; 0 means none chosen.
constexpr int report_none = 0;
constexpr int report_as = 1;
constexpr int report_proto = 2;
constexpr int report_tcpport = 3;
constexpr int report_udpport = 4;

constexpr int server_text_size = 100;

struct viewer_config {
    char server[server_text_size + 1] = "127.0.0.1";
    int port = 4444;
    int mode = mode_dump;
    int report_type = report_none;
    int zero_as = 0;
    int flow_limit = 0;
    int interval = 60;  // minutes
    int lines = 24;
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
    std::time_t last_time = 0;
    double records = 0;
    double packets = 0;
    double max_bytes = 0;
    double max_packets = 0;
};

struct flow_context {
    viewer_config* config;
    flow_filter* filter;
    flow_stats* stats;
};
