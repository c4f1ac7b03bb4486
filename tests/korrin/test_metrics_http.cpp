// The metrics endpoint on a real socket: what it answers, what it refuses, the clients it must
// survive, the address it binds, and the metrics_listen value it is given.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <korrin/metrics_server.h>

#include "http_client.h"

namespace korrin_test {
namespace {

using namespace vantrel::korrin;
using vantrel::test::http_get;
using vantrel::test::http_raw;
using vantrel::test::HttpAnswer;
using vantrel::test::HttpConnection;

std::shared_ptr<EngineMetrics> collecting_figures() {
    auto m = std::make_shared<EngineMetrics>();
    m->interval_seconds.set(1.0);
    m->started_at.set(unix_now());
    m->cycles.add(3);
    m->opc_connected.set(1.0);
    m->last_cycle_at.set(unix_now());
    return m;
}

MetricsServer local_server(std::shared_ptr<EngineMetrics> m) {
    return MetricsServer({.host = "127.0.0.1", .port = 0}, std::move(m));
}

TEST(MetricsEndpoint, ServesTheFiguresAndTheHealthCheck) {
    auto m = collecting_figures();
    auto server = local_server(m);
    EXPECT_EQ(server.address(), "127.0.0.1:" + std::to_string(server.port()));

    const HttpAnswer metrics = http_get(server.port(), "/metrics");
    EXPECT_EQ(metrics.status, 200);
    EXPECT_NE(metrics.head.find("text/plain; version=0.0.4"), std::string::npos) << metrics.head;
    EXPECT_NE(metrics.body.find("vantrel_cycles_total 3\n"), std::string::npos);

    const HttpAnswer healthy = http_get(server.port(), "/health");
    EXPECT_EQ(healthy.status, 200);
    EXPECT_NE(healthy.head.find("application/json"), std::string::npos);
    EXPECT_EQ(healthy.body.rfind("{\"status\":\"ok\"", 0), 0u) << healthy.body;

    m->opc_connected.set(0.0);  // read live, not at start
    const HttpAnswer failing = http_get(server.port(), "/health");
    EXPECT_EQ(failing.status, 503);
    EXPECT_NE(failing.body.find("not connected to the OPC server"), std::string::npos);

    EXPECT_EQ(http_get(server.port(), "/metrics?x=1").status, 200);
    EXPECT_EQ(http_get(server.port(), "/").status, 404);
}

TEST(MetricsEndpoint, OnlyGetIsServedAndNonsenseIsABadRequest) {
    auto server = local_server(collecting_figures());
    for (const std::string method : {"POST", "PUT", "DELETE", "HEAD", "OPTIONS", "BREW"}) {
        SCOPED_TRACE(method);
        const HttpAnswer a = http_raw(server.port(), method +
                                                         " /metrics HTTP/1.1\r\nHost: x\r\n"
                                                         "Content-Length: 5\r\nConnection: "
                                                         "close\r\n\r\nhello");
        EXPECT_EQ(a.status, 405);
        EXPECT_NE(a.head.find("Allow: GET"), std::string::npos) << a.head;
    }
    // A request line the server cannot read at all is answered 400 or not at all.
    const int garbage = http_raw(server.port(), "GARBAGE\r\n\r\n").status;
    EXPECT_TRUE(garbage == 400 || garbage == 0) << garbage;
    EXPECT_EQ(http_raw(server.port(), "GET /metrics HTTP/1.1\r\nConnection: close\r\n\r\n").status,
              400)
        << "HTTP/1.1 without Host";
    EXPECT_EQ(http_raw(server.port(),
                       "GET /metrics HTTP/1.1\r\nHost: x\r\nBroken header line\r\n"
                       "Connection: close\r\n\r\n")
                  .status,
              400);
    // A header far beyond the limit is refused, and the next client is served as before.
    const HttpAnswer huge = http_raw(
        server.port(), "GET /metrics HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(1 << 20, 'a') +
                           "\r\nConnection: close\r\n\r\n");
    EXPECT_TRUE(huge.status == 0 || (huge.status >= 400 && huge.status < 500)) << huge.status;
    EXPECT_EQ(http_get(server.port(), "/metrics").status, 200);
}

TEST(MetricsEndpoint, SlowAndNumerousClientsDoNotShutOthersOut) {
    auto server = local_server(collecting_figures());
    // A client that sends half a request and then nothing.
    HttpConnection slow(server.port());
    ASSERT_TRUE(slow.connected());
    ASSERT_TRUE(slow.send("GET /metrics HTTP/1.1\r\nHost: x\r\nX-Slow: "));
    EXPECT_EQ(http_get(server.port(), "/metrics").status, 200) << "served beside the slow one";

    // More connections than the endpoint takes from one client, all idle.
    std::vector<std::unique_ptr<HttpConnection>> crowd;
    for (int i = 0; i < 100; ++i) {
        crowd.push_back(std::make_unique<HttpConnection>(server.port(), 5));
    }
    crowd.clear();
    // Once they are gone, the endpoint answers again; closed connections are noticed by the
    // server's own thread, so a few tries may meet the last of them.
    int status = 0;
    for (int tries = 0; tries < 50 && status != 200; ++tries) {
        status = http_get(server.port(), "/health").status;
        if (status != 200) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    EXPECT_EQ(status, 200);
}

TEST(MetricsEndpoint, APortInUseIsAClearErrorNamingTheAddress) {
    auto first = local_server(collecting_figures());
    try {
        MetricsServer second({.host = "127.0.0.1", .port = first.port()}, collecting_figures());
        FAIL() << "a second listener on the same port";
    } catch (const MetricsServerError& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("127.0.0.1:" + std::to_string(first.port())), std::string::npos)
            << what;
        EXPECT_NE(what.find("already in use"), std::string::npos) << what;
        EXPECT_NE(what.find("metrics_listen"), std::string::npos) << what;
    }
    EXPECT_THROW(MetricsServer({.host = "no-such-host.invalid", .port = 0}, collecting_figures()),
                 MetricsServerError);
    EXPECT_THROW(MetricsServer({.host = "192.0.2.1", .port = 0}, collecting_figures()),
                 MetricsServerError)
        << "an address this machine does not have";
}

TEST(MetricsListenSetting, HostAndPortOrOff) {
    EXPECT_FALSE(parse_metrics_listen("").enabled());
    EXPECT_FALSE(parse_metrics_listen("  ").enabled());
    const MetricsListen v4 = parse_metrics_listen(" 127.0.0.1:9100 ");
    EXPECT_EQ(v4.host, "127.0.0.1");
    EXPECT_EQ(v4.port, 9100);
    EXPECT_EQ(v4.text(), "127.0.0.1:9100");
    const MetricsListen v6 = parse_metrics_listen("[::1]:9100");
    EXPECT_EQ(v6.host, "::1");
    EXPECT_EQ(v6.text(), "[::1]:9100");
    EXPECT_EQ(parse_metrics_listen("collector.plant:65535").host, "collector.plant");
    EXPECT_EQ(parse_metrics_listen("0.0.0.0:9100").host, "0.0.0.0");

    for (const char* bad : {"9100", ":9100", "host:", "host:0", "host:65536", "host:9x", "::1:9100",
                            "[::1:9100", "host:123456"}) {
        SCOPED_TRACE(bad);
        try {
            (void)parse_metrics_listen(bad);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find("[Vantrel] metrics_listen must be host:port"),
                      std::string::npos)
                << e.what();
        }
    }
}

}  // namespace
}  // namespace korrin_test
