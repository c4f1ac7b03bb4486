// Browse messages and the data types of browsed variables (their tag texts: tag_text_test).
#include <gtest/gtest.h>

#include "ua/browse.h"

namespace qevsdk::ua {
namespace {

NodeId string_id(std::uint16_t ns, std::string text) {
    NodeId id;
    id.ns = ns;
    id.kind = NodeId::Kind::String;
    id.text = std::move(text);
    return id;
}

TEST(UaBrowseTagText, NumericDataTypesAreTheOnesTheCollectorStores) {
    const auto ns0 = [](std::uint32_t n) {
        NodeId id;
        id.numeric = n;
        return id;
    };
    for (std::uint32_t n : {1u, 2u, 3u, 6u, 9u, 10u, 11u, 27u, 289u, 290u}) {
        EXPECT_TRUE(is_numeric_data_type(ns0(n))) << n;
    }
    for (std::uint32_t n : {0u, 12u, 13u, 14u, 15u, 21u, 294u}) {
        EXPECT_FALSE(is_numeric_data_type(ns0(n))) << n;
    }
    NodeId custom = ns0(11);
    custom.ns = 2;
    EXPECT_FALSE(is_numeric_data_type(custom));
    EXPECT_EQ(data_type_name(ns0(11)), "Double");
    EXPECT_EQ(data_type_name(custom), "ns=2;i=11");
    EXPECT_EQ(data_type_name(string_id(3, "Motor")), "ns=3;s=Motor");
}

// A BrowseResponse body with the given results, written field by field.
struct ResponseWriter {
    Writer w;
    explicit ResponseWriter(std::uint32_t type, std::int32_t results) {
        encode_numeric_node_id(w, 0, type);
        w.datetime(0);
        w.u32(1);  // request handle
        w.u32(0);  // service result
        w.u8(0);   // diagnostic info
        w.i32(-1);
        w.u8(0);  // additional header
        w.u8(0);
        w.u8(0);
        w.i32(results);
    }
    void result(std::uint32_t status, std::string_view point, std::int32_t refs) {
        w.u32(status);
        if (point.empty()) {
            w.i32(-1);
        } else {
            w.string(point);
        }
        w.i32(refs);
    }
    // A reference to ns=2;s=<name>; `flags` are the ExpandedNodeId's.
    void reference(std::string_view name, std::int32_t node_class, std::uint8_t flags = 0,
                   std::uint32_t server_index = 0) {
        encode_numeric_node_id(w, 0, 35);  // Organizes
        w.boolean(true);
        w.u8(static_cast<std::uint8_t>(0x03 | flags));
        w.u16(2);
        w.string(name);
        if (flags & 0x80) {
            w.string("urn:elsewhere");
        }
        if (flags & 0x40) {
            w.u32(server_index);
        }
        w.u16(2);
        w.string(name);
        w.u8(0x03);  // display name with locale
        w.string("zh");
        w.string("显示");
        w.i32(node_class);
        encode_numeric_node_id(w, 0, 63);
    }
    void end() { w.i32(-1); }
};

TEST(UaBrowseMessages, ResponsesGiveReferencesContinuationPointsAndRemoteTargets) {
    ResponseWriter rw(type_id::BrowseResponse, 2);
    rw.result(0, "cp-1", 4);
    rw.reference("Local", node_class::Variable);
    rw.reference("OnServer0", node_class::Object, 0x40, 0);
    rw.reference("OtherServer", node_class::Object, 0x40, 3);
    rw.reference("ByUri", node_class::Variable, 0x80);
    rw.result(status::BadNodeIdUnknown, "", -1);
    rw.end();
    Reader r(rw.w.data(), rw.w.size());
    const auto results = decode_browse_response(r, 2);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(
        std::string(results[0].continuation_point.begin(), results[0].continuation_point.end()),
        "cp-1");
    ASSERT_EQ(results[0].references.size(), 4u);
    const auto& local = results[0].references[0];
    EXPECT_EQ(local.target, string_id(2, "Local"));
    EXPECT_EQ(local.browse_name, "Local");
    EXPECT_EQ(local.display_name, "显示");
    EXPECT_EQ(local.node_class, node_class::Variable);
    EXPECT_FALSE(local.remote);
    EXPECT_FALSE(results[0].references[1].remote);
    EXPECT_TRUE(results[0].references[2].remote);
    EXPECT_TRUE(results[0].references[3].remote);
    EXPECT_EQ(results[1].status, status::BadNodeIdUnknown);
    EXPECT_TRUE(results[1].references.empty());
    EXPECT_EQ(r.remaining(), 0u);

    // One result per node asked about, and the right response type.
    Reader again(rw.w.data(), rw.w.size());
    EXPECT_THROW(decode_browse_response(again, 3), DecodeError);
    Reader wrong(rw.w.data(), rw.w.size());
    EXPECT_THROW(decode_browse_next_response(wrong, 2), UaError);
}

TEST(UaBrowseMessages, BrowseNextCarriesTheReleaseFlagAndEveryPoint) {
    Writer w;
    const std::vector<std::vector<std::uint8_t>> points{{1, 2}, {3}};
    encode_browse_next(w, {nullptr, 5, 1000}, true, points);
    Reader r(w.data(), w.size());
    EXPECT_EQ(decode_type_id(r), type_id::BrowseNextRequest);
    skip_node_id(r);  // authentication token
    r.skip(8 + 4 + 4);
    r.skip_string();
    r.skip(4 + 3);
    EXPECT_TRUE(r.boolean());
    ASSERT_EQ(r.i32(), 2);
    EXPECT_EQ(r.string_view(), std::string_view("\x01\x02", 2));
    EXPECT_EQ(r.string_view(), "\x03");
    EXPECT_EQ(r.remaining(), 0u);
}

}  // namespace
}  // namespace qevsdk::ua
