// The figures on the real parts: a collector reading the node-opcua server into a PostgreSQL of
// the test's own, watched through its HTTP endpoint while hostile clients press on the endpoint
// and the database goes away and comes back.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <korrin/cycle_queue.h>
#include <korrin/metrics_server.h>
#include <korrin/opc_collector.h>
#include <korrin/tsdb_client.h>
#include <opcua_test_server.h>

#include "http_client.h"
#include "pg_session.h"
#include "support/scratch_dir.h"

namespace korrin_test {
namespace {

using namespace vantrel::korrin;
using vantrel::test::http_get;
using vantrel::test::http_raw;
using vantrel::test::HttpAnswer;
using vantrel::test::HttpConnection;
using namespace std::chrono_literals;
using vantrel::test::OpcUaTestServer;
using vantrel::test::PgInstance;

void register_tag(const TsdbConfig& cfg, const std::string& name) {
    auto client = default_tsdb_client();
    auto conn = client->get_conn(cfg);
    if (auto known = client->get_tag(*conn, name); known && known->tag_id) {
        return;
    }
    auto r = client->insert_new_tag(*conn, TagInfo{.tag_name = name, .source_tagname = name});
    if (!r.ok) {
        throw std::runtime_error("could not register " + name + ": " + r.message);
    }
}

// Polls until `done` holds; false after `limit`. No timing is asserted: the limit only keeps a
// broken run from hanging.
bool eventually(const std::function<bool()>& done, std::chrono::seconds limit = 90s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(200ms);
    }
    return done();
}

// The value of one sample line of the exposition, -1 when it is not there.
double scraped(const std::string& text, const std::string& name) {
    const std::regex line("(^|\n)" + name + " ([^\n]+)");
    std::smatch m;
    return std::regex_search(text, m, line) ? std::stod(m[2]) : -1.0;
}

TEST(MetricsOnPostgres, FiguresMoveHostileClientsAreIgnoredAndAnOutageShowsInHealth) {
    if (!OpcUaTestServer::installed()) {
        GTEST_SKIP() << "node-opcua is not installed in tests/opcua-server";
    }
    PgInstance pg(true);
    if (!pg.ok()) {
        GTEST_SKIP() << "no private PostgreSQL: " << pg.why();
    }
    OpcUaTestServer opc;
    opc.start();
    const std::vector<std::string> tags = {"2:Demo.Double", "2:Demo.Count1", "2:Demo.BadStatus"};
    for (const auto& t : tags) {
        register_tag(pg.settings<TsdbConfig>(), t);
    }
    ScratchDir dir;
    auto metrics = std::make_shared<EngineMetrics>();
    auto c = std::make_unique<OPCCollector>(OPCCollector::Options{
        .opc_schema = opc.endpoint(),
        .get_tags_func = [tags] { return tags; },
        .data_deque = std::make_shared<CycleQueue>(),
        .tsdb_cfg = pg.settings<TsdbConfig>(),
        .sample_interval = 0.5,
        .buffer_dir = dir.path,
        .metrics = metrics,
    });
    MetricsServer server({.host = "127.0.0.1", .port = 0}, metrics);
    c->start();
    const auto port = server.port();
    const auto health = [&] { return http_get(port, "/health"); };

    ASSERT_TRUE(eventually(
        [&] { return metrics->cycles.value() >= 3 && metrics->samples_stored.value() >= 9; }));
    EXPECT_EQ(health().status, 200);
    std::string text = http_get(port, "/metrics").body;
    EXPECT_GE(scraped(text, "vantrel_cycles_total"), 3);
    EXPECT_GE(scraped(text, "vantrel_samples_read_total\\{quality=\"bad\"\\}"), 1);
    EXPECT_GE(scraped(text, "vantrel_samples_read_total\\{quality=\"good\"\\}"), 2);
    EXPECT_EQ(scraped(text, "vantrel_opc_connected"), 1);
    EXPECT_EQ(scraped(text, "vantrel_database_connected"), 1);
    EXPECT_GT(scraped(text, "vantrel_last_write_timestamp_seconds"), 1.6e9);
    EXPECT_GE(scraped(text, "vantrel_cycle_read_duration_seconds_count"), 3);

    {
        // Hostile clients all at once: idle connections beyond the limits, a half-sent request,
        // a huge header and wrong methods. Collection goes on meanwhile.
        std::vector<std::unique_ptr<HttpConnection>> crowd;
        for (int i = 0; i < 120; ++i) {
            crowd.push_back(std::make_unique<HttpConnection>(port, 5));
        }
        HttpConnection slow(port);
        slow.send("GET /metrics HTTP/1.1\r\nHost: x\r\n");
        std::thread huge([port] {
            (void)http_raw(port, "GET /metrics HTTP/1.1\r\nHost: x\r\nX-Big: " +
                                     std::string(4 << 20, 'a') + "\r\n\r\n");
        });
        for (int i = 0; i < 20; ++i) {
            (void)http_raw(port,
                           "POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n");
        }
        const auto cycles = metrics->cycles.value();
        EXPECT_TRUE(eventually([&] { return metrics->cycles.value() >= cycles + 5; }))
            << "collection stalled behind the endpoint's clients";
        huge.join();
    }
    EXPECT_TRUE(eventually([&] { return health().status == 200; })) << "endpoint answers again";

    // The database goes away: the buffer takes the samples, and the check turns to 503.
    pg.stop();
    ASSERT_TRUE(eventually([&] { return health().status == 503; })) << health().body;
    const HttpAnswer down = health();
    EXPECT_NE(down.body.find("database not connected"), std::string::npos) << down.body;
    const double buffered = metrics->buffered_samples.value();
    EXPECT_GT(buffered, 0);
    EXPECT_TRUE(eventually([&] { return metrics->buffered_samples.value() > buffered; }));
    text = http_get(port, "/metrics").body;
    EXPECT_EQ(scraped(text, "vantrel_database_connected"), 0);
    EXPECT_GT(scraped(text, "vantrel_buffer_samples"), 0);
    EXPECT_GT(scraped(text, "vantrel_buffer_bytes"), 0);
    EXPECT_GT(scraped(text, "vantrel_buffer_oldest_sample_timestamp_seconds"), 1.6e9);
    EXPECT_GE(scraped(text, "vantrel_database_reconnects_total"), 1);

    // It comes back: the backlog is written and the check is healthy again.
    pg.start();
    ASSERT_TRUE(eventually([&] {
        return health().status == 200 && metrics->buffered_samples.value() == 0;
    })) << health().body;
    EXPECT_GT(metrics->samples_replayed.value(), 0u);
    EXPECT_EQ(metrics->samples_dropped.value(), 0u);
    EXPECT_EQ(metrics->db_connected.value(), 1.0);
    c->stop();
    ASSERT_TRUE(c->join(10000ms));
}

}  // namespace
}  // namespace korrin_test
