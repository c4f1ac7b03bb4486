// The secure channel against a scripted server: handshake, request chunking, response
// assembly, aborts, sequence numbers, token renewal, errors and closing.
#include <gtest/gtest.h>

#include "scripted_server.h"
#include "test_bytes.h"
#include "ua/messages.h"
#include "ua/secure_channel.h"

namespace qevsdk::ua {
namespace {

using test::Bytes;
using test::ScriptedServer;
using test::server_frame;

// Echoes a request's bytes back as the response body.
std::vector<Bytes> echo(ScriptedServer& s, std::uint32_t request_id, const Bytes& body) {
    return {s.msg('F', s.current_token(), request_id, body)};
}

Writer body_of(std::size_t size, std::uint8_t fill = 0x5A) {
    Writer w;
    for (std::size_t i = 0; i < size; ++i)
        w.u8(static_cast<std::uint8_t>(fill + i));
    return w;
}

Bytes bytes_of(Reader r) {
    return Bytes(r.position(), r.position() + r.remaining());
}

struct Fixture {
    ScriptedServer* server;
    std::unique_ptr<SecureChannel> channel;
};

Fixture make(std::function<void(ScriptedServer&)> setup = {}, ChannelSettings settings = {}) {
    Fixture fx;
    auto server = std::make_unique<ScriptedServer>();
    server->on_request = echo;
    if (setup)
        setup(*server);
    fx.server = server.get();
    fx.channel = std::make_unique<SecureChannel>(std::move(server), std::move(settings));
    return fx;
}

TEST(UaSecureChannel, OpensWithHelloAndIssuesAToken) {
    auto fx = make();
    fx.channel->open("opc.tcp://127.0.0.1:4840");
    ASSERT_EQ(fx.server->sent.size(), 2u);
    const auto& hel = fx.server->sent[0];
    EXPECT_EQ(hel.type, "HEL");
    EXPECT_EQ(hel.bytes.size(), 8u + 20 + 4 + 24);
    EXPECT_EQ(hel.u32_at(12), 65535u);             // ReceiveBufferSize
    EXPECT_EQ(hel.u32_at(20), 16u * 1024 * 1024);  // MaxMessageSize: explicit, not 0
    const auto& opn = fx.server->sent[1];
    EXPECT_EQ(opn.type, "OPN");
    EXPECT_EQ(opn.u32_at(8), 0u);   // channel id 0 on Issue
    EXPECT_EQ(opn.u32_at(71), 1u);  // first sequence number
    EXPECT_EQ(fx.channel->channel_id(), 5u);
    EXPECT_EQ(fx.channel->token_id(), 1u);
    EXPECT_TRUE(fx.channel->usable());
}

TEST(UaSecureChannel, LargeRequestsAreSplitIntoChunksWithinTheServerBuffer) {
    auto fx = make([](ScriptedServer& s) { s.ack_receive = 8192; });
    fx.channel->open("opc.tcp://x:1");
    const Writer body = body_of(20000);
    const Bytes answer = bytes_of(fx.channel->request(body));
    EXPECT_EQ(answer, body.bytes());

    const auto msgs = fx.server->frames_of("MSG");
    ASSERT_EQ(msgs.size(), 3u);
    EXPECT_EQ(msgs[0].chunk, 'C');
    EXPECT_EQ(msgs[1].chunk, 'C');
    EXPECT_EQ(msgs[2].chunk, 'F');
    for (std::size_t i = 0; i < msgs.size(); ++i) {
        EXPECT_LE(msgs[i].bytes.size(), 8192u);
        EXPECT_EQ(msgs[i].u32_at(8), 5u);                   // channel id
        EXPECT_EQ(msgs[i].u32_at(12), 1u);                  // token id
        EXPECT_EQ(msgs[i].u32_at(16), 2u + i);              // consecutive sequence numbers
        EXPECT_EQ(msgs[i].u32_at(20), msgs[0].u32_at(20));  // one request id
    }
    EXPECT_EQ(msgs[0].bytes.size(), 8192u);
}

TEST(UaSecureChannel, MultiChunkResponsesAreReassembledFromAByteStream) {
    auto fx = make([](ScriptedServer& s) {
        s.one_byte_at_a_time = true;
        s.on_request = [](ScriptedServer& srv, std::uint32_t id, const Bytes&) {
            return std::vector<Bytes>{srv.msg('C', 1, id, {1, 2, 3}), srv.msg('C', 1, id, {4}),
                                      srv.msg('F', 1, id, {5, 6})};
        };
    });
    fx.channel->open("opc.tcp://x:1");
    EXPECT_EQ(bytes_of(fx.channel->request(body_of(10))), (Bytes{1, 2, 3, 4, 5, 6}));
    // And again: nothing of the previous response lingers.
    EXPECT_EQ(bytes_of(fx.channel->request(body_of(10))), (Bytes{1, 2, 3, 4, 5, 6}));
}

TEST(UaSecureChannel, AnAbortedResponseFailsOnlyThatRequest) {
    int calls = 0;
    auto fx = make([&calls](ScriptedServer& s) {
        s.on_request = [&calls](ScriptedServer& srv, std::uint32_t id, const Bytes& body) {
            if (++calls == 1) {
                Writer abort;
                abort.u32(status::BadResponseTooLarge);
                abort.string("too big");
                return std::vector<Bytes>{srv.msg('C', 1, id, {1}),
                                          srv.msg('A', 1, id, abort.bytes())};
            }
            return echo(srv, id, body);
        };
    });
    fx.channel->open("opc.tcp://x:1");
    try {
        fx.channel->request(body_of(4));
        FAIL() << "an aborted response must fail its request";
    } catch (const ServiceError& e) {
        EXPECT_EQ(e.code(), status::BadResponseTooLarge);
        EXPECT_NE(std::string(e.what()).find("too big"), std::string::npos);
    }
    EXPECT_TRUE(fx.channel->usable());
    EXPECT_EQ(bytes_of(fx.channel->request(body_of(4))), body_of(4).bytes());
}

TEST(UaSecureChannel, ASequenceGapBreaksTheChannel) {
    auto fx = make([](ScriptedServer& s) {
        s.on_request = [](ScriptedServer& srv, std::uint32_t id, const Bytes& body) {
            srv.sequence += 1;  // skips one number
            return echo(srv, id, body);
        };
    });
    fx.channel->open("opc.tcp://x:1");
    try {
        fx.channel->request(body_of(4));
        FAIL() << "a sequence gap must be refused";
    } catch (const UaError& e) {
        EXPECT_EQ(e.code(), status::BadSequenceNumberInvalid);
    }
    EXPECT_FALSE(fx.channel->usable());
    const auto sent_before = fx.server->sent.size();
    EXPECT_THROW(fx.channel->request(body_of(4)), UaError);
    EXPECT_EQ(fx.server->sent.size(), sent_before);  // nothing sent on a broken channel
}

TEST(UaSecureChannel, SequenceNumbersMayWrapOnlyNearTheTop) {
    auto fx = make([](ScriptedServer& s) {
        s.sequence = 4294966290u;  // above the wrap floor
        s.on_request = [](ScriptedServer& srv, std::uint32_t id, const Bytes& body) {
            srv.sequence = 4;  // next is 5: a legal wrap
            return echo(srv, id, body);
        };
    });
    fx.channel->open("opc.tcp://x:1");
    EXPECT_NO_THROW(fx.channel->request(body_of(4)));
    EXPECT_TRUE(fx.channel->usable());
}

TEST(UaSecureChannel, TheTokenIsRenewedAfterThreeQuartersOfItsLifetime) {
    Clock::time_point now = Clock::now();
    ChannelSettings settings;
    settings.now = [&now] { return now; };
    bool answer_with_old_token = false;
    auto fx = make(
        [&answer_with_old_token](ScriptedServer& s) {
            s.lifetime_ms = 10000;
            s.on_request = [&answer_with_old_token](ScriptedServer& srv, std::uint32_t id,
                                                    const Bytes& body) {
                const std::uint32_t token =
                    answer_with_old_token ? srv.current_token() - 1 : srv.current_token();
                return std::vector<Bytes>{srv.msg('F', token, id, body)};
            };
        },
        settings);
    fx.channel->open("opc.tcp://x:1");
    EXPECT_EQ(fx.channel->renew_at(), now + std::chrono::milliseconds(7500));

    now += std::chrono::milliseconds(7400);
    fx.channel->request(body_of(4));
    EXPECT_EQ(fx.server->frames_of("OPN").size(), 1u);

    now += std::chrono::milliseconds(200);
    answer_with_old_token = true;  // the server may answer with the old token for a while
    EXPECT_NO_THROW(fx.channel->request(body_of(4)));
    const auto opns = fx.server->frames_of("OPN");
    ASSERT_EQ(opns.size(), 2u);
    EXPECT_EQ(opns[1].u32_at(8), 5u);  // Renew names the channel
    const auto msgs = fx.server->frames_of("MSG");
    EXPECT_EQ(msgs.back().u32_at(12), 2u);  // and requests switch to the new token
    // Sequence numbers carry on across the renewal.
    EXPECT_EQ(msgs.back().u32_at(16), opns[1].u32_at(71) + 1);
    EXPECT_EQ(fx.channel->renew_at(), now + std::chrono::milliseconds(7500));
}

TEST(UaSecureChannel, AnUnknownTokenIsRefused) {
    auto fx = make([](ScriptedServer& s) {
        s.on_request = [](ScriptedServer& srv, std::uint32_t id, const Bytes& body) {
            return std::vector<Bytes>{srv.msg('F', 77, id, body)};
        };
    });
    fx.channel->open("opc.tcp://x:1");
    try {
        fx.channel->request(body_of(4));
        FAIL();
    } catch (const UaError& e) {
        EXPECT_EQ(e.code(), status::BadSecureChannelTokenUnknown);
    }
}

TEST(UaSecureChannel, AnErrorFrameReportsItsCodeAndReason) {
    Writer err;
    err.u32(0x80830000);
    err.string("bad url");
    auto fx = make(
        [&err](ScriptedServer& s) { s.answer_hello_with = server_frame("ERR", 'F', err.bytes()); });
    try {
        fx.channel->open("opc.tcp://x:1");
        FAIL();
    } catch (const UaError& e) {
        EXPECT_EQ(e.code(), 0x80830000u);
        EXPECT_NE(std::string(e.what()).find("bad url"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("BadTcpEndpointUrlInvalid"), std::string::npos);
    }
    EXPECT_FALSE(fx.channel->usable());
}

TEST(UaSecureChannel, BuffersBelowTheMinimumAreRefused) {
    auto fx = make([](ScriptedServer& s) { s.ack_receive = 1024; });
    EXPECT_THROW(fx.channel->open("opc.tcp://x:1"), UaError);
}

TEST(UaSecureChannel, ASilentServerTimesOutAndBreaksTheChannel) {
    auto fx = make([](ScriptedServer& s) {
        s.on_request = [](ScriptedServer&, std::uint32_t, const Bytes&) {
            return std::vector<Bytes>{};
        };
    });
    fx.channel->open("opc.tcp://x:1");
    try {
        fx.channel->request(body_of(4));
        FAIL();
    } catch (const UaError& e) {
        EXPECT_EQ(e.code(), status::BadTimeout);
    }
    EXPECT_FALSE(fx.channel->usable());
}

TEST(UaSecureChannel, RequestsBeyondTheServerLimitsFailBeforeSending) {
    auto fx = make([](ScriptedServer& s) {
        s.ack_receive = 8192;
        s.ack_max_chunks = 2;
    });
    fx.channel->open("opc.tcp://x:1");
    const auto before = fx.server->sent.size();
    try {
        fx.channel->request(body_of(20000));
        FAIL();
    } catch (const ServiceError& e) {
        EXPECT_EQ(e.code(), status::BadRequestTooLarge);
    }
    EXPECT_EQ(fx.server->sent.size(), before);
    EXPECT_TRUE(fx.channel->usable());

    fx.channel->limit_request_message(100);
    EXPECT_THROW(fx.channel->request(body_of(101)), ServiceError);
    EXPECT_NO_THROW(fx.channel->request(body_of(100)));
}

TEST(UaSecureChannel, ResponsesBeyondOurChunkLimitBreakTheChannel) {
    ChannelSettings settings;
    settings.max_chunks = 2;
    auto fx = make(
        [](ScriptedServer& s) {
            s.on_request = [](ScriptedServer& srv, std::uint32_t id, const Bytes&) {
                return std::vector<Bytes>{srv.msg('C', 1, id, {1}), srv.msg('C', 1, id, {2}),
                                          srv.msg('F', 1, id, {3})};
            };
        },
        settings);
    fx.channel->open("opc.tcp://x:1");
    EXPECT_THROW(fx.channel->request(body_of(4)), UaError);
    EXPECT_FALSE(fx.channel->usable());
}

TEST(UaSecureChannel, CloseSendsCloseSecureChannelAndClosesTheSocket) {
    auto fx = make();
    fx.channel->open("opc.tcp://x:1");
    fx.channel->close();
    const auto clo = fx.server->frames_of("CLO");
    ASSERT_EQ(clo.size(), 1u);
    EXPECT_EQ(clo[0].chunk, 'F');
    EXPECT_EQ(clo[0].u32_at(8), 5u);
    Reader r(clo[0].bytes.data() + 24, clo[0].bytes.size() - 24);
    EXPECT_EQ(decode_type_id(r), 452u);
    EXPECT_TRUE(fx.server->closed);
    EXPECT_FALSE(fx.channel->usable());
    fx.channel->close();  // harmless twice
    EXPECT_EQ(fx.server->frames_of("CLO").size(), 1u);
}

}  // namespace
}  // namespace qevsdk::ua
