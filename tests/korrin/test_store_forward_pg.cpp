// Store and forward on the real parts: a PostgreSQL of the test's own stopped for half a minute
// under a running collector (node-opcua server, qevsdk, chronq), and a buffer left behind by a
// process that died after a commit but before its own bookkeeping.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <thread>

#include <korrin/cycle_queue.h>
#include <korrin/opc_collector.h>
#include <korrin/sample_buffer.h>
#include <korrin/tsdb_client.h>
#include <opcua_test_server.h>

#include "fakes/recorders.h"
#include "pg_session.h"

namespace korrin_test {
namespace {

namespace fs = std::filesystem;
using namespace vantrel::korrin;
using namespace vantrel::test_fakes;
using namespace std::chrono_literals;
using vantrel::test::OpcUaTestServer;
using vantrel::test::PgInstance;
using vantrel::test::query_one;

struct ScratchDir {
    fs::path path = fs::temp_directory_path() / ("korrin-sf-" + std::to_string(::getpid()) + "-" +
                                                 std::to_string(std::random_device{}()));
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

std::int64_t register_tag(const TsdbConfig& cfg, const std::string& name) {
    auto client = default_tsdb_client();
    auto conn = client->get_conn(cfg);
    if (auto known = client->get_tag(*conn, name); known && known->tag_id) {
        return *known->tag_id;
    }
    auto r = client->insert_new_tag(*conn, TagInfo{.tag_name = name, .source_tagname = name});
    if (!r.ok || !r.data || !r.data->tag_id) {
        throw std::runtime_error("could not register " + name + ": " + r.message);
    }
    return *r.data->tag_id;
}

// Per stored time of the tag: how many rows, and the gaps between consecutive times.
struct Series {
    long rows = -1;
    long distinct_times = -1;
    double max_gap = -1;
    double min_gap = -1;
};

Series series(const std::string& conninfo, std::int64_t tag_id, const std::string& since) {
    const std::string where = " FROM chronq.tsdata WHERE tag_id = " + std::to_string(tag_id) +
                              " AND time >= '" + since + "'";
    Series s;
    s.rows = std::stol(query_one(conninfo, "SELECT count(*)" + where).value_or("-1"));
    s.distinct_times =
        std::stol(query_one(conninfo, "SELECT count(DISTINCT time)" + where).value_or("-1"));
    const std::string gaps =
        "SELECT extract(epoch FROM time - lag(time) OVER (ORDER BY time)) AS g" + where;
    s.max_gap = std::stod(
        query_one(conninfo, "SELECT coalesce(max(g), 0) FROM (" + gaps + ") x").value_or("-1"));
    s.min_gap = std::stod(
        query_one(conninfo, "SELECT coalesce(min(g), 0) FROM (" + gaps + ") x").value_or("-1"));
    return s;
}

TEST(StoreForwardOnPostgres, AHalfMinuteOutageLosesNoCycleAndStoresNoneTwice) {
    if (!OpcUaTestServer::installed()) {
        GTEST_SKIP() << "node-opcua is not installed in tests/opcua-server";
    }
    PgInstance pg(true);
    if (!pg.ok()) {
        GTEST_SKIP() << "no private PostgreSQL: " << pg.why();
    }
    OpcUaTestServer server;
    server.start();
    const std::vector<std::string> tags = {"2:Demo.Double", "2:Demo.Count1"};
    std::vector<std::int64_t> ids;
    for (const auto& t : tags) {
        ids.push_back(register_tag(pg.settings<TsdbConfig>(), t));
    }
    const std::string since = query_one(pg.conninfo(), "SELECT now()::text").value_or("");
    ScratchDir dir;
    auto deque = std::make_shared<CycleQueue>();
    DbStatusLog db_status;
    auto c = std::make_unique<OPCCollector>(OPCCollector::Options{
        .opc_schema = server.endpoint(),
        .get_tags_func = [tags] { return tags; },
        .data_deque = deque,
        .tsdb_cfg = pg.settings<TsdbConfig>(),
        .sample_interval = 1.0,
        .db_status_notify = db_status.callback(),
        .buffer_dir = dir.path,
    });
    c->start();
    const auto good_in = [](const auto& calls, std::size_t from) {
        std::size_t n = 0;
        for (std::size_t i = from; i < calls.size(); ++i) {
            n += calls[i].first && calls[i].second > 0 ? 1 : 0;
        }
        return n;
    };
    const auto good_writes = [&](std::size_t from) { return good_in(db_status.calls(), from); };
    ASSERT_TRUE(
        db_status.wait_until([&](const auto& calls) { return good_in(calls, 0) >= 3; }, 30s));

    pg.stop();
    std::this_thread::sleep_for(30s);
    EXPECT_GE(c->buffered_sample_count(), 2u * 25);
    const auto before = db_status.calls().size();
    pg.start();
    const auto drained = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < drained &&
           (c->buffered_sample_count() > 0 || good_writes(before) < 3)) {
        std::this_thread::sleep_for(200ms);
    }
    c->stop();
    ASSERT_TRUE(c->join(5000ms));
    EXPECT_EQ(c->buffered_sample_count(), 0u);

