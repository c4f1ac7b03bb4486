// Session handling against a scripted server: endpoint choice, read splitting by the
// stated node limit and on BadTooManyOperations, and what failures do to the session.
#include <gtest/gtest.h>

#include <cmath>

#include "scripted_server.h"
#include "ua/client.h"
#include "ua/quality.h"

namespace qevsdk::ua {
namespace {

using test::Bytes;
using test::ScriptedServer;

struct ReadCall {
    std::vector<std::uint32_t> numeric_ids;  // the i= ids asked for, in order
    std::vector<NodeId> ids;                 // every id asked for, in order
};

// Answers the session services; reads are answered by `on_read` with one Double per node.
class SessionServer {
  public:
    std::optional<std::uint32_t> max_nodes_per_read;  // nullopt: the property is missing
    std::uint32_t refuse_reads_above = 0;             // BadTooManyOperations above this
    std::uint32_t activate_result = 0;
    // nullopt: the server answers the namespace array with BadNodeIdUnknown.
    std::optional<std::vector<std::string>> namespace_array =
        std::vector<std::string>{"http://opcfoundation.org/UA/", "urn:s:plant"};
    std::function<std::optional<Bytes>(ScriptedServer&, std::uint32_t, const ReadCall&)> on_read;

    std::vector<ReadCall> reads;
    std::vector<std::uint32_t> services;  // request type ids in order

    std::shared_ptr<ScriptedServer> make() {
        auto s = std::make_shared<ScriptedServer>();
        s->on_request = [this](ScriptedServer& srv, std::uint32_t id, const Bytes& body) {
            return std::vector<Bytes>{srv.msg('F', srv.current_token(), id, answer(body))};
        };
        return s;
    }

  private:
    static void skip_request_header(Reader& r) {
        skip_node_id(r);
        r.skip(8 + 4 + 4);
        r.skip_string();
        r.skip(4);
        skip_extension_object(r);
    }

    Bytes answer(const Bytes& body) {
        Reader r(body.data(), body.size());
        const std::uint32_t type = *decode_type_id(r);
        services.push_back(type);
        skip_request_header(r);
        Writer w;
        const auto header = [&w](std::uint32_t response_type, std::uint32_t result = 0) {
            const Bytes h = test::response_header_body(response_type, result);
            w.raw(h.data(), h.size());
        };
        switch (type) {
            case type_id::GetEndpointsRequest:
                header(type_id::GetEndpointsResponse);
                w.i32(1);
                endpoint(w);
                break;
            case type_id::CreateSessionRequest:
                header(type_id::CreateSessionResponse);
                encode_numeric_node_id(w, 1, 77);  // SessionId
                w.u8(0x05);                        // AuthenticationToken: opaque
                w.u16(0);
                w.string("secret");
                w.f64(120000.0);
                w.null_string();
                w.null_string();
                w.i32(1);
                endpoint(w);
                w.i32(-1);
                w.null_string();
                w.null_string();
                w.u32(0);
                break;
            case type_id::ActivateSessionRequest:
                if (activate_result != 0) {
                    header(type_id::ServiceFault, activate_result);
                    break;
                }
                header(type_id::ActivateSessionResponse);
                w.null_string();
                w.i32(0);
                w.i32(0);
                break;
            case type_id::CloseSessionRequest:
                header(type_id::CloseSessionResponse);
                break;
            case type_id::ReadRequest:
                return read(r);
            default:
                header(type_id::ServiceFault, status::BadServiceUnsupported);
        }
        return w.bytes();
    }

    static void endpoint(Writer& w) {
        w.string("opc.tcp://s:4840");
        w.string("urn:s");  // ApplicationDescription
        w.null_string();
        w.u8(0);
        w.i32(0);
        w.null_string();
        w.null_string();
        w.i32(-1);
        w.null_string();  // ServerCertificate
        w.i32(kSecurityModeNone);
        w.string(kSecurityPolicyNone);
        w.i32(1);
        w.string("anonymous-policy");
        w.i32(kTokenTypeAnonymous);
        w.null_string();
        w.null_string();
        w.null_string();
        w.null_string();
        w.u8(0);
    }

