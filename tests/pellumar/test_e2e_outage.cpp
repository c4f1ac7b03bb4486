// The console through a database outage, as a plant has them: PostgreSQL (an instance of the
// test's own) stopped under a running pellumar, which is then killed with SIGKILL before the
// database comes back; started again, it writes what it buffered. Every cycle's sample is
// then in the database once, at the time it was read.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>

#include "console_prefix.h"
#include "console_test_support.h"
#include "opcua_test_server.h"
#include "pg_session.h"
#include "process_support.h"

namespace {

using namespace pellumar_test;
using namespace std::chrono_literals;
using vantrel::test::PgInstance;
using vantrel::test::query_one;

// The collectors' database on the test's own instance.
std::string instance_tsdb_lines(const PgInstance& pg) {
    const auto& cfg = pg.server();
    return tsdb_lines(cfg.host, std::to_string(cfg.port), cfg.user, cfg.password, cfg.dbname);
}

// One tag's stored rows on the test's own instance, as the checks below count them.
class StoredRows {
  public:
    StoredRows(const PgInstance& pg, const std::string& tag)
        : pg_(pg),
          where_(" FROM chronq.tsdata d JOIN chronq.tags t USING (tag_id) WHERE t.tag_name = '" +
                 tag + "'") {}

    long count() const { return std::stol(value("SELECT count(*)")); }
    long distinct_times() const { return std::stol(value("SELECT count(DISTINCT d.time)")); }
    // Consecutive rows further apart than 1.8 intervals of 1 s.
    long long_gaps() const {
        return std::stol(query_one(pg_.conninfo(),
                                   "SELECT count(*) FROM (SELECT extract(epoch FROM d.time - "
                                   "lag(d.time) OVER (ORDER BY d.time)) AS g" +
                                       where_ + ") x WHERE g > 1.8")
                             .value());
    }
    double first_time() const { return std::stod(value("SELECT extract(epoch FROM min(d.time))")); }

    // The newest row's time at or before `epoch_seconds`.
    double last_time_until(double epoch_seconds) const {
        return std::stod(
            value("SELECT extract(epoch FROM max(d.time))",
                  " AND d.time <= to_timestamp(" + std::to_string(epoch_seconds) + ")"));
    }

  private:
    std::string value(const std::string& select, const std::string& also = {}) const {
        return query_one(pg_.conninfo(), select + where_ + also).value();
    }

    const PgInstance& pg_;
    std::string where_;
};

TEST(ConsoleOutage, KilledDuringAnOutageAndStartedAgainItStoresEveryCycleOnce) {
    if (!vantrel::test::OpcUaTestServer::installed()) {
        GTEST_SKIP() << "node-opcua is not installed in tests/opcua-server";
    }
    PgInstance pg(true);
    if (!pg.ok()) {
        GTEST_SKIP() << "no private PostgreSQL: " << pg.why();
    }
    vantrel::test::OpcUaTestServer server;
    server.start();
    TempDir dir;
    const fs::path prefix = dir / "prefix";
    lay_out_console(prefix, {.tsdb = instance_tsdb_lines(pg),
                             .opc_schema = server.endpoint(),
                             .collection_interval = "1",
                             .log_prefix = "outage"});
    write_file(prefix / "tags.csv",
               "FullTagName,Description\n2:Demo.Double,Plain double\n2:Demo.Count1,Counter\n");
    const std::string rows_of_each =
        "SELECT min(n) FROM (SELECT count(d.time) AS n FROM chronq.tags t LEFT JOIN "
        "chronq.tsdata d USING (tag_id) GROUP BY t.tag_id) x";
    const auto wait_rows = [&](long n) {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto v = query_one(pg.conninfo(), rows_of_each);
            if (v && !v->empty() && std::stol(*v) >= n) {
                return true;
            }
            std::this_thread::sleep_for(200ms);
        }
        return false;
    };

