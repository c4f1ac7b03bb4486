// The client's secured channels and user logins against the node-opcua test server: every
// policy and mode, user names and a wrong password, the trust decision on the server's
// certificate, token renewal and chunking under SignAndEncrypt.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "opcua_test_server.h"
#include "ua/client.h"

namespace qevsdk::ua {
namespace {

namespace fs = std::filesystem;
using vantrel::test::OpcUaTestServer;
using vantrel::test::OpcUaTestServerOptions;
using namespace std::chrono_literals;

constexpr int kNs = OpcUaTestServer::kNamespace;

// One server offers everything; another only Basic256Sha256/SignAndEncrypt with user names,
// small buffers and a short token lifetime, as a strict plant server would.
class UaSecurity : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!OpcUaTestServer::installed()) {
            return;
        }
        open_ = std::make_unique<OpcUaTestServer>(OpcUaTestServerOptions{
            .security = "None:None,Basic256Sha256:Sign,Basic256Sha256:SignAndEncrypt,"
                        "Aes128_Sha256_RsaOaep:Sign,Aes128_Sha256_RsaOaep:SignAndEncrypt,"
                        "Aes256_Sha256_RsaPss:Sign,Aes256_Sha256_RsaPss:SignAndEncrypt",
            .users = "alice:wonder land"});
        strict_ = std::make_unique<OpcUaTestServer>(
            OpcUaTestServerOptions{.extra_nodes = 3000,
                                   .buffer_size = 8192,
                                   .token_lifetime_ms = 2000,
                                   .security = "Basic256Sha256:SignAndEncrypt",
                                   .users = "operator:s3cret,alice:wonder land",
                                   .allow_anonymous = false});
        open_->start();
        strict_->start();
    }
    static void TearDownTestSuite() {
        open_.reset();
        strict_.reset();
    }
    void SetUp() override {
        if (!OpcUaTestServer::installed()) {
            GTEST_SKIP() << "node-opcua is not installed";
        }
    }

    static ClientSettings settings(const OpcUaTestServer& server, PolicyId policy,
                                   SecurityMode mode, const std::string& pki_name,
                                   bool tofu = true) {
        ClientSettings s;
        s.connect_timeout = 3000ms;
        s.channel.request_timeout = 5000ms;
        s.security.policy = &policy_of(policy);
        s.security.mode = mode;
        s.security.pki_dir = server.work_dir() / pki_name;
        s.security.trust_on_first_use = tofu;
        return s;
    }

    static double read_one(Client& c, const std::string& tag) {
        std::vector<TagRequest> nodes{{5, kNs, tag}};
        std::vector<ValueRecord> out(1);
        c.read(nodes, out);
        EXPECT_EQ(out[0].quality & 0xFF00, 0x0100) << tag << ": " << c.last_error();
        return out[0].value;
    }

    static inline std::unique_ptr<OpcUaTestServer> open_;
    static inline std::unique_ptr<OpcUaTestServer> strict_;
};

TEST_F(UaSecurity, EveryPolicyAndModeReadsAnonymouslyAndWithAUserName) {
    const EndpointAddress address = *parse_endpoint_url(open_->endpoint());
    for (auto policy :
         {PolicyId::Basic256Sha256, PolicyId::Aes128Sha256RsaOaep, PolicyId::Aes256Sha256RsaPss}) {
        for (auto mode : {SecurityMode::Sign, SecurityMode::SignAndEncrypt}) {
            SCOPED_TRACE(std::string(policy_of(policy).name) + " mode " +
                         std::to_string(static_cast<int>(mode)));
            auto s = settings(*open_, policy, mode, "pki-all");
            Client anonymous(s);
            ASSERT_NO_THROW(anonymous.connect(address));
            EXPECT_EQ(read_one(anonymous, "s=Demo.Double"), 3.25);
            EXPECT_EQ(read_one(anonymous, "s=Demo.Int32"), -42);

            s.security.user = "alice";
            s.security.password = "wonder land";
            Client user(s);
            ASSERT_NO_THROW(user.connect(address));
            EXPECT_EQ(read_one(user, "s=Demo.UInt16"), 65535);
        }
    }
}

TEST_F(UaSecurity, APasswordOverSecurityNoneIsEncryptedWithTheServerCertificate) {
    // node-opcua's None endpoint names a secure policy for its user name token.
    auto s = settings(*open_, PolicyId::None, SecurityMode::None, "pki-none-user");
    s.security.user = "alice";
    s.security.password = "wonder land";
    Client c(s);
    ASSERT_NO_THROW(c.connect(*parse_endpoint_url(open_->endpoint())));
    EXPECT_EQ(read_one(c, "s=Demo.Double"), 3.25);
}

