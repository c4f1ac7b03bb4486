// The collector on its own thread with the real stop-aware waits: stop cuts every wait short,
// the thread owns and closes its TSDB connection, and nothing reconnects after stop.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "support/rig.h"

namespace korrin_test {
namespace {

using namespace std::chrono_literals;

// Real clock and sleeper: the waits below would last an hour or a minute if stop() did not
// wake them.
OPCCollector::Options real_time(Rig& rig, double interval) {
    auto o = rig.options();
    o.clock = nullptr;
    o.sleeper = nullptr;
    o.sample_interval = interval;
    return o;
}

TEST(Stop, WakesTheIntervalWait) {
    Rig rig;
    auto c = rig.make(real_time(rig, 3600.0));
    c->start();
    ASSERT_TRUE(rig.opc->wait_for_reads(1));
    ASSERT_TRUE(rig.status.wait_for("Read 25 tags, 0 bad."));
    EXPECT_TRUE(c->is_alive());
    EXPECT_FALSE(c->join(50ms));
    c->stop();
    EXPECT_TRUE(c->join(1000ms));
    EXPECT_FALSE(c->is_alive());
    EXPECT_EQ(rig.status.texts().back(), "DA source disconnected");
}

TEST(Stop, WakesTheSixtySecondPause) {
    Rig rig;
    rig.opc->read_error = "server gone";
    auto c = rig.make(real_time(rig, 1.0));
    for (int i = 0; i < 5; ++i) {
        c->opc_error("an earlier failure");  // the count is the collector's own
    }
    c->start();
    ASSERT_TRUE(
        rig.status.wait_for("Too many consecutive errors, sleeping 60 seconds before retrying..."));
    const auto asked = std::chrono::steady_clock::now();
    c->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 100ms);  // stop() itself returns at once
    EXPECT_TRUE(c->join(1000ms));
}

TEST(Stop, TheThreadClosesItsOwnConnection) {
    Rig rig;
    rig.db->add_tag("Demo.Tag0", 1);
    auto c = rig.make(real_time(rig, 3600.0));
    c->start();
    ASSERT_TRUE(rig.db->wait_until([&] { return !rig.db->writes.empty(); }));
    c->stop();
    c->join();
    EXPECT_EQ(rig.db->opened, 1);
    EXPECT_EQ(rig.db->closed, 1);
    EXPECT_EQ(rig.db->dropped_open, 0);
    ASSERT_EQ(rig.db->close_threads.size(), 1u);
    EXPECT_NE(rig.db->close_threads[0], std::this_thread::get_id());
    EXPECT_FALSE(c->has_tsdb_connection());
}

TEST(Stop, NothingReconnectsAfterStop) {
    Rig rig;
    rig.db->add_tag("Demo.Tag0", 1);
    rig.db->write_error = "server closed the connection";
    rig.db->ping_result = false;
    auto c = rig.make(real_time(rig, 3600.0));
    // stop() arrives while the cycle is reading; its failing write must not reopen anything.
    rig.opc->record_for = [&](const OpcTagRequest&) {
        c->stop();
        return OpcValueRecord{Value(1.0), 0x100, std::nullopt};
    };
    c->start();
    ASSERT_TRUE(c->join(5000ms));
    EXPECT_EQ(rig.db->writes.size(), 1u);
    EXPECT_EQ(rig.db->opened, 1);
    EXPECT_EQ(rig.db->closed, 1);
    EXPECT_EQ(rig.db->dropped_open, 0);
}

TEST(Stop, WithoutAThreadClosesOnTheCallersThread) {
    Rig rig;
    auto c = rig.make();
    c->connect_source();
    c->collection_step();
    c->stop();
    EXPECT_EQ(rig.status.texts().back(), "Stopping OPC collector thread...");
    EXPECT_EQ(rig.db->closed, 1);
    EXPECT_EQ(rig.db->close_threads.at(0), std::this_thread::get_id());
    // A later step has nothing to write on and opens nothing.
    c->collection_step();
    EXPECT_EQ(rig.db->opened, 1);
    c->disconnect_source();
}

// A long cycle must not hold a stop: it is looked at between batches and between lookups.
TEST(Stop, EndsAMultiBatchReadBetweenBatches) {
    Rig rig;
    rig.tags = numbered_tags("Demo.Bulk.", 2000);
    rig.opc->read_delay = 20ms;  // 100 batches of 20: a cycle of two seconds at least
    auto o = real_time(rig, 3600.0);
    o.batch_size = 20;
    auto c = rig.make(std::move(o));
    c->start();
    ASSERT_TRUE(rig.opc->wait_for_reads(3));
    const auto asked = std::chrono::steady_clock::now();
    c->stop();
    EXPECT_TRUE(c->join(1000ms));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1000ms);
    EXPECT_LT(rig.opc->locked([&] { return rig.opc->reads.size(); }), 100u);
    EXPECT_TRUE(rig.drain().empty()) << "a cycle cut short is not handed on";
    EXPECT_TRUE(rig.db->writes.empty());
}

