// The OPC UA client through the library handle, against the node-opcua test server.
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "opcua_test_server.h"
#include "qevsdk/qevsdk.h"

namespace {

using namespace qevsdk;
using namespace std::chrono_literals;
using vantrel::test::OpcUaTestServer;
using vantrel::test::OpcUaTestServerOptions;

constexpr int kNs = OpcUaTestServer::kNamespace;
int severity(const ValueRecord& r) {
    return r.quality & 0xFF00;
}
constexpr int kGood = 0x0100;
constexpr int kBad = 0x0200;
constexpr int kUncertain = 0x0300;

TagRequest tag(int ns, std::string name) {
    return {QEV_DATATYPE_REAL, ns, std::move(name)};
}

std::vector<TagRequest> bulk(int first, int count) {
    std::vector<TagRequest> requests;
    for (int k = first; k < first + count; ++k) {
        requests.push_back(tag(kNs, "Bulk." + std::to_string(k)));
    }
    return requests;
}

std::string text_of(const std::array<char, 512>& field) {
    return std::string(field.data(), strnlen(field.data(), field.size()));
}

// One library handle with one source on the server, the way the engine holds them.
class Connection {
  public:
    explicit Connection(const std::string& endpoint) {
        lib_.set_log_level(QEV_LOG_LEVEL_INFO);
        source_ = lib_.create_source(QEV_RTSOURCE_UA, endpoint, 1000, 0);
    }
    ~Connection() { lib_.destroy(); }
    bool connected() const { return source_ != QEV_INVALID_HANDLE; }
    std::vector<ValueRecord> read(const std::vector<TagRequest>& requests) {
        auto [status, records] = lib_.read_values(source_, requests);
        EXPECT_EQ(records.size(), requests.size());
        return records;
    }
    ValueRecord read_one(TagRequest request) { return read({std::move(request)}).at(0); }
    QevLibrary& lib() { return lib_; }
    SourceHandle source() const { return source_; }

  private:
    QevLibrary lib_;
    SourceHandle source_ = QEV_INVALID_HANDLE;
};

// Checks that every record holds Bulk.k's value k.
void expect_bulk_values(const std::vector<ValueRecord>& records, int first) {
    int wrong = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (severity(records[i]) != kGood || records[i].value != first + static_cast<int>(i)) {
            if (++wrong <= 5) {
                ADD_FAILURE() << "Bulk." << first + static_cast<int>(i) << " read "
                              << records[i].value << " quality " << records[i].quality;
            }
        }
    }
    EXPECT_EQ(wrong, 0);
}

TEST(UaIntegration, ReadsTypedValuesStatusesAndEveryNodeIdForm) {
    OpcUaTestServer server;
    server.start();
    Connection conn(server.endpoint());
    ASSERT_TRUE(conn.connected());
    EXPECT_TRUE(conn.lib().is_source_valid(conn.source()));

    const auto before = std::chrono::system_clock::now();
    const auto r = conn.read({
        tag(kNs, "Demo.Double"),                             // 0
        tag(kNs, "Demo.Float"),                              // 1
        tag(kNs, "Demo.Int32"),                              // 2
        tag(kNs, "Demo.UInt16"),                             // 3
        tag(kNs, "Demo.Byte"),                               // 4
        tag(kNs, "Demo.Boolean"),                            // 5
        tag(kNs, "Demo.String"),                             // 6
        tag(kNs, "Demo.BadStatus"),                          // 7
        tag(kNs, "Demo.UncertainStatus"),                    // 8
        tag(kNs, "No.Such.Node"),                            // 9
        tag(kNs, "s=Demo.Double"),                           // 10
        tag(kNs, "i=1001"),                                  // 11
        tag(kNs, "g=72962B91-FA75-4AE6-8D28-B404DC7DAF63"),  // 12
        tag(kNs, "b=VmFudHJlbA=="),                          // 13
        tag(kNs, "Plant;Area=1:Pump"),                       // 14
        tag(0, "i=2259"),                                    // 15 ServerStatus.State
        tag(kNs, "Demo.Timestamped"),                        // 16
        tag(kNs, "Demo.NoSourceTimestamp"),                  // 17
        tag(kNs, "Demo.Double"),                             // 18: the same node twice
        tag(7, "Demo.Double"),                               // 19: a namespace the server lacks
    });
    const auto after = std::chrono::system_clock::now();
    ASSERT_EQ(r.size(), 20u);

    const std::vector<std::pair<int, double>> good = {
        {0, 3.25}, {1, 1.5}, {2, -42}, {3, 65535}, {4, 200}, {5, 1},  {10, 3.25}, {11, 1001.5},
        {12, 9},   {13, 8},  {14, 11}, {15, 0},    {16, 1},  {17, 2}, {18, 3.25}};
    for (const auto& [i, value] : good) {
        EXPECT_EQ(severity(r[i]), kGood) << "record " << i << " quality " << r[i].quality;
        EXPECT_EQ(r[i].value, value) << "record " << i;
    }
    for (const int i : {6, 7, 9, 19}) {
        EXPECT_EQ(severity(r[i]), kBad) << "record " << i << " quality " << r[i].quality;
        EXPECT_TRUE(std::isnan(r[i].value)) << "record " << i << " value " << r[i].value;
    }
    EXPECT_EQ(severity(r[8]), kUncertain) << r[8].quality;
    EXPECT_EQ(r[8].value, 7.5);

    // Source timestamp when there is one, else the server's.
    ASSERT_TRUE(r[16].timestamp.has_value());
    EXPECT_EQ(
        std::chrono::duration_cast<std::chrono::milliseconds>(r[16].timestamp->time_since_epoch())
            .count(),
        1577934245678LL);
    ASSERT_TRUE(r[17].timestamp.has_value());
    EXPECT_GE(*r[17].timestamp, before - 5s);
    EXPECT_LE(*r[17].timestamp, after + 5s);
    for (const auto& record : r) {
        EXPECT_TRUE(record.timestamp.has_value());
    }

    // Every read is a fresh one.
    const double first = conn.read_one(tag(kNs, "Demo.Counter")).value;
    const double second = conn.read_one(tag(kNs, "Demo.Counter")).value;
    EXPECT_GT(second, first);
}

