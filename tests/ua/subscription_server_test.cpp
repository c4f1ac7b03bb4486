// Subscriptions against the node-opcua test server: items created within the server's
// limits, refused items, every queued change kept in order, a lost notification asked for
// again, a lost session's subscriptions transferred, a restarted server's made afresh, and
// deadbands.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "opcua_test_server.h"
#include "ua/client.h"
#include "ua/status.h"
#include "ua/subscription.h"

namespace {

using namespace qevsdk;
using namespace qevsdk::ua;
using namespace std::chrono_literals;
using vantrel::test::OpcUaTestServer;
using vantrel::test::OpcUaTestServerOptions;

constexpr int kNs = OpcUaTestServer::kNamespace;

TagRequest tag(std::string name) {
    return {QEV_DATATYPE_REAL, kNs, std::move(name)};
}

bool good(const ValueRecord& r) {
    return (r.quality & 0xFF00) == 0x0100;
}

std::size_t bad_in(const std::vector<ValueRecord>& records) {
    return static_cast<std::size_t>(std::count_if(records.begin(), records.end(),
                                                  [](const ValueRecord& r) { return !good(r); }));
}

// A client session with its subscriptions, and what they logged.
struct Subscribed {
    Subscribed(const OpcUaTestServer& server, SubscriptionSettings settings) {
        ClientSettings cs;
        cs.connect_timeout = 2000ms;
        cs.channel.request_timeout = 5000ms;
        client = std::make_unique<Client>(cs);
        const auto address = *parse_endpoint_url(server.endpoint());
        client->connect(address);
        settings.reconnect = [address](Client& c) { c.connect(address); };
        settings.log = [this](int, const std::string& text) { log.push_back(text); };
        subs = std::make_unique<Subscriptions>(*client, std::move(settings));
    }
    std::vector<ValueRecord> read(const std::vector<TagRequest>& nodes) {
        std::vector<ValueRecord> out(nodes.size());
        subs->read(nodes, out);
        return out;
    }
    std::size_t logged(const std::string& part) const {
        return static_cast<std::size_t>(std::count_if(log.begin(), log.end(), [&](const auto& l) {
            return l.find(part) != std::string::npos;
        }));
    }
    // The values reported for one node, in order.
    std::vector<double> changes_of(const std::string& name) {
        std::vector<double> out;
        for (auto& c : subs->take_changes()) {
            if (c.request.tag_name == name && good(c.record)) {
                out.push_back(c.record.value);
            }
        }
        return out;
    }