    for (std::size_t i = 0; i < ids.size(); ++i) {
        SCOPED_TRACE(tags[i]);
        const Series s = series(pg.conninfo(), ids[i], since);
        EXPECT_GE(s.rows, 3 + 30 + 3);
        EXPECT_EQ(s.rows, s.distinct_times) << "a cycle stored twice";
        // One row per cycle, each at its read time: one interval apart, give or take the
        // scheduling of a loaded machine.
        EXPECT_LT(s.max_gap, 1.5) << "a cycle is missing";
        EXPECT_GT(s.min_gap, 0.5) << "a cycle is stored twice";
    }
}

TEST(StoreForwardOnPostgres, ARestartReplaysOnlyWhatTheDatabaseDoesNotHaveYet) {
    PgInstance pg(false);
    if (!pg.ok()) {
        GTEST_SKIP() << "no private PostgreSQL: " << pg.why();
    }
    const std::string tag = "sf-replay-" + std::to_string(::getpid());
    const std::int64_t id = register_tag(pg.settings<TsdbConfig>(), tag);
    ScratchDir dir;
    const TimePoint t0 =
        std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now()) -
        1h;
    std::vector<std::int64_t> seqs;
    {
        // A collector that buffered three cycles, wrote the first two back, and was killed
        // before it could free them.
        SampleBuffer buf(dir.path, 1 << 20);
        for (int i = 0; i < 3; ++i) {
            const BufferedRow row{tag, Value(double(i)), "Good", t0 + std::chrono::seconds(i)};
            buf.append(std::span(&row, 1));
        }
        const auto recs = buf.peek(100);
        ASSERT_EQ(recs.size(), 3u);
        auto client = default_tsdb_client();
        auto conn = client->get_conn(pg.settings<TsdbConfig>());
        const std::vector<TimePoint> times = {t0, t0 + 1s};
        const std::vector<std::int64_t> ids = {id, id};
        const std::vector<Value> values = {Value(0.0), Value(1.0)};
        const std::vector<std::string> qualities = {"Good", "Good"};
        const WriteMark mark{buf.writer(), recs[1].seq};
        const auto [ok, n] = client->write_tsdata_at(*conn, times, ids, values, qualities, &mark);
        ASSERT_TRUE(ok);
        ASSERT_EQ(n, 2u);
    }

    auto deque = std::make_shared<CycleQueue>(10);
    DbStatusLog db_status;
    auto c = std::make_unique<OPCCollector>(OPCCollector::Options{
        .opc_schema = "opc.da://localhost/Vantrel.Simulation.1",
        .get_tags_func = [] { return std::vector<std::string>{}; },
        .data_deque = deque,
        .tsdb_cfg = pg.settings<TsdbConfig>(),
        .db_status_notify = db_status.callback(),
        .buffer_dir = dir.path,
    });
    EXPECT_EQ(c->buffered_sample_count(), 3u);
    Sample next{tag, Value(3.0), "Good", std::nullopt};
    next.read_time = t0 + 3s;
    c->handle_data({next});
    EXPECT_EQ(c->buffered_sample_count(), 0u);
    c->stop();

    const std::string rows = "FROM chronq.tsdata WHERE tag_id = " + std::to_string(id);
    EXPECT_EQ(query_one(pg.conninfo(), "SELECT count(*) " + rows), "4");
    EXPECT_EQ(query_one(pg.conninfo(), "SELECT count(DISTINCT time) " + rows), "4");
    // Each row at the time its value was read, to the microsecond.
    EXPECT_EQ(query_one(pg.conninfo(), "SELECT string_agg(value::text, ',' ORDER BY time) " + rows),
              "0,1,2,3");
    EXPECT_EQ(
        query_one(pg.conninfo(), "SELECT extract(epoch FROM max(time) - min(time))::text " + rows),
        "3.000000");
}

}  // namespace
}  // namespace korrin_test