    Bytes read(Reader& r) {
        r.skip(8 + 4);
        const std::size_t n = r.array_length(1);
        ReadCall call;
        for (std::size_t i = 0; i < n; ++i) {
            const NodeId id = decode_node_id(r);
            call.numeric_ids.push_back(id.numeric);
            call.ids.push_back(id);
            r.skip(4);
            r.skip_string();
            skip_qualified_name(r);
        }
        reads.push_back(call);
        Writer w;
        const auto respond = [&w](std::uint32_t result) {
            const Bytes h = test::response_header_body(type_id::ReadResponse, result);
            w.raw(h.data(), h.size());
        };
        // What the client reads of the server at connect: its node limit and namespace array.
        if (n >= 1 && n <= 2 &&
            (call.numeric_ids[0] == kNodeMaxNodesPerRead ||
             call.numeric_ids[0] == kNodeNamespaceArray)) {
            respond(0);
            w.i32(static_cast<std::int32_t>(n));
            for (std::uint32_t id : call.numeric_ids) {
                if (id == kNodeMaxNodesPerRead && max_nodes_per_read) {
                    w.u8(0x01);
                    w.u8(7);
                    w.u32(*max_nodes_per_read);
                } else if (id == kNodeNamespaceArray && namespace_array) {
                    w.u8(0x01);
                    w.u8(0x80 | 12);
                    w.i32(static_cast<std::int32_t>(namespace_array->size()));
                    for (const auto& uri : *namespace_array) {
                        w.string(uri);
                    }
                } else {
                    w.u8(0x02);
                    w.u32(status::BadNodeIdUnknown);
                }
            }
            w.i32(0);
            return w.bytes();
        }
        if (on_read) {
            // The handler may answer differently (a fault, a wrong count).
            if (auto special =
                    on_read(*scripted_, static_cast<std::uint32_t>(reads.size()), call)) {
                return *special;
            }
        }
        if (refuse_reads_above != 0 && n > refuse_reads_above) {
            const Bytes h =
                test::response_header_body(type_id::ServiceFault, status::BadTooManyOperations);
            return h;
        }
        respond(0);
        w.i32(static_cast<std::int32_t>(n));
        for (std::uint32_t id : call.numeric_ids) {
            w.u8(0x01);
            w.u8(11);
            w.f64(id + 0.5);
        }
        w.i32(-1);
        return w.bytes();
    }

  public:
    ScriptedServer* scripted_ = nullptr;
};

// Lets the test look at the scripted server after the client has released its transport.
class SharedTransport final : public Transport {
  public:
    explicit SharedTransport(std::shared_ptr<ScriptedServer> s) : s_(std::move(s)) {}
    void send(const std::uint8_t* d, std::size_t n, Clock::time_point t) override {
        s_->send(d, n, t);
    }
    std::size_t receive(std::uint8_t* d, std::size_t n, Clock::time_point t) override {
        return s_->receive(d, n, t);
    }
    void close() override { s_->close(); }

  private:
    std::shared_ptr<ScriptedServer> s_;
};

struct Rig {
    SessionServer server;
    std::shared_ptr<ScriptedServer> wire;
    std::unique_ptr<Client> client;

    void connect(ClientSettings settings = {}) {
        wire = server.make();
        server.scripted_ = wire.get();
        client = std::make_unique<Client>(std::move(settings));
        client->connect(*parse_endpoint_url("opc.tcp://s:4840"),
                        std::make_unique<SharedTransport>(wire));
    }
};

std::vector<TagRequest> numeric_nodes(int n) {
    std::vector<TagRequest> nodes;
    for (int i = 1; i <= n; ++i)
        nodes.push_back({5, 0, "i=" + std::to_string(i)});
    return nodes;
}

std::vector<ValueRecord> read(Client& c, const std::vector<TagRequest>& nodes) {
    std::vector<ValueRecord> out(nodes.size());
    c.read(nodes, out);
    return out;
}

void expect_values_in_order(const std::vector<ValueRecord>& out) {
    for (std::size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i].value, static_cast<double>(i + 1) + 0.5) << i;
        EXPECT_EQ(out[i].quality, kQualityGood) << i;
    }
}

TEST(UaClient, ConnectsWithTheAnonymousPolicyAndReadsTheNodeLimit) {
    Rig rig;
    rig.server.max_nodes_per_read = 3;
    rig.connect();
    EXPECT_TRUE(rig.client->connected());
    EXPECT_EQ(rig.client->max_nodes_per_read(), 3u);
    EXPECT_EQ(rig.server.services, (std::vector<std::uint32_t>{
                                       type_id::GetEndpointsRequest, type_id::CreateSessionRequest,
                                       type_id::ActivateSessionRequest, type_id::ReadRequest}));
    // The activation names the server's anonymous policy.
    const auto msgs = rig.wire->frames_of("MSG");
    const std::string activate(msgs[2].bytes.begin(), msgs[2].bytes.end());
    EXPECT_NE(activate.find("anonymous-policy"), std::string::npos);
    // Session requests carry the authentication token, not the session id.
    EXPECT_NE(activate.find("secret"), std::string::npos);
}

