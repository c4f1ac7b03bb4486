// The collector on its own thread with the real stop-aware waits: stop cuts every wait short,
// the thread owns and closes its TSDB connection, and nothing reconnects after stop.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

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
    c->consecutive_errors = 5;
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
