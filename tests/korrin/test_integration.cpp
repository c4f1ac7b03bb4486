// The collector on the real parts: the qevsdk client against the node-opcua test server, and
// chronq against a PostgreSQL instance of this test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include <korrin/cycle_queue.h>
#include <korrin/opc_collector.h>
#include <korrin/tsdb_client.h>
#include <opcua_test_server.h>

#include "fakes/recorders.h"
#include "pg_session.h"

namespace korrin_test {
namespace {

using namespace vantrel::korrin;
using namespace vantrel::test_fakes;

using namespace std::chrono_literals;
using vantrel::test::OpcUaTestServer;
using vantrel::test::PgInstance;
using vantrel::test::query_one;
using vantrel::test::rows_since;

const std::vector<std::string> kRegistered = {"2:Demo.Double", "2:Demo.Count1", "2:Demo.Random1"};
const std::string kUnregistered = "2:s=Demo.Float";  // the same kind of node, never registered

// Waits up to 0.2 s for any wait, so recoveries are quick without skipping the back-off path.
void short_sleep(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(std::clamp(seconds, 0.0, 0.2)));
}

class KorrinOnRealParts : public ::testing::Test {
  protected:
    // Tests that restart the database get an instance of their own.
    virtual bool own_database() const { return false; }

    void SetUp() override {
        if (!OpcUaTestServer::installed()) {
            GTEST_SKIP() << "node-opcua is not installed in tests/opcua-server";
        }
        pg_holder = std::make_unique<PgInstance>(own_database());
        if (!pg().ok()) {
            GTEST_SKIP() << "no private PostgreSQL: " << pg().why();
        }
        started_at = query_one(pg().conninfo(), "SELECT now()::text").value_or("-infinity");
        server.start();
        register_tags();
    }

    void register_tags() {
        auto client = default_tsdb_client();
        auto conn = client->get_conn(pg().settings<TsdbConfig>());
        SourceInfo source{.source_name = "korrin-it",
                          .endpoint = server.endpoint(),
                          .protocol = SourceProtocol::OPC_UA,
                          .source_type = "OPC",
                          .interval_msec = 200};
        ASSERT_TRUE(client->insert_new_source(*conn, source).ok);
        for (const auto& name : kRegistered) {
            if (auto known = client->get_tag(*conn, name); known && known->tag_id) {
                ids.push_back(*known->tag_id);  // left by an earlier run on a shared database
                continue;
            }
            auto r = client->insert_new_tag(
                *conn,
                TagInfo{.tag_name = name, .source_id = source.source_id, .source_tagname = name});
            ASSERT_TRUE(r.ok && r.data && r.data->tag_id) << r.message;
            ids.push_back(*r.data->tag_id);
        }
        conn->close();
    }

    std::unique_ptr<OPCCollector> make(double interval, Sleeper sleeper = nullptr) {
        std::vector<std::string> tags = kRegistered;
        tags.push_back(kUnregistered);
        return std::make_unique<OPCCollector>(
            OPCCollector::Options{.opc_schema = server.endpoint(),
                                  .get_tags_func = [tags] { return tags; },
                                  .data_deque = deque,
                                  .tsdb_cfg = pg().settings<TsdbConfig>(),
                                  .sample_interval = interval,
                                  .batch_size = 2,
                                  .status_notify = status.callback(),
                                  .db_status_notify = db_status.callback(),
                                  .sleeper = std::move(sleeper)});
    }

    // Successful writes of every registered tag, from the index-th report on.
    bool wait_for_writes(std::size_t n, std::size_t from = 0, std::chrono::seconds t = 30s) {
        return db_status.wait_until(
            [&](const auto& calls) {
                std::size_t good = 0;
                for (std::size_t i = from; i < calls.size(); ++i) {
                    good += calls[i] == std::make_pair(true, std::int64_t{3}) ? 1 : 0;
                }
                return good >= n;
            },
            t);
    }

    long rows_written() { return rows_since(pg().conninfo(), ids, started_at); }

    bool said(const std::string& prefix) {
        auto texts = status.texts();
        return std::any_of(texts.begin(), texts.end(),
                           [&](const std::string& t) { return t.starts_with(prefix); });
    }

