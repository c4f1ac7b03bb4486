// Subscribed UA sources through the library handle: the flag changes where reads come from,
// not what they give; DA sources ignore it; every change can be handed over.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "opcua_test_server.h"
#include "qevsdk/qevsdk.h"
#include "qevsdk/ua_subscription.h"

namespace {

using namespace qevsdk;
using namespace std::chrono_literals;
using vantrel::test::OpcUaTestServer;

constexpr int kNs = OpcUaTestServer::kNamespace;

TagRequest tag(int ns, std::string name) {
    return {QEV_DATATYPE_REAL, ns, std::move(name)};
}

// Puts the process-wide subscription settings back as they were.
struct SubscriptionSettingsScope {
    explicit SubscriptionSettingsScope(const UaSubscription& s) { set_ua_subscription(s); }
    ~SubscriptionSettingsScope() { set_ua_subscription(UaSubscription{}); }
};

TEST(UaSubscribe, ASubscribedSourceReadsWhatAReadingOneReads) {
    OpcUaTestServer server;
    server.start();
    QevLibrary lib;
    const auto reading = lib.create_source(QEV_RTSOURCE_UA, server.endpoint(), 1000, 0);
    const auto subscribed = lib.create_source(QEV_RTSOURCE_UA, server.endpoint(), 1000, 1);
    ASSERT_NE(subscribed, QEV_INVALID_HANDLE);
    const std::vector<TagRequest> requests{tag(kNs, "Demo.Double"), tag(kNs, "i=1001"),
                                           tag(kNs, "Demo.BadStatus"), tag(kNs, "Demo.Timestamped"),
                                           tag(kNs, "No.Such.Node")};
    const auto read = lib.read_values(reading, requests).second;
    const auto reported = lib.read_values(subscribed, requests).second;
    ASSERT_EQ(reported.size(), requests.size());
    for (std::size_t i = 0; i < requests.size(); ++i) {
        SCOPED_TRACE(requests[i].tag_name);
        EXPECT_EQ(reported[i].quality & 0xFF00, read[i].quality & 0xFF00);
        if ((read[i].quality & 0xFF00) == 0x0100) {
            EXPECT_EQ(reported[i].value, read[i].value);
        }
        EXPECT_EQ(reported[i].source_timestamp, read[i].source_timestamp);
    }
    EXPECT_EQ(reported[4].status & 0xFFFF0000u, 0x80340000u);  // BadNodeIdUnknown
    EXPECT_EQ(lib.live_items(subscribed), 4u);
    EXPECT_EQ(lib.live_items(reading), std::nullopt);
    EXPECT_TRUE(lib.read_changes(reading).empty());
    lib.destroy();
}

TEST(UaSubscribe, HandsOverEveryChangeWhenAskedTo) {
    OpcUaTestServer server;
    server.start();
    SubscriptionSettingsScope scope(
        UaSubscription{.sampling_interval_ms = 0, .queue_size = 20, .keep_changes = true});
    QevLibrary lib;
    const auto source = lib.create_source(QEV_RTSOURCE_UA, server.endpoint(), 1000, 1);
    ASSERT_NE(source, QEV_INVALID_HANDLE);
    std::vector<double> values;
    for (int i = 0; i < 3; ++i) {
        lib.read_values(source, {tag(kNs, "Demo.Fast")});
        for (const auto& c : lib.read_changes(source)) {
            EXPECT_EQ(c.request.tag_name, "Demo.Fast");
            values.push_back(c.record.value);
        }
        std::this_thread::sleep_for(1s);
    }
    ASSERT_GE(values.size(), 15u);
    for (std::size_t i = 1; i < values.size(); ++i) {
        EXPECT_EQ(values[i], values[i - 1] + 1);
    }
    lib.destroy();
}

// A frozen server keeps the connection open and says nothing: past what a keep-alive allows,
// the last reported values are no longer handed out as current, and once the server speaks
// again they are.
TEST(UaSubscribe, AServerThatFallsSilentReadsBadNotItsLastValues) {
    OpcUaTestServer server;
    server.start();
    QevLibrary lib;
    const auto source = lib.create_source(QEV_RTSOURCE_UA, server.endpoint(), 1000, 1);
    ASSERT_NE(source, QEV_INVALID_HANDLE);
    const std::vector<TagRequest> fast{tag(kNs, "Demo.Fast")};
    const auto good = [](const std::vector<ValueRecord>& r) {
        return r.size() == 1 && (r[0].quality & 0xFF00) == 0x0100;
    };
    ASSERT_TRUE(good(lib.read_values(source, fast).second));

    server.pause();
    // Read once a second, as the collector does, for longer than a keep-alive and a half
    // (5 s and 2.5 s at this interval), and less than the subscription's lifetime.
    std::vector<ValueRecord> frozen;
    const auto paused = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - paused < 10s) {
        frozen = lib.read_values(source, fast).second;
        std::this_thread::sleep_for(1s);
    }
    frozen = lib.read_values(source, fast).second;
    server.resume();
    ASSERT_EQ(frozen.size(), 1u);
    EXPECT_FALSE(good(frozen)) << "a value reported before the freeze passed for a current one";

    bool back = false;
    for (int i = 0; i < 30 && !back; ++i) {
        back = good(lib.read_values(source, fast).second);
        std::this_thread::sleep_for(500ms);
    }
    EXPECT_TRUE(back);
    lib.destroy();
}

TEST(UaSubscribe, DaSourcesIgnoreTheFlagAndBadSettingsAreRefused) {
    QevLibrary lib;
    const auto da =
        lib.create_source(QEV_RTSOURCE_DA, "opc.da://localhost/Vantrel.Simulation.1", 1000, 1);
    ASSERT_NE(da, QEV_INVALID_HANDLE);
    EXPECT_EQ(lib.live_items(da), std::nullopt);
    EXPECT_EQ(lib.read_values(da, {tag(0, "Demo.Tag1")}).second.size(), 1u);
    lib.destroy();
    EXPECT_THROW(set_ua_subscription(UaSubscription{.queue_size = 0}), Error);
    EXPECT_THROW(set_ua_subscription(UaSubscription{.sampling_interval_ms = -1}), Error);
    EXPECT_THROW(
        set_ua_subscription(UaSubscription{.deadband = UaDeadband::percent, .deadband_value = 150}),
        Error);
}

}  // namespace