    std::chrono::system_clock::time_point killed_at;
    {
        ConsoleProcess first(prefix, dir / "first.out");
        ASSERT_TRUE(wait_rows(3)) << first.output();
        pg.stop();
        ASSERT_TRUE(first.wait_for_output("TSDB unavailable since", 20s)) << first.output();
        std::this_thread::sleep_for(8s);
        killed_at = std::chrono::system_clock::now();
        first.signal(SIGKILL);
        ASSERT_EQ(first.wait(5000ms), 128 + SIGKILL);
    }
    pg.start();
    ConsoleProcess second(prefix, dir / "second.out");
    ASSERT_TRUE(second.wait_for_output("holds", 30s)) << second.output();
    ASSERT_TRUE(second.wait_for_output("Buffered backlog written", 30s)) << second.output();
    std::this_thread::sleep_for(3s);
    second.signal(SIGTERM);
    ASSERT_EQ(second.wait(15000ms), 0) << second.output();

    for (const std::string tag : {"2:Demo.Double", "2:Demo.Count1"}) {
        SCOPED_TRACE(tag);
        const StoredRows stored(pg, tag);
        const long rows = stored.count();
        EXPECT_EQ(rows, stored.distinct_times()) << "a cycle stored twice";
        // 3 before the outage, 8 or more during it, 3 or more after.
        EXPECT_GE(rows, 3 + 8 + 3);
        // One interval apart, except for at most one gap: while no console ran. A cycle lost
        // would leave a gap of two intervals; a cycle merely late on a busy machine, less.
        EXPECT_LE(stored.long_gaps(), 1);
        // That gap is the restart: the killed console's buffered cycles reach up to its end.
        const double killed = std::chrono::duration<double>(killed_at.time_since_epoch()).count();
        const double last_before_kill = stored.last_time_until(killed);
        EXPECT_GT(last_before_kill, killed - 2.5);
    }
}

// start_without_database: a console started while its PostgreSQL is down collects from its
// first cycle, and once the database is up every one of those samples is stored, once.
TEST(ConsoleOutage, StartedBeforeItsDatabaseItStoresEverySampleFromTheFirstCycle) {
    PgInstance pg(true);
    if (!pg.ok()) {
        GTEST_SKIP() << "no private PostgreSQL: " << pg.why();
    }
    pg.stop();
    TempDir dir;
    const fs::path prefix = dir / "prefix";
    lay_out_console(prefix, {.tsdb = instance_tsdb_lines(pg),
                             .opc_schema = "opc.da://localhost/Vantrel.Simulation.1",
                             .opc_type = "OPC DA",
                             .collection_interval = "1",
                             .vantrel_extra = "start_without_database = true\n",
                             .log_prefix = "late",
                             .log_to_console = false});
    write_file(prefix / "tags.csv", "FullTagName,Description\nDemo.Count1,one\nDemo.Tag1,two\n");

    const auto launched = std::chrono::system_clock::now();
    ConsoleProcess console(prefix, dir / "console.out");
    ASSERT_TRUE(console.wait_for_output("collecting into the buffer until it answers", 30s))
        << console.output();
    std::this_thread::sleep_for(5s);
    const auto db_started = std::chrono::system_clock::now();
    pg.start();
    ASSERT_TRUE(console.wait_for_output("Database setup complete: 2 tags created", 60s))
        << console.output();
    ASSERT_TRUE(console.wait_for_output("Buffered backlog written", 30s)) << console.output();
    std::this_thread::sleep_for(2s);
    console.signal(SIGTERM);
    ASSERT_EQ(console.wait(15000ms), 0) << console.output();

    const auto epoch = [](std::chrono::system_clock::time_point t) {
        return std::chrono::duration<double>(t.time_since_epoch()).count();
    };
    for (const std::string tag : {"Demo.Count1", "Demo.Tag1"}) {
        SCOPED_TRACE(tag);
        const StoredRows stored(pg, tag);
        const long rows = stored.count();
        EXPECT_EQ(rows, stored.distinct_times()) << "a cycle stored twice";
        EXPECT_GE(rows, 5 + 2);
        // The first row is the first cycle's, read long before the database came up.
        const double first = stored.first_time();
        EXPECT_LT(first, epoch(db_started) - 4.0);
        EXPECT_GT(first, epoch(launched));
        // One interval apart throughout: a lost cycle would leave a gap of two.
        EXPECT_EQ(stored.long_gaps(), 0) << console.output();
    }
}

}  // namespace