TEST(UaIntegration, ReadsThousandsOfNodesWithinTheServersNodeLimit) {
    OpcUaTestServer server({.extra_nodes = 6000, .max_nodes_per_read = 500});
    server.start();
    Connection conn(server.endpoint());
    ASSERT_TRUE(conn.connected());
    // The engine's way: batches of 200.
    for (int first = 0; first < 6000; first += 200) {
        expect_bulk_values(conn.read(bulk(first, 200)), first);
    }
    // A single call far beyond the server's limit is split by the client.
    expect_bulk_values(conn.read(bulk(0, 6000)), 0);
    EXPECT_TRUE(conn.lib().is_source_valid(conn.source()));
}

TEST(UaIntegration, AChangingShareOfTheBulkNodesTakesNewValuesInTurn) {
    OpcUaTestServer server({.extra_nodes = 1000, .changing_percent = 10});
    server.start();
    Connection conn(server.endpoint());
    ASSERT_TRUE(conn.connected());
    const auto before = conn.read(bulk(0, 1000));
    std::this_thread::sleep_for(2500ms);
    const auto after = conn.read(bulk(0, 1000));
    ASSERT_EQ(before.size(), 1000u);
    ASSERT_EQ(after.size(), 1000u);
    int changed = 0;
    for (int k = 0; k < 1000; ++k) {
        // Bulk.k reads k plus a whole number of seconds, which only grows.
        const double was = before[k].value - k;
        const double now = after[k].value - k;
        EXPECT_EQ(severity(after[k]), kGood) << k;
        EXPECT_EQ(now, std::floor(now)) << k;
        EXPECT_GE(now, was) << k;
        changed += now != was ? 1 : 0;
    }
    // 100 nodes a second, about two or three seconds apart; slack for a loaded machine.
    EXPECT_GE(changed, 100);
    EXPECT_LE(changed, 500);
}

TEST(UaIntegration, ReadsThroughTheSmallestChunks) {
    OpcUaTestServer server({.extra_nodes = 3000, .buffer_size = 8192});
    server.start();
    Connection conn(server.endpoint());
    ASSERT_TRUE(conn.connected());
    // Requests and responses of many 8 KiB chunks each.
    expect_bulk_values(conn.read(bulk(0, 3000)), 0);
    expect_bulk_values(conn.read(bulk(1000, 5)), 1000);
    EXPECT_EQ(conn.read_one(tag(kNs, "Demo.Double")).value, 3.25);
}

