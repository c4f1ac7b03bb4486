// Sources and tags against the real server.
#include <gtest/gtest.h>

#include "chronq/chronq.h"
#include "pg_session.h"
#include "tag_named.h"

using chronq::Description;
using chronq::SourceFilter;
using chronq::SourceInfo;
using chronq::SourceProtocol;
using chronq::SourceStatus;
using chronq::TagFields;
using chronq::TagInfo;

namespace {

using chronq_test::tag_named;

class ChronqRegistry : public ::testing::Test {
  protected:
    ChronqRegistry() : conn(chronq::get_conn(db.settings<chronq::ConnSettings>())) {}

    std::int64_t add_source(const std::string& name, const std::string& endpoint,
                            SourceProtocol protocol = SourceProtocol::OPC_UA,
                            SourceStatus status = SourceStatus::ACTIVE) {
        SourceInfo info;
        info.source_name = name;
        info.endpoint = endpoint;
        info.protocol = protocol;
        info.status = status;
        const auto result = chronq::insert_new_source(*conn, info);
        EXPECT_TRUE(result.ok) << result.message;
        return info.source_id.value_or(-1);
    }

    vantrel::test::ScratchDatabase db{"chronq_t"};
    std::unique_ptr<chronq::Connection> conn;
};

// Text that breaks naive quoting in SQL and in JSON alike.
const Description kAwkward = {
    {"desc", "温度传感器 \"主\" 回路\\备用"},
    {"created_by", "O'Brien; DROP TABLE chronq.tags; --"},
    {"lines", "a\nb\tc\x01"},
    {"空", ""},
};

SourceFilter filter(std::vector<std::string> names, std::vector<SourceStatus> status = {},
                    std::vector<SourceProtocol> protocol = {}) {
    SourceFilter f;
    f.names = std::move(names);
    f.status = std::move(status);
    f.protocol = std::move(protocol);
    return f;
}

}  // namespace

TEST_F(ChronqRegistry, SourceRoundTripsWithEveryFieldAndAnAwkwardDescription) {
    SourceInfo info;
    info.source_name = "vantrel";
    info.endpoint = "opc.tcp://localhost:4840";
    info.status = SourceStatus::ACTIVE;
    info.protocol = SourceProtocol::OPC_UA;
    info.source_type = "OPC_Collector";
    info.interval_msec = 250;
    info.description = kAwkward;
    const auto result = chronq::insert_new_source(*conn, info);
    ASSERT_TRUE(result.ok) << result.message;
    ASSERT_TRUE(info.source_id.has_value());

    const auto sources = chronq::get_sources(*conn);
    ASSERT_EQ(sources.size(), 1u);
    const auto& s = sources[0];
    EXPECT_EQ(s.source_id, info.source_id);
    EXPECT_EQ(s.source_name, "vantrel");
    EXPECT_EQ(s.endpoint, "opc.tcp://localhost:4840");
    EXPECT_EQ(s.status, SourceStatus::ACTIVE);
    EXPECT_EQ(s.protocol, SourceProtocol::OPC_UA);
    EXPECT_EQ(s.source_type, "OPC_Collector");
    EXPECT_EQ(s.interval_msec, 250);
    EXPECT_EQ(s.description, kAwkward);  // same entries, same order
    EXPECT_EQ(db.scalar("SELECT count(*) FROM chronq.tags"), "0");
    // Stored as real JSON that other readers can query.
    EXPECT_EQ(db.scalar("SELECT description->>'desc' FROM chronq.sources"),
              "温度传感器 \"主\" 回路\\备用");
}

