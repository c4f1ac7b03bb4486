// bench_engine_cycle: one collection cycle of 10,000 tags in batches of 200, from the built-in
// DA simulation into PostgreSQL (a scratch database on the server of the libpq environment).
// Prints the cycle split into library read, the engine's own work (requests, samples, queueing,
// screening, rows) and the database write; the engine's cost per sample, also measured with an
// instant library and client, with the engine's figures kept and without; the cycle's share of
// a 1-second interval; the time the metrics endpoint takes to answer; and peak memory.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include <korrin/cycle_queue.h>
#include <korrin/metrics.h>
#include <korrin/metrics_server.h>
#include <korrin/opc_collector.h>
#include <korrin/tsdb_client.h>

#include "pg_session.h"
#include "timed_adapters.h"

namespace {

using namespace vantrel::korrin;
using Clock = std::chrono::steady_clock;

constexpr int kTags = 10'000;
constexpr int kBatch = 200;
constexpr int kCycles = 20;
const std::string kSchema = "opc.da://localhost/Vantrel.Simulation.1";

double ms(bench::Nanos n) {
    return std::chrono::duration<double, std::milli>(n).count();
}

std::vector<std::string> bulk_tags() {
    std::vector<std::string> tags;
    tags.reserve(kTags);
    for (int i = 0; i < kTags; ++i) {
        tags.push_back("Demo.Bulk." + std::to_string(i));
    }
    return tags;
}

void register_tags(const TsdbConfig& cfg, const std::vector<std::string>& tags) {
    auto client = default_tsdb_client();
    auto conn = client->get_conn(cfg);
    for (const auto& tag : tags) {
        auto r = client->insert_new_tag(*conn, TagInfo{.tag_name = tag, .source_tagname = tag});
        if (!r.ok) {
            throw std::runtime_error("cannot register " + tag + ": " + r.message);
        }
    }
    conn->close();
}

struct Split {
    double total_ms = 0, read_ms = 0, db_ms = 0;
    double total_cpu_ms = 0, read_cpu_ms = 0, db_cpu_ms = 0;
    double engine_ms() const { return total_ms - read_ms - db_ms; }
    double engine_cpu_ms() const { return total_cpu_ms - read_cpu_ms - db_cpu_ms; }
};

// Runs warm-up cycles (tag ids looked up), then kCycles measured ones; the median cycle.
Split run_cycles(OpcLibraryFactory factory, std::shared_ptr<TsdbClient> client,
                 const TsdbConfig& cfg, bench::Stopwatches& watches,
                 std::shared_ptr<EngineMetrics> metrics = nullptr) {
    const std::vector<std::string> tags = bulk_tags();
    const auto deque = std::make_shared<CycleQueue>();
    std::int64_t written = 0;
    OPCCollector collector({.opc_schema = kSchema,
                            .get_tags_func = [&tags] { return tags; },
                            .data_deque = deque,
                            .tsdb_cfg = cfg,
                            .sample_interval = 1.0,
                            .batch_size = kBatch,
                            .db_status_notify = [&](bool, std::int64_t n) { written += n; },
                            .opc_library_factory = std::move(factory),
                            .tsdb_client = std::move(client),
                            .metrics = std::move(metrics)});
    collector.connect_source();
    for (int i = 0; i < 2; ++i) {
        collector.collection_step();
    }
    std::vector<Split> splits;
    for (int i = 0; i < kCycles; ++i) {
        deque->clear();  // the front end's drain, outside the measurement
        watches.reset();
        written = 0;
        const auto start = Clock::now();
        const auto cpu_start = bench::thread_cpu_now();
        collector.collection_step();
        const auto total = Clock::now() - start;
        const auto total_cpu = bench::thread_cpu_now() - cpu_start;
        if (written != kTags) {
            throw std::runtime_error("cycle wrote " + std::to_string(written) + " rows, not " +
                                     std::to_string(kTags));
        }
        splits.push_back({ms(std::chrono::duration_cast<bench::Nanos>(total)), ms(watches.read),
                          ms(watches.db), ms(total_cpu), ms(watches.read_cpu), ms(watches.db_cpu)});
    }
    collector.disconnect_source();
    collector.stop();
    std::sort(splits.begin(), splits.end(),
              [](const Split& a, const Split& b) { return a.total_ms < b.total_ms; });
    return splits[splits.size() / 2];
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The engine alone (instant library and client), its CPU per sample with the figures kept
// against without, in alternating rounds so that a busy machine weighs on both alike.
struct MetricsCost {
    double off_us = 0, on_us = 0;
};
MetricsCost metrics_cost(const TsdbConfig& cfg, const std::shared_ptr<EngineMetrics>& metrics) {
    std::vector<double> off, on;
    for (int round = 0; round < 7; ++round) {
        bench::Stopwatches none;
        off.push_back(
            run_cycles(bench::null_factory(), bench::null_client(), cfg, none).total_cpu_ms *
            1000.0 / kTags);
        on.push_back(run_cycles(bench::null_factory(), bench::null_client(), cfg, none, metrics)
                         .total_cpu_ms *
                     1000.0 / kTags);
    }
    return {median(off), median(on)};
}

// One GET of `path` on 127.0.0.1:port, to the end of the answer; its bytes.
std::size_t http_get(std::uint16_t port, const char* path) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        throw std::runtime_error("cannot connect to the metrics endpoint");
    }
    const std::string request =
        std::string("GET ") + path + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        ::close(fd);
        throw std::runtime_error("cannot send to the metrics endpoint");
    }
    std::size_t bytes = 0;
    char buf[8192];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) {
        bytes += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return bytes;
}

