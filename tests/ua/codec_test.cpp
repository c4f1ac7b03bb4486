// Encoding primitives and composite types, checked against byte vectors.
#include <gtest/gtest.h>

#include <cmath>

#include "test_bytes.h"
#include "ua/codec.h"
#include "ua/endpoint_url.h"
#include "ua/node_text.h"

namespace qevsdk::ua {
namespace {

using test::hex;
using test::to_hex;

TEST(UaCodec, StringsDistinguishNullFromEmpty) {
    Writer w;
    w.string("");
    w.null_string();
    w.string("ab");
    EXPECT_EQ(to_hex(w.bytes()), "00 00 00 00 ff ff ff ff 02 00 00 00 61 62");

    Reader r(w.data(), w.size());
    EXPECT_EQ(r.string(), std::optional<std::string>(""));
    EXPECT_EQ(r.string(), std::nullopt);
    EXPECT_EQ(r.string(), std::optional<std::string>("ab"));
    EXPECT_EQ(r.remaining(), 0u);

    const auto bad = hex("fe ff ff ff");  // -2 is no valid length
    Reader rb(bad.data(), bad.size());
    EXPECT_THROW(rb.string_view(), DecodeError);
    const auto short_string = hex("05 00 00 00 61 62");
    Reader rs(short_string.data(), short_string.size());
    EXPECT_THROW(rs.string_view(), DecodeError);
}

TEST(UaCodec, DateTimeConvertsBothWaysAndTreatsZeroAsAbsent) {
    using namespace std::chrono;
    // 2024-01-01T00:00:00Z
    const std::int64_t ticks = 133485408000000000LL;
    const auto t = time_from_ticks(ticks);
    ASSERT_TRUE(t);
    EXPECT_EQ(duration_cast<seconds>(t->time_since_epoch()).count(), 1704067200);
    EXPECT_EQ(ticks_from_time(*t), ticks);
    EXPECT_EQ(ticks_from_time(system_clock::time_point{}), kUnixEpochTicks);
    EXPECT_FALSE(time_from_ticks(0));
    EXPECT_FALSE(time_from_ticks(-5));
    // The largest DateTime must not overflow the clock.
    const auto far = time_from_ticks(INT64_MAX);
    ASSERT_TRUE(far);
    EXPECT_GT(far->time_since_epoch().count(), 0);
}

TEST(UaCodec, NumericNodeIdsUseTheSmallestForm) {
    const auto enc = [](std::uint16_t ns, std::uint32_t id) {
        Writer w;
        encode_numeric_node_id(w, ns, id);
        return to_hex(w.bytes());
    };
    EXPECT_EQ(enc(0, 13), "00 0d");
    EXPECT_EQ(enc(0, 2258), "01 00 d2 08");
    EXPECT_EQ(enc(0, 11705), "01 00 b9 2d");
    EXPECT_EQ(enc(1, 70000), "02 01 00 70 11 01 00");
    EXPECT_EQ(enc(300, 5), "02 2c 01 05 00 00 00");
}

TEST(UaCodec, NodeIdsDecodeInEveryFormAndSkipExpandedFields) {
    struct Case {
        const char* bytes;
        NodeId expected;
    };
    NodeId s{2, NodeId::Kind::String, 0, "Demo.Tag1", {}};
    NodeId g{1, NodeId::Kind::Guid, 0, "", {}};
    const auto guid = hex("91 2b 96 72 75 fa e6 4a 8d 28 b4 04 dc 7d af 63");
    std::copy(guid.begin(), guid.end(), g.guid.begin());
    NodeId b{1, NodeId::Kind::Opaque, 0, "ab", {}};
    const Case cases[] = {
        {"00 0d", NodeId{0, NodeId::Kind::Numeric, 13, "", {}}},
        {"01 05 d2 08", NodeId{5, NodeId::Kind::Numeric, 2258, "", {}}},
        {"02 01 00 70 11 01 00", NodeId{1, NodeId::Kind::Numeric, 70000, "", {}}},
        {"03 02 00 09 00 00 00 \"Demo.Tag1\"", s},
        {"04 01 00 91 2b 96 72 75 fa e6 4a 8d 28 b4 04 dc 7d af 63", g},
        {"05 01 00 02 00 00 00 61 62", b},
        // ExpandedNodeId flags: namespace URI and server index follow and are skipped.
        {"c0 0d 01 00 00 00 78 07 00 00 00", NodeId{0, NodeId::Kind::Numeric, 13, "", {}}},
    };
    for (const auto& c : cases) {
        const auto bytes = hex(c.bytes);
        Reader r(bytes.data(), bytes.size());
        EXPECT_EQ(decode_node_id(r), c.expected) << c.bytes;
        EXPECT_EQ(r.remaining(), 0u) << c.bytes;
        Reader skip(bytes.data(), bytes.size());
        skip_node_id(skip);
        EXPECT_EQ(skip.remaining(), 0u) << c.bytes;
    }
    const auto invalid = hex("06 00");
    Reader r(invalid.data(), invalid.size());
    EXPECT_THROW(decode_node_id(r), DecodeError);
}

TEST(UaCodec, TagNamesBecomeNodeIds) {
    std::vector<std::uint8_t> scratch;
    const auto enc = [&](int ns, std::string_view tag) {
        Writer w;
        encode_tag_node_id(w, ns, tag, scratch);
        return to_hex(w.bytes());
    };
    EXPECT_EQ(enc(0, "i=2258"), "01 00 d2 08");
    EXPECT_EQ(enc(2, "s=Demo.Tag1"), to_hex(hex("03 02 00 09 00 00 00 \"Demo.Tag1\"")));
    // A string identifier may contain ; = and :, and a bare name is a string taken whole.
    EXPECT_EQ(enc(2, "s=a;b=c:d"), to_hex(hex("03 02 00 07 00 00 00 \"a;b=c:d\"")));
    EXPECT_EQ(enc(2, "Demo.Tag1"), to_hex(hex("03 02 00 09 00 00 00 \"Demo.Tag1\"")));
    EXPECT_EQ(enc(1, "g=72962B91-FA75-4AE6-8D28-B404DC7DAF63"),
              "04 01 00 91 2b 96 72 75 fa e6 4a 8d 28 b4 04 dc 7d af 63");
    EXPECT_EQ(enc(1, "b=VmFudHJlbA=="), to_hex(hex("05 01 00 07 00 00 00 \"Vantrel\"")));
    // Malformed kinds fall back to a string identifier instead of failing the whole read.
    EXPECT_EQ(enc(0, "i=12x"), to_hex(hex("03 00 00 05 00 00 00 \"i=12x\"")));
    EXPECT_EQ(enc(0, "i=4294967296"), to_hex(hex("03 00 00 0c 00 00 00 \"i=4294967296\"")));
    EXPECT_EQ(enc(0, "g=nope"), to_hex(hex("03 00 00 06 00 00 00 \"g=nope\"")));
    EXPECT_EQ(enc(0, "b=*"), to_hex(hex("03 00 00 03 00 00 00 \"b=*\"")));
    // A namespace index that cannot be encoded reads as the null NodeId (Bad for that node).
    EXPECT_EQ(enc(70000, "i=1"), "00 00");
    EXPECT_EQ(enc(-1, "i=1"), "00 00");
}

TEST(UaCodec, VariantsGiveNumbersOnlyForNumericScalars) {
    const auto number = [](const char* text) {
        const auto bytes = hex(text);
        Reader r(bytes.data(), bytes.size());
        auto v = decode_variant_number(r);
        EXPECT_EQ(r.remaining(), 0u) << text;
        return v;
    };
    EXPECT_EQ(number("0b 00 00 00 00 00 00 f8 3f"), 1.5);  // Double
    EXPECT_EQ(number("06 d6 ff ff ff"), -42.0);            // Int32
    EXPECT_EQ(number("01 02"), 1.0);                       // Boolean: non-zero is true
    EXPECT_EQ(number("01 00"), 0.0);
    EXPECT_EQ(number("02 ff"), -1.0);        // SByte
    EXPECT_EQ(number("05 ff ff"), 65535.0);  // UInt16
    EXPECT_EQ(number("09 ff ff ff ff ff ff ff ff"), 18446744073709551615.0);
    EXPECT_EQ(number("0a 00 00 c0 3f"), 1.5);           // Float
    EXPECT_EQ(number("00"), std::nullopt);              // null
    EXPECT_EQ(number("0c ff ff ff ff"), std::nullopt);  // null String
    EXPECT_EQ(number("0c 02 00 00 00 68 69"), std::nullopt);
    EXPECT_EQ(number("0d 00 c0 89 76 45 3c da 01"), std::nullopt);  // DateTime
    EXPECT_EQ(number("13 00 00 34 80"), std::nullopt);              // StatusCode
    EXPECT_EQ(number("86 03 00 00 00 01 00 00 00 02 00 00 00 03 00 00 00"), std::nullopt);
    EXPECT_EQ(number("c6 04 00 00 00 01 00 00 00 02 00 00 00 03 00 00 00 04 00 00 00"
                     " 02 00 00 00 02 00 00 00 02 00 00 00"),
              std::nullopt);  // 2x2 matrix
    // A Variant holding a Variant holding a Double is still not a plain number.
    EXPECT_EQ(number("18 0b 00 00 00 00 00 00 f8 3f"), std::nullopt);
}

TEST(UaCodec, HostileVariantsFailCleanly) {
    const auto fails = [](const std::vector<std::uint8_t>& bytes) {
        Reader r(bytes.data(), bytes.size());
        EXPECT_THROW(decode_variant_number(r), DecodeError) << to_hex(bytes);
    };
    fails(hex("1a 00"));                       // unknown built-in type
    fails(hex("8b ff ff ff 7f 00 00"));        // 2^31-1 doubles claimed, 2 bytes present
    fails(hex("80 05 00 00 00"));              // array of the null type
    fails(hex("4b 00 00 00 00 00 00 f8 3f"));  // dimensions on a scalar
    fails(hex("0b 00 00"));                    // truncated Double
    // Variants nested inside Variants beyond the depth cap.
    std::vector<std::uint8_t> deep(10000, 0x18);
    deep.push_back(0x00);
    fails(deep);
    // DataValues nested in Variants nested in DataValues.
    std::vector<std::uint8_t> dv_bomb;
    for (int i = 0; i < 5000; ++i) {
        dv_bomb.push_back(0x17);
        dv_bomb.push_back(0x01);
    }
    fails(dv_bomb);
}

TEST(UaCodec, DataValueFieldsFollowTheWireOrder) {
    // Value, StatusCode, SourceTimestamp, SourcePicoseconds, ServerTimestamp, ServerPicoseconds.
    const auto bytes =
        hex("3f 0b 00 00 00 00 00 00 f8 3f 00 00 90 40 11 00 00 00 00 00 00 00 05 00"
            " 22 00 00 00 00 00 00 00 07 00");
    Reader r(bytes.data(), bytes.size());
    DataValue dv;
    decode_data_value(r, dv);
    EXPECT_EQ(r.remaining(), 0u);
    EXPECT_EQ(dv.number, 1.5);
    EXPECT_EQ(dv.status, 0x40900000u);
    EXPECT_EQ(dv.source_ticks, 0x11);
    EXPECT_EQ(dv.server_ticks, 0x22);

    const auto status_only = hex("02 00 00 34 80");
    Reader s(status_only.data(), status_only.size());
    decode_data_value(s, dv);
    EXPECT_FALSE(dv.has_value);
    EXPECT_EQ(dv.status, 0x80340000u);
}

TEST(UaCodec, DiagnosticInfoAndExtensionObjectsAreSkippedByTheirLayout) {
    // SymbolicId, NamespaceUri, Locale, LocalizedText (Locale first), AdditionalInfo,
    // InnerStatusCode, then a nested DiagnosticInfo with a SymbolicId.
    const auto diag =
        hex("7f 01 00 00 00 02 00 00 00 03 00 00 00 04 00 00 00 02 00 00 00 68 69 00 00 34 80"
            " 01 09 00 00 00");
    Reader r(diag.data(), diag.size());
    skip_diagnostic_info(r);
    EXPECT_EQ(r.remaining(), 0u);

    const auto eos =
        hex("00 00 00"                              // empty
            " 01 00 41 01 01 03 00 00 00 61 62 63"  // binary body of 3 bytes
            " 01 00 41 01 01 ff ff ff ff");         // Length -1 from an old server
    Reader e(eos.data(), eos.size());
    skip_extension_object(e);
    skip_extension_object(e);
    skip_extension_object(e);
    EXPECT_EQ(e.remaining(), 0u);

    const auto long_eo = hex("00 00 01 10 00 00 00 61");
    Reader l(long_eo.data(), long_eo.size());
    EXPECT_THROW(skip_extension_object(l), DecodeError);

    std::vector<std::uint8_t> deep(100, 0x40);
    deep.push_back(0x00);
    Reader d(deep.data(), deep.size());
    EXPECT_THROW(skip_diagnostic_info(d), DecodeError);
}

TEST(UaCodec, ArrayLengthsAreCheckedAgainstTheBytesPresent) {
    const auto bytes = hex("00 00 00 80");  // 2^31 claimed (negative as Int32)
    Reader r(bytes.data(), bytes.size());
    EXPECT_THROW(r.array_length(1), DecodeError);
    const auto big = hex("ff ff ff 7f 00 00 00 00");
    Reader b(big.data(), big.size());
    EXPECT_THROW(b.array_length(1), DecodeError);
    const auto null_array = hex("ff ff ff ff");
    Reader n(null_array.data(), null_array.size());
    EXPECT_EQ(n.array_length(4), 0u);
}

}  // namespace
}  // namespace qevsdk::ua