TEST_F(ChronqRegistry, FiltersMatchEachListedValueAndEmptyListsMatchAll) {
    const auto a = add_source("vantrel", "opc.tcp://a:4840", SourceProtocol::OPC_UA);
    const auto b = add_source("vantrel", "opc.da://h/Sim", SourceProtocol::OPC_DA);
    const auto c = add_source("console_vantrel", "opc.tcp://a:4840", SourceProtocol::OPC_UA);
    const auto d =
        add_source("vantrel", "opc.tcp://b:4840", SourceProtocol::OPC_UA, SourceStatus::INACTIVE);

    auto ids = [&](const SourceFilter& f) {
        std::vector<std::int64_t> out;
        for (const auto& s : chronq::get_sources(*conn, f)) {
            out.push_back(*s.source_id);
        }
        return out;
    };
    using V = std::vector<std::int64_t>;
    EXPECT_EQ(ids({}), (V{a, b, c, d}));
    EXPECT_EQ(ids(filter({"vantrel"}, {SourceStatus::ACTIVE}, {SourceProtocol::OPC_UA})), (V{a}));
    EXPECT_EQ(ids(filter({"vantrel"}, {}, {SourceProtocol::OPC_DA})), (V{b}));
    EXPECT_EQ(ids(filter({"vantrel", "console_vantrel"}, {SourceStatus::ACTIVE})), (V{a, b, c}));
    EXPECT_EQ(ids(filter({}, {SourceStatus::INACTIVE})), (V{d}));
    EXPECT_EQ(ids(filter({"nobody"})), V{});
    EXPECT_EQ(ids(filter({"vantrel' OR '1'='1"})), V{});
}

TEST_F(ChronqRegistry, TagInsertGivesTheStoredRecordAndLookupFindsIt) {
    const auto src = add_source("vantrel", "opc.tcp://a:4840");
    EXPECT_FALSE(chronq::get_tag(*conn, "ns=2;s=Temp").has_value());

    const TagInfo tag = tag_named("ns=2;s=Temp", src, {{"desc", kAwkward[0].second}});
    const auto result = chronq::insert_new_tag(*conn, tag);
    ASSERT_TRUE(result.ok) << result.message;
    ASSERT_TRUE(result.data.has_value());
    ASSERT_TRUE(result.data->tag_id.has_value());
    EXPECT_EQ(result.data->tag_name, tag.tag_name);
    EXPECT_EQ(result.data->description, tag.description);
    EXPECT_EQ(result.data->source_id, src);

    const auto found = chronq::get_tag(*conn, "ns=2;s=Temp");
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->tag_id, result.data->tag_id);
    EXPECT_EQ(found->description, tag.description);
    EXPECT_EQ(found->source_tagname, "ns=2;s=Temp");

    // Names match exactly: no pattern, no case folding, no trimming.
    EXPECT_FALSE(chronq::get_tag(*conn, "ns=2;s=temp").has_value());
    EXPECT_FALSE(chronq::get_tag(*conn, "ns=2;s=Temp ").has_value());
    EXPECT_FALSE(chronq::get_tag(*conn, "%").has_value());
}

TEST_F(ChronqRegistry, TagWithoutSourceOrDescriptionIsStoredAsSuch) {
    const auto result = chronq::insert_new_tag(*conn, tag_named("Random.Int1"));
    ASSERT_TRUE(result.ok) << result.message;
    const auto found = chronq::get_tag(*conn, "Random.Int1");
    ASSERT_TRUE(found);
    EXPECT_FALSE(found->source_id.has_value());
    EXPECT_TRUE(found->description.empty());
    EXPECT_EQ(db.scalar("SELECT description::text FROM chronq.tags"), "{}");
}

