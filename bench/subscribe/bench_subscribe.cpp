// bench_subscribe: 10,000 tags of which 10 % change each second, collected for a while by the
// batched read and then by subscription (sampling interval 0) from the node-opcua test server,
// in one run. Prints the server's CPU in subscribe as a ratio to read, this client's CPU per
// reported change, the rows store = changes would write as a share of read's (with the changes
// counted against those the server made), and how long 100,000 items take to become live on one
// session, with this process's memory then.
//
// The yardstick for client CPU is a node-opcua client holding the same subscription and
// counting its changes (tests/opcua-server/subscribe_client.js). It reads nothing, so it is set
// against this client doing the same: holding the subscription and taking the changes each
// second. The cost with every tag also read each second, as a collector does, is printed beside.
//
//   bench_subscribe [SECONDS] [ITEMS]   (defaults 20 and 100000; BENCH_SUBSCRIBE_SECONDS and
//                                        BENCH_SUBSCRIBE_ITEMS in the environment do the same)

#include <array>
#include <memory>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "opcua_test_server.h"
#include "process_stats.h"
#include "qevsdk/qevsdk.h"
#include "qevsdk/ua_subscription.h"

namespace {

using namespace qevsdk;
using Clock = std::chrono::steady_clock;
using vantrel::test::OpcUaTestServer;
using vantrel::test::own_cpu_time;

constexpr int kTags = 10'000;
constexpr int kChangingPercent = 10;
constexpr int kBatch = 200;
constexpr double kServerTarget = 0.35;
constexpr double kRowsTarget = 0.12;
constexpr double kLiveSecondsTarget = 60;
constexpr double kMemoryTargetMb = 150;
constexpr double kNodeClientTarget = 0.1;

double resident_mb() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            double kb = 0;
            status >> kb;
            return kb / 1024;
        }
        std::getline(status, key);
    }
    return 0;
}

int setting(int argc, char** argv, int at, const char* env, int fallback) {
    if (argc > at) {
        return std::atoi(argv[at]);
    }
    const char* v = std::getenv(env);
    return v && *v ? std::atoi(v) : fallback;
}

std::vector<TagRequest> bulk(int n) {
    std::vector<TagRequest> out;
    for (int k = 0; k < n; ++k) {
        out.push_back(
            {QEV_DATATYPE_REAL, OpcUaTestServer::kNamespace, "Bulk." + std::to_string(k)});
    }
    return out;
}

struct Phase {
    double server_cpu_s = 0;
    double client_cpu_s = 0;
    long long cycles = 0;
    long long changes = 0;
};

enum class Work {
    read,       // every second all tags, in batches, by Read
    subscribe,  // the same from the subscription, and the changes taken
    hold,       // only the changes taken each second, as the node-opcua client does
};

// One collector's worth of work for `seconds`.
Phase collect(const OpcUaTestServer& server, Work work, int seconds) {
    const bool subscribe = work != Work::read;
    QevLibrary lib;
    const auto source = lib.create_source(QEV_RTSOURCE_UA, server.endpoint(), 1000, subscribe);
    if (source == QEV_INVALID_HANDLE) {
        std::fprintf(stderr, "bench_subscribe: cannot connect: %s\n", lib.last_error().c_str());
        std::exit(1);
    }
    // The batches made once, as a collector makes them when it loads its tag list.
    const auto tags = bulk(kTags);
    std::vector<std::vector<TagRequest>> batches;
    for (std::size_t at = 0; at < tags.size(); at += kBatch) {
        batches.emplace_back(tags.begin() + at, tags.begin() + std::min(tags.size(), at + kBatch));
    }
    const auto read_all = [&] {
        for (const auto& batch : batches) {
            (void)lib.read_values(source, batch);
        }
    };
    read_all();  // items made and first values in, before the clock runs
    (void)lib.read_changes(source);
    Phase p;
    const auto server0 = server.cpu_time();
    const auto client0 = own_cpu_time();
    auto next = Clock::now();
    for (int i = 0; i < seconds; ++i) {
        next += std::chrono::seconds(1);
        if (work != Work::hold) {
            read_all();
        }
        p.changes += static_cast<long long>(lib.read_changes(source).size());
        ++p.cycles;
        std::this_thread::sleep_until(next);
    }
    p.server_cpu_s = std::chrono::duration<double>(server.cpu_time() - server0).count();
    p.client_cpu_s = std::chrono::duration<double>(own_cpu_time() - client0).count();
    lib.destroy();
    return p;
}

struct NodeClient {
    double cpu_s = 0;
    long long changes = 0;
};