TEST(UaClient, ReadsAreSplitByTheStatedNodeLimitAndKeepTheirOrder) {
    Rig rig;
    rig.server.max_nodes_per_read = 3;
    rig.connect();
    const auto out = read(*rig.client, numeric_nodes(7));
    expect_values_in_order(out);
    ASSERT_EQ(rig.server.reads.size(), 4u);  // the limit itself, then 3 + 3 + 1
    EXPECT_EQ(rig.server.reads[1].numeric_ids.size(), 3u);
    EXPECT_EQ(rig.server.reads[3].numeric_ids, std::vector<std::uint32_t>{7});
}

TEST(UaClient, BadTooManyOperationsHalvesTheBatchUntilTheServerTakesIt) {
    Rig rig;
    rig.server.refuse_reads_above = 2;  // and it does not state that limit
    ClientSettings s;
    s.default_max_nodes_per_read = 10;
    rig.connect(s);
    EXPECT_EQ(rig.client->max_nodes_per_read(), 10u);
    expect_values_in_order(read(*rig.client, numeric_nodes(9)));
    EXPECT_LE(rig.client->max_nodes_per_read(), 2u);
    EXPECT_TRUE(rig.client->connected());
}

TEST(UaClient, ABadServiceResultFailsOnlyItsBatch) {
    Rig rig;
    rig.server.max_nodes_per_read = 2;
    rig.server.on_read = [](ScriptedServer&, std::uint32_t call,
                            const ReadCall&) -> std::optional<Bytes> {
        if (call == 2)
            return test::response_header_body(type_id::ServiceFault, 0x808B0000);
        return std::nullopt;
    };
    rig.connect();
    const auto out = read(*rig.client, numeric_nodes(4));
    EXPECT_EQ(out[0].quality & 0xFF00, 0x0200);
    EXPECT_EQ(out[1].quality & 0xFF00, 0x0200);
    EXPECT_EQ(out[2].value, 3.5);
    EXPECT_EQ(out[3].value, 4.5);
    EXPECT_TRUE(rig.client->connected());
}

TEST(UaClient, ALostSessionGivesBadRecordsForEveryRequestAndStaysLost) {
    Rig rig;
    rig.server.max_nodes_per_read = 2;
    rig.server.on_read = [](ScriptedServer&, std::uint32_t call,
                            const ReadCall&) -> std::optional<Bytes> {
        if (call == 3) {
            return test::response_header_body(type_id::ServiceFault, status::BadSessionIdInvalid);
        }
        return std::nullopt;
    };
    rig.connect();
    const auto out = read(*rig.client, numeric_nodes(6));
    EXPECT_EQ(out[0].value, 1.5);
    EXPECT_EQ(out[1].value, 2.5);
    for (std::size_t i = 2; i < out.size(); ++i) {
        EXPECT_EQ(out[i].quality & 0xFF00, 0x0200) << i;
        EXPECT_TRUE(std::isnan(out[i].value));
    }
    EXPECT_FALSE(rig.client->connected());
    EXPECT_NE(rig.client->last_error().find("BadSessionIdInvalid"), std::string::npos);

    const auto sent = rig.wire->sent.size();
    const auto again = read(*rig.client, numeric_nodes(3));
    EXPECT_EQ(rig.wire->sent.size(), sent);
    for (const auto& r : again) {
        EXPECT_EQ(r.quality & 0xFF00, 0x0200);
        EXPECT_TRUE(r.timestamp);
    }
}

TEST(UaClient, AChannelLevelServiceResultBreaksTheConnection) {
    Rig rig;
    rig.server.on_read = [](ScriptedServer&, std::uint32_t,
                            const ReadCall&) -> std::optional<Bytes> {
        return test::response_header_body(type_id::ServiceFault,
                                          status::BadSecureChannelTokenUnknown);
    };
    rig.connect();
    const auto out = read(*rig.client, numeric_nodes(2));
    for (const auto& r : out)
        EXPECT_EQ(r.quality & 0xFF00, 0x0200);
    EXPECT_FALSE(rig.client->connected());
    rig.client->close();
    EXPECT_TRUE(rig.wire->frames_of("CLO").empty());  // nothing more is said on a dead channel
    EXPECT_TRUE(rig.wire->closed);
}

