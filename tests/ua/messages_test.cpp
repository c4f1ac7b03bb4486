// Service messages: requests carry the binary encoding ids and field orders servers expect,
// and responses decode from reference byte vectors.
#include <gtest/gtest.h>

#include <cmath>

#include "test_bytes.h"
#include "ua/messages.h"
#include "ua/quality.h"

namespace qevsdk::ua {
namespace {

using test::hex;
using test::to_hex;

// The body of a single-chunk MSG frame: after header, channel, token and sequence header.
Reader body_of(const std::vector<std::uint8_t>& frame) {
    return Reader(frame.data() + 24, frame.size() - 24);
}

// The request header written at `r`; returns the request handle.
std::uint32_t read_request_header(Reader& r, bool expect_token) {
    const NodeId token = decode_node_id(r);
    EXPECT_EQ(token == NodeId{}, !expect_token);
    EXPECT_GT(r.i64(), kUnixEpochTicks);  // Timestamp: now
    const std::uint32_t handle = r.u32();
    EXPECT_EQ(r.u32(), 0u);               // ReturnDiagnostics
    EXPECT_EQ(r.string(), std::nullopt);  // AuditEntryId
    EXPECT_EQ(r.u32(), 4000u);            // TimeoutHint
    EXPECT_EQ(r.u8(), 0);                 // AdditionalHeader
    EXPECT_EQ(r.u8(), 0);
    EXPECT_EQ(r.u8(), 0);
    return handle;
}

TEST(UaMessages, OpenSecureChannelRequestMatchesTheReferenceLayout) {
    Writer w;
    encode_open_secure_channel(w, {nullptr, 7, 4000}, false, 600000);
    Reader r(w.data(), w.size());
    EXPECT_EQ(decode_type_id(r), 446u);
    EXPECT_EQ(read_request_header(r, false), 7u);
    EXPECT_EQ(to_hex(r.position(), r.remaining()),
              "00 00 00 00 00 00 00 00 01 00 00 00 ff ff ff ff c0 27 09 00");

    Writer renew;
    encode_open_secure_channel(renew, {nullptr, 8, 4000}, true, 600000);
    EXPECT_EQ(renew.bytes()[renew.size() - 16], 1);  // RequestType Renew
}

TEST(UaMessages, OpenSecureChannelResponseDecodes) {
    const auto frame =
        hex("4f 50 4e 46 87 00 00 00 05 00 00 00 2f 00 00 00"
            " \"http://opcfoundation.org/UA/SecurityPolicy#None\" ff ff ff ff ff ff ff ff"
            " 33 00 00 00 01 00 00 00 01 00 c1 01 00 c0 89 76 45 3c da 01 00 00 00 00 00 00 00 00"
            " 00 ff ff ff ff 00 00 00 00 00 00 00 05 00 00 00 01 00 00 00 00 c0 89 76 45 3c da 01"
            " c0 27 09 00 ff ff ff ff");
    ASSERT_EQ(frame.size(), 135u);
    Reader r(frame.data() + 12 + 4 + 47 + 8 + 8, frame.size() - 79);
    const SecurityToken t = decode_open_secure_channel_response(r);
    EXPECT_EQ(t.channel_id, 5u);
    EXPECT_EQ(t.token_id, 1u);
    EXPECT_EQ(t.revised_lifetime_ms, 600000u);
    EXPECT_EQ(r.remaining(), 0u);
}

TEST(UaMessages, ServiceFaultSurfacesItsServiceResult) {
    const auto frame =
        hex("4d 53 47 46 34 00 00 00 05 00 00 00 01 00 00 00 34 00 00 00 07 00 00 00 01 00 8d 01"
            " 00 c0 89 76 45 3c da 01 09 00 00 00 00 00 25 80 00 ff ff ff ff 00 00 00");
    ASSERT_EQ(frame.size(), 52u);
    Reader r = body_of(frame);
    try {
        decode_response_start(r, type_id::ReadResponse);
        FAIL() << "a ServiceFault must throw";
    } catch (const ServiceError& e) {
        EXPECT_EQ(e.code(), status::BadSessionIdInvalid);
        EXPECT_TRUE(is_session_fatal(e.code()));
        EXPECT_NE(std::string(e.what()).find("BadSessionIdInvalid"), std::string::npos);
    }

    // An unexpected response type is refused rather than misread.
    const auto other = hex("01 00 af 01");
    Reader o(other.data(), other.size());
    EXPECT_THROW(decode_response_start(o, type_id::ReadResponse), UaError);
}

TEST(UaMessages, ReadResponseBecomesRecordsWithQualityAndTimestamps) {
    const auto frame =
        hex("4d 53 47 46 53 00 00 00 05 00 00 00 01 00 00 00 35 00 00 00 08 00 00 00 01 00 7a 02"
            " 00 c0 89 76 45 3c da 01 0a 00 00 00 00 00 00 00 00 ff ff ff ff 00 00 00"
            " 02 00 00 00 09 0d 00 c0 89 76 45 3c da 01 00 c0 89 76 45 3c da 01 02 00 00 34 80"
            " 00 00 00 00");
    ASSERT_EQ(frame.size(), 83u);
    const auto receipt = std::chrono::system_clock::time_point(std::chrono::seconds(1'800'000'000));
    std::vector<ValueRecord> out(2);
    Reader r = body_of(frame);
    decode_read_response(r, out, receipt);
    // A DateTime value is not numeric: NaN and Bad, stamped with the server timestamp.
    EXPECT_TRUE(std::isnan(out[0].value));
    EXPECT_EQ(out[0].quality, kQualityBad);
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(out[0].timestamp->time_since_epoch())
                  .count(),
              1704067200);
    // BadNodeIdUnknown without timestamps: Bad, stamped with the time of receipt.
    EXPECT_TRUE(std::isnan(out[1].value));
    EXPECT_EQ(out[1].quality & 0xFF00, 0x0200);
    EXPECT_EQ(out[1].timestamp, receipt);

    // One record per request: a count mismatch is a protocol error, not a shifted result.
    std::vector<ValueRecord> three(3);
    Reader again = body_of(frame);
    EXPECT_THROW(decode_read_response(again, three, receipt), DecodeError);
}

TEST(UaMessages, QualityFollowsTheStatusSeverity) {
    const auto receipt = std::chrono::system_clock::now();
    const auto record = [&](std::optional<double> number, std::uint32_t status, std::int64_t source,
                            std::int64_t server) {
        DataValue dv;
        dv.number = number;
        dv.has_value = number.has_value();
        dv.status = status;
        dv.source_ticks = source;
        dv.server_ticks = server;
        ValueRecord r;
        fill_record(dv, receipt, r);
        return r;
    };
    const std::int64_t t2020 =
        ticks_from_time(std::chrono::system_clock::time_point(std::chrono::seconds(1577836800)));
    const std::int64_t t2021 =
        ticks_from_time(std::chrono::system_clock::time_point(std::chrono::seconds(1609459200)));

    auto good = record(3.25, 0, t2020, t2021);
    EXPECT_EQ(good.value, 3.25);
    EXPECT_EQ(good.quality & 0xFF00, 0x0100);
    EXPECT_EQ(ticks_from_time(*good.timestamp), t2020);  // source before server

    auto uncertain = record(7.5, 0x40900000, 0, t2021);
    EXPECT_EQ(uncertain.value, 7.5);
    EXPECT_EQ(uncertain.quality & 0xFF00, 0x0300);
    EXPECT_EQ(ticks_from_time(*uncertain.timestamp), t2021);

    auto bad = record(1.0, 0x808C0000, 0, 0);
    EXPECT_TRUE(std::isnan(bad.value));
    EXPECT_EQ(bad.quality & 0xFF00, 0x0200);
    EXPECT_EQ(bad.timestamp, receipt);

    // Good status but nothing numeric (a String): NaN with Bad quality.
    auto text = record(std::nullopt, 0, t2020, 0);
    EXPECT_TRUE(std::isnan(text.value));
    EXPECT_EQ(text.quality & 0xFF00, 0x0200);
    // Good with info bits set is still Good.
    EXPECT_EQ(record(1.0, 0x00000400, 0, 0).quality & 0xFF00, 0x0100);
}

TEST(UaMessages, ReadRequestListsValueAttributesOfTheGivenNodes) {
    std::vector<TagRequest> nodes{{5, 0, "i=2259"}, {5, 2, "Demo.Tag1"}};
    std::vector<std::uint8_t> scratch;
    Writer w;
    NodeId token{0, NodeId::Kind::Numeric, 99, "", {}};
    encode_read_request(w, {&token, 3, 4000}, nodes, scratch);
    Reader r(w.data(), w.size());
    EXPECT_EQ(decode_type_id(r), 631u);
    EXPECT_EQ(read_request_header(r, true), 3u);
    EXPECT_EQ(
        to_hex(r.position(), r.remaining()),
        to_hex(
            hex("00 00 00 00 00 00 00 00 02 00 00 00 02 00 00 00"
                " 01 00 d3 08 0d 00 00 00 ff ff ff ff 00 00 ff ff ff ff"
                " 03 02 00 09 00 00 00 \"Demo.Tag1\" 0d 00 00 00 ff ff ff ff 00 00 ff ff ff ff")));
}

TEST(UaMessages, SessionRequestsUseBinaryEncodingIds) {
    Writer w;
    std::vector<std::uint8_t> nonce(32, 7);
    encode_create_session(w, {nullptr, 1, 4000},
                          {"opc.tcp://h:4840", "Vantrel", nonce, 120000.0, 1 << 24});
    Reader r(w.data(), w.size());
    EXPECT_EQ(decode_type_id(r), 461u);
    read_request_header(r, false);
    EXPECT_EQ(r.string(), "urn:vantrel:qevsdk");  // ApplicationUri
    r.skip_string();                              // ProductUri
    skip_localized_text(r);
    EXPECT_EQ(r.i32(), 1);  // Client
    r.skip_string();
    r.skip_string();
    EXPECT_EQ(r.i32(), -1);                     // DiscoveryUrls
    EXPECT_EQ(r.string(), std::nullopt);        // ServerUri
    EXPECT_EQ(r.string(), "opc.tcp://h:4840");  // EndpointUrl: the one dialled
    EXPECT_EQ(r.string(), "Vantrel");
    EXPECT_EQ(r.string_view().size(), 32u);  // ClientNonce
    EXPECT_EQ(r.string(), std::nullopt);     // ClientCertificate
    EXPECT_EQ(r.f64(), 120000.0);
    EXPECT_EQ(r.u32(), 1u << 24);
    EXPECT_EQ(r.remaining(), 0u);

    Writer a;
    NodeId token{0, NodeId::Kind::Opaque, 0, "tok", {}};
    encode_activate_session(a, {&token, 2, 4000}, "anon-policy");
    Reader ar(a.data(), a.size());
    EXPECT_EQ(decode_type_id(ar), 467u);
    read_request_header(ar, true);
    EXPECT_EQ(to_hex(ar.position(), ar.remaining()),
              to_hex(hex("ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff"
                         " 01 00 41 01 01 0f 00 00 00 0b 00 00 00 \"anon-policy\""
                         " ff ff ff ff ff ff ff ff")));

    Writer c;
    encode_close_session(c, {&token, 3, 4000});
    Reader cr(c.data(), c.size());
    EXPECT_EQ(decode_type_id(cr), 473u);
    read_request_header(cr, true);
    EXPECT_EQ(cr.u8(), 1);  // DeleteSubscriptions
}

// GetEndpoints response with two endpoints: Basic256Sha256 first, then None with a
// UserName and an Anonymous policy.
std::vector<std::uint8_t> endpoints_response() {
    const std::string app =
        " 05 00 00 00 \"urn:s\" ff ff ff ff 02 01 00 00 00 \"S\" 00 00 00 00 ff ff ff ff ff ff ff "
        "ff"
        " 01 00 00 00 10 00 00 00 \"opc.tcp://s:4840\"";
    const std::string header =
        "01 00 af 01 00 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 00 ff ff ff ff 00 00 00";
    const std::string secure_ep =
        " 10 00 00 00 \"opc.tcp://s:4840\"" + app +
        " ff ff ff ff 03 00 00 00 39 00 00 00 "
        "\"http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256\""
        " 01 00 00 00 01 00 00 00 \"a\" 00 00 00 00 ff ff ff ff ff ff ff ff ff ff ff ff"
        " ff ff ff ff 03";
    const std::string none_ep =
        " 10 00 00 00 \"opc.tcp://s:4840\"" + app +
        " ff ff ff ff 01 00 00 00 2f 00 00 00 \"http://opcfoundation.org/UA/SecurityPolicy#None\""
        " 02 00 00 00 02 00 00 00 \"un\" 01 00 00 00 ff ff ff ff ff ff ff ff ff ff ff ff"
        " 04 00 00 00 \"anon\" 00 00 00 00 ff ff ff ff ff ff ff ff ff ff ff ff"
        " ff ff ff ff 00";
    return hex(header + " 02 00 00 00" + secure_ep + none_ep);
}

TEST(UaMessages, EndpointChoiceTakesNoneWithTheAnonymousPolicyId) {
    const auto bytes = endpoints_response();
    Reader r(bytes.data(), bytes.size());
    const auto eps = decode_get_endpoints_response(r);
    EXPECT_EQ(r.remaining(), 0u);
    ASSERT_EQ(eps.size(), 2u);
    const auto chosen = pick_anonymous_none(eps);
    ASSERT_TRUE(chosen);
    EXPECT_EQ(chosen->policy_id, "anon");

    auto only_secure = eps;
    only_secure.pop_back();
    EXPECT_FALSE(pick_anonymous_none(only_secure));
}

TEST(UaMessages, EndpointChoiceMatchesPolicyModeAndTokenTypeAndPrefersTheHighestLevel) {
    const auto bytes = endpoints_response();
    Reader r(bytes.data(), bytes.size());
    auto eps = decode_get_endpoints_response(r);
    ASSERT_EQ(eps.size(), 2u);
    const std::string basic256 = "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256";
    const std::string none = "http://opcfoundation.org/UA/SecurityPolicy#None";

    const auto secure =
        pick_endpoint(eps, basic256, SecurityMode::SignAndEncrypt, kTokenTypeAnonymous);
    ASSERT_TRUE(secure);
    EXPECT_EQ(secure->token.policy_id, "a");
    EXPECT_EQ(secure->endpoint.security_level, 3);
    // The right policy in another mode, or without the wanted token type, is no match.
    EXPECT_FALSE(pick_endpoint(eps, basic256, SecurityMode::Sign, kTokenTypeAnonymous));
    EXPECT_FALSE(pick_endpoint(eps, basic256, SecurityMode::SignAndEncrypt, kTokenTypeUserName));
    const auto user = pick_endpoint(eps, none, SecurityMode::None, kTokenTypeUserName);
    ASSERT_TRUE(user);
    EXPECT_EQ(user->token.policy_id, "un");

    // Of two matches the server's preferred one wins, wherever it stands; another transport
    // never does.
    auto preferred = eps[0];
    preferred.endpoint_url = "opc.tcp://preferred:4840";
    preferred.security_level = 9;
    auto https = preferred;
    https.security_level = 200;
    https.transport_profile_uri = "http://opcfoundation.org/UA-Profile/Transport/https-uabinary";
    eps.push_back(preferred);
    eps.push_back(https);
    const auto best =
        pick_endpoint(eps, basic256, SecurityMode::SignAndEncrypt, kTokenTypeAnonymous);
    ASSERT_TRUE(best);
    EXPECT_EQ(best->endpoint.endpoint_url, "opc.tcp://preferred:4840");
}

TEST(UaMessages, AUserNameTokenCarriesItsSecretAndAlgorithmInWireOrder) {
    Writer w;
    NodeId token{0, NodeId::Kind::Opaque, 0, "tok", {}};
    const std::vector<std::uint8_t> secret{0xde, 0xad};
    const std::vector<std::uint8_t> signature{0x5a};
    ActivateSessionParams p;
    p.signature_algorithm = "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256";
    p.signature = signature;
    p.identity = {kTokenTypeUserName, "un", "operator", secret,
                  "http://www.w3.org/2001/04/xmlenc#rsa-oaep"};
    encode_activate_session(w, {&token, 2, 4000}, p);
    Reader r(w.data(), w.size());
    EXPECT_EQ(decode_type_id(r), 467u);
    read_request_header(r, true);
    EXPECT_EQ(r.string(), p.signature_algorithm);  // ClientSignature
    EXPECT_EQ(r.string_view(), "\x5a");
    EXPECT_EQ(r.i32(), -1);              // ClientSoftwareCertificates
    EXPECT_EQ(r.i32(), -1);              // LocaleIds
    EXPECT_EQ(decode_type_id(r), 324u);  // UserNameIdentityToken, binary body
    EXPECT_EQ(r.u8(), 0x01);
    const std::int32_t length = r.i32();
    const std::uint8_t* body_start = r.position();
    EXPECT_EQ(r.string(), "un");
    EXPECT_EQ(r.string(), "operator");
    EXPECT_EQ(r.string_view(), "\xde\xad");
    EXPECT_EQ(r.string(), "http://www.w3.org/2001/04/xmlenc#rsa-oaep");
    EXPECT_EQ(r.position() - body_start, length);
    EXPECT_EQ(r.string(), std::nullopt);  // UserTokenSignature: algorithm and value null
    EXPECT_EQ(r.string(), std::nullopt);
    EXPECT_EQ(r.remaining(), 0u);
}

}  // namespace
}  // namespace qevsdk::ua
