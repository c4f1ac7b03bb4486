// bench_collect: what the console costs on its real path. A pellumar built in this tree runs in
// a scratch prefix against the node-opcua test server (10,000 variables, 10 % of them changing
// each second) and the PostgreSQL of the libpq environment (a scratch database of its own),
// collecting every tag each second in reads of 1,000. After a warm-up it is watched for a
// window: its CPU time per stored sample, its peak resident memory, the rows it stored against
// window seconds x tags, and the server's CPU time meanwhile. Then, against the same server and
// not at the same time, a small Node.js collector (peer.js: node-opcua-client and pg) does the
// same job and is watched the same way, so that the ratio of the two costs is taken in one run
// on one machine, whatever else loads it.
//
// BENCH_COLLECT_SECONDS sets the window (default 60), BENCH_COLLECT_WARMUP the warm-up before
// it (default 15). Figures that miss their target are printed as such; the exit status is 1
// only when the run itself failed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "child_process.h"
#include "console_prefix.h"
#include "npm_packages.h"
#include "opcua_test_server.h"
#include "pg_session.h"
#include "process_stats.h"

#ifndef BENCH_COLLECT_PEER_DIR
#define BENCH_COLLECT_PEER_DIR ""
#endif

namespace {

namespace fs = std::filesystem;
using vantrel::bench::ChildProcess;
using vantrel::bench::sleep_unless_stopped;
using vantrel::test::PgSession;

constexpr int kTags = 10'000;
constexpr int kChangingPercent = 10;
constexpr int kBatch = 1'000;
constexpr double kInterval = 1.0;  // seconds
// What the console must reach.
constexpr double kTargetUsPerSample = 0.45;
constexpr double kTargetPeakRssMiB = 22.0;
constexpr double kTargetRatio = 12.0;  // at least this many times less CPU per sample than the peer
constexpr auto kStartTimeout = std::chrono::seconds(120);
constexpr const char* kPeerTable = "bench_peer.tsdata";

int env_seconds(const char* name, int fallback) {
    const char* v = std::getenv(name);
    const int n = v != nullptr ? std::atoi(v) : 0;
    return n > 0 ? n : fallback;
}

// VANTREL_BENCH_WRAPPER puts a command before the console (a profiler such as
// "heaptrack -o /tmp/console" or "perf record -g -o /tmp/console.data"), to see where a figure
// comes from; the figures of such a run measure the profiler too.
std::vector<std::string> wrapped(std::vector<std::string> argv) {
    const char* wrapper = std::getenv("VANTREL_BENCH_WRAPPER");
    if (wrapper == nullptr) {
        return argv;
    }
    std::vector<std::string> words;
    std::string word;
    for (const char* c = wrapper;; ++c) {
        if (*c == ' ' || *c == '\0') {
            if (!word.empty()) {
                words.push_back(std::move(word));
                word.clear();
            }
            if (*c == '\0') {
                break;
            }
        } else {
            word += *c;
        }
    }
    words.insert(words.end(), argv.begin(), argv.end());
    return words;
}

fs::path peer_dir() {
    const char* given = std::getenv("VANTREL_BENCH_PEER_DIR");
    return given != nullptr && *given != '\0' ? fs::path(given) : fs::path(BENCH_COLLECT_PEER_DIR);
}

struct Window {
    double cpu_s = 0;         // the collector's CPU time in the window
    double server_cpu_s = 0;  // the OPC UA server's
    double seconds = 0;       // the window by the database's clock
    long long rows = 0;       // rows the collector stored with a time inside the window
    double peak_rss_mib = 0;  // the collector's peak resident memory since it started