// The node-opcua client's figures, or nothing (with the reason on stderr) when it cannot run.
std::optional<NodeClient> node_client(const OpcUaTestServer& server, int seconds) {
    const auto script = OpcUaTestServer::server_dir() / "subscribe_client.js";
    const std::string command = "node --expose-gc '" + script.string() + "' " + server.endpoint() +
                                " " + std::to_string(kTags) + " " + std::to_string(seconds) +
                                " 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> out(popen(command.c_str(), "r"), pclose);
    if (!out) {
        std::fprintf(stderr, "bench_subscribe: cannot run %s\n", command.c_str());
        return std::nullopt;
    }
    std::array<char, 512> line{};
    NodeClient c;
    bool found = false;
    while (std::fgets(line.data(), line.size(), out.get()) != nullptr) {
        found = found || std::sscanf(line.data(), "{\"cpu_s\":%lf,\"changes\":%lld}", &c.cpu_s,
                                     &c.changes) == 2;
    }
    if (!found || c.changes == 0) {
        std::fprintf(stderr, "bench_subscribe: the node-opcua client gave no figures\n");
        return std::nullopt;
    }
    return c;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = setting(argc, argv, 1, "BENCH_SUBSCRIBE_SECONDS", 20);
    const int items = setting(argc, argv, 2, "BENCH_SUBSCRIBE_ITEMS", 100'000);
    try {
        OpcUaTestServer::install();
        set_ua_subscription(UaSubscription{.sampling_interval_ms = 0, .keep_changes = true});
        OpcUaTestServer server({.extra_nodes = kTags, .changing_percent = kChangingPercent});
        server.start();
        const Phase read = collect(server, Work::read, seconds);
        // The node-opcua client before ours: run on the server right after this client's
        // subscriptions were deleted, it measured ten times its cost on a fresh server, which
        // would flatter this client tenfold.
        const auto node = node_client(server, seconds);
        const Phase sub = collect(server, Work::subscribe, seconds);
        const Phase hold = collect(server, Work::hold, seconds);
        server.stop();

        const double expected_changes = kTags * kChangingPercent / 100.0 * seconds;
        const double read_rows = static_cast<double>(read.cycles) * kTags;
        const double server_ratio = sub.server_cpu_s / read.server_cpu_s;
        const double rows_ratio = static_cast<double>(sub.changes) / read_rows;
        std::printf("Subscriptions: %d tags, %d %% changing each second, %d s each way\n", kTags,
                    kChangingPercent, seconds);
        std::printf("  server CPU read            %.2f s\n", read.server_cpu_s);
        std::printf("  server CPU subscribe       %.2f s (sampling interval 0)\n",
                    sub.server_cpu_s);
        std::printf("  subscribe / read           %.3f (target <= %.2f: %s)\n", server_ratio,
                    kServerTarget, server_ratio <= kServerTarget ? "met" : "NOT met");
        const auto per_change = [](const Phase& p) {
            return p.changes ? p.client_cpu_s * 1e6 / static_cast<double>(p.changes) : 0.0;
        };
        std::printf(
            "  client CPU per change      %.2f us (%lld changes; every tag read each second)\n",
            per_change(sub), sub.changes);
        std::printf(
            "  client CPU per change      %.2f us (%lld changes; changes taken each second)\n",
            per_change(hold), hold.changes);
        if (node) {
            const double node_per_change = node->cpu_s * 1e6 / static_cast<double>(node->changes);
            const double node_ratio = per_change(hold) / node_per_change;
            std::printf("  node-opcua client          %.2f us per change (%lld changes)\n",
                        node_per_change, node->changes);
            std::printf("  this client / node-opcua   %.3f (the same job; target <= %.2f: %s)\n",
                        node_ratio, kNodeClientTarget,
                        node_ratio <= kNodeClientTarget ? "met" : "NOT met");
        } else {
            std::printf("  this client / node-opcua   not measured\n");
        }
        std::printf("  changes rows / read rows   %.3f (target <= %.2f: %s)\n", rows_ratio,
                    kRowsTarget, rows_ratio <= kRowsTarget ? "met" : "NOT met");
        std::printf("  changes seen / made        %lld / %.0f\n", sub.changes, expected_changes);

        // 100,000 items on one session.
        OpcUaTestServer big({.extra_nodes = items, .start_timeout = std::chrono::minutes(5)});
        big.start();
        set_ua_subscription(UaSubscription{});
        QevLibrary lib;
        const auto t0 = Clock::now();
        const auto source = lib.create_source(QEV_RTSOURCE_UA, big.endpoint(), 1000, 1);
        const auto all = bulk(items);
        (void)lib.read_values(source, all);
        const double live_s = std::chrono::duration<double>(Clock::now() - t0).count();
        const std::size_t live = lib.live_items(source).value_or(0);
        const double mb = resident_mb();
        std::printf("  %d items live in          %.1f s (%zu live; target < %.0f s: %s)\n", items,
                    live_s, live, kLiveSecondsTarget,
                    live == static_cast<std::size_t>(items) && live_s < kLiveSecondsTarget
                        ? "met"
                        : "NOT met");
        std::printf("  collector memory then     %.0f MB (target < %.0f MB: %s)\n", mb,
                    kMemoryTargetMb, mb < kMemoryTargetMb ? "met" : "NOT met");
        lib.destroy();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_subscribe: %s\n", e.what());
        return 1;
    }
    return 0;
}