TEST_F(UaSecurity, AnEndpointTheServerDoesNotOfferIsNamedInTheError) {
    auto s = settings(*strict_, PolicyId::Aes256Sha256RsaPss, SecurityMode::Sign, "pki-wrong");
    s.security.user = "operator";
    s.security.password = "s3cret";
    Client c(s);
    try {
        c.connect(*parse_endpoint_url(strict_->endpoint()));
        FAIL() << "connected to an endpoint the server does not offer";
    } catch (const UaError& e) {
        EXPECT_EQ(e.code(), status::BadSecurityPolicyRejected);
        EXPECT_NE(std::string(e.what()).find("Basic256Sha256/SignAndEncrypt"), std::string::npos)
            << e.what();
    }
    // Anonymous login on a server that requires a user name is refused the same way.
    Client anonymous(
        settings(*strict_, PolicyId::Basic256Sha256, SecurityMode::SignAndEncrypt, "pki-wrong"));
    EXPECT_THROW(anonymous.connect(*parse_endpoint_url(strict_->endpoint())), UaError);
}

TEST_F(UaSecurity, AWrongPasswordIsAccessDeniedAtOnceAndNeverInTheMessage) {
    auto s =
        settings(*strict_, PolicyId::Basic256Sha256, SecurityMode::SignAndEncrypt, "pki-denied");
    s.security.user = "operator";
    s.security.password = "not-the-password";
    Client c(s);
    const auto start = std::chrono::steady_clock::now();
    try {
        c.connect(*parse_endpoint_url(strict_->endpoint()));
        FAIL() << "logged in with a wrong password";
    } catch (const UaError& e) {
        EXPECT_EQ(e.code() & 0xFFFF0000, status::BadUserAccessDenied) << e.what();
        const std::string what = e.what();
        EXPECT_NE(what.find("access denied"), std::string::npos) << what;
        EXPECT_NE(what.find("operator"), std::string::npos) << what;
        EXPECT_EQ(what.find("not-the-password"), std::string::npos) << what;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_FALSE(c.connected());
}

TEST_F(UaSecurity, AnUnknownServerCertificateIsRefusedUntilMovedToTrusted) {
    auto s = settings(*strict_, PolicyId::Basic256Sha256, SecurityMode::SignAndEncrypt, "pki-trust",
                      false);
    s.security.user = "operator";
    s.security.password = "s3cret";
    const EndpointAddress address = *parse_endpoint_url(strict_->endpoint());
    const fs::path pki = s.security.pki_dir;
    Client c(s);
    std::string what;
    try {
        c.connect(address);
        FAIL() << "an unknown server certificate was accepted";
    } catch (const UaError& e) {
        EXPECT_EQ(e.code(), status::BadCertificateUntrusted);
        what = e.what();
    }
    std::vector<fs::path> rejected;
    for (const auto& entry : fs::directory_iterator(pki / "rejected" / "certs")) {
        rejected.push_back(entry.path());
    }
    ASSERT_EQ(rejected.size(), 1u);
    // The message says where the certificate is and where it must go.
    EXPECT_NE(what.find(rejected[0].string()), std::string::npos) << what;
    EXPECT_NE(what.find((pki / "trusted" / "certs").string()), std::string::npos) << what;
    // Our own certificate was not needed yet, but the key, once made, is private.
    EXPECT_THROW(c.connect(address), UaError);

    fs::rename(rejected[0], pki / "trusted" / "certs" / rejected[0].filename());
    ASSERT_NO_THROW(c.connect(address));
    EXPECT_EQ(read_one(c, "s=Demo.Double"), 3.25);
    const auto key = pki / "own" / "private" / "vantrel.pem";
    ASSERT_TRUE(fs::exists(key));
    EXPECT_EQ(fs::status(key).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_TRUE(fs::exists(pki / "own" / "certs" / "vantrel.der"));
}

TEST_F(UaSecurity, TokensAreRenewedAndLargeMessagesChunkedUnderSignAndEncrypt) {
    auto s =
        settings(*strict_, PolicyId::Basic256Sha256, SecurityMode::SignAndEncrypt, "pki-renew");
    s.security.user = "alice";
    s.security.password = "wonder land";
    // The whole bulk list in one request: many 8 KiB chunks each way.
    s.default_max_nodes_per_read = 5000;
    s.ask_max_nodes_per_read = false;
    Client c(s);
    ASSERT_NO_THROW(c.connect(*parse_endpoint_url(strict_->endpoint())));
    std::vector<TagRequest> nodes;
    for (int k = 0; k < 3000; ++k) {
        nodes.push_back({5, kNs, "s=Bulk." + std::to_string(k)});
    }
    std::vector<ValueRecord> out(nodes.size());
    const auto until = std::chrono::steady_clock::now() + 4s;
    int rounds = 0;
    while (std::chrono::steady_clock::now() < until || rounds < 2) {
        c.read(nodes, out);
        ASSERT_TRUE(c.connected()) << c.last_error();
        for (int k = 0; k < 3000; k += 499) {
            EXPECT_EQ(out[static_cast<std::size_t>(k)].value, k);
        }
        ++rounds;
        std::this_thread::sleep_for(300ms);
    }
    EXPECT_GE(read_one(c, "s=Test.MaxTokenCount"), 2);
}

}  // namespace
}  // namespace qevsdk::ua
