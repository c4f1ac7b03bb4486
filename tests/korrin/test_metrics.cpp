// The engine's figures: histogram buckets at their bounds, late cycles against the loop's
// schedule, the counts the collector, writer and buffer keep (on fakes), the exposition format
// as promtool reads it, and the health verdict.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include <korrin/metrics.h>

#include "support/rig.h"
#include "support/scratch_dir.h"

namespace korrin_test {
namespace {

TEST(Histogram, ABoundCountsInItsOwnBucketAndTheLastTakesTheRest) {
    Histogram h;
    h.observe(0.001);   // exactly the first bound
    h.observe(0.0011);  // just above it
    h.observe(30.0);    // the last bound
    h.observe(31.0);    // beyond every bound
    h.observe(-1.0);    // a clock that stepped back counts as no time
    h.observe(std::nan(""));
    const auto s = h.snapshot();
    EXPECT_EQ(s.cumulative[0], 3u);  // 0.001, -1 and NaN
    EXPECT_EQ(s.cumulative[1], 4u);
    EXPECT_EQ(s.cumulative[Histogram::kBounds.size() - 1], 5u);
    EXPECT_EQ(s.count(), 6u);
    for (std::size_t i = 1; i < s.cumulative.size(); ++i) {
        EXPECT_GE(s.cumulative[i], s.cumulative[i - 1]) << "buckets are cumulative";
    }
    EXPECT_NEAR(s.sum, 0.001 + 0.0011 + 30.0 + 31.0, 1e-6);
}

TEST(CycleSchedule, LateOnlyBeyondHalfAnIntervalAfterItsTime) {
    CycleSchedule s(1.0);
    EXPECT_FALSE(s.start(100.0));  // the first has no time it was due at
    EXPECT_FALSE(s.start(101.5));  // due 101.0: half an interval is not yet late
    EXPECT_FALSE(s.start(103.0));  // due 102.5: exactly half an interval
    EXPECT_TRUE(s.start(104.6));   // due 104.0
    EXPECT_FALSE(s.start(105.9));  // due 105.6: a little late is on time
    s.restart();
    EXPECT_FALSE(s.start(110.0));  // a back-off's wait is not lateness
    EXPECT_TRUE(s.start(111.6));
}

// The loop's cycles on the injected clock: each read takes what `seconds_per_cycle` says.
struct TimedRig {
    Rig rig;
    std::shared_ptr<EngineMetrics> metrics = std::make_shared<EngineMetrics>();
    Rig::CollectorPtr make(std::vector<double> read_seconds, int sleeps_before_stop) {
        auto o = rig.options();
        o.metrics = metrics;
        auto cycle = std::make_shared<std::size_t>(0);
        rig.tags = {"Demo.Tag0"};
        rig.opc->record_for = [this, read_seconds, cycle](const OpcTagRequest&) {
            const std::size_t n = (*cycle)++;
            rig.time.advance(n < read_seconds.size() ? read_seconds[n] : 0.0);
            return OpcValueRecord{Value(1.0), 0x01C0, std::nullopt};
        };
        auto c = rig.make(std::move(o));
        auto sleeps = std::make_shared<int>(0);
        rig.time.on_sleep = [c = c.get(), sleeps, sleeps_before_stop] {
            if (++*sleeps == sleeps_before_stop) {
                c->stop();
            }
        };
        return c;
    }
};

TEST(LateCycles, AnOverrunMakesTheNextCycleLateAndABackOffDoesNot) {
    TimedRig t;
    // The second read takes 1.7 s of a 1 s interval: the third cycle starts 0.7 s after its time.
    auto c = t.make({0.1, 1.7, 0.1, 0.1}, 4);
    c->run();
    EXPECT_EQ(t.metrics->cycles.value(), 4u);
    EXPECT_EQ(t.metrics->cycles_late.value(), 1u);
    EXPECT_EQ(t.metrics->read_seconds.snapshot().count(), 4u);
    EXPECT_GT(t.metrics->last_cycle_at.value(), 0.0);
    EXPECT_EQ(t.metrics->opc_connected.value(), 0.0) << "disconnected on the way out";

    TimedRig failing;
    failing.rig.opc->read_error = "timeout";
    auto f = failing.make({}, 8);
    f->run();
    EXPECT_GE(failing.metrics->cycles.value(), 3u);
    EXPECT_EQ(failing.metrics->cycles_late.value(), 0u) << "5-second back-offs are not late";
}

TEST(EngineCounts, QualitiesStoredRowsAndUnregisteredTags) {
    Rig rig;
    auto metrics = std::make_shared<EngineMetrics>();
    rig.tags = {"A", "B", "C", "D"};
    rig.db->add_tag("A", 1);
    rig.db->add_tag("B", 2);
    rig.db->add_tag("C", 3);
    rig.opc->record_for = [](const OpcTagRequest& r) {
        const int quality = r.tag_name == "B" ? 0x0300 : r.tag_name == "C" ? 0x0200 : 0x01C0;
        return OpcValueRecord{Value(1.0), quality, std::nullopt};
    };
    auto o = rig.options();
    o.metrics = metrics;
    auto c = rig.make(std::move(o));
    c->collection_step();
    c->collection_step();

    EXPECT_EQ(metrics->cycles.value(), 2u);
    EXPECT_EQ(metrics->samples_good.value(), 4u);  // A and D, twice
    EXPECT_EQ(metrics->samples_uncertain.value(), 2u);
    EXPECT_EQ(metrics->samples_bad.value(), 2u);
    EXPECT_EQ(metrics->samples_stored.value(), 6u);  // A, B and C; D has no record
    EXPECT_EQ(metrics->unregistered_tags.value(), 1.0);
    EXPECT_EQ(metrics->db_connected.value(), 1.0);
    EXPECT_EQ(metrics->has_database.value(), 1.0);
    EXPECT_GT(metrics->last_write_at.value(), 0.0);
    EXPECT_EQ(metrics->write_seconds.snapshot().count(), 2u);
    EXPECT_EQ(metrics->samples_buffered.value(), 0u);
}

TEST(EngineCounts, AnOutageFillsTheBufferAndTheReplayEmptiesIt) {
    Rig rig;
    ScratchDir dir;
    auto metrics = std::make_shared<EngineMetrics>();
    rig.tags = {"A", "B"};
    rig.db->add_tag("A", 1);
    rig.db->add_tag("B", 2);
    auto o = rig.options();
    o.metrics = metrics;
    o.buffer_dir = dir.path;
    auto c = rig.make(std::move(o));
    c->collection_step();
    EXPECT_EQ(metrics->buffer_limit_bytes.value(), static_cast<double>(512ull << 20));

    rig.db->locked([&] {
        rig.db->write_error = "server closed the connection unexpectedly";
        rig.db->ping_result = false;
        rig.db->connect_error = "connection refused";
    });
    c->collection_step();
    c->collection_step();
    EXPECT_EQ(metrics->db_connected.value(), 0.0);
    EXPECT_GT(metrics->db_away_since.value(), 0.0);
    EXPECT_GE(metrics->db_reconnects.value(), 2u);
    EXPECT_EQ(metrics->samples_buffered.value(), 4u);
    EXPECT_EQ(metrics->buffered_samples.value(), 4.0);
    EXPECT_GT(metrics->buffer_bytes.value(), 0.0);
    EXPECT_GT(metrics->oldest_buffered_at.value(), 0.0);
    EXPECT_LE(metrics->oldest_buffered_at.value(), unix_now());

    rig.db->locked([&] {
        rig.db->write_error.reset();
        rig.db->ping_result = true;
        rig.db->connect_error.reset();
    });
    c->collection_step();  // reconnects, the cycle waits in the buffer behind the backlog
    c->collection_step();
    EXPECT_EQ(metrics->db_connected.value(), 1.0);
    EXPECT_EQ(metrics->db_away_since.value(), 0.0);
    EXPECT_EQ(metrics->buffered_samples.value(), 0.0);
    EXPECT_EQ(metrics->oldest_buffered_at.value(), 0.0);
    EXPECT_GE(metrics->samples_replayed.value(), 4u);
    EXPECT_EQ(metrics->samples_dropped.value(), 0u);
}

TEST(EngineCounts, WithoutABufferAFailedWriteDropsItsSamples) {
    Rig rig;
    auto metrics = std::make_shared<EngineMetrics>();
    rig.tags = {"A", "B"};
    rig.db->add_tag("A", 1);
    rig.db->add_tag("B", 2);
    auto o = rig.options();
    o.metrics = metrics;
    auto c = rig.make(std::move(o));
    rig.db->locked([&] {
        rig.db->write_error = "server closed the connection unexpectedly";
        rig.db->ping_result = false;
        rig.db->connect_error = "connection refused";
    });
    c->collection_step();  // the write fails
    c->collection_step();  // no connection at all
    EXPECT_EQ(metrics->samples_dropped.value(), 4u);
    EXPECT_EQ(metrics->buffer_limit_bytes.value(), 0.0);
}

TEST(EngineCounts, ALateRegistrationCountsEachAttemptAsAReconnect) {
    Rig rig;
    ScratchDir dir;
    auto metrics = std::make_shared<EngineMetrics>();
    rig.tags = {"A"};
    rig.db->connect_error = "could not connect to server: Connection refused";
    auto o = rig.options();
    o.metrics = metrics;
    o.buffer_dir = dir.path;
    o.registration = [&](TsdbClient& client, TsdbConnection& conn) {
        ASSERT_TRUE(client.insert_new_tag(conn, TagInfo{.tag_name = "A"}).ok);
    };
    auto c = rig.make(std::move(o));
    const auto attempts = [&] { return rig.db->locked([&] { return rig.db->calls["get_conn"]; }); };
    for (int cycle = 0; cycle < 8; ++cycle) {
        c->collection_step();
        rig.time.advance(1.0);
    }
    ASSERT_GE(attempts(), 3);
    EXPECT_EQ(metrics->db_reconnects.value(), static_cast<std::uint64_t>(attempts()))
        << "the cycles in a back-off pause ask nothing and count nothing";
    EXPECT_EQ(metrics->db_connected.value(), 0.0);

    rig.db->locked([&] { rig.db->connect_error.reset(); });
    rig.time.advance(60.0);
    c->collection_step();  // connects and registers
    c->collection_step();
    c->collection_step();
    EXPECT_EQ(metrics->db_connected.value(), 1.0);
    EXPECT_EQ(metrics->db_reconnects.value(), static_cast<std::uint64_t>(attempts()));
}

// Each sample line: a name, optional labels, and a number Prometheus reads.
const std::regex kSampleLine(
    R"(^vantrel_[a-z_]+(\{[a-z]+="[^"]*"(,[a-z]+="[^"]*")*\})? (-?[0-9.e+-]+|\+Inf|-Inf|NaN)$)");

std::string exposition_with_figures() {
    EngineMetrics m;
    m.interval_seconds.set(0.5);
    m.cycles.add(12);
    m.cycles_late.add(1);
    m.read_seconds.observe(0.004);
    m.write_seconds.observe(0.2);
    m.note_qualities(10, 1, 1);
    m.subscription_items_live.set(7);
    m.last_write_at.set(1.7e9);
    return render_prometheus(m);
}

TEST(Exposition, EveryFamilyHasHelpAndTypeAndEveryLineParses) {
    const std::string text = exposition_with_figures();
    std::istringstream in(text);
    std::string line;
    std::string family;
    int samples = 0;
    while (std::getline(in, line)) {
        if (line.rfind("# HELP ", 0) == 0) {
            family = line.substr(7, line.find(' ', 7) - 7);
            continue;
        }
        if (line.rfind("# TYPE ", 0) == 0) {
            EXPECT_EQ(line.substr(7, family.size()), family) << "TYPE follows its HELP";
            continue;
        }
        EXPECT_TRUE(std::regex_match(line, kSampleLine)) << line;
        EXPECT_EQ(line.rfind(family, 0), 0u) << line << " outside its family " << family;
        ++samples;
    }
    EXPECT_GT(samples, 40);
    EXPECT_NE(text.find("vantrel_cycles_total 12\n"), std::string::npos);
    EXPECT_NE(text.find("vantrel_samples_read_total{quality=\"uncertain\"} 1\n"),
              std::string::npos);
    EXPECT_NE(text.find("vantrel_cycle_read_duration_seconds_bucket{le=\"0.005\"} 1\n"),
              std::string::npos);
    EXPECT_NE(text.find("vantrel_cycle_read_duration_seconds_bucket{le=\"0.0025\"} 0\n"),
              std::string::npos);
    EXPECT_NE(text.find("vantrel_cycle_write_duration_seconds_bucket{le=\"+Inf\"} 1\n"),
              std::string::npos);
    EXPECT_NE(text.find("vantrel_subscription_items_live 7\n"), std::string::npos);
    EXPECT_NE(text.find("vantrel_build_info{version=\""), std::string::npos);
    // Reading collectors have no subscription figure at all, rather than a made-up -1.
    EXPECT_EQ(render_prometheus(EngineMetrics{}).find("subscription_items_live"),
              std::string::npos);
}

TEST(Exposition, PromtoolFindsNoProblem) {
    if (std::system("command -v promtool >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "promtool is not installed (Debian package prometheus; scripts/test "
                        "installs it)";
    }
    const auto path = std::filesystem::temp_directory_path() /
                      ("vantrel-metrics-" + std::to_string(::getpid()) + ".txt");
    std::ofstream(path) << exposition_with_figures();
    const std::string command = "promtool check metrics < " + path.string() + " 2>&1";
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buf[512];
    while (std::fgets(buf, sizeof buf, pipe) != nullptr) {
        output += buf;
    }
    const int status = ::pclose(pipe);
    std::filesystem::remove(path);
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(output, "") << "promtool's lint";
}

struct HealthCase {
    EngineMetrics m;
    HealthCase() {
        m.interval_seconds.set(1.0);
        m.started_at.set(1000.0);
        m.has_database.set(1.0);
        m.buffer_limit_bytes.set(1000.0);
        m.cycles.add(5);
        m.last_cycle_at.set(1100.0);
        m.opc_connected.set(1.0);
        m.note_database(true, 1000.0);
    }
};

TEST(Health, CollectingAndWritingOrABriefOutageIsHealthy) {
    HealthCase c;
    EXPECT_EQ(evaluate_health(c.m, 1100.5).status, "ok");
    c.m.buffered_samples.set(10);
    EXPECT_EQ(evaluate_health(c.m, 1100.5).status, "replaying");
    EXPECT_TRUE(evaluate_health(c.m, 1100.5).ok);

    c.m.note_database(false, 1095.0);
    const Health brief = evaluate_health(c.m, 1100.5);
    EXPECT_TRUE(brief.ok);
    EXPECT_EQ(brief.status, "buffering");
    const Health long_outage = evaluate_health(c.m, 1106.0);
    EXPECT_FALSE(long_outage.ok);
    EXPECT_NE(long_outage.reason.find("database not connected for 11 s"), std::string::npos)
        << long_outage.reason;
    EXPECT_NE(long_outage.reason.find("10 samples buffered"), std::string::npos);
    const std::string json = health_json(long_outage, c.m, 1106.0);
    EXPECT_EQ(json.rfind("{\"status\":\"failing\",\"reason\":\"database not connected", 0), 0u)
        << json;
}

TEST(Health, EachFailureSaysWhy) {
    const auto reason_at = [](const HealthCase& c, double now) {
        const Health h = evaluate_health(c.m, now);
        EXPECT_FALSE(h.ok);
        EXPECT_EQ(h.status, "failing");
        return h.reason;
    };
    {
        HealthCase c;
        c.m.note_database(false, 1100.0);
        c.m.buffer_limit_bytes.set(0.0);
        EXPECT_EQ(reason_at(c, 1100.5), "database not connected and no buffer: samples are lost");
    }
    {
        HealthCase c;
        c.m.note_database(false, 1100.0);
        c.m.buffer_bytes.set(990.0);
        EXPECT_NE(reason_at(c, 1100.5).find("the buffer is full"), std::string::npos);
    }
    {
        HealthCase c;
        c.m.opc_connected.set(0.0);
        EXPECT_EQ(reason_at(c, 1100.5), "not connected to the OPC server");
    }
    {
        HealthCase c;  // a loop stuck in a cycle: everything else still looks fine
        EXPECT_EQ(reason_at(c, 1131.0), "no collection cycle completed for 31 s");
    }
    {
        HealthCase c;
        c.m.last_cycle_at.set(0.0);
        EXPECT_NE(reason_at(c, 1031.0).find("since the start"), std::string::npos);
    }
}

}  // namespace
}  // namespace korrin_test