    std::unique_ptr<Client> client;
    std::unique_ptr<Subscriptions> subs;
    std::vector<std::string> log;
};

SubscriptionSettings every_change(double publishing_ms = 1000) {
    SubscriptionSettings s;
    s.publishing_interval_ms = publishing_ms;
    s.keep_changes = true;
    return s;
}

// Every change of Demo.Fast, ten a second. Sampling interval 0: node-opcua reports each change
// of the counter as it is set. At 100 ms it would sample the counter with a timer of the
// counter's own period, and a late tick of either timer skips a value the server then never
// reports.
SubscriptionSettings every_change_of_a_fast_tag(double publishing_ms) {
    auto s = every_change(publishing_ms);
    s.item.sampling_interval_ms = 0;
    s.item.queue_size = 20;
    return s;
}

// Reads `node` once a second for `seconds`, collecting every change reported for it.
std::vector<double> collect(Subscribed& s, const std::string& node, int seconds) {
    std::vector<double> values;
    for (int i = 0; i < seconds; ++i) {
        s.read({tag(node)});
        for (double v : s.changes_of(node)) {
            values.push_back(v);
        }
        std::this_thread::sleep_for(1s);
    }
    s.read({tag(node)});
    for (double v : s.changes_of(node)) {
        values.push_back(v);
    }
    return values;
}

// Consecutive counter values: none missing, none twice, none out of order.
void expect_consecutive(const std::vector<double>& values) {
    ASSERT_GE(values.size(), 2u);
    for (std::size_t i = 1; i < values.size(); ++i) {
        ASSERT_EQ(values[i], values[i - 1] + 1) << "at " << i;
    }
}

TEST(UaSubscriptions, CreatesItemsWithinTheServersLimitsAndReadsRefusedOnesBad) {
    OpcUaTestServer server({.extra_nodes = 23, .max_monitored_items_per_call = 5});
    server.start();
    Subscribed s(server, every_change(200));
    std::vector<TagRequest> nodes;
    for (int k = 0; k < 23; ++k) {
        nodes.push_back(tag("Bulk." + std::to_string(k)));
    }
    nodes.push_back(tag("No.Such.Node"));
    nodes.push_back(tag("Demo.Timestamped"));

    auto records = s.read(nodes);
    for (int k = 0; k < 23; ++k) {
        EXPECT_TRUE(good(records[k])) << k;
        EXPECT_EQ(records[k].value, k);
        EXPECT_TRUE(records[k].server_timestamp.has_value());
    }
    EXPECT_FALSE(good(records[23]));
    EXPECT_EQ(records[23].status & 0xFFFF0000, status::BadNodeIdUnknown);
    // The source time is the server's, not the time of the report.
    ASSERT_TRUE(records[24].source_timestamp.has_value());
    EXPECT_EQ(records[24].source_timestamp->time_since_epoch(), 1577934245678ms);
    EXPECT_EQ(s.subs->live_items(), 24u);

    // Read again: the same answers, from what the server reported; the refusal is logged once.
    records = s.read(nodes);
    EXPECT_EQ(records[22].value, 22);
    EXPECT_EQ(records[23].status & 0xFFFF0000, status::BadNodeIdUnknown);
    EXPECT_EQ(s.logged("No.Such.Node"), 1u);
    EXPECT_EQ(s.logged("BadNodeIdUnknown"), 1u);
}

TEST(UaSubscriptions, SplitsItemsOverSubscriptionsByTheServersLimit) {
    OpcUaTestServer server({.extra_nodes = 30, .max_monitored_items_per_subscription = 12});
    server.start();
    Subscribed s(server, every_change(200));
    std::vector<TagRequest> nodes;
    for (int k = 0; k < 30; ++k) {
        nodes.push_back(tag("Bulk." + std::to_string(k)));
    }
    const auto records = s.read(nodes);
    EXPECT_EQ(std::count_if(records.begin(), records.end(), good), 30);
    EXPECT_EQ(s.subs->subscription_count(), 3u);
    EXPECT_EQ(s.subs->live_items(), 30u);
}

// A caller that only wants the changes need not read: taking them takes in what has arrived.
TEST(UaSubscriptions, ChangesArriveWithoutAReadInBetween) {
    OpcUaTestServer server;
    server.start();
    Subscribed s(server, every_change_of_a_fast_tag(200));
    ASSERT_TRUE(good(s.read({tag("Demo.Fast")})[0]));
    std::vector<double> values = s.changes_of("Demo.Fast");
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(1s);
        for (double v : s.changes_of("Demo.Fast")) {
            values.push_back(v);
        }
    }
    expect_consecutive(values);
    // Ten changes a second for three seconds, less the last publishing interval's.
    EXPECT_GE(values.size(), 20u);
}