    double expected() const { return seconds * kTags / kInterval; }
    double us_per_sample() const { return rows > 0 ? cpu_s * 1e6 / rows : 0.0; }
};

double seconds_of(std::chrono::nanoseconds t) {
    return std::chrono::duration<double>(t).count();
}

// Watches `collector` for the window after its warm-up. Rows are counted by their time, after
// the collector had a few intervals to write the window's last cycles.
Window watch(ChildProcess& collector, const vantrel::test::OpcUaTestServer& server, PgSession& db,
             const std::string& table, int warmup_s, int window_s) {
    sleep_unless_stopped(std::chrono::seconds(warmup_s));
    if (!collector.running()) {
        throw std::runtime_error("it ended during the warm-up; its output:\n" + collector.output());
    }
    const std::string t0 = db.scalar("SELECT clock_timestamp()");
    const auto cpu0 = vantrel::test::process_cpu_time(collector.pid());
    const auto server0 = server.cpu_time();
    sleep_unless_stopped(std::chrono::seconds(window_s));
    const auto cpu1 = vantrel::test::process_cpu_time(collector.pid());
    const auto server1 = server.cpu_time();
    const std::string t1 = db.scalar("SELECT clock_timestamp()");
    Window w;
    w.peak_rss_mib =
        static_cast<double>(vantrel::test::process_peak_rss(collector.pid())) / (1024.0 * 1024.0);
    if (!collector.running()) {
        throw std::runtime_error("it ended during the window; its output:\n" + collector.output());
    }
    w.cpu_s = seconds_of(cpu1 - cpu0);
    w.server_cpu_s = seconds_of(server1 - server0);
    sleep_unless_stopped(std::chrono::seconds(3));
    const auto counted =
        db.rows("SELECT count(*), extract(epoch FROM $2::timestamptz - $1::timestamptz) FROM " +
                    table + " WHERE time >= $1::timestamptz AND time < $2::timestamptz",
                {t0, t1});
    w.rows = std::stoll(counted.at(0).at(0));
    w.seconds = std::stod(counted.at(0).at(1));
    if (w.rows == 0) {
        throw std::runtime_error("no rows stored in the window; its output:\n" +
                                 collector.output());
    }
    return w;
}

const char* verdict(bool met) {
    return met ? "met" : "NOT met";
}

int run() {
    const fs::path pellumar = vantrel::bench::console_program("bench_collect");
    if (pellumar.empty()) {
        return 1;
    }
    const fs::path peer = peer_dir();
    if (!fs::exists(peer / "peer.js")) {
        std::fprintf(stderr,
                     "bench_collect: no peer.js in '%s'; name the bench/collect folder of a source "
                     "tree with VANTREL_BENCH_PEER_DIR\n",
                     peer.c_str());
        return 1;
    }
    const int window_s = env_seconds("BENCH_COLLECT_SECONDS", 60);
    const int warmup_s = env_seconds("BENCH_COLLECT_WARMUP", 15);
    vantrel::test::OpcUaTestServer::install();
    vantrel::test::install_npm_packages(peer, "pg", "the benchmark's peer");
    vantrel::test::install_npm_packages(peer, "node-opcua-client", "the benchmark's peer");

    vantrel::test::ScratchDatabase scratch("bench_collect");
    vantrel::test::OpcUaTestServer server(
        {.extra_nodes = kTags, .changing_percent = kChangingPercent});
    server.start();
    vantrel::bench::ConsolePrefix prefix(pellumar, scratch.name(), "bench_collect");
    vantrel::bench::ConsoleSettings settings{
        .tags = {},
        .opc_schema = server.endpoint(),
        .opc_type = "OPC UA",
        .collection_interval = kInterval,
        .batch_size = kBatch,
        .buffer_dir = "",
    };
    for (int k = 0; k < kTags; ++k) {
        settings.tags.push_back(std::to_string(vantrel::test::OpcUaTestServer::kNamespace) +
                                ":Bulk." + std::to_string(k));
    }
    prefix.lay_out(settings);
    PgSession db(scratch.name());

    Window console;
    {
        ChildProcess process(wrapped({prefix.program().string()}), prefix.root(),
                             prefix.root() / "console.out");
        if (!process.wait_for_output("Data collection started successfully", kStartTimeout)) {
            throw std::runtime_error("the console did not start collecting; its output:\n" +
                                     process.output());
        }
        try {
            console = watch(process, server, db, "chronq.tsdata", warmup_s, window_s);
        } catch (const std::runtime_error& e) {
            throw std::runtime_error(std::string("the console: ") + e.what());
        }
        if (const int status = process.stop(); status != 0) {
            std::fprintf(stderr, "bench_collect: the console exited with status %d\n", status);
        }
    }

    // The peer's table has the console's shape, indexes included, and takes the same tag ids.
    db.exec("CREATE SCHEMA bench_peer");
    db.exec(std::string("CREATE TABLE ") + kPeerTable + " (LIKE chronq.tsdata INCLUDING ALL)");
    Window other;
    {
        ChildProcess process({"node", (peer / "peer.js").string(), "--endpoint", server.endpoint(),
                              "--table", kPeerTable, "--tags", std::to_string(kTags), "--namespace",
                              std::to_string(vantrel::test::OpcUaTestServer::kNamespace),
                              "--prefix", "Bulk.", "--batch", std::to_string(kBatch),
                              "--interval-ms", std::to_string(static_cast<int>(kInterval * 1000))},
                             peer, prefix.root() / "peer.out", {"PGDATABASE=" + scratch.name()});
        if (!process.wait_for_output("PEER READY", kStartTimeout)) {
            throw std::runtime_error("the peer did not start; its output:\n" + process.output());
        }
        try {
            other = watch(process, server, db, kPeerTable, warmup_s, window_s);
        } catch (const std::runtime_error& e) {
            throw std::runtime_error(std::string("the peer: ") + e.what());
        }
        process.stop();
    }

    const double console_us = console.us_per_sample();
    const double peer_us = other.us_per_sample();
    const double ratio = console_us > 0 ? peer_us / console_us : 0.0;
    std::printf(
        "%d OPC UA tags of the test server (%d %% changing each second), collection_interval "
        "%.0f s, reads of %d; warm-up %d s, window %d s each, console then peer\n",
        kTags, kChangingPercent, kInterval, kBatch, warmup_s, window_s);
    std::printf("console_us_per_sample: %.3f (target <= %.2f: %s)\n", console_us,
                kTargetUsPerSample, verdict(console_us <= kTargetUsPerSample));
    std::printf("console_peak_rss_mib: %.1f (target <= %.0f: %s)\n", console.peak_rss_mib,
                kTargetPeakRssMiB, verdict(console.peak_rss_mib <= kTargetPeakRssMiB));
    std::printf("console_rows_stored_share: %.4f (%lld rows of %.0f expected)\n",
                console.rows / console.expected(), console.rows, console.expected());
    std::printf("console_cpu_s: %.2f\n", console.cpu_s);
    std::printf("server_cpu_s_console: %.2f\n", console.server_cpu_s);
    std::printf("peer_us_per_sample: %.3f\n", peer_us);
    std::printf("peer_peak_rss_mib: %.1f\n", other.peak_rss_mib);
    std::printf("peer_rows_stored_share: %.4f (%lld rows of %.0f expected)\n",
                other.rows / other.expected(), other.rows, other.expected());
    std::printf("peer_cpu_s: %.2f\n", other.cpu_s);
    std::printf("server_cpu_s_peer: %.2f\n", other.server_cpu_s);
    std::printf("ratio_peer_to_console: %.2f (target >= %.0f: %s)\n", ratio, kTargetRatio,
                verdict(ratio >= kTargetRatio));
    return 0;
}

}  // namespace

int main() {
    if (!vantrel::test::pg_environment_given("bench_collect")) {
        return 1;
    }
    vantrel::bench::catch_stop_signals();
    try {
        return run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_collect: %s\n", e.what());
        return 1;
    }
}
