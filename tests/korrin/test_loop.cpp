// The collection loop with an injected clock and sleeper: back-off, interval control, and a
// source that is missing at start. Runs on the test thread; nothing waits for real.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/rig.h"

namespace korrin_test {
namespace {

std::vector<double> non_zero(const std::vector<double>& sleeps) {
    std::vector<double> out;
    std::copy_if(sleeps.begin(), sleeps.end(), std::back_inserter(out),
                 [](double s) { return s > 0.0; });
    return out;
}

TEST(BackOff, FiveShortWaitsThenAPauseThatResetsTheCount) {
    Rig rig;
    rig.opc->read_error = "timeout";
    auto c = rig.make();
    int sleeps = 0;
    rig.time.on_sleep = [&] {
        if (++sleeps == 14) {  // seven cycles: back-off wait plus interval wait each
            c->stop();
        }
    };
    c->run();

    EXPECT_EQ(non_zero(rig.time.sleeps()), (std::vector<double>{5, 5, 5, 5, 5, 60, 5}));
    EXPECT_EQ(c->consecutive_errors, 1);
    const auto texts = rig.status.texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Retrying in 5 seconds..."), 6);
    EXPECT_EQ(std::count(texts.begin(), texts.end(),
                         "Too many consecutive errors, sleeping 60 seconds before retrying..."),
              1);
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Read DA error: timeout"), 7);
    // The back-off counts towards the interval, so the next cycle starts at once.
    for (double s : rig.time.sleeps()) {
        EXPECT_TRUE(s == 0.0 || s == 5.0 || s == 60.0) << s;
    }
    EXPECT_EQ(texts.back(), "DA source disconnected");
}

TEST(Interval, SleepsTheRestOfTheIntervalAndNotAfterASlowCycle) {
    Rig rig;
    auto o = rig.options();
    o.sample_interval = 2.0;
    auto c = rig.make(std::move(o));
    c->_control_sampling_interval(rig.time.clock()() - 0.5);
    c->_control_sampling_interval(rig.time.clock()() - 3.0);
    EXPECT_EQ(rig.time.sleeps(), (std::vector<double>{1.5, 0.0}));
}

TEST(Interval, ALoopWithoutErrorsWaitsOnlyForTheInterval) {
    Rig rig;
    rig.opc->record_for = [&](const OpcTagRequest&) {
        return OpcValueRecord{Value(2.0), 0x100, std::nullopt};
    };
    auto c = rig.make();
    int sleeps = 0;
    rig.time.on_sleep = [&] {
        if (++sleeps == 3) {
            c->stop();
        }
    };
    c->run();
    EXPECT_EQ(rig.time.sleeps(), (std::vector<double>{1.0, 1.0, 1.0}));
    EXPECT_EQ(rig.drain().size(), 3u);
}

// A collector started while its server reboots must keep trying, not end quietly.
TEST(StartFailure, IsRetriedLikeAReconnect) {
    Rig rig;
    rig.opc->create_fails = true;
    auto c = rig.make();
    int sleeps = 0;
    rig.time.on_sleep = [&] {
        ++sleeps;
        if (sleeps == 1) {
            rig.opc->locked([&] { rig.opc->create_fails = false; });
        }
        if (sleeps == 4) {
            c->stop();
        }
    };
    c->run();

    const auto texts = rig.status.texts();
    ASSERT_GE(texts.size(), 4u);
    EXPECT_EQ(texts[0], "Reconnect DA error: Create OPC DA Source failed");
    EXPECT_EQ(texts[1], "Retrying in 5 seconds...");
    EXPECT_EQ(texts[2], "DA source disconnected");  // the reconnect's tear-down
    EXPECT_EQ(texts[3], "Read 25 tags, 0 bad.");
    EXPECT_EQ(rig.time.sleeps().front(), 5.0);
    EXPECT_EQ(rig.opc->creates.size(), 2u);
    EXPECT_EQ(rig.drain().size(), 2u);
}

TEST(StartFailure, AnInvalidSourceKeepsRetryingWithItsText) {
    Rig rig;
    rig.opc->source_invalid = true;
    auto c = rig.make(rig.options("opc.tcp://localhost:4840"));
    int sleeps = 0;
    rig.time.on_sleep = [&] {
        if (++sleeps == 6) {
            c->stop();
        }
    };
    c->run();
    const auto texts = rig.status.texts();
    EXPECT_EQ(
        std::count(texts.begin(), texts.end(), "Reconnect UA error: OPC UA Source is invalid"), 3);
    EXPECT_EQ(rig.opc->creates.size(), 3u);
    // Every handle made was released again.
    EXPECT_EQ(rig.opc->libraries_created, rig.opc->libraries_destroyed);
}

TEST(SingleStep, ConnectsThroughTheReconnectPathWhenNotConnected) {
    Rig rig;
    auto c = rig.make();
    c->collection_step();
    EXPECT_EQ(rig.status.texts(),
              (std::vector<std::string>{"DA source disconnected", "Read 25 tags, 0 bad."}));
    EXPECT_EQ(rig.opc->libraries_created, 1);
    c->collection_step();
    EXPECT_EQ(rig.opc->libraries_created, 1);
    EXPECT_EQ(rig.drain().size(), 2u);
}

TEST(SingleStep, ADirectConnectStillRaises) {
    Rig rig;
    rig.opc->create_fails = true;
    auto c = rig.make();
    EXPECT_THROW(c->connect_source(), std::runtime_error);
}

TEST(Cycle, ASupplierErrorEndsTheThreadAfterReleasingTheSource) {
    Rig rig;
    auto o = rig.options();
    o.get_tags_func = []() -> std::vector<std::string> { throw std::runtime_error("csv gone"); };
    auto c = rig.make(std::move(o));
    EXPECT_THROW(c->run(), std::runtime_error);
    EXPECT_EQ(rig.opc->libraries_destroyed, 1);
    EXPECT_EQ(rig.status.texts().back(), "DA source disconnected");
    EXPECT_FALSE(c->has_tsdb_connection());
}

}  // namespace
}  // namespace korrin_test