// Reads are answered by looking first where the previous read left off; lists read in another
// order, in part, or with new nodes among the known ones must still give each node its own value.
TEST(UaSubscriptions, ListsReadInAnyOrderOrInPartGiveEachNodeItsOwnValue) {
    OpcUaTestServer server({.extra_nodes = 12});
    server.start();
    Subscribed s(server, every_change(200));
    const auto bulk = [](std::initializer_list<int> ks) {
        std::vector<TagRequest> out;
        for (int k : ks) {
            out.push_back(tag("Bulk." + std::to_string(k)));
        }
        return out;
    };
    const auto expect_values = [&](const std::vector<TagRequest>& nodes) {
        const auto records = s.read(nodes);
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            if (nodes[i].tag_name.rfind("Bulk.", 0) != 0) {
                EXPECT_FALSE(good(records[i])) << nodes[i].tag_name;
                continue;
            }
            ASSERT_TRUE(good(records[i])) << nodes[i].tag_name;
            EXPECT_EQ(records[i].value, std::stod(nodes[i].tag_name.substr(5)))
                << nodes[i].tag_name;
        }
    };
    const auto all = bulk({0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    expect_values(all);
    expect_values(all);
    expect_values(bulk({9, 8, 7, 6, 5, 4, 3, 2, 1, 0}));
    expect_values(bulk({7, 3}));
    expect_values(bulk({3, 4, 5}));
    auto grown = bulk({0, 1, 2, 10, 3, 4});
    grown.insert(grown.begin() + 2, tag("No.Such.Node"));
    expect_values(grown);
    expect_values(bulk({4, 5, 6, 7, 8, 9, 11, 0}));
    expect_values(all);
    // Each node became one item, however often and in whatever order it was read.
    EXPECT_EQ(s.subs->live_items(), 12u);
    EXPECT_EQ(s.logged("No.Such.Node"), 1u);
}

// Each subscription needs a Publish request of its own for every keep-alive: with more
// subscriptions than requests kept on the server, and busy ones taking requests as fast as they
// come, a quiet one would wait past its keep-alive and its steady values read Bad.
TEST(UaSubscriptions, QuietSubscriptionsBesideBusyOnesNeverReadSilent) {
    // One item a subscription; node-opcua allows a session ten subscriptions.
    OpcUaTestServer server({.extra_nodes = 6, .max_monitored_items_per_subscription = 1});
    server.start();
    Subscribed s(server, every_change(100));  // a keep-alive every 5 s
    std::vector<TagRequest> nodes{tag("Demo.Fast"), tag("Demo.Ramp"), tag("Demo.AnalogRamp")};
    for (int k = 0; k < 6; ++k) {
        nodes.push_back(tag("Bulk." + std::to_string(k)));
    }
    const auto first = s.read(nodes);
    ASSERT_EQ(std::count_if(first.begin(), first.end(), good), 9)
        << s.subs->last_error() << (s.log.empty() ? "" : s.log.back());
    ASSERT_EQ(s.subs->subscription_count(), 9u);
    // Read every 3 s, past several keep-alives: between two reads the busy ones take every
    // request the moment it arrives.
    std::size_t bad = 0;
    for (int i = 0; i < 8; ++i) {
        std::this_thread::sleep_for(3s);
        const auto records = s.read(nodes);
        bad += bad_in(records);
        s.subs->take_changes();
    }
    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(s.logged("sent nothing"), 0u) << (s.log.empty() ? "" : s.log.back());
    EXPECT_EQ(s.subs->recreated(), 0u);
}

// A server that takes fewer Publish requests than subscriptions want answers the extra ones
// BadTooManyPublishRequests: the client keeps to its limit from then on, and the subscriptions
// still report every change and read no steady value Bad.
TEST(UaSubscriptions, AServerTakingFewerPublishRequestsIsKeptToItsLimit) {
    OpcUaTestServer server(
        {.extra_nodes = 4, .max_monitored_items_per_subscription = 1, .max_publish_requests = 2});
    server.start();
    Subscribed s(server, every_change_of_a_fast_tag(200));
    std::vector<TagRequest> nodes{tag("Demo.Fast")};
    for (int k = 0; k < 4; ++k) {
        nodes.push_back(tag("Bulk." + std::to_string(k)));
    }
    const auto first = s.read(nodes);
    ASSERT_EQ(std::count_if(first.begin(), first.end(), good), 5)
        << s.subs->last_error() << (s.log.empty() ? "" : s.log.back());
    ASSERT_EQ(s.subs->subscription_count(), 5u);
    std::vector<double> values = s.changes_of("Demo.Fast");
    std::size_t bad = 0;
    for (int i = 0; i < 6; ++i) {
        std::this_thread::sleep_for(1s);
        const auto records = s.read(nodes);
        bad += bad_in(records);
        for (double v : s.changes_of("Demo.Fast")) {
            values.push_back(v);
        }
    }
    EXPECT_EQ(bad, 0u) << s.subs->last_error();
    expect_consecutive(values);
    EXPECT_GE(values.size(), 40u);
    EXPECT_EQ(s.subs->recreated(), 0u);
    EXPECT_LE(s.client->posted(), 2u);
}

TEST(UaSubscriptions, KeepsEveryQueuedChangeOfAFastTagInOrder) {
    OpcUaTestServer server;
    server.start();
    Subscribed s(server, every_change_of_a_fast_tag(1000));
    const auto values = collect(s, "Demo.Fast", 4);
    expect_consecutive(values);
    // Ten changes a second, all of them reported.
    EXPECT_GE(values.size(), 30u);
}

TEST(UaSubscriptions, AsksAgainForANotificationLostOnTheWay) {
    OpcUaTestServer server;
    server.start();
    auto settings = every_change(300);
    settings.item.queue_size = 20;
    bool lost = false;
    settings.lose_message = [&lost](std::uint32_t seq) {
        if (!lost && seq == 3) {
            lost = true;
            return true;
        }
        return false;
    };
    Subscribed s(server, settings);
    const auto values = collect(s, "Demo.Fast", 3);
    EXPECT_TRUE(lost);
    EXPECT_GE(s.subs->republished(), 1u);
    expect_consecutive(values);
}

TEST(UaSubscriptions, ALostSessionsSubscriptionsMoveToTheNewOneOrAreMadeAfresh) {
    for (const bool transfer : {true, false}) {
        SCOPED_TRACE(transfer ? "transfer allowed" : "transfer refused");
        OpcUaTestServer server({.allow_anonymous_transfer = transfer});
        server.start();
        auto settings = every_change(200);
        settings.item.queue_size = 50;
        Subscribed s(server, settings);
        const auto before = collect(s, "Demo.Fast", 1);
        ASSERT_FALSE(before.empty());

        s.client->drop_connection();
        std::this_thread::sleep_for(500ms);
        EXPECT_TRUE(good(s.read({tag("Demo.Fast")})[0]));
        EXPECT_EQ(s.subs->transferred(), transfer ? 1u : 0u);
        EXPECT_EQ(s.subs->recreated(), transfer ? 0u : 1u);
        EXPECT_EQ(s.subs->live_items(), 1u);
        if (transfer) {
            // The server kept the changes made while no session held the subscription.
            auto values = before;
            for (double v : collect(s, "Demo.Fast", 1)) {
                values.push_back(v);
            }
            expect_consecutive(values);
        } else {
            EXPECT_EQ(s.logged("afresh"), 1u);
        }
    }
}

TEST(UaSubscriptions, ARestartedServersSubscriptionsAreMadeAfresh) {
    OpcUaTestServer server;
    server.start();
    Subscribed s(server, every_change(200));
    ASSERT_TRUE(good(s.read({tag("Demo.Double")})[0]));

    server.restart();
    // The first read after the restart finds the connection lost, connects again and makes
    // the subscription afresh: the server being ready, it answers that very read.
    const auto records = s.read({tag("Demo.Double"), tag("Demo.Fast")});
    EXPECT_TRUE(good(records[0]));
    EXPECT_TRUE(good(records[1]));
    EXPECT_EQ(s.subs->recreated(), 1u);
    EXPECT_EQ(s.subs->live_items(), 2u);
}

TEST(UaSubscriptions, DeadbandsThinTheReportsAndARefusedOneIsLeftOut) {
    OpcUaTestServer server;
    server.start();
    // Demo.Ramp and Demo.AnalogRamp step 0.5 every 100 ms over 0..100.
    auto unfiltered = every_change(500);
    unfiltered.item.queue_size = 20;
    Subscribed plain(server, unfiltered);
    auto absolute = unfiltered;
    absolute.item.deadband = DeadbandType::Absolute;
    absolute.item.deadband_value = 2.0;
    Subscribed thinned(server, absolute);
    auto percent = unfiltered;
    percent.item.deadband = DeadbandType::Percent;
    percent.item.deadband_value = 5.0;  // of 0..100: 5
    Subscribed by_range(server, percent);

    const std::vector<TagRequest> nodes{tag("Demo.Ramp"), tag("Demo.AnalogRamp")};
    std::vector<double> all, abs, pct;
    for (int i = 0; i < 4; ++i) {
        plain.read(nodes);
        thinned.read(nodes);
        by_range.read(nodes);
        auto append = [](std::vector<double>& to, std::vector<double> from) {
            to.insert(to.end(), from.begin(), from.end());
        };
        append(all, plain.changes_of("Demo.Ramp"));
        append(abs, thinned.changes_of("Demo.Ramp"));
        append(pct, by_range.changes_of("Demo.AnalogRamp"));
        std::this_thread::sleep_for(1s);
    }
    ASSERT_GE(all.size(), 20u);
    EXPECT_LE(abs.size(), all.size() / 3);
    EXPECT_LE(pct.size(), all.size() / 6);
    for (std::size_t i = 1; i < abs.size(); ++i) {
        if (abs[i] > abs[i - 1]) {  // not where the ramp starts over
            EXPECT_GT(abs[i] - abs[i - 1], 2.0);
        }
    }
    // Demo.Ramp has no EURange: the percent deadband is refused for it and it is monitored
    // without one, which the log says.
    EXPECT_EQ(by_range.logged("2:Demo.Ramp"), 1u);
    EXPECT_EQ(by_range.subs->live_items(), 2u);
}

}  // namespace
