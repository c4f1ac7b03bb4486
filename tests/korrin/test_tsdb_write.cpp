// Writing cycles to the TSDB: value screening, tag-id caching, write outcomes, recovery after a
// failure, and database failures kept apart from the OPC side.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <future>
#include <limits>

#include "support/rig.h"

namespace korrin_test {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Sample sample(std::string tag, Value v, std::string quality) {
    return Sample{std::move(tag), std::move(v), std::move(quality), std::nullopt};
}

struct WriteTest : ::testing::Test {
    Rig rig;
    Rig::CollectorPtr c;
    void SetUp() override {
        for (int i = 0; i < 10; ++i) {
            rig.db->add_tag("t" + std::to_string(i), 100 + i);
        }
        c = rig.make();
    }
    WriteCall last_write() { return rig.db->writes.at(rig.db->writes.size() - 1); }
};

TEST_F(WriteTest, ScreensOnlyGoodFloatingValues) {
    const std::int64_t big = std::numeric_limits<std::int64_t>::max();
    c->handle_data({sample("t0", 1e39, "Good"), sample("t1", -1e39, " GOOD "),
                    sample("t2", 3.4e38, "good"), sample("t3", 3.40282e38, "Good"),
                    sample("t4", kNaN, "Good"), sample("t5", kNaN, "Bad"),
                    sample("t6", 1e39, "Uncertain"), sample("t7", Value(big), "Good")});
    const WriteCall w = last_write();
    EXPECT_EQ(w.ids, (std::vector<std::int64_t>{100, 101, 102, 103, 105, 106, 107}));
    EXPECT_EQ(std::get<double>(w.values[0]), kInf);
    EXPECT_EQ(std::get<double>(w.values[1]), -kInf);
    EXPECT_EQ(std::get<double>(w.values[2]), 3.4e38);
    EXPECT_EQ(std::get<double>(w.values[3]), kInf);  // above 3.4e38, below the float maximum
    EXPECT_TRUE(std::isnan(std::get<double>(w.values[4])));
    EXPECT_EQ(std::get<double>(w.values[5]), 1e39);
    EXPECT_EQ(std::get<std::int64_t>(w.values[6]), big);
    EXPECT_EQ(w.qualities[1], " GOOD ");  // written as it came
    EXPECT_EQ(rig.db_status.calls().back(), std::make_pair(true, std::int64_t{7}));

    // The queued cycle is untouched by the screening.
    const auto queued = rig.drain().at(0);
    EXPECT_EQ(std::get<double>(queued[0].value), 1e39);
    EXPECT_EQ(queued.size(), 8u);
}

TEST_F(WriteTest, TagIdsAreCachedAndUnknownTagsLookedUpAgain) {
    c->handle_data({sample("t0", 1.0, "Good"), sample("ghost", 2.0, "Good")});
    c->handle_data({sample("t0", 1.0, "Good"), sample("ghost", 2.0, "Good")});
    EXPECT_EQ(rig.db->lookups, (std::vector<std::string>{"t0", "ghost", "ghost"}));
    rig.db->add_tag("ghost", 7);  // registered later: written from then on
    c->handle_data({sample("t0", 1.0, "Good"), sample("ghost", 2.0, "Good")});
    EXPECT_EQ(last_write().ids, (std::vector<std::int64_t>{100, 7}));
}

// A plant's whole list costs a few lookup statements after each (re)connect, not one per name
// or per handful of names: the first cycle must not overrun the interval.
TEST_F(WriteTest, TheWholeTagListIsLookedUpInAFewCallsAfterEachConnect) {
    CycleResults cycle;
    for (int i = 0; i < 10000; ++i) {
        const std::string name = "Plant." + std::to_string(i);
        rig.db->add_tag(name, 1000 + i);
        cycle.push_back(sample(name, 1.0, "Good"));
    }
    c->handle_data(cycle);
    const int per_list = rig.db->calls["lookup_tags"];
    EXPECT_GE(per_list, 1);
    EXPECT_LE(per_list, 10);
    EXPECT_EQ(last_write().ids.size(), 10000u);
    c->handle_data(cycle);
    EXPECT_EQ(rig.db->calls["lookup_tags"], per_list) << "every id is cached";

    rig.db->write_error = "server closed the connection";
    rig.db->ping_throws = true;
    c->handle_data(cycle);
    rig.db->write_error.reset();
    c->handle_data(cycle);
    EXPECT_EQ(rig.db->opened, 2);
    EXPECT_EQ(rig.db->calls["lookup_tags"], 2 * per_list);
    EXPECT_EQ(last_write().ids.size(), 10000u);
}

TEST_F(WriteTest, OutcomesReachDbStatusNotify) {
    c->handle_data({});
    EXPECT_TRUE(rig.db_status.calls().empty());
    c->handle_data({sample("ghost", 1.0, "Good")});
    EXPECT_EQ(rig.db_status.calls().back(), std::make_pair(true, std::int64_t{0}));
    c->handle_data({sample("t0", kNaN, "Good")});
    EXPECT_EQ(rig.db_status.calls().back(), std::make_pair(true, std::int64_t{0}));
    rig.db->write_result = std::pair<bool, std::size_t>{false, 7};
    c->handle_data({sample("t0", 1.0, "Good")});
    EXPECT_EQ(rig.db_status.calls().back(), std::make_pair(false, std::int64_t{0}));
    EXPECT_EQ(rig.db->pings, 0);  // a reported failure is not recovered
    rig.db->write_result = std::pair<bool, std::size_t>{true, 25};
    c->handle_data({sample("t0", 1.0, "Good")});
    EXPECT_EQ(rig.db_status.calls().back(), std::make_pair(true, std::int64_t{25}));
    EXPECT_EQ(rig.db->writes.size(), 2u);
}

TEST_F(WriteTest, ARaisingWriteWithALiveConnectionIsNotRetried) {
    rig.db->write_error = "value too long";
    c->handle_data({sample("t0", 1.0, "Good")});
    EXPECT_EQ(rig.db->pings, 1);
    EXPECT_EQ(rig.db->opened, 1);
    EXPECT_EQ(rig.db->writes.size(), 1u);
    EXPECT_EQ(rig.db_status.calls().back(), std::make_pair(false, std::int64_t{0}));
    EXPECT_TRUE(c->has_tsdb_connection());
}

TEST_F(WriteTest, ABrokenConnectionIsReplacedOnceAndTheCacheEmptied) {
    c->handle_data({sample("t0", 1.0, "Good")});
    rig.db->write_error = "server closed the connection";
    rig.db->ping_throws = true;
    c->handle_data({sample("t0", 1.0, "Good")});
    EXPECT_EQ(rig.db->opened, 2);
    EXPECT_EQ(rig.db->closed, 1);
    EXPECT_TRUE(c->_db_tagname_map.empty());
    EXPECT_EQ(rig.db_status.calls().back(), std::make_pair(false, std::int64_t{0}));

    rig.db->write_error.reset();
    c->handle_data({sample("t0", 1.0, "Good")});
    EXPECT_EQ(rig.db->lookups.size(), 2u);  // looked up again on the new connection
    EXPECT_EQ(rig.db_status.calls().back(), std::make_pair(true, std::int64_t{1}));
}

TEST_F(WriteTest, AFailedReconnectLeavesNoConnectionUntilALaterCycle) {
    rig.db->write_error = "gone";
    rig.db->ping_result = false;
    rig.db->connect_returns_nothing = true;
    c->handle_data({sample("t0", 1.0, "Good")});
    EXPECT_FALSE(c->has_tsdb_connection());
    const auto reported = rig.db_status.calls().size();

    // Without a connection a cycle only tries to connect; nothing is reported for it.
    rig.db->connect_returns_nothing = false;
    rig.db->connect_error = "refused";
    c->handle_data({sample("t0", 1.0, "Good")});
    EXPECT_FALSE(c->has_tsdb_connection());
    rig.db->connect_error.reset();
    c->handle_data({sample("t0", 1.0, "Good")});
    EXPECT_TRUE(c->has_tsdb_connection());
    EXPECT_EQ(rig.db_status.calls().size(), reported);
    EXPECT_EQ(rig.db->writes.size(), 1u);
    EXPECT_EQ(rig.drain().size(), 3u);  // every cycle still reached the front end
}

// A database outage while looking up tag ids is the database's failure: no OPC back-off and no
// "Read DA error", but a recovery and a failed write report.
TEST_F(WriteTest, ALookupFailureIsADatabaseFailure) {
    rig.db->get_tag_error = "connection reset";
    rig.db->ping_result = false;
    c->connect_source();
    c->collection_step();
    EXPECT_EQ(c->consecutive_errors, 0);
    EXPECT_TRUE(c->opc_status);
    for (const auto& text : rig.status.texts()) {
        EXPECT_FALSE(text.starts_with("Read DA error")) << text;
    }
    EXPECT_EQ(rig.db->pings, 1);
    EXPECT_EQ(rig.db->opened, 2);
    EXPECT_EQ(rig.db_status.calls().back(), std::make_pair(false, std::int64_t{0}));
    EXPECT_EQ(rig.drain().size(), 1u);
}

// A name the database refuses belongs to that tag alone: the others are written every cycle,
// and the refused one is asked about once, not every cycle, until a reconnect.
TEST_F(WriteTest, ARefusedTagNameCostsOnlyThatTag) {
    rig.db->refuse_lookups = {"bad\xff"};
    const CycleResults cycle{sample("t0", 1.0, "Good"), sample("bad\xff", 2.0, "Good"),
                             sample("t1", 3.0, "Good"), sample("t2", 4.0, "Bad")};
    for (int i = 0; i < 3; ++i) {
        c->handle_data(cycle);
        EXPECT_EQ(last_write().ids, (std::vector<std::int64_t>{100, 101, 102})) << i;
        EXPECT_EQ(rig.db_status.calls().back(), std::make_pair(true, std::int64_t{3})) << i;
    }
    EXPECT_EQ(rig.db->writes.size(), 3u);
    EXPECT_EQ(std::count(rig.db->lookups.begin(), rig.db->lookups.end(), "bad\xff"), 1);
    EXPECT_EQ(rig.db->pings, 0) << "a refused name is no database failure";
    EXPECT_EQ(rig.db->opened, 1);

    // A new connection may be a new database: the name is asked about again there.
    rig.db->write_error = "server closed the connection";
    rig.db->ping_result = false;
    c->handle_data(cycle);
    rig.db->write_error.reset();
    c->handle_data(cycle);
    EXPECT_EQ(rig.db->opened, 2);
    EXPECT_EQ(std::count(rig.db->lookups.begin(), rig.db->lookups.end(), "bad\xff"), 2);
    EXPECT_EQ(last_write().ids, (std::vector<std::int64_t>{100, 101, 102}));
}

TEST_F(WriteTest, TheQueueLockIsHeldOnlyAroundTheAppend) {
    bool lock_free_during_write = false;
    // Kept beyond the callback, so that a held lock would fail the test rather than hang it.
    std::future<std::size_t> asked;
    auto o = rig.options();
    o.db_status_notify = [&](bool, std::int64_t) {
        // Another thread asks the queue: it answers at once unless the lock is held.
        asked = std::async(std::launch::async, [&] { return rig.deque->size(); });
        lock_free_during_write =
            asked.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    };
    auto locked = rig.make(std::move(o));
    locked->handle_data({sample("t0", 1.0, "Good")});
    EXPECT_TRUE(lock_free_during_write);

    // Two collectors may share one front end's queue.
    auto other = rig.make();
    other->handle_data({sample("t0", 1.0, "Good")});
    EXPECT_EQ(rig.deque->size(), 2u);
}

TEST_F(WriteTest, TheQueueKeepsTheNewest300Cycles) {
    rig.tags = {"t0"};
    c->connect_source();
    for (int i = 0; i < 305; ++i) {
        c->collection_step();
    }
    EXPECT_EQ(rig.deque->size(), 300u);
    EXPECT_EQ(rig.db->writes.size(), 305u);
}

// A front end that shows only counts gets them without the samples being copied; a queue
// that keeps samples gives the same counts, and both drop their oldest cycles alike.
TEST(CycleQueueTest, AQueueOfCountsKeepsNoSamplesButTheSameCounts) {
    const CycleResults cycle{sample("a", 1.0, "Good"), sample("b", 2.0, "Bad")};
    CycleQueue counts(2, false);
    CycleQueue samples(2);
    for (CycleQueue* queue : {&counts, &samples}) {
        queue->push_copy(cycle);
        queue->push_copy({sample("c", 3.0, "Good")});
        queue->push(cycle);  // drops the first
        EXPECT_EQ(queue->size(), 2u);
        EXPECT_EQ(queue->drain_sample_count(), 3u);
        EXPECT_TRUE(queue->empty());
        queue->push_copy(cycle);
    }
    const auto kept = samples.drain();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0], cycle);
    const auto counted = counts.drain();
    ASSERT_EQ(counted.size(), 1u);
    EXPECT_TRUE(counted[0].empty());
    EXPECT_EQ(counts.drain_sample_count(), 0u) << "drain() empties the counts too";
}