TEST(UaIntegration, ALostServerGivesBadRecordsAndAFreshHandleReadsAgain) {
    OpcUaTestServer server;
    server.start();
    {
        Connection conn(server.endpoint());
        ASSERT_TRUE(conn.connected());
        EXPECT_EQ(severity(conn.read_one(tag(kNs, "Demo.Double"))), kGood);

        server.stop();
        const auto requests = std::vector<TagRequest>{tag(kNs, "Demo.Double"), tag(kNs, "i=1001"),
                                                      tag(kNs, "Demo.Int32")};
        std::vector<ValueRecord> records;
        ASSERT_NO_THROW(records = conn.read(requests));
        ASSERT_EQ(records.size(), 3u);
        for (const auto& record : records) {
            EXPECT_EQ(severity(record), kBad) << record.quality;
        }
        EXPECT_FALSE(conn.lib().is_source_valid(conn.source()));
        // A dead server cannot be connected to; the failure is a result, not an error.
        QevLibrary other;
        EXPECT_EQ(other.create_source(QEV_RTSOURCE_UA, server.endpoint(), 1000, 0),
                  QEV_INVALID_HANDLE);
        other.destroy();

        server.start();
    }
    // The engine reconnects with a fresh library handle.
    Connection again(server.endpoint());
    ASSERT_TRUE(again.connected());
    EXPECT_EQ(again.read_one(tag(kNs, "Demo.Double")).value, 3.25);
}

TEST(UaIntegration, ASilentServerNeverBlocksACallerForLong) {
    OpcUaTestServer server;
    server.start();
    Connection conn(server.endpoint());
    ASSERT_TRUE(conn.connected());
    server.pause();
    // A generous bound that only a hang would break; the client's own timeouts are shorter.
    const auto started = std::chrono::steady_clock::now();
    const auto records = conn.read({tag(kNs, "Demo.Double"), tag(kNs, "Demo.Int32")});
    EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
    for (const auto& record : records) {
        EXPECT_EQ(severity(record), kBad);
    }
    const auto connecting = std::chrono::steady_clock::now();
    QevLibrary other;
    EXPECT_EQ(other.create_source(QEV_RTSOURCE_UA, server.endpoint(), 1000, 0), QEV_INVALID_HANDLE);
    EXPECT_LT(std::chrono::steady_clock::now() - connecting, 30s);
    server.resume();
}

TEST(UaIntegration, RenewsAShortLivedChannel) {
    OpcUaTestServer server({.token_lifetime_ms = 1200});
    server.start();
    Connection conn(server.endpoint());
    ASSERT_TRUE(conn.connected());
    const auto until = std::chrono::steady_clock::now() + 4s;
    int reads = 0;
    while (std::chrono::steady_clock::now() < until) {
        const auto record = conn.read_one(tag(kNs, "Demo.Double"));
        ASSERT_EQ(severity(record), kGood) << "read " << reads << " quality " << record.quality;
        ++reads;
        std::this_thread::sleep_for(100ms);
    }
    // Tokens issued on this very channel: the first, plus one per renewal.
    const auto tokens = conn.read_one(tag(kNs, "Test.MaxTokenCount"));
    EXPECT_GE(tokens.value, 3) << "the channel was not renewed in 4 s of 1.2 s tokens";
}

TEST(UaIntegration, AHundredReconnectsLeaveNoSessionBehind) {
    OpcUaTestServer server;
    server.start();
    for (int i = 0; i < 100; ++i) {
        QevLibrary lib;
        const auto source = lib.create_source(QEV_RTSOURCE_UA, server.endpoint(), 1000, 0);
        ASSERT_NE(source, QEV_INVALID_HANDLE) << "connection " << i;
        if (i % 2 == 0) {
            lib.destroy_source(source);
        }
        lib.destroy();
    }
    Connection conn(server.endpoint());
    ASSERT_TRUE(conn.connected());
    // Channels close as their sockets do; give the server a moment to notice the last one.
    double sessions = -1;
    double channels = -1;
    for (int attempt = 0; attempt < 50; ++attempt) {
        sessions = conn.read_one(tag(kNs, "Test.SessionCount")).value;
        channels = conn.read_one(tag(kNs, "Test.ChannelCount")).value;
        if (sessions == 1 && channels == 1) {
            break;
        }
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(sessions, 1);
    EXPECT_EQ(channels, 1);
}

// Sessions on the server, read by a client that is itself one of them; polled a little
// because the server notices closed sockets in its own time.
double sessions_on(Connection& conn, double expected) {
    double sessions = -1;
    for (int attempt = 0; attempt < 30; ++attempt) {
        sessions = conn.read_one(tag(kNs, "Test.SessionCount")).value;
        if (sessions == expected) {
            break;
        }
        std::this_thread::sleep_for(100ms);
    }
    return sessions;
}

// The client gives up on a frozen server after its request timeout; the engine then drops the
// source and makes a new one. The session of the dropped source could not be closed over its
// dead channel, and must not stay on the server beside the new one until it times out.
class FrozenServer : public ::testing::Test {
  protected:
    void SetUp() override { ::setenv("QEVSDK_UA_REQUEST_TIMEOUT_MS", "800", 1); }
    void TearDown() override { ::unsetenv("QEVSDK_UA_REQUEST_TIMEOUT_MS"); }

    // Freezes the server under a connected source, reads in vain, drops the source.
    static void freeze_and_drop(OpcUaTestServer& server, bool try_while_frozen) {
        Connection conn(server.endpoint());
        ASSERT_TRUE(conn.connected());
        EXPECT_EQ(severity(conn.read_one(tag(kNs, "Demo.Double"))), kGood);
        server.pause();
        EXPECT_EQ(severity(conn.read_one(tag(kNs, "Demo.Double"))), kBad);
        EXPECT_FALSE(conn.lib().is_source_valid(conn.source()));
        if (try_while_frozen) {
            QevLibrary other;
            EXPECT_EQ(other.create_source(QEV_RTSOURCE_UA, server.endpoint(), 1000, 0),
                      QEV_INVALID_HANDLE);
            other.destroy();
        }
        server.resume();
    }
};

TEST_F(FrozenServer, AfterRecoveryOnlyTheNewSessionIsOpen) {
    OpcUaTestServer server;
    server.start();
    freeze_and_drop(server, true);
    Connection again(server.endpoint());
    ASSERT_TRUE(again.connected());
    EXPECT_EQ(again.read_one(tag(kNs, "Demo.Double")).value, 3.25);
    EXPECT_EQ(sessions_on(again, 1), 1) << "the frozen-out session is still on the server";
}

TEST_F(FrozenServer, AServerFrozenAgainAndAgainCollectsNoSessions) {
    OpcUaTestServer server;
    server.start();
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE("freeze " + std::to_string(i));
        freeze_and_drop(server, i % 2 == 0);
    }
    Connection again(server.endpoint());
    ASSERT_TRUE(again.connected());
    EXPECT_EQ(sessions_on(again, 1), 1);
}

