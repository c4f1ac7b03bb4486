// The client against the node-opcua test server, for what the tests through the library
// handle (tests/qevsdk) cannot see: a node limit learnt from the server's refusals, and
// the time a stalled server may cost at each step.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>

#include "opcua_test_server.h"
#include "ua/client.h"
#include "ua/quality.h"

namespace qevsdk::ua {
namespace {

using vantrel::test::OpcUaTestServer;
using vantrel::test::OpcUaTestServerOptions;
using namespace std::chrono_literals;

constexpr int kNs = OpcUaTestServer::kNamespace;

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

TEST(UaClientServer, TheServersBadTooManyOperationsSplitsTheRequest) {
    // The client is not told the limit, so it has to learn it from the refusals.
    OpcUaTestServer server(OpcUaTestServerOptions{
        .extra_nodes = 1500, .max_nodes_per_read = 100, .buffer_size = 8192});
    server.start();
    ClientSettings s = quick_settings();
    s.ask_max_nodes_per_read = false;
    s.default_max_nodes_per_read = 1000;
    auto c = connected_client(server, s);
    expect_bulk_values(read(*c, bulk_nodes(1500)));
    EXPECT_LE(c->max_nodes_per_read(), 100u);
    EXPECT_TRUE(c->connected());
}

TEST(UaClientServer, AStalledServerBlocksNeitherReadsNorConnectsNorTeardown) {
    OpcUaTestServer server;
    server.start();
    ClientSettings s = quick_settings();
    s.channel.request_timeout = 1000ms;
    s.connect_timeout = 1000ms;
    auto c = connected_client(server, s);
    ClientSettings patient = quick_settings();
    patient.channel.request_timeout = 5000ms;
    auto idle = connected_client(server, patient);
    server.pause();
    // Tearing down a healthy-looking session to a stalled server is bounded on its own.
    auto start = std::chrono::steady_clock::now();
    idle.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2000ms);

    start = std::chrono::steady_clock::now();
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
