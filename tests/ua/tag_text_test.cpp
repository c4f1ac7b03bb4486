// Tag texts both ways: every node id a server can name comes back unchanged through the tag
// text a browse writes for it, in the index form and the nsu= form, the way the collector
// splits and encodes it; and nsu= tags find their namespace through the server's array.
#include <gtest/gtest.h>

#include "qevsdk/ua_tag.h"
#include "ua/node_text.h"

namespace qevsdk::ua {
namespace {

NodeId string_id(std::uint16_t ns, std::string text) {
    NodeId id;
    id.ns = ns;
    id.kind = NodeId::Kind::String;
    id.text = std::move(text);
    return id;
}

// What the collector makes of the tag text: split, then encoded as a NodeId.
NodeId as_collected(const std::string& tag, NamespaceTable* namespaces = nullptr) {
    const auto [ns, name] = qevsdk::split_ua_tag(tag);
    Writer w;
    std::vector<std::uint8_t> scratch;
    encode_tag_node_id(w, ns, name, scratch, namespaces);
    Reader r(w.data(), w.size());
    return decode_node_id(r);
}

std::vector<NodeId> every_kind_of_node_id() {
    std::vector<NodeId> ids;
    NodeId numeric;
    numeric.ns = 2;
    numeric.numeric = 4294967295u;
    ids.push_back(numeric);
    numeric.ns = 0;
    numeric.numeric = 85;
    ids.push_back(numeric);
    // Strings that read as another form, or hold the characters the split looks for.
    for (const char* text :
         {"Plant.Temp", "i=5", "s=x", "s=", "g=72962B91-FA75-4AE6-8D28-B404DC7DAF63",
          "b=", "b=AA==", "i=abc", "Plant;Area=1:Pump", "3:Line", "x", "反应釜温度",
          "Tag,with \"quotes\"", "=", "i"}) {
        ids.push_back(string_id(7, text));
    }
    NodeId guid;
    guid.ns = 3;
    guid.kind = NodeId::Kind::Guid;
    guid.guid = {0x91, 0x2B, 0x96, 0x72, 0x75, 0xFA, 0xE6, 0x4A,
                 0x8D, 0x28, 0xB4, 0x04, 0xDC, 0x7D, 0xAF, 0x63};
    ids.push_back(guid);
    // Opaque ids of every length modulo 3, and bytes that are not text.
    for (std::string bytes : {std::string("V"), std::string("Va"), std::string("Van"),
                              std::string("\x00\xff\x10\xfe", 4)}) {
        NodeId opaque;
        opaque.ns = 65535;
        opaque.kind = NodeId::Kind::Opaque;
        opaque.text = bytes;
        ids.push_back(opaque);
    }
    return ids;
}

TEST(UaBrowseTagText, EveryKindOfNodeIdSurvivesTheCollectorsParsing) {
    const std::vector<NodeId> ids = every_kind_of_node_id();
    NodeId guid;
    guid.ns = 3;
    guid.kind = NodeId::Kind::Guid;
    guid.guid = {0x91, 0x2B, 0x96, 0x72, 0x75, 0xFA, 0xE6, 0x4A,
                 0x8D, 0x28, 0xB4, 0x04, 0xDC, 0x7D, 0xAF, 0x63};
    for (const auto& id : ids) {
        const auto tag = full_tag_name(id);
        ASSERT_TRUE(tag.has_value()) << tag_identifier(id);
        EXPECT_EQ(as_collected(*tag), id) << *tag;
    }
    EXPECT_EQ(full_tag_name(guid), "3:g=72962b91-fa75-4ae6-8d28-b404dc7daf63");
    EXPECT_EQ(full_tag_name(string_id(2, "Plant.Temp")), "2:Plant.Temp");
    EXPECT_EQ(full_tag_name(string_id(2, "i=5")), "2:s=i=5");
}

TEST(UaBrowseTagText, NodeIdsATagListCannotKeepHaveNoTagText) {
    NodeId empty_opaque;
    empty_opaque.kind = NodeId::Kind::Opaque;
    // The tag list loader trims white space (Unicode's too) and reads CR as a line break.
    for (const char* text :
         {" padded", "padded ", "\tx", "a\rb", "\xE3\x80\x80x", "x\xC2\xA0", "x\xE2\x80\x83", ""}) {
        EXPECT_EQ(full_tag_name(string_id(2, text)), std::nullopt) << text;
    }
    EXPECT_EQ(full_tag_name(empty_opaque), std::nullopt);
    EXPECT_TRUE(full_tag_name(string_id(2, "中 文")).has_value());
}

TEST(UaBrowseTagText, Base64MatchesTheDecoder) {
    std::vector<std::uint8_t> all;
    for (int i = 0; i < 256; ++i) {
        all.push_back(static_cast<std::uint8_t>(i));
        std::vector<std::uint8_t> back;
        ASSERT_TRUE(decode_base64(encode_base64(all), back));
        ASSERT_EQ(back, all);
    }
    EXPECT_EQ(encode_base64(std::vector<std::uint8_t>{'V', 'a', 'n', 't', 'r', 'e', 'l'}),
              "VmFudHJlbA==");
}

NodeId null_id() {
    return NodeId{};
}

TEST(UaTagText, EveryNodeIdSurvivesTheNamespaceUriFormWhateverTheUriHolds) {
    // URIs with the characters the form must escape or must not trip over.
    const std::vector<std::string> uris{"http://opcfoundation.org/UA/",
                                        "urn:a",
                                        "http://h/a;b=c",
                                        "urn:50%;x",
                                        "http://h/a%20b",
                                        "urn:%3B%25",
                                        "urn:中文:3:s=1",
                                        "u"};
    for (std::size_t index = 0; index < uris.size(); ++index) {
        // The server lists the namespaces in another order than the tag list was written for.
        std::vector<std::string> shuffled(uris.rbegin(), uris.rend());
        NamespaceTable server;
        server.assign(shuffled);
        const auto at_server = static_cast<std::uint16_t>(uris.size() - 1 - index);
        for (NodeId id : every_kind_of_node_id()) {
            id.ns = static_cast<std::uint16_t>(index);
            const auto tag = full_tag_name(id, uris);
            ASSERT_TRUE(tag.has_value()) << tag_identifier(id);
            ASSERT_TRUE(tag->starts_with("nsu=")) << *tag;
            NodeId expected = id;
            expected.ns = at_server;
            EXPECT_EQ(as_collected(*tag, &server), expected) << *tag;
            const auto parts = split_namespace_uri_tag(*tag);
            ASSERT_TRUE(parts.has_value()) << *tag;
            EXPECT_EQ(namespace_uri_of(parts->uri_text), uris[index]) << *tag;
        }
        EXPECT_TRUE(server.take_problems().empty());
    }
    NodeId numeric;
    numeric.ns = 1;
    numeric.numeric = 1001;
    EXPECT_EQ(full_tag_name(numeric, uris), "nsu=urn:a;i=1001");
    EXPECT_EQ(full_tag_name(string_id(1, "Plant.Temp"), uris), "nsu=urn:a;s=Plant.Temp");
    EXPECT_EQ(full_tag_name(string_id(3, "x"), uris), "nsu=urn:50%25%3Bx;s=x");
    // Beyond the array the index form stays; what no tag list keeps has no text either way.
    EXPECT_EQ(full_tag_name(string_id(9, "x"), uris), "9:x");
    EXPECT_EQ(full_tag_name(string_id(1, " x"), uris), std::nullopt);
}

TEST(UaTagText, AStringThatReadsAsANamespaceUriTagKeepsItsMeaning) {
    NamespaceTable server;
    server.assign({"http://opcfoundation.org/UA/", "urn:a"});
    for (std::uint16_t ns : {0, 1}) {
        const NodeId id = string_id(ns, "nsu=urn:a;s=x");
        const auto tag = full_tag_name(id);
        ASSERT_TRUE(tag.has_value());
        EXPECT_EQ(as_collected(*tag, &server), id) << *tag;
    }
    // In another namespace the text is a plain string, as before.
    EXPECT_EQ(as_collected("2:nsu=urn:a;s=x", &server), string_id(2, "nsu=urn:a;s=x"));
    // The split leaves the form whole in namespace 0, for the source to resolve.
    EXPECT_EQ(split_ua_tag("nsu=urn:a:3;s=x"), (std::pair<int, std::string>{0, "nsu=urn:a:3;s=x"}));
    EXPECT_EQ(as_collected("0:nsu=urn:a;s=x", &server), string_id(1, "x"));
}

TEST(UaTagText, EscapesInTheUriAreReadInEitherCaseAndOtherPercentsStandForThemselves) {
    NamespaceTable server;
    server.assign({"http://opcfoundation.org/UA/", "urn:a;b", "http://h/a%20b", "urn:%"});
    EXPECT_EQ(as_collected("nsu=urn:a%3bb;s=x", &server), string_id(1, "x"));
    EXPECT_EQ(as_collected("nsu=urn:a%3Bb;s=x", &server), string_id(1, "x"));
    EXPECT_EQ(as_collected("nsu=http://h/a%20b;s=x", &server), string_id(2, "x"));
    EXPECT_EQ(as_collected("nsu=urn:%25;s=x", &server), string_id(3, "x"));
    EXPECT_EQ(as_collected("nsu=urn:%;s=x", &server), string_id(3, "x"));
    EXPECT_TRUE(server.take_problems().empty());
    // Without a table only the OPC UA namespace resolves.
    NodeId server_status;
    server_status.numeric = 2256;
    EXPECT_EQ(as_collected("nsu=http://opcfoundation.org/UA/;i=2256"), server_status);
    EXPECT_EQ(as_collected("nsu=urn:a%3Bb;i=2256"), null_id());
}

TEST(UaTagText, AMissingNamespaceOrAMalformedTagReadsTheNullNodeAndIsToldOncePerConnection) {
    NamespaceTable server;
    server.assign({"http://opcfoundation.org/UA/", "urn:a"});
    for (int cycle = 0; cycle < 3; ++cycle) {
        EXPECT_EQ(as_collected("nsu=urn:gone;s=x", &server), null_id());
        EXPECT_EQ(as_collected("nsu=urn:gone;i=7", &server), null_id());
        for (const char* malformed :
             {"nsu=urn:a", "nsu=;s=x", "nsu=urn:a;x", "nsu=urn:a;", "nsu=urn:a;q=1", "nsu="}) {
            EXPECT_EQ(as_collected(malformed, &server), null_id()) << malformed;
        }
        const auto problems = server.take_problems();
        if (cycle == 0) {
            ASSERT_EQ(problems.size(), 7u);
            EXPECT_NE(problems[0].find("'urn:gone'"), std::string::npos) << problems[0];
            EXPECT_NE(problems[1].find("'nsu=urn:a'"), std::string::npos) << problems[1];
        } else {
            EXPECT_TRUE(problems.empty()) << cycle;
        }
    }
    // A new connection tells it again.
    server.assign({"http://opcfoundation.org/UA/", "urn:a"});
    EXPECT_EQ(as_collected("nsu=urn:gone;s=x", &server), null_id());
    EXPECT_EQ(server.take_problems().size(), 1u);
}

TEST(UaTagText, FormatAndSplitAreInverse) {
    for (const char* uri : {"urn:a", ";", "%", "%3B", "%25", "a=b;c", "x%"}) {
        for (const char* identifier :
             {"i=5", "s=a;b", "g=72962b91-fa75-4ae6-8d28-b404dc7daf63", "b=AA==", "Plain", "s="}) {
            const auto tag = format_namespace_uri_tag(uri, identifier);
            ASSERT_TRUE(tag.has_value());
            const auto parts = split_namespace_uri_tag(*tag);
            ASSERT_TRUE(parts.has_value()) << *tag;
            EXPECT_EQ(namespace_uri_of(parts->uri_text), uri) << *tag;
            const std::string written = std::string(identifier).find('=') == 1
                                            ? std::string(identifier)
                                            : "s=" + std::string(identifier);
            EXPECT_EQ(parts->identifier, written) << *tag;
        }
    }
    EXPECT_EQ(format_namespace_uri_tag("", "i=1"), std::nullopt);
    EXPECT_EQ(format_ua_tag(3, "s=x"), "3:s=x");
}

}  // namespace
}  // namespace qevsdk::ua
