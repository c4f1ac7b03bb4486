// The collector against a database that stalls: a table lock held by another session, and a
// paused server (SIGSTOP). Cycles go on, rows resume once the database does, and stop() ends
// the thread within a second whatever the database is doing, leaving nothing open on it.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <korrin/cycle_queue.h>
#include <korrin/opc_collector.h>
#include <korrin/tsdb_client.h>

#include "fakes/recorders.h"
#include "pg_session.h"

namespace korrin_test {
namespace {

using namespace vantrel::korrin;
using namespace vantrel::test_fakes;
using namespace std::chrono_literals;
using vantrel::test::PgInstance;
using vantrel::test::query_one;
using vantrel::test::rows_since;
using vantrel::test::rows_since_query;

const std::string kSimulation = "opc.da://localhost/Vantrel.Simulation.1";
const std::vector<std::string> kTags = {"Demo.Count1", "Demo.Random1", "Demo.Tag1"};

class DatabaseStalls : public ::testing::Test {
  protected:
    // A test that pauses the whole server gets one of its own.
    virtual bool own_server() const { return false; }

    void SetUp() override {
        pg_holder = std::make_unique<PgInstance>(own_server());
        if (!pg().ok()) {
            GTEST_SKIP() << "no private PostgreSQL: " << pg().why();
        }
        cfg = pg().settings<TsdbConfig>();
        cfg.write_timeout = 1.0;
        cfg.lookup_timeout = 1.0;
        started_at = query_one(pg().conninfo(), "SELECT now()::text").value_or("-infinity");
        auto client = default_tsdb_client();
        auto conn = client->get_conn(cfg);
        for (const auto& name : tags) {
            if (auto known = client->get_tag(*conn, name); known && known->tag_id) {
                ids.push_back(*known->tag_id);
                continue;
            }
            auto r = client->insert_new_tag(*conn, TagInfo{.tag_name = name});
            ASSERT_TRUE(r.ok && r.data && r.data->tag_id) << r.message;
            ids.push_back(*r.data->tag_id);
        }
        conn->close();
    }

    std::unique_ptr<OPCCollector> make(std::vector<std::string> supplied) {
        return std::make_unique<OPCCollector>(
            OPCCollector::Options{.opc_schema = kSimulation,
                                  .get_tags_func = [supplied] { return supplied; },
                                  .data_deque = deque,
                                  .tsdb_cfg = cfg,
                                  .sample_interval = 0.2,
                                  .batch_size = 100,
                                  .db_status_notify = db_status.callback()});
    }
    std::unique_ptr<OPCCollector> make() { return make(tags); }

    // Successful writes of every given tag, counted from the index-th report on.
    bool wait_for_writes(std::size_t n, std::size_t from, std::chrono::seconds t = 20s) {
        return db_status.wait_until(
            [&](const auto& calls) {
                std::size_t good = 0;
                for (std::size_t i = from; i < calls.size(); ++i) {
                    good += calls[i].first && calls[i].second == std::int64_t(ids.size()) ? 1 : 0;
                }
                return good >= n;
            },
            t);
    }
    bool wait_for_failure(std::size_t from) {
        return db_status.wait_until([&](const auto& calls) {
            for (std::size_t i = from; i < calls.size(); ++i) {
                if (!calls[i].first) {
                    return true;
                }
            }
            return false;
        });
    }

    std::size_t queued() { return deque->size(); }

    long rows_written() { return rows_since(pg().conninfo(), ids, started_at); }

    // Sessions the collector (chronq) has open on the server, up to a few seconds for the
    // server to notice that they went.
    long chronq_sessions_after_a_while() {
        long n = -1;
        for (int i = 0; i < 50; ++i) {
            auto v = query_one(pg().conninfo(),
                               "SELECT count(*) FROM pg_stat_activity WHERE application_name = "
                               "'chronq' AND datname = current_database() "
                               "AND pid <> pg_backend_pid()");
            n = v ? std::stol(*v) : -1;
            if (n == 0) {
                break;
            }
            std::this_thread::sleep_for(100ms);
        }
        return n;
    }