TEST_F(FrozenServer, ASessionLeftOnAServerThatRestartedDoesNotHinderConnecting) {
    // Sessions left on a server that then restarted are unknown to the new one: the client
    // forgets them after one refusal and connects normally.
    OpcUaTestServer server;
    server.start();
    freeze_and_drop(server, false);
    server.restart();
    for (int i = 0; i < 3; ++i) {
        Connection again(server.endpoint());
        ASSERT_TRUE(again.connected()) << "connection " << i;
        EXPECT_EQ(sessions_on(again, 1), 1);
    }
}

TEST(UaIntegration, DiscoveryListsTheServerAndReportsAnUnreachableOne) {
    OpcUaTestServer server;
    server.start();
    QevLibrary lib;

    std::vector<qev_source_desc_t> descs(16);
    for (auto& d : descs) {
        d.source_type = QEV_RTSOURCE_UA;
    }
    const auto count = lib.discovery(descs, "127.0.0.1", server.port());
    ASSERT_TRUE(count.has_value());
    ASSERT_GE(*count, 1);
    std::set<std::string> names;
    for (int i = 0; i < *count; ++i) {
        EXPECT_EQ(descs[i].source_type, QEV_RTSOURCE_UA);
        const std::string name = text_of(descs[i].name);
        EXPECT_THAT(name, ::testing::StartsWith("opc.tcp://"));
        EXPECT_TRUE(names.insert(name).second) << "listed twice: " << name;
    }
    EXPECT_TRUE(names.count(server.endpoint())) << text_of(descs[0].name);

    std::vector<qev_source_desc_t> one(1);
    one[0].source_type = QEV_RTSOURCE_UA;
    EXPECT_EQ(lib.discovery(one, "127.0.0.1", server.port()), 1);

    // Both kinds on this machine: the DA simulation and the UA server.
    std::vector<qev_source_desc_t> both(16);
    const auto found = lib.discovery(both, "localhost", server.port());
    ASSERT_TRUE(found.has_value());
    ASSERT_GE(*found, 2);
    EXPECT_EQ(both[0].source_type, QEV_RTSOURCE_DA);
    EXPECT_EQ(both[1].source_type, QEV_RTSOURCE_UA);

    server.stop();
    try {
        lib.discovery(descs, "127.0.0.1", server.port());
        FAIL() << "discovery on a dead server found something";
    } catch (const Error& e) {
        EXPECT_THAT(e.what(), ::testing::HasSubstr(std::to_string(server.port())));
    }
    // Asking for every kind still gives the DA simulation.
    std::vector<qev_source_desc_t> any(16);
    EXPECT_EQ(lib.discovery(any, "localhost", server.port()), 1);
    EXPECT_EQ(any[0].source_type, QEV_RTSOURCE_DA);
}

}  // namespace
