// The console collecting by subscription, end to end against the node-opcua test server and
// the private PostgreSQL: store = latest gives the rows a read gives, store = changes every
// change of a fast tag once, in order; a server restarted under the subscription leaves no row
// stored twice.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "console_prefix.h"
#include "console_test_support.h"
#include "opcua_test_server.h"
#include "process_support.h"

namespace {

using namespace pellumar_test;

class SubscribedConsole : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        try {
            database_ = std::make_unique<vantrel::test::ScratchDatabase>("pellumar_e2e_sub");
            server_ = new vantrel::test::OpcUaTestServer();
            server_->start();
        } catch (const std::exception& e) {
            setup_error_ = e.what();
        }
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
        database_.reset();
    }
    void SetUp() override {
        ASSERT_TRUE(setup_error_.empty()) << setup_error_;
        // Each test's rows alone: a restarted server's counter starts again from 1.
        database_->recreate();
        install_console(prefix);
    }
    void write_config(const std::string& interval, const std::string& acquisition,
                      const std::string& tags) {
        write_file(prefix / "config.ini",
                   config_text({.tsdb = environment_tsdb_lines(database_->name()),
                                .opc_schema = server_->endpoint(),
                                .collection_interval = interval,
                                .vantrel_extra = acquisition}));
        write_file(prefix / "tags.csv", "FullTagName,Description\n" + tags);
    }
    // Runs the console for `seconds`, then stops it with SIGTERM.
    void run_for(std::chrono::seconds seconds) {
        ConsoleProcess console(prefix, dir / "run.out");
        std::this_thread::sleep_for(seconds);
        console.signal(SIGTERM);
        const auto status = console.wait(std::chrono::seconds(10));
        ASSERT_TRUE(status.has_value()) << console.output();
        EXPECT_EQ(*status, 0) << console.output();
        output_ = console.output();
    }
    // Runs the console, restarts the server after `before`, lets it collect for `after` more,
    // then stops it with SIGTERM. Returns when the restarted server listened again.
    std::chrono::system_clock::time_point run_across_restart(std::chrono::seconds before,
                                                             std::chrono::seconds after) {
        ConsoleProcess console(prefix, dir / "run.out");
        std::this_thread::sleep_for(before);
        server_->restart();
        const auto back = std::chrono::system_clock::now();
        std::this_thread::sleep_for(after);
        console.signal(SIGTERM);
        const auto status = console.wait(std::chrono::seconds(10));
        output_ = console.output();
        EXPECT_TRUE(status.has_value()) << output_;
        EXPECT_EQ(status.value_or(-1), 0) << output_;
        return back;
    }
    // Every (tag, time) stored more than once, as "tag time count".
    static Rows stored_twice(Db& db) {
        return db.rows(
            "SELECT tag, time::text, count(*)::text FROM chronq.samples GROUP BY tag, time "
            "HAVING count(*) > 1 ORDER BY 1, 2");
    }
    // Good rows of `tag` stored with a time after `since`.
    static long good_rows_after(Db& db, const std::string& tag,
                                std::chrono::system_clock::time_point since) {
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(since.time_since_epoch()).count();
        return std::stol(db.rows("SELECT count(*) FROM chronq.tsdata d JOIN chronq.tags t "
                                 "USING (tag_id) WHERE t.tag_name = $1 AND d.quality = 'Good' "
                                 "AND d.time > to_timestamp($2::double precision / 1000)",
                                 {tag, std::to_string(ms)})
                             .at(0)
                             .at(0));
    }
    Rows values_of(Db& db, const std::string& tag) {
        return db.rows(
            "SELECT d.value, d.quality FROM chronq.tsdata d JOIN chronq.tags t USING (tag_id) "
            "WHERE t.tag_name = $1 ORDER BY d.time",
            {tag});
    }

    static inline vantrel::test::OpcUaTestServer* server_ = nullptr;
    static inline std::unique_ptr<vantrel::test::ScratchDatabase> database_;
    static inline std::string setup_error_;
    TempDir dir;
    fs::path prefix = dir / "prefix";
    std::string output_;
};

TEST_F(SubscribedConsole, StoreLatestGivesARowPerTagAndIntervalAsAReadDoes) {
    write_config("0.5", "acquisition = subscribe\n",
                 "2:Demo.Double,d\n2:Demo.BadStatus,b\n2:No.Such.Node,n\n");
    run_for(std::chrono::seconds(4));
    Db db(database_->name());
    const auto doubles = values_of(db, "2:Demo.Double");
    EXPECT_GE(doubles.size(), 5u) << output_;
    for (const auto& row : doubles) {
        EXPECT_EQ(row, (std::vector<std::string>{"3.25", "Good"}));
    }
    // The node the server refused to monitor is named once in the log, with its reason.
    const std::string refusal =
        "refused to monitor '2:No.Such.Node': 0x80340000 (BadNodeIdUnknown)";
    const auto first = output_.find(refusal);
    ASSERT_NE(first, std::string::npos) << output_;
    EXPECT_EQ(output_.find(refusal, first + 1), std::string::npos) << output_;
}

