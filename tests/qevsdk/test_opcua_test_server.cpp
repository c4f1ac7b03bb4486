// The OPC UA test fixture itself: other components' integration tests rely on it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "opcua_test_server.h"

namespace {

bool accepts_connections(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

TEST(OpcUaTestServer, StartsRestartsOnTheSamePortAndStops) {
    vantrel::test::OpcUaTestServer server;
    server.start();
    ASSERT_TRUE(server.running());
    const int port = server.port();
    EXPECT_GT(port, 0);
    EXPECT_EQ(server.endpoint(), "opc.tcp://127.0.0.1:" + std::to_string(port));
    EXPECT_TRUE(accepts_connections(port));
    EXPECT_NE(server.log().find("ns=2"), std::string::npos) << server.log();
    // Certificates stay in the fixture's folder, never in a home directory.
    EXPECT_TRUE(std::filesystem::exists(server.work_dir() / "pki" / "server" / "own" / "certs"));

    const pid_t first = server.pid();
    server.stop();
    EXPECT_FALSE(server.running());
    EXPECT_NE(::kill(first, 0), 0) << "the stopped server is still there";
    EXPECT_FALSE(accepts_connections(port));

    server.start();
    EXPECT_EQ(server.port(), port);
    EXPECT_TRUE(accepts_connections(port));
    EXPECT_GT(server.cpu_time().count(), 0);
}

TEST(OpcUaTestServer, CleansUpItsFolder) {
    std::filesystem::path dir;
    {
        vantrel::test::OpcUaTestServer server;
        dir = server.work_dir();
        EXPECT_TRUE(std::filesystem::exists(dir));
    }
    EXPECT_FALSE(std::filesystem::exists(dir));
}

TEST(OpcUaTestServer, ReportsAServerThatCannotStart) {
    vantrel::test::OpcUaTestServer first;
    first.start();
    vantrel::test::OpcUaTestServer second(
        {.port = first.port(), .start_timeout = std::chrono::seconds(30)});
    try {
        second.start();
        FAIL() << "a second server on a taken port started";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("exited while starting"), std::string::npos)
            << e.what();
    }
    EXPECT_FALSE(second.running());
}

}  // namespace
