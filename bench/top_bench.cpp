// Top mode: accumulating records (32-bit AS numbers among them), the
// per-packet rollover check, a rollover, rendering reports of 24 and 200
// lines, and live refreshes of 24 and 200 lines and of a 30,000,000-line
// report fitted to a window of 80 by 24.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "tools/nf5_synth.h"
#include "viewer/clock.h"
#include "viewer/decode_v5.h"
#include "viewer/intervals.h"
#include "viewer/live_view.h"
#include "viewer/report.h"
#include "viewer/viewer.h"

namespace {

std::time_t bench_now = 1773140400;  // Tue Mar 10 11:00:00 2026 UTC
std::time_t bench_clock() { return bench_now; }

struct top_viewer : viewer_records {
    top_viewer()
    {
        config.mode = display_mode::top;
        config.report_type = report_kind::as;
        clock.now = bench_clock;
        open_current_interval(ctx);
    }
};

std::vector<flow_record> synth_records(std::size_t n)
{
    nf5_synth s = nf5_synth_seed(42);
    std::vector<flow_record> records;
    records.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        records.push_back(nf5_flow(nf5_synth_record(s, 3600000)));
    return records;
}

// Reports go to /dev/null while a benchmark runs; the benchmark's own lines
// are printed after it has put standard output back.
struct quiet_stdout {
    int saved;
    quiet_stdout()
    {
        std::fflush(stdout);
        saved = dup(1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
    }
    ~quiet_stdout() {
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
    }
};

// Arg 0: every flow inbound; 1: -n 1, so most go nowhere and some both
// ways. Second arg 1: the AS numbers of every other flow made 32-bit ones,
// from 40,000 of them, as a v9 or IPFIX exporter of today sends them.
void BM_accumulate(benchmark::State& state)
{
    top_viewer v;
    v.filter.ifindex = static_cast<int>(state.range(0));
    auto records = synth_records(1 << 16);
    if (state.range(1))
        for (std::size_t i = 0; i < records.size(); i += 2) {
            records[i].src_as = 4200000000u + records[i].src_as % 20000;
            records[i].dst_as = 131072 + records[i].dst_as % 20000;
        }
    for (auto _ : state) {
        for (const auto& rec : records)
            accumulate(rec, v.ctx);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(records.size()));
}
BENCHMARK(BM_accumulate)->Args({0, 0})->Args({1, 0})->Args({0, 1});

// The check of a packet that closes nothing; a 30-record packet pays it
// once. Arg 1 moves the clock a second at every packet (localtime every
// time), Arg 0 keeps it within one second as busy traffic does.
void BM_rollover_check_no_boundary(benchmark::State& state)
{
    top_viewer v;
    const std::time_t base = 1773140400 + 30 * 60;  // 11:30, no boundary for -i 60
    bench_now = base;
    v.stats.last_minute = report_minute(bench_now);
    const bool new_second = state.range(0) != 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(rollover_check(v.ctx));
        if (new_second && ++bench_now == base + 25 * 60)
            bench_now = base;
    }
    state.SetItemsProcessed(state.iterations());
    if (v.stats.last_report)
        state.SkipWithError("an interval closed");
}
BENCHMARK(BM_rollover_check_no_boundary)->Arg(0)->Arg(1);

// A rollover every check (-i 1, one minute further each time), rendered with
// no rows so that the figure is the move, the free and the fresh tables.
void BM_rollover(benchmark::State& state)
{
    top_viewer v;
    v.config.interval = 1;
    v.config.lines = 0;
    v.stats.last_minute = report_minute(bench_now);
    const auto records = synth_records(1000);
    quiet_stdout quiet;
    for (auto _ : state) {
        bench_now += 60;
        if (rollover_check(v.ctx))
            render_report(v.stats.last_report.get(), v.ctx);
        state.PauseTiming();
        for (const auto& rec : records)  // touch the new tables as traffic does
            accumulate(rec, v.ctx);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_rollover);

// What a rollover is measured against: fourteen zeroed tables from calloc,
// touched by the same traffic, then freed.
void BM_calloc_fourteen_tables(benchmark::State& state)
{
    const auto records = synth_records(1000);
    for (auto _ : state) {
        double* tables[14];
        for (auto& t : tables)
            t = static_cast<double*>(std::calloc(stats_table_entries, sizeof(double)));
        state.PauseTiming();
        for (const auto& rec : records) {
            tables[rec.src_as % 4][rec.src_as] += static_cast<double>(rec.bytes);
            tables[4 + rec.prot % 10][rec.srcport] += static_cast<double>(rec.bytes);
        }
        state.ResumeTiming();
        for (auto t : tables)
            std::free(t);
    }
}
BENCHMARK(BM_calloc_fourteen_tables);

void BM_render(benchmark::State& state)
{
    setenv("TZ", "UTC", 1);
    tzset();
    top_viewer v;
    v.config.report_type = static_cast<report_kind>(state.range(0));
    v.config.lines = static_cast<int>(state.range(1));
    if (state.range(2)) {
        v.filter.router = net_address::from_v4_net(inet_addr("192.0.2.1"));
        v.filter.ifindex = 1;
    }
    for (const auto& rec : synth_records(1 << 18))
        accumulate(rec, v.ctx);
    // The accumulated tables become a closed interval of an hour.
    v.stats.last_report = std::move(v.stats.current);
    v.stats.last_report->seconds = 3600;
    v.stats.last_report->end_time = bench_now;
    quiet_stdout quiet;
    for (auto _ : state)
        render_report(v.stats.last_report.get(), v.ctx);
}
BENCHMARK(BM_render)
    ->ArgNames({"type", "lines", "two_sections"})
    ->Args({static_cast<long>(report_kind::as), 24, 0})
    ->Args({static_cast<long>(report_kind::as), 24, 1})
    ->Args({static_cast<long>(report_kind::proto), 24, 0})
    ->Args({static_cast<long>(report_kind::tcpport), 24, 0})
    ->Args({static_cast<long>(report_kind::udpport), 24, 1})
    ->Args({static_cast<long>(report_kind::as), 200, 1})
    ->Args({static_cast<long>(report_kind::tcpport), 200, 1})
    ->Args({static_cast<long>(report_kind::as), 100000, 1})
    ->Unit(benchmark::kMillisecond);

// One refresh of the live view as a terminal gets it: the running interval
// of 2^18 records over the elapsed seconds, every line cleared, the whole
// frame in one write (to /dev/null here: cut to a window only when the
// benchmark gives it one).
void BM_live_refresh(benchmark::State& state)
{
    setenv("TZ", "UTC", 1);
    tzset();
    top_viewer v;
    v.config.report_type = static_cast<report_kind>(state.range(0));
    v.config.lines = static_cast<int>(state.range(1));
    v.config.live_seconds = 1;
    if (state.range(2)) {
        v.filter.router = net_address::from_v4_net(inet_addr("192.0.2.1"));
        v.filter.ifindex = 1;
    }
    v.live.in_place = true;
    v.live.home = "\x1b[H";
    v.live.clear_line = "\x1b[K";
    v.live.clear_below = "\x1b[J";
    // Fourth arg 1: a window of 80 by 24 (standard output, /dev/null here,
    // tells no size).
    if (state.range(3)) {
        v.live.rows = 24;
        v.live.cols = 80;
    }
    v.stats.last_time = bench_now - 1800;
    for (const auto& rec : synth_records(1 << 18))
        accumulate(rec, v.ctx);
    quiet_stdout quiet;
    for (auto _ : state)
        show_live_view(v.ctx);
}
BENCHMARK(BM_live_refresh)
    ->ArgNames({"type", "lines", "two_sections", "window"})
    ->Args({static_cast<long>(report_kind::as), 24, 0, 0})
    ->Args({static_cast<long>(report_kind::tcpport), 24, 1, 0})
    ->Args({static_cast<long>(report_kind::as), 200, 0, 0})
    ->Args({static_cast<long>(report_kind::as), 200, 1, 0})
    ->Args({static_cast<long>(report_kind::tcpport), 200, 1, 0})
    ->Args({static_cast<long>(report_kind::as), 30000000, 1, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
