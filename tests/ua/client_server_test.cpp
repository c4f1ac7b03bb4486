// The client against the node-opcua test server: typed values and statuses, node limits
// and small chunks, token renewal, teardown that leaves nothing behind, and a server that
// stalls. (A restarted server is covered through the library handle in tests/qevsdk.)
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>

#include "opcua_test_server.h"
#include "ua/client.h"
#include "ua/quality.h"

namespace qevsdk::ua {
namespace {

using vantrel::test::OpcUaTestServer;
using vantrel::test::OpcUaTestServerOptions;
using namespace std::chrono_literals;

constexpr int kNs = OpcUaTestServer::kNamespace;
constexpr int kBulk = 5000;

ClientSettings quick_settings() {
    ClientSettings s;
    s.connect_timeout = 2000ms;
    s.channel.request_timeout = 2000ms;
    return s;
}

EndpointAddress address_of(const OpcUaTestServer& server) {
    return *parse_endpoint_url(server.endpoint());
}

std::unique_ptr<Client> connected_client(const OpcUaTestServer& server,
                                         ClientSettings settings = quick_settings()) {
    auto c = std::make_unique<Client>(std::move(settings));
    c->connect(address_of(server));
    return c;
}

std::vector<ValueRecord> read(Client& c, const std::vector<TagRequest>& nodes) {
    std::vector<ValueRecord> out(nodes.size());
    c.read(nodes, out);
    return out;
}

double read_one(Client& c, const std::string& tag) {
    const auto r = read(c, {{5, kNs, tag}});
    EXPECT_EQ(r[0].quality & 0xFF00, 0x0100) << tag;
    return r[0].value;
}

std::vector<TagRequest> bulk_nodes(int n) {
    std::vector<TagRequest> nodes;
    for (int k = 0; k < n; ++k) {
        nodes.push_back({5, kNs, "s=Bulk." + std::to_string(k)});
    }
    return nodes;
}

void expect_bulk_values(const std::vector<ValueRecord>& out) {
    int wrong = 0;
    for (std::size_t k = 0; k < out.size(); ++k) {
        if (out[k].value != static_cast<double>(k) || out[k].quality != kQualityGood) {
            ++wrong;
        }
    }
    EXPECT_EQ(wrong, 0);
}

// One server for the tests that leave it running as it was.
class UaClientServer : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server_ = new OpcUaTestServer(OpcUaTestServerOptions{.extra_nodes = kBulk});
        server_->start();
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    static OpcUaTestServer* server_;
};
OpcUaTestServer* UaClientServer::server_ = nullptr;

TEST_F(UaClientServer, TypedValuesStatusesAndTimestamps) {
    auto c = connected_client(*server_);
    const std::vector<TagRequest> nodes{
        {5, kNs, "s=Demo.Double"},
        {5, kNs, "s=Demo.Float"},
        {5, kNs, "s=Demo.Int32"},
        {5, kNs, "s=Demo.UInt16"},
        {5, kNs, "s=Demo.Byte"},
        {5, kNs, "s=Demo.Boolean"},
        {5, kNs, "s=Demo.String"},
        {5, kNs, "s=Demo.BadStatus"},
        {5, kNs, "s=Demo.UncertainStatus"},
        {5, kNs, "s=Demo.Timestamped"},
        {5, kNs, "s=Plant;Area=1:Pump"},
        {5, kNs, "Plant;Area=1:Pump"},
        {5, kNs, "i=1001"},
        {5, kNs, "g=72962B91-FA75-4AE6-8D28-B404DC7DAF63"},
        {5, kNs, "b=VmFudHJlbA=="},
        {5, kNs, "s=No.Such.Node"},
        {5, 70000, "s=Demo.Double"},
    };
    const auto before = std::chrono::system_clock::now();
    const auto r = read(*c, nodes);
    ASSERT_EQ(r.size(), nodes.size());
    const double expected[] = {3.25, 1.5, -42, 65535, 200, 1};
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(r[i].value, expected[i]) << nodes[i].tag_name;
        EXPECT_EQ(r[i].quality, kQualityGood) << nodes[i].tag_name;
    }
    EXPECT_TRUE(std::isnan(r[6].value));  // a String is not a number
    EXPECT_EQ(r[6].quality & 0xFF00, 0x0200);
    EXPECT_EQ(r[7].quality & 0xFF00, 0x0200);
    EXPECT_EQ(r[8].value, 7.5);
    EXPECT_EQ(r[8].quality & 0xFF00, 0x0300);
    // The source timestamp wins over the server's.
    EXPECT_EQ(
        std::chrono::duration_cast<std::chrono::milliseconds>(r[9].timestamp->time_since_epoch())
            .count(),
        1577934245678);
    for (std::size_t i = 10; i < 15; ++i) {
        EXPECT_EQ(r[i].quality, kQualityGood) << nodes[i].tag_name;
    }
    EXPECT_EQ(r[10].value, 11.0);
    EXPECT_EQ(r[11].value, 11.0);
    EXPECT_EQ(r[12].value, 1001.5);
    EXPECT_EQ(r[13].value, 9.0);
    EXPECT_EQ(r[14].value, 8.0);
    EXPECT_EQ(r[15].quality & 0xFF00, 0x0200);  // unknown node: Bad, the rest unaffected
    EXPECT_EQ(r[16].quality & 0xFF00, 0x0200);  // namespace index out of range
    // Every record has a timestamp, at worst the time of receipt.
    for (const auto& rec : r) {
        ASSERT_TRUE(rec.timestamp);
    }
    EXPECT_GE(*r[15].timestamp, before - 1s);
    EXPECT_TRUE(c->connected());
}