TEST_F(ChronqRegistry, DuplicateTagOrUnknownSourceIsRefusedNotThrown) {
    ASSERT_TRUE(chronq::insert_new_tag(*conn, tag_named("T1")).ok);
    const auto dup = chronq::insert_new_tag(*conn, tag_named("T1"));
    EXPECT_FALSE(dup.ok);
    EXPECT_FALSE(dup.data.has_value());
    EXPECT_NE(dup.message.find("already exists"), std::string::npos) << dup.message;
    // A long name is quoted cut, with its length, in the message and the log.
    const std::string long_name(2000, 'L');
    ASSERT_TRUE(chronq::insert_new_tag(*conn, tag_named(long_name)).ok);
    EXPECT_EQ(chronq::insert_new_tag(*conn, tag_named(long_name)).message,
              "a tag named '" + std::string(120, 'L') + "... (2000 bytes)' already exists");

    const auto orphan = chronq::insert_new_tag(*conn, tag_named("T2", 999));
    EXPECT_FALSE(orphan.ok);
    EXPECT_NE(orphan.message.find("foreign key"), std::string::npos) << orphan.message;
    // The connection is still good after a refusal.
    EXPECT_TRUE(chronq::ping(*conn));
    EXPECT_TRUE(chronq::get_tag(*conn, "T1").has_value());
}

TEST_F(ChronqRegistry, UpdateMovesATagToAnotherSourceAndLeavesUnnamedFieldsAlone) {
    const auto desk = add_source("vantrel", "opc.tcp://a:4840");
    const auto console = add_source("console_vantrel", "opc.tcp://a:4840");
    const TagInfo tag = tag_named("Boiler.Pressure", desk, {{"desc", "old"}});
    const auto inserted = chronq::insert_new_tag(*conn, tag);
    ASSERT_TRUE(inserted.ok);

    TagFields move;
    move.source_id = console;
    move.source_tagname = "B.P";
    move.description = Description{};
    auto moved = chronq::update_tag_fields(*conn, "Boiler.Pressure", move);
    ASSERT_TRUE(moved.ok) << moved.message;
    auto found = chronq::get_tag(*conn, "Boiler.Pressure");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->source_id, console);
    EXPECT_EQ(found->source_tagname, "B.P");
    EXPECT_TRUE(found->description.empty());
    EXPECT_EQ(found->tag_id, inserted.data->tag_id);

    TagFields describe;
    describe.description = kAwkward;
    ASSERT_TRUE(chronq::update_tag_fields(*conn, "Boiler.Pressure", describe).ok);
    found = chronq::get_tag(*conn, "Boiler.Pressure");
    EXPECT_EQ(found->source_id, console);
    EXPECT_EQ(found->source_tagname, "B.P");
    EXPECT_EQ(found->description, kAwkward);
}

TEST_F(ChronqRegistry, UpdateOfAMissingTagOrToAMissingSourceIsRefused) {
    TagFields rename;
    rename.source_tagname = "x";
    const auto missing = chronq::update_tag_fields(*conn, "nope", rename);
    EXPECT_FALSE(missing.ok);
    ASSERT_TRUE(chronq::insert_new_tag(*conn, tag_named("T")).ok);
    TagFields to_nowhere;
    to_nowhere.source_id = 4242;
    const auto bad = chronq::update_tag_fields(*conn, "T", to_nowhere);
    EXPECT_FALSE(bad.ok);
    EXPECT_FALSE(chronq::get_tag(*conn, "T")->source_id.has_value());
}

TEST_F(ChronqRegistry, TextThatCannotBeStoredIsRefusedBeforeTheServer) {
    const std::string with_nul("a\0b", 3);
    EXPECT_THROW(chronq::get_tag(*conn, with_nul), chronq::QueryError);
    EXPECT_THROW(chronq::insert_new_tag(*conn, tag_named(with_nul)), chronq::QueryError);
    EXPECT_THROW(chronq::insert_new_tag(*conn, tag_named("ok", std::nullopt, {{"desc", with_nul}})),
                 chronq::QueryError);
    EXPECT_FALSE(chronq::get_tag(*conn, "ok").has_value());
    // Invalid UTF-8 reaches the server, which refuses it; nothing is stored.
    const auto bad = chronq::insert_new_tag(*conn, tag_named("bad\xff"));
    EXPECT_FALSE(bad.ok);
    EXPECT_EQ(db.scalar("SELECT count(*) FROM chronq.tags"), "0");
}
