// bench_backlog_replay: how fast a backlog of 1,000,000 buffered samples (1,000 tags, 1,000
// cycles) is written back to the TSDB while the collector keeps collecting 1,000 tags at 1 s.
// The collector runs its write path on this thread, one cycle per second; the figures are the
// backlog's rows per second of wall time until it is gone, and the longest cycle (which must
// stay below the interval for collection to keep its pace). The server comes from the libpq
// environment; the benchmark works in a scratch database of its own that it drops again.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "korrin/cycle_queue.h"
#include "korrin/opc_collector.h"
#include "korrin/sample_buffer.h"
#include "korrin/tsdb_client.h"
#include "pg_session.h"

namespace {

using namespace vantrel::korrin;
using Clock = std::chrono::steady_clock;

constexpr int kTags = 1000;
constexpr int kBacklogCycles = 1000;

std::string tag_name(int i) {
    return "2:Plant.Area" + std::to_string(i / 100) + ".Tag" + std::to_string(i);
}

}  // namespace

int main() {
    if (!vantrel::test::pg_environment_given("bench_backlog_replay")) {
        return 1;
    }
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("bench-backlog-" + std::to_string(getpid()));
    int status = 0;
    try {
        const vantrel::test::ScratchDatabase scratch("bench_backlog");
        const auto cfg = scratch.settings<TsdbConfig>();
        auto client = default_tsdb_client();
        {
            auto conn = client->get_conn(cfg);
            std::vector<TagInfo> tags;
            for (int i = 0; i < kTags; ++i) {
                tags.push_back({.tag_name = tag_name(i), .source_tagname = tag_name(i)});
            }
            client->insert_new_tags(*conn, tags);
        }
        // The backlog an outage of 1,000 s leaves behind.
        const TimePoint start = std::chrono::system_clock::now() - std::chrono::hours(1);
        {
            SampleBuffer buffer(dir, 1024ull << 20);
            std::vector<BufferedRow> rows(kTags);
            for (int c = 0; c < kBacklogCycles; ++c) {
                for (int i = 0; i < kTags; ++i) {
                    rows[i] = {tag_name(i), Value(double(c + i)), "Good",
                               start + std::chrono::seconds(c)};
                }
                buffer.append(rows);
            }
        }

        const auto deque = std::make_shared<CycleQueue>();
        auto collector = std::make_unique<OPCCollector>(OPCCollector::Options{
            .opc_schema = "opc.da://localhost/Vantrel.Simulation.1",
            .get_tags_func = [] { return std::vector<std::string>{}; },
            .data_deque = deque,
            .tsdb_cfg = cfg,
            .sample_interval = 1.0,
            .tsdb_client = client,
            .buffer_dir = dir,
        });
        const std::uint64_t backlog = collector->buffered_sample_count();
        CycleResults cycle(kTags);
        double longest = 0;
        int cycles = 0;
        const auto began = Clock::now();
        auto next = began;
        while (collector->buffered_sample_count() > 0 && cycles < 600) {
            std::this_thread::sleep_until(next);
            const auto read_at = std::chrono::system_clock::now();
            for (int i = 0; i < kTags; ++i) {
                cycle[i] = Sample{tag_name(i), Value(double(i)), "Good", std::nullopt};
                cycle[i].read_time = read_at;
            }
            const auto t0 = Clock::now();
            collector->handle_data(cycle);
            longest = std::max(longest, std::chrono::duration<double>(Clock::now() - t0).count());
            deque->clear();
            ++cycles;
            next += std::chrono::seconds(1);
        }
        const double wall = std::chrono::duration<double>(Clock::now() - began).count();
        collector->stop();
        std::printf("backlog_rows: %llu\n", static_cast<unsigned long long>(backlog));
        std::printf("backlog_rows_per_s: %.0f\n", static_cast<double>(backlog) / wall);
        std::printf("backlog_cycles_to_drain: %d\n", cycles);
        std::printf("backlog_longest_cycle_s: %.3f\n", longest);
        if (collector->buffered_sample_count() > 0) {
            throw std::runtime_error("the backlog was not written within 600 cycles");
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_backlog_replay: %s\n", e.what());
        status = 1;
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return status;
}