// Handlers catch TsdbError and ask it, never its type: each client error keeps its kind,
// SQLSTATE and doubt, also when copied and when caught as the base. (That unequal sequences are
// the statement's fault and anything else an unknown outcome is the writer's rule, tested with
// the writer in test_store_forward.cpp.)
TEST(TsdbErrors, SayTheirKindSqlstateAndDoubt) {
    const TsdbConnectionError lost("server closed the connection", "", true);
    const TsdbQueryError refused("invalid byte sequence", "22021");
    const TsdbError other("the client's lookup gave 2 answers for 3 names");

    const auto kind_of = [](const TsdbError& e) { return e.kind(); };
    EXPECT_EQ(kind_of(lost), TsdbErrorKind::connection);
    EXPECT_EQ(kind_of(refused), TsdbErrorKind::statement);
    EXPECT_EQ(kind_of(other), TsdbErrorKind::other);

    const TsdbError copy = lost;
    EXPECT_TRUE(copy.in_doubt());
    EXPECT_EQ(copy.sqlstate(), "");
    EXPECT_STREQ(copy.what(), "server closed the connection");
    EXPECT_FALSE(refused.in_doubt());
    EXPECT_EQ(refused.sqlstate(), "22021");
    EXPECT_EQ(TsdbConnectionError("x", "57P01").sqlstate(), "57P01");
}

// Old days go once a day, after a write, and only when the settings ask for it; a refusal is
// logged and not asked again that day, and never fails the cycle.
TEST(WriteRetention, OldDaysAreDroppedOnceADayOnlyWhenAsked) {
    for (const int keep : {0, 14}) {
        SCOPED_TRACE(keep);
        Rig rig;
        rig.db->add_tag("t0", 100);
        auto options = rig.options();
        options.tsdb_cfg->retention_days = keep;
        auto c = rig.make(std::move(options));
        rig.db->drop_days_error = "lock timeout";
        for (int i = 0; i < 3; ++i) {
            c->handle_data({sample("t0", 1.0, "Good")});
        }
        EXPECT_EQ(rig.db->kept_days, keep == 0 ? std::vector<int>{} : std::vector<int>{14});
        EXPECT_EQ(rig.db->writes.size(), 3u);
        EXPECT_EQ(rig.db_status.calls().back(), std::make_pair(true, std::int64_t{1}));
    }
}

}  // namespace
}  // namespace korrin_test