// Round trips of GET /metrics, over figures a 10,000-tag collector has kept.
struct Scrape {
    double median_ms = 0, p99_ms = 0;
    std::size_t bytes = 0;
};
Scrape scrape_time(const std::shared_ptr<EngineMetrics>& metrics) {
    MetricsServer server({.host = "127.0.0.1", .port = 0}, metrics);
    std::vector<double> times;
    std::size_t bytes = 0;
    for (int i = 0; i < 200; ++i) {
        const auto start = Clock::now();
        bytes = http_get(server.port(), "/metrics");
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], times[times.size() * 99 / 100], bytes};
}

}  // namespace

int main() {
    try {
        const vantrel::test::ScratchDatabase db("bench_engine_cycle");
        const auto cfg = db.settings<TsdbConfig>();
        register_tags(cfg, bulk_tags());

        bench::Stopwatches watches;
        const Split real =
            run_cycles(bench::timed_factory(default_opc_library_factory(), watches),
                       bench::timed_client(default_tsdb_client(), watches), cfg, watches);
        bench::Stopwatches none;
        const Split alone = run_cycles(bench::null_factory(), bench::null_client(), cfg, none);
        const auto metrics = std::make_shared<EngineMetrics>();
        const MetricsCost cost = metrics_cost(cfg, metrics);
        const double cost_ratio = cost.on_us / cost.off_us;
        const Scrape scrape = scrape_time(metrics);
        const double per_sample_us = real.engine_cpu_ms() * 1000.0 / kTags;
        const double wall_per_sample_us = real.engine_ms() * 1000.0 / kTags;
        const double alone_us = alone.total_ms * 1000.0 / kTags;
        const double share = real.total_ms / 1000.0 * 100.0;
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);

        std::printf("tags %d, batch %d, median of %d cycles (DA simulation -> PostgreSQL)\n", kTags,
                    kBatch, kCycles);
        std::printf("                         wall ms    thread CPU ms\n");
        std::printf("cycle total            %9.2f %12.2f\n", real.total_ms, real.total_cpu_ms);
        std::printf("  library read         %9.2f %12.2f\n", real.read_ms, real.read_cpu_ms);
        std::printf("  samples and queueing %9.2f %12.2f  (the engine's own work)\n",
                    real.engine_ms(), real.engine_cpu_ms());
        std::printf("  database write       %9.2f %12.2f\n", real.db_ms, real.db_cpu_ms);
        std::printf("engine per sample      %9.3f us CPU (target <= 1 us) %s; %.3f us wall\n",
                    per_sample_us, per_sample_us <= 1.0 ? "ok" : "OVER", wall_per_sample_us);
        std::printf("engine alone per sample%9.3f us wall (instant library and client)\n",
                    alone_us);
        std::printf(
            "engine CPU per sample  %9.3f us without figures, %.3f us with them: "
            "ratio %.3f (target <= 1.05) %s\n",
            cost.off_us, cost.on_us, cost_ratio, cost_ratio <= 1.05 ? "ok" : "OVER");
        std::printf("GET /metrics           %9.3f ms median, %.3f ms p99 (%zu bytes, %d tags)\n",
                    scrape.median_ms, scrape.p99_ms, scrape.bytes, kTags);
        std::printf("cycle share of 1 s     %9.1f %% (target <= 20 %%) %s\n", share,
                    share <= 20.0 ? "ok" : "OVER");
        std::printf("peak resident memory   %9.1f MiB\n", usage.ru_maxrss / 1024.0);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_engine_cycle: %s\n", e.what());
        return 1;
    }
}