TEST_F(UaClientServer, ThousandsOfNodesInOneCall) {
    auto c = connected_client(*server_);
    expect_bulk_values(read(*c, bulk_nodes(kBulk)));
}

TEST_F(UaClientServer, AHundredReconnectsLeaveNoSessionOrChannelBehind) {
    for (int i = 0; i < 100; ++i) {
        auto c = connected_client(*server_);
        ASSERT_EQ(read_one(*c, "s=Demo.Double"), 3.25);
    }
    auto probe = connected_client(*server_);
    EXPECT_EQ(read_one(*probe, "s=Test.SessionCount"), 1.0);
    // The server notices closed sockets asynchronously.
    double channels = 0;
    for (int i = 0; i < 50; ++i) {
        channels = read_one(*probe, "s=Test.ChannelCount");
        if (channels == 1.0)
            break;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(channels, 1.0);
}

TEST_F(UaClientServer, DiscoveryListsTheServerOnce) {
    const auto urls = find_server_urls(
        make_endpoint("127.0.0.1", static_cast<std::uint16_t>(server_->port())), quick_settings());
    ASSERT_FALSE(urls.empty());
    for (const auto& u : urls) {
        EXPECT_EQ(u.rfind("opc.tcp://", 0), 0u) << u;
        EXPECT_EQ(std::count(urls.begin(), urls.end(), u), 1) << u;
    }
    EXPECT_NE(urls.front().find(std::to_string(server_->port())), std::string::npos);
}

TEST_F(UaClientServer, NobodyListeningFailsPromptly) {
    const auto start = std::chrono::steady_clock::now();
    Client c(quick_settings());
    EXPECT_THROW(c.connect(*parse_endpoint_url("opc.tcp://127.0.0.1:1")), UaError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_FALSE(c.connected());
}

// A server held to a node limit, small chunks and a short token lifetime.
class UaClientSmallServer : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server_ = new OpcUaTestServer(OpcUaTestServerOptions{.extra_nodes = kBulk,
                                                             .max_nodes_per_read = 100,
                                                             .buffer_size = 8192,
                                                             .token_lifetime_ms = 1500});
        server_->start();
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    static OpcUaTestServer* server_;
};
OpcUaTestServer* UaClientSmallServer::server_ = nullptr;

TEST_F(UaClientSmallServer, ReadsStayWithinTheStatedNodeLimitAndSmallChunks) {
    auto c = connected_client(*server_);
    EXPECT_EQ(c->max_nodes_per_read(), 100u);
    expect_bulk_values(read(*c, bulk_nodes(kBulk)));
    EXPECT_TRUE(c->connected());
}

TEST_F(UaClientSmallServer, BadTooManyOperationsSplitsTheRequest) {
    ClientSettings s = quick_settings();
    s.ask_max_nodes_per_read = false;
    s.default_max_nodes_per_read = 1000;
    auto c = connected_client(*server_, s);
    expect_bulk_values(read(*c, bulk_nodes(1500)));
    EXPECT_LE(c->max_nodes_per_read(), 100u);
    EXPECT_TRUE(c->connected());
}

TEST_F(UaClientSmallServer, TheChannelIsRenewedAndReadsCarryOn) {
    auto c = connected_client(*server_);
    const auto end = std::chrono::steady_clock::now() + 3500ms;
    while (std::chrono::steady_clock::now() < end) {
        ASSERT_EQ(read_one(*c, "s=Demo.Double"), 3.25);
        std::this_thread::sleep_for(200ms);
    }
    EXPECT_GE(read_one(*c, "s=Test.MaxTokenCount"), 3.0);
}

TEST(UaClientFailures, AStalledServerGivesBadRecordsWithinTheTimeout) {
    OpcUaTestServer server;
    server.start();
    ClientSettings s = quick_settings();
    s.channel.request_timeout = 1000ms;
    s.connect_timeout = 1000ms;
    auto c = connected_client(server, s);
    server.pause();
    auto start = std::chrono::steady_clock::now();
    const auto r = read(*c, {{5, kNs, "s=Demo.Double"}, {5, kNs, "s=Demo.Int32"}});
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
    ASSERT_EQ(r.size(), 2u);
    for (const auto& rec : r) {
        EXPECT_EQ(rec.quality & 0xFF00, 0x0200);
        EXPECT_TRUE(std::isnan(rec.value));
    }
    EXPECT_FALSE(c->connected());
    // A broken client answers at once, and closing it does not wait on the server.
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(read(*c, {{5, kNs, "s=Demo.Double"}})[0].quality & 0xFF00, 0x0200);
    c.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    // Connecting to the stalled server fails within the timeouts too.
    start = std::chrono::steady_clock::now();
    Client late(s);
    EXPECT_THROW(late.connect(address_of(server)), UaError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
    server.resume();
    auto again = connected_client(server, s);
    EXPECT_EQ(read_one(*again, "s=Demo.Double"), 3.25);
}

}  // namespace
}  // namespace qevsdk::ua