namespace qevsdk::ua {
namespace {

TEST(UaEndpointUrl, SchemasNameHostAndPort) {
    const auto a = parse_endpoint_url("opc.tcp://plc-7:48010/UA/Server");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->host, "plc-7");
    EXPECT_EQ(a->port, 48010);
    EXPECT_EQ(a->url, "opc.tcp://plc-7:48010/UA/Server");  // sent to the server as given
    EXPECT_EQ(parse_endpoint_url("opc.tcp://10.0.0.5")->port, 4840);
    const auto v6 = parse_endpoint_url("opc.tcp://[::1]:4841");
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->host, "::1");
    EXPECT_EQ(v6->port, 4841);

    for (const char* bad : {"OPC.TCP://h:4840", "opc.da://h/x", "opc.tcp://", "opc.tcp://:4840",
                            "opc.tcp://h:", "opc.tcp://h:0", "opc.tcp://h:65536",
                            "opc.tcp://h:48a0", "opc.tcp://a:b:4840", "opc.tcp://[::1"}) {
        EXPECT_FALSE(parse_endpoint_url(bad)) << bad;
    }

    EXPECT_EQ(make_endpoint("", 0).url, "opc.tcp://localhost:4840");
    EXPECT_EQ(make_endpoint("::1", 4841).url, "opc.tcp://[::1]:4841");
}

}  // namespace
}  // namespace qevsdk::ua