    std::unique_ptr<PgInstance> pg_holder;
    PgInstance& pg() { return *pg_holder; }
    std::string started_at;
    OpcUaTestServer server;
    std::vector<std::int64_t> ids;
    std::shared_ptr<CycleQueue> deque = std::make_shared<CycleQueue>();
    StatusLog status;
    DbStatusLog db_status;
};

TEST_F(KorrinOnRealParts, WritesRowsForRegisteredTagsOnly) {
    auto c = make(0.2);
    c->start();
    ASSERT_TRUE(wait_for_writes(3)) << server.log();
    c->stop();
    ASSERT_TRUE(c->join(5000ms));

    const auto reports = db_status.calls();
    const long writes =
        std::count(reports.begin(), reports.end(), std::make_pair(true, std::int64_t{3}));
    EXPECT_EQ(rows_written(), writes * 3);
    auto unregistered =
        query_one(pg().conninfo(),
                  "SELECT count(*) FROM chronq.tags WHERE tag_name = '" + kUnregistered + "'");
    EXPECT_EQ(unregistered, "0");
    const auto cycles = deque->drain();
    ASSERT_FALSE(cycles.empty());
    auto cycle = cycles.front();
    ASSERT_EQ(cycle.size(), 4u);
    EXPECT_EQ(cycle[0].tag, "2:Demo.Double");
    EXPECT_EQ(cycle[0].quality, "Good");
    EXPECT_EQ(std::get<double>(cycle[0].value), 3.25);
}

class KorrinDatabaseRestart : public KorrinOnRealParts {
  protected:
    bool own_database() const override { return true; }
};

TEST_F(KorrinDatabaseRestart, IsRecoveredWithoutOpcBackOff) {
    auto c = make(0.2);
    c->start();
    ASSERT_TRUE(wait_for_writes(1));
    pg().restart();
    const auto before = db_status.calls().size();
    ASSERT_TRUE(wait_for_writes(2, before)) << "no writes after the restart";
    c->stop();
    ASSERT_TRUE(c->join(5000ms));
    EXPECT_FALSE(said("Read UA error"));
    EXPECT_FALSE(said("Retrying in 5 seconds..."));
    EXPECT_EQ(c->consecutive_errors, 0);
}

TEST_F(KorrinOnRealParts, CollectionResumesAfterTheServerRestarts) {
    auto c = make(0.2, short_sleep);
    c->start();
    ASSERT_TRUE(wait_for_writes(1));
    server.stop();
    ASSERT_TRUE(status.wait_for("Retrying in 5 seconds...", 30s));
    server.start();
    const auto before = db_status.calls().size();
    EXPECT_TRUE(wait_for_writes(2, before)) << server.log();
    c->stop();
    EXPECT_TRUE(c->join(5000ms));
}

TEST_F(KorrinOnRealParts, ACollectorStartedBeforeItsServerCollectsOnceItAppears) {
    server.stop();
    auto c = make(0.2, short_sleep);
    c->start();
    ASSERT_TRUE(status.wait_for("Retrying in 5 seconds...", 30s));
    EXPECT_TRUE(said("Reconnect UA error: "));
    EXPECT_TRUE(c->is_alive());
    server.start();
    EXPECT_TRUE(wait_for_writes(1)) << server.log();
    c->stop();
    EXPECT_TRUE(c->join(5000ms));
}

TEST_F(KorrinOnRealParts, StopDuringTheLongPauseEndsTheThreadAtOnce) {
    server.stop();
    auto c = make(1.0);  // the real, stop-aware sleeper
    for (int i = 0; i < 5; ++i) {
        c->opc_error("an earlier failure");  // the count is the collector's own
    }
    c->start();
    ASSERT_TRUE(
        status.wait_for("Too many consecutive errors, sleeping 60 seconds before retrying..."));
    const auto asked = std::chrono::steady_clock::now();
    c->stop();
    EXPECT_TRUE(c->join(1000ms));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);
    EXPECT_FALSE(c->has_tsdb_connection());
}

// A tag naming its namespace by URI keeps naming the same node when the server comes back
// with its namespaces in another order; a tag naming the index reads whatever is there now.
TEST_F(KorrinOnRealParts, NamespaceUriTagsKeepTheirNodeAcrossAServerRestartThatRenumbers) {
    const std::string by_uri =
        std::string("nsu=") + OpcUaTestServer::kNamespaceUri + ";s=Demo.Double";
    const std::string by_index = "2:Demo.Double";
    auto c = std::make_unique<OPCCollector>(
        OPCCollector::Options{.opc_schema = server.endpoint(),
                              .get_tags_func =
                                  [&] {
                                      return std::vector{by_uri, by_index};
                                  },
                              .data_deque = deque,
                              .tsdb_cfg = pg().settings<TsdbConfig>(),
                              .sample_interval = 0.2,
                              .batch_size = 10,
                              .status_notify = status.callback(),
                              .db_status_notify = db_status.callback(),
                              .sleeper = short_sleep});
    // The next cycle whose tags both read Good, as (by_uri, by_index) values.
    const auto next_good_cycle = [&]() -> std::optional<std::pair<double, double>> {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline) {
            for (const auto& cycle : deque->drain()) {
                if (cycle.size() == 2 && cycle[0].quality == "Good" && cycle[1].quality == "Good") {
                    EXPECT_EQ(cycle[0].tag, by_uri);  // the tag as written
                    EXPECT_EQ(cycle[1].tag, by_index);
                    return std::pair{std::get<double>(cycle[0].value),
                                     std::get<double>(cycle[1].value)};
                }
            }
            std::this_thread::sleep_for(50ms);
        }
        return std::nullopt;
    };
    c->start();
    EXPECT_EQ(next_good_cycle(), (std::pair{3.25, 3.25})) << server.log();

    server.stop();
    ASSERT_TRUE(status.wait_for("Retrying in 5 seconds...", 30s));
    server.options().leading_namespaces = 1;  // the test nodes move to index 3
    server.start();
    (void)deque->drain();
    // Index 2 is now another namespace, whose s=Demo.Double reads -1.
    EXPECT_EQ(next_good_cycle(), (std::pair{3.25, -1.0})) << server.log();
    c->stop();
    EXPECT_TRUE(c->join(5000ms));
}

}  // namespace
}  // namespace korrin_test