TEST(UaClient, AResponseWithTheWrongResultCountBreaksTheConnection) {
    Rig rig;
    rig.server.max_nodes_per_read = 10;
    rig.server.on_read = [](ScriptedServer&, std::uint32_t,
                            const ReadCall&) -> std::optional<Bytes> {
        Writer w;
        const Bytes h = test::response_header_body(type_id::ReadResponse);
        w.raw(h.data(), h.size());
        w.i32(1);  // one result for three nodes
        w.u8(0);
        w.i32(-1);
        return w.bytes();
    };
    rig.connect();
    const auto out = read(*rig.client, numeric_nodes(3));
    for (const auto& r : out)
        EXPECT_EQ(r.quality & 0xFF00, 0x0200);
    EXPECT_FALSE(rig.client->connected());
}

TEST(UaClient, CloseEndsTheSessionThenTheChannel) {
    Rig rig;
    rig.connect();
    rig.client->close();
    EXPECT_EQ(rig.server.services.back(), type_id::CloseSessionRequest);
    EXPECT_EQ(rig.wire->frames_of("CLO").size(), 1u);
    EXPECT_TRUE(rig.wire->closed);
    EXPECT_FALSE(rig.client->connected());
}

TEST(UaClient, ARefusedActivationStillClosesTheCreatedSession) {
    Rig rig;
    rig.server.activate_result = status::BadIdentityTokenRejected;
    EXPECT_THROW(rig.connect(), ServiceError);
    EXPECT_EQ(rig.server.services.back(), type_id::CloseSessionRequest);
    EXPECT_EQ(rig.wire->frames_of("CLO").size(), 1u);
    EXPECT_TRUE(rig.wire->closed);
}

TEST(UaClient, NamespaceUriTagsFollowTheArrayReadAtEachConnect) {
    Rig rig;
    rig.server.max_nodes_per_read = 100;
    const std::vector<TagRequest> nodes{{5, 0, "nsu=urn:s:plant;i=7"},
                                        {5, 0, "nsu=urn:s:gone;i=8"},
                                        {5, 0, "nsu=http://opcfoundation.org/UA/;i=9"},
                                        {5, 2, "i=10"}};
    const auto ids_read = [&rig] { return rig.server.reads.back().ids; };
    rig.connect();
    (void)read(*rig.client, nodes);
    EXPECT_EQ(ids_read()[0].ns, 1);
    EXPECT_EQ(ids_read()[1], NodeId{});  // the null node: the server answers it Bad
    EXPECT_EQ(ids_read()[2].ns, 0);
    EXPECT_EQ(ids_read()[3].ns, 2);
    auto problems = rig.client->namespaces().take_problems();
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("urn:s:gone"), std::string::npos);
    (void)read(*rig.client, nodes);
    EXPECT_TRUE(rig.client->namespaces().take_problems().empty());

    // Restarted with its namespaces in another order, and now with the missing one.
    rig.server.namespace_array = std::vector<std::string>{
        "http://opcfoundation.org/UA/", "urn:s:gone", "urn:s:dummy", "urn:s:plant"};
    rig.connect();
    (void)read(*rig.client, nodes);
    EXPECT_EQ(ids_read()[0].ns, 3);
    EXPECT_EQ(ids_read()[0].numeric, 7u);
    EXPECT_EQ(ids_read()[1].ns, 1);
    EXPECT_EQ(ids_read()[3].ns, 2);  // the index form names whatever is at the index now
    EXPECT_TRUE(rig.client->namespaces().take_problems().empty());

    // A server that keeps its array to itself: only the OPC UA namespace resolves.
    rig.server.namespace_array.reset();
    rig.connect();
    (void)read(*rig.client, nodes);
    EXPECT_EQ(ids_read()[0], NodeId{});
    EXPECT_EQ(ids_read()[2].ns, 0);
    EXPECT_EQ(ids_read()[2].numeric, 9u);
    EXPECT_EQ(rig.client->max_nodes_per_read(), 100u);
    EXPECT_EQ(rig.client->namespaces().take_problems().size(), 3u);  // the array, both URIs
}

}  // namespace
}  // namespace qevsdk::ua