TEST(Stop, EndsALongRunOfTagLookups) {
    Rig rig;
    rig.tags = numbered_tags("Unregistered.", 1000);
    rig.db->lookup_delay = 5ms;  // five seconds of lookups, one tag at a time
    auto c = rig.make(real_time(rig, 3600.0));
    c->start();
    ASSERT_TRUE(rig.db->wait_until([&] { return rig.db->lookups.size() >= 10; }));
    const auto asked = std::chrono::steady_clock::now();
    c->stop();
    EXPECT_TRUE(c->join(1000ms));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1000ms);
    EXPECT_LT(rig.db->locked([&] { return rig.db->lookups.size(); }), 1000u);
    EXPECT_EQ(rig.db->closed, 1);
}

// A write that hangs (a held lock, a paused server) is cancelled by stop(): the thread ends at
// once, closes its connection and opens no other.
TEST(Stop, CancelsAStatementInFlight) {
    Rig rig;
    rig.db->add_tag("Demo.Tag0", 1);
    rig.db->block_writes = true;
    auto c = rig.make(real_time(rig, 1.0));
    c->start();
    ASSERT_TRUE(rig.db->wait_until([&] { return rig.db->blocked_writes == 1; }));
    const auto asked = std::chrono::steady_clock::now();
    c->stop();
    EXPECT_TRUE(c->join(1000ms));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1000ms);
    EXPECT_EQ(rig.db->opened, 1);
    EXPECT_EQ(rig.db->closed, 1);
    EXPECT_EQ(rig.db->dropped_open, 0);
    EXPECT_EQ(rig.db_status.calls().back(), std::make_pair(false, std::int64_t{0}));
}

TEST(Lifecycle, StartsOnceAndTheDestructorEndsTheThread) {
    Rig rig;
    {
        auto c = rig.make(real_time(rig, 3600.0));
        c->start();
        EXPECT_THROW(c->start(), std::runtime_error);
        ASSERT_TRUE(rig.opc->wait_for_reads(1));
    }  // must not hang for an hour
    EXPECT_EQ(rig.opc->libraries_created, rig.opc->libraries_destroyed);
    EXPECT_EQ(rig.db->dropped_open, 0);
}

// A front end may drop its collector from one of the collector's own callbacks; the process
// goes on, and the thread releases everything and destroys the collector on its way out.
TEST(Lifecycle, ACollectorReleasedFromItsOwnThreadEndsCleanly) {
    Rig rig;
    rig.db->add_tag("Demo.Tag0", 1);
    std::unique_ptr<OPCCollector> owner;
    std::mutex owner_lock;
    auto o = real_time(rig, 3600.0);
    o.db_status_notify = [&](bool, std::int64_t) {
        std::lock_guard lock(owner_lock);
        owner.reset();
    };
    {
        std::lock_guard lock(owner_lock);
        owner = std::make_unique<OPCCollector>(std::move(o));
        owner->start();
    }
    ASSERT_TRUE(rig.db->wait_until([&] { return rig.db->closed == 1; }));
    ASSERT_TRUE(rig.opc->wait_for_creates(1));
    std::unique_lock lock(rig.opc->mutex);
    EXPECT_TRUE(rig.opc->changed.wait_for(
        lock, 5s, [&] { return rig.opc->libraries_destroyed == rig.opc->libraries_created; }));
    EXPECT_EQ(rig.db->dropped_open, 0);
    lock.unlock();
    // The thread's last steps (a log line, deleting the collector) touch nothing of the rig,
    // but the rig's fakes must outlive them in case they ever do.
    std::this_thread::sleep_for(100ms);
}

TEST(Lifecycle, ANeverStartedCollectorReleasesWhatASingleStepOpened) {
    Rig rig;
    {
        auto c = rig.make();
        c->connect_source();
        c->collection_step();
    }
    EXPECT_EQ(rig.opc->libraries_destroyed, 1);
    EXPECT_EQ(rig.db->closed, 1);
}

}  // namespace
}  // namespace korrin_test