TEST_F(SubscribedConsole, StoreChangesKeepsEveryValueOfAFastTagOnceAndInOrder) {
    // Sampling interval 0: node-opcua reports each change of the counter as it is set. At
    // 100 ms it would sample the counter with a timer of the counter's own period, and a late
    // tick of either timer skips a value the server then never reports.
    write_config("1.0",
                 "acquisition = subscribe\nstore = changes\nsampling_interval_ms = 0\n"
                 "queue_size = 20\n",
                 "2:Demo.Fast,ten changes a second\n2:Demo.Int32,never changes\n");
    run_for(std::chrono::seconds(6));
    Db db(database_->name());
    const auto rows = values_of(db, "2:Demo.Fast");
    ASSERT_GE(rows.size(), 30u) << output_;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        ASSERT_EQ(std::stod(rows[i][0]), std::stod(rows[i - 1][0]) + 1) << "row " << i;
    }
    // A tag that did not change: its one reported value, once.
    EXPECT_EQ(values_of(db, "2:Demo.Int32"), (Rows{{"-42", "Good"}}));
}

// The settings the README gives for a tag that changes every 100 ms. Demo.Counter grows with
// every read of it, so sampled every 100 ms it changes every 100 ms and never between two
// samples: every value the server takes goes into the item's queue, and each must reach the
// database once, in order, through a queue of 20 emptied once a second. (Demo.Fast, changed by
// a timer of its own, cannot serve here: node-opcua samples it with a second timer of the same
// period, and a late tick of either skips a value the server never reports.)
TEST_F(SubscribedConsole, StoreChangesAtTheSettingsForA100MsTagKeepsEveryValueOnceAndInOrder) {
    write_config("1.0",
                 "acquisition = subscribe\nstore = changes\nsampling_interval_ms = 100\n"
                 "queue_size = 20\n",
                 "2:Demo.Counter,ten values a second as sampled\n");
    run_for(std::chrono::seconds(6));
    Db db(database_->name());
    const auto rows = values_of(db, "2:Demo.Counter");
    ASSERT_GE(rows.size(), 30u) << output_;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        ASSERT_EQ(std::stod(rows[i][0]), std::stod(rows[i - 1][0]) + 1) << "row " << i;
        ASSERT_EQ(rows[i][1], "Good") << "row " << i;
    }
}

// A restarted server knows nothing of the subscription: the console creates it afresh and the
// server reports every item's value again, some with the very source time already stored.
TEST_F(SubscribedConsole, ServerRestartedUnderStoreChangesStoresNoRowTwice) {
    write_config("0.5",
                 "acquisition = subscribe\nstore = changes\nsampling_interval_ms = 0\n"
                 "queue_size = 20\n",
                 "2:Demo.Fast,f\n2:Demo.Timestamped,fixed source time\n2:Demo.Int32,i\n");
    const auto back = run_across_restart(std::chrono::seconds(3), std::chrono::seconds(8));
    Db db(database_->name());
    EXPECT_EQ(stored_twice(db), Rows{}) << output_;
    EXPECT_EQ(values_of(db, "2:Demo.Timestamped"), (Rows{{"1", "Good"}})) << output_;
    EXPECT_GE(good_rows_after(db, "2:Demo.Fast", back), 10) << output_;
}

TEST_F(SubscribedConsole, ServerRestartedUnderStoreLatestStoresNoRowTwice) {
    // Rows at the values' source times: a value the restarted server reports again with the
    // same time must not be stored a second time.
    write_config("0.5", "acquisition = subscribe\ntimestamp = source\n",
                 "2:Demo.Fast,f\n2:Demo.Timestamped,fixed source time\n2:Demo.Double,d\n");
    const auto back = run_across_restart(std::chrono::seconds(3), std::chrono::seconds(8));
    Db db(database_->name());
    EXPECT_EQ(stored_twice(db), Rows{}) << output_;
    EXPECT_EQ(values_of(db, "2:Demo.Timestamped"), (Rows{{"1", "Good"}})) << output_;
    EXPECT_GE(good_rows_after(db, "2:Demo.Fast", back), 5) << output_;
}

}  // namespace