namespace qevsdk::ua {
namespace {

// The operator reads the name; the client decides from the class whether the session, the
// connection or only the request is lost. Info bits in the low word change neither.
TEST(UaStatus, CodesAreNamedAndClassifiedByTheirUpperWord) {
    EXPECT_EQ(status_text(status::BadNodeIdUnknown), "0x80340000 (BadNodeIdUnknown)");
    EXPECT_EQ(status_text(0x807F0400), "0x807F0400 (BadTcpSecureChannelUnknown)");
    EXPECT_EQ(status_text(0x80AB0000), "0x80AB0000");  // not named: the number alone

    EXPECT_TRUE(is_session_fatal(status::BadSessionClosed | 0x0400));
    EXPECT_FALSE(is_connection_fatal(status::BadSessionClosed));
    for (std::uint32_t tcp = 0x807D0000; tcp <= 0x80830000; tcp += 0x10000) {
        EXPECT_TRUE(is_connection_fatal(tcp)) << status_text(tcp);
    }
    EXPECT_TRUE(is_connection_fatal(status::BadServerHalted));
    EXPECT_FALSE(is_connection_fatal(status::BadNodeIdUnknown));
    EXPECT_FALSE(is_connection_fatal(status::BadTimeout));
    EXPECT_TRUE(halving_helps(status::BadTooManyOperations));
    EXPECT_FALSE(halving_helps(status::BadTimeout));
}

}  // namespace
}  // namespace qevsdk::ua