    // Waits until the collector's write has just begun to wait for the lock, far from its time
    // limit, so that a release now lets it finish rather than racing its cancellation.
    bool wait_until_freshly_blocked() {
        for (int i = 0; i < 250; ++i) {
            auto waiting = query_one(pg().conninfo(),
                                     "SELECT count(*) FROM pg_stat_activity WHERE "
                                     "application_name = 'chronq' AND wait_event_type = 'Lock' "
                                     "AND datname = current_database() "
                                     "AND now() - query_start < interval '300 ms'");
            if (waiting == "1") {
                return true;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    // Stops the collector and says how long the thread took to end.
    std::chrono::milliseconds stop_and_time(OPCCollector& c) {
        const auto asked = std::chrono::steady_clock::now();
        c.stop();
        EXPECT_TRUE(c.join(5000ms));
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - asked);
    }

    std::unique_ptr<PgInstance> pg_holder;
    PgInstance& pg() { return *pg_holder; }
    TsdbConfig cfg;
    std::vector<std::string> tags = kTags;
    std::vector<std::int64_t> ids;
    std::string started_at;
    std::shared_ptr<CycleQueue> deque = std::make_shared<CycleQueue>();
    DbStatusLog db_status;
};

TEST_F(DatabaseStalls, AHeldTableLockNeitherStopsTheCyclesNorHoldsAStop) {
    auto c = make();
    c->start();
    ASSERT_TRUE(wait_for_writes(1, 0));

    // A session of the test's own holds the lock.
    auto locker = vantrel::test::PgSession::from_conninfo(pg().conninfo());
    const long rows_before = rows_written();  // counting waits for the lock too
    ASSERT_NO_THROW(locker.exec("BEGIN"));
    ASSERT_NO_THROW(locker.exec("LOCK TABLE chronq.tsdata IN ACCESS EXCLUSIVE MODE"));
    const auto failed_from = db_status.calls().size();
    ASSERT_TRUE(wait_for_failure(failed_from)) << "a write behind the lock must time out";
    const std::size_t queued_during = queued();
    ASSERT_TRUE(wait_for_failure(db_status.calls().size()));
    ASSERT_TRUE(wait_for_failure(db_status.calls().size()));
    EXPECT_GT(queued(), queued_during) << "cycles go on behind the lock";

    // Released: rows resume.
    ASSERT_TRUE(wait_until_freshly_blocked());
    ASSERT_NO_THROW(locker.exec("COMMIT"));
    ASSERT_TRUE(wait_for_writes(2, db_status.calls().size())) << "no rows after the release";
    EXPECT_GT(rows_written(), rows_before);

    // Held again: stop() during a write behind it ends the thread within a second, and the
    // cancelled write does not land when the lock goes.
    ASSERT_NO_THROW(locker.exec("BEGIN"));
    ASSERT_NO_THROW(locker.exec("LOCK TABLE chronq.tsdata IN ACCESS EXCLUSIVE MODE"));
    ASSERT_TRUE(wait_until_freshly_blocked());
    EXPECT_LT(stop_and_time(*c), 1000ms);
    // Gone from the server before the lock goes: its write was cancelled, not left to land.
    EXPECT_EQ(chronq_sessions_after_a_while(), 0);
    // Counted by the lock holder itself, then again once the lock is gone: a cancelled write
    // that still landed would show as rows after the release. (Comparing with the writes
    // reported as done would not do: on a starved machine a write that commits just as its
    // time limit passes is reported as failed, which is the safe side.)
    const long rows_at_stop = std::stol(locker.scalar(rows_since_query(ids, started_at)));
    ASSERT_NO_THROW(locker.exec("COMMIT"));
    EXPECT_EQ(rows_written(), rows_at_stop);
}

class PausedDatabase : public DatabaseStalls {
  protected:
    bool own_server() const override { return true; }
};

TEST_F(PausedDatabase, APausedServerHoldsNoStop) {
    const auto data_dir = query_one(pg().conninfo(), "SHOW data_directory");
    std::string pid_file;
    if (data_dir) {
        pid_file = query_one(pg().conninfo(), "SELECT pg_read_file('postmaster.pid')").value_or("");
    }
    const pid_t postmaster = static_cast<pid_t>(std::atol(pid_file.c_str()));
    if (postmaster <= 0 || ::kill(postmaster, 0) != 0) {
        GTEST_SKIP() << "cannot signal the PostgreSQL server from here";
    }
    auto c = make();
    c->start();
    ASSERT_TRUE(wait_for_writes(1, 0));

    // Every server process paused: the collector's own session and the postmaster that would
    // accept a new one.
    std::vector<pid_t> paused{postmaster};
    std::istringstream backends(query_one(pg().conninfo(),
                                          "SELECT string_agg(pid::text, ' ') FROM pg_stat_activity "
                                          "WHERE application_name = 'chronq'")
                                    .value_or(""));
    for (long pid = 0; backends >> pid;) {
        paused.push_back(static_cast<pid_t>(pid));
    }
    ASSERT_GE(paused.size(), 2u);
    const auto failed_from = db_status.calls().size();
    for (pid_t pid : paused) {
        ::kill(pid, SIGSTOP);
    }
    const bool failed = wait_for_failure(failed_from);
    std::this_thread::sleep_for(300ms);  // into the reconnect, which the paused server holds
    const auto took = stop_and_time(*c);
    for (pid_t pid : paused) {
        ::kill(pid, SIGCONT);
    }
    EXPECT_TRUE(failed) << "a write to a paused server must time out";
    EXPECT_LT(took, 1000ms);
    EXPECT_EQ(chronq_sessions_after_a_while(), 0);

    // Resumed: a new collector writes again.
    auto again = make();
    const auto from = db_status.calls().size();
    again->start();
    EXPECT_TRUE(wait_for_writes(1, from));
    again->stop();
    again->join();
}

// One name the database refuses (not valid UTF-8) among registered ones: every registered tag
// is written every cycle.
TEST_F(DatabaseStalls, ARefusedTagNameCostsOnlyThatTag) {
    std::vector<std::string> supplied = tags;
    supplied.insert(supplied.begin() + 1, "Demo.\xff\xfe");
    auto c = make(supplied);
    c->start();
    EXPECT_TRUE(wait_for_writes(4, 0)) << "the good tags' rows must arrive every cycle";
    c->stop();
    c->join();
    const auto calls = db_status.calls();
    for (const auto& [ok, count] : calls) {
        EXPECT_TRUE(ok);
        EXPECT_EQ(count, std::int64_t(ids.size()));
    }
}

}  // namespace
}  // namespace korrin_test
