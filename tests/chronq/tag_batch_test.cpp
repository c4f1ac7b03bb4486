// Tags in batches against the real server: one outcome per entry, exactly as single calls one
// after the other would give, also when the server refuses one entry of the batch.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "chronq/chronq.h"
#include "pg_session.h"
#include "tag_named.h"

using chronq::Description;
using chronq::OperationResult;
using chronq::SourceInfo;
using chronq::TagFields;
using chronq::TagInfo;

namespace {

using chronq_test::tag_named;

class ChronqTagBatch : public ::testing::Test {
  protected:
    ChronqTagBatch() : conn(chronq::get_conn(db.settings<chronq::ConnSettings>())) {}

    std::int64_t add_source(const std::string& endpoint) {
        SourceInfo info;
        info.source_name = "vantrel";
        info.endpoint = endpoint;
        EXPECT_TRUE(chronq::insert_new_source(*conn, info).ok);
        return info.source_id.value_or(-1);
    }

    std::string count_tags() { return db.scalar("SELECT count(*) FROM chronq.tags"); }

    vantrel::test::ScratchDatabase db{"chronq_t"};
    std::unique_ptr<chronq::Connection> conn;
};

const std::string kNul("a\0b", 3);
const std::string kBadUtf8 = "bad\xff";

}  // namespace

TEST_F(ChronqTagBatch, LookupAnswersEachNameInOrder) {
    const auto source = add_source("opc.tcp://a:4840");
    const Description awkward = {{"desc", "温度 \"主\"\\备用"}, {"空", ""}, {"x", "O'Brien"}};
    const auto t1 = chronq::insert_new_tag(*conn, tag_named("T1", source, awkward));
    const auto t2 = chronq::insert_new_tag(*conn, tag_named("T2"));
    ASSERT_TRUE(t1.ok && t2.ok);

    const auto found =
        chronq::get_tags(*conn, {"T2", "ghost", "T1", kNul, "T1", "O'Brien; --", kBadUtf8});
    ASSERT_EQ(found.size(), 7u);
    ASSERT_TRUE(found[0] && found[2] && found[4]);
    EXPECT_EQ(found[0]->tag_id, t2.data->tag_id);
    EXPECT_FALSE(found[0]->source_id);
    EXPECT_TRUE(found[0]->description.empty());
    EXPECT_FALSE(found[1]);
    EXPECT_EQ(found[2]->tag_id, t1.data->tag_id);
    EXPECT_EQ(found[2]->source_id, source);
    EXPECT_EQ(found[2]->source_tagname, "T1");
    EXPECT_EQ(found[2]->description, awkward);
    EXPECT_EQ(found[4]->description, awkward);
    EXPECT_FALSE(found[3]);
    EXPECT_FALSE(found[5]);
    EXPECT_FALSE(found[6]) << "a name the server refuses is a name no tag has";
    EXPECT_TRUE(chronq::get_tags(*conn, {}).empty());
}

// A whole plant's list in one lookup: names the server refuses are found wherever they sit,
// and every other name keeps its answer.
TEST_F(ChronqTagBatch, LookupOfALongListRefusesOnlyTheBadNames) {
    const auto source = add_source("opc.tcp://a:4840");
    std::vector<std::string> names;
    for (int i = 0; i < 3000; ++i) {
        names.push_back("Plant." + std::to_string(i));
    }
    names[17] = kBadUtf8;
    names[2900] = "also bad\xc3";
    names[2901] = kNul;
    const auto first = chronq::insert_new_tag(*conn, tag_named("Plant.0", source));
    const auto last = chronq::insert_new_tag(*conn, tag_named("Plant.2999", source));
    ASSERT_TRUE(first.ok && last.ok);

    const auto found = chronq::lookup_tags(*conn, names);
    ASSERT_EQ(found.size(), names.size());
    for (std::size_t i = 0; i < found.size(); ++i) {
        const bool bad = i == 17 || i == 2900 || i == 2901;
        EXPECT_EQ(found[i].refused.empty(), !bad) << "name " << i << ": " << found[i].refused;
        EXPECT_EQ(found[i].tag.has_value(), i == 0 || i == 2999) << "name " << i;
    }
    EXPECT_NE(found[17].refused.find("UTF8"), std::string::npos) << found[17].refused;
    EXPECT_EQ(found[0].tag->tag_id, first.data->tag_id);
    EXPECT_EQ(found[2999].tag->tag_id, last.data->tag_id);
    EXPECT_TRUE(chronq::ping(*conn));
}

TEST_F(ChronqTagBatch, InsertRefusesOnlyTheEntriesTheServerWouldRefuseAlone) {
    const auto source = add_source("opc.tcp://a:4840");
    ASSERT_TRUE(chronq::insert_new_tag(*conn, tag_named("taken")).ok);

    const std::vector<TagInfo> batch = {
        tag_named("A", source, {{"desc", "first"}}),
        tag_named("taken"),
        tag_named("A", source, {{"desc", "second"}}),
        tag_named("B"),
        tag_named(kNul),
        tag_named("C", std::nullopt, {{"desc", kNul}}),
    };
    const auto results = chronq::insert_new_tags(*conn, batch);
    ASSERT_EQ(results.size(), batch.size());
    ASSERT_TRUE(results[0].ok) << results[0].message;
    EXPECT_EQ(results[0].data->tag_name, "A");
    EXPECT_EQ(results[0].data->source_id, source);
    EXPECT_EQ(results[0].data->description, (Description{{"desc", "first"}}));
    EXPECT_EQ(chronq::get_tag(*conn, "A")->tag_id, results[0].data->tag_id);
    EXPECT_FALSE(results[1].ok);
    EXPECT_NE(results[1].message.find("already exists"), std::string::npos) << results[1].message;
    EXPECT_FALSE(results[2].ok) << "the second A of the batch finds the first";
    EXPECT_FALSE(results[2].data);
    ASSERT_TRUE(results[3].ok);
    EXPECT_FALSE(results[3].data->source_id);
    EXPECT_FALSE(results[4].ok);
    EXPECT_NE(results[4].message.find("NUL"), std::string::npos) << results[4].message;
    EXPECT_FALSE(results[5].ok);
    EXPECT_EQ(count_tags(), "3");
    EXPECT_TRUE(chronq::insert_new_tags(*conn, {}).empty());
}

TEST_F(ChronqTagBatch, InsertOfOneBadEntryStillStoresTheOthers) {
    const auto source = add_source("opc.tcp://a:4840");
    const auto results = chronq::insert_new_tags(
        *conn, {tag_named("X1", source), tag_named(kBadUtf8), tag_named("X2", 4242),
                tag_named("X3", source, {{"desc", "three"}})});
    ASSERT_EQ(results.size(), 4u);
    EXPECT_TRUE(results[0].ok) << results[0].message;
    EXPECT_FALSE(results[1].ok);
    EXPECT_NE(results[1].message.find("UTF8"), std::string::npos) << results[1].message;
    EXPECT_FALSE(results[2].ok);
    EXPECT_NE(results[2].message.find("foreign key"), std::string::npos) << results[2].message;
    ASSERT_TRUE(results[3].ok) << results[3].message;
    EXPECT_EQ(results[3].data->description, (Description{{"desc", "three"}}));
    EXPECT_EQ(count_tags(), "2");
    EXPECT_TRUE(chronq::ping(*conn));
}

TEST_F(ChronqTagBatch, UpdateAppliesEachEntryInListOrder) {
    const auto a = add_source("opc.tcp://a:4840");
    const auto b = add_source("opc.tcp://b:4840");
    ASSERT_TRUE(chronq::insert_new_tag(*conn, tag_named("T1", a, {{"desc", "old"}})).ok);
    ASSERT_TRUE(chronq::insert_new_tag(*conn, tag_named("T2", a, {{"desc", "keep"}})).ok);
    ASSERT_TRUE(chronq::insert_new_tag(*conn, tag_named("T3", a)).ok);

    TagFields to_b;
    to_b.source_id = b;
    to_b.source_tagname = "t1@b";
    to_b.description = Description{{"desc", "moved"}};
    TagFields clear;
    clear.description = Description{};
    TagFields rename;
    rename.source_tagname = "renamed";
    TagFields nowhere;
    nowhere.source_id = 4242;
    TagFields nul_desc;
    nul_desc.description = Description{{"desc", kNul}};

    const auto results = chronq::update_tags_fields(*conn, {{"T1", to_b},
                                                            {"ghost", rename},
                                                            {"T2", rename},
                                                            {"T1", clear},
                                                            {"T3", nowhere},
                                                            {"T2", nul_desc}});
    ASSERT_EQ(results.size(), 6u);
    EXPECT_TRUE(results[0].ok) << results[0].message;
    EXPECT_FALSE(results[1].ok);
    EXPECT_NE(results[1].message.find("ghost"), std::string::npos) << results[1].message;
    EXPECT_TRUE(results[2].ok);
    EXPECT_TRUE(results[3].ok);
    EXPECT_FALSE(results[4].ok);
    EXPECT_NE(results[4].message.find("foreign key"), std::string::npos) << results[4].message;
    EXPECT_FALSE(results[5].ok);

    const auto t1 = chronq::get_tag(*conn, "T1");
    EXPECT_EQ(t1->source_id, b);
    EXPECT_EQ(t1->source_tagname, "t1@b");
    EXPECT_TRUE(t1->description.empty()) << "the later entry for T1 runs last";
    const auto t2 = chronq::get_tag(*conn, "T2");
    EXPECT_EQ(t2->source_id, a);
    EXPECT_EQ(t2->source_tagname, "renamed");
    EXPECT_EQ(t2->description, (Description{{"desc", "keep"}}));
    EXPECT_EQ(chronq::get_tag(*conn, "T3")->source_id, a);
}

TEST_F(ChronqTagBatch, TenThousandTagsRoundTrip) {
    const auto source = add_source("opc.tcp://a:4840");
    std::vector<TagInfo> tags;
    std::vector<std::string> names;
    for (int i = 0; i < 10000; ++i) {
        names.push_back("Bulk." + std::to_string(i));
        tags.push_back(tag_named(names.back(), source, {{"desc", "point " + std::to_string(i)}}));
    }
    const auto inserted = chronq::insert_new_tags(*conn, tags);
    std::vector<std::pair<std::string, TagFields>> updates;
    for (std::size_t i = 0; i < inserted.size(); ++i) {
        ASSERT_TRUE(inserted[i].ok) << inserted[i].message;
        ASSERT_EQ(inserted[i].data->tag_name, names[i]);
        TagFields f;
        f.description = Description{};
        updates.emplace_back(names[i], f);
    }
    const auto found = chronq::get_tags(*conn, names);
    for (std::size_t i = 0; i < found.size(); ++i) {
        ASSERT_TRUE(found[i]);
        ASSERT_EQ(found[i]->tag_id, inserted[i].data->tag_id);
        ASSERT_EQ(found[i]->description, (Description{{"desc", "point " + std::to_string(i)}}));
    }
    const auto updated = chronq::update_tags_fields(*conn, updates);
    for (const auto& r : updated) {
        ASSERT_TRUE(r.ok) << r.message;
    }
    EXPECT_EQ(db.scalar("SELECT count(*) FROM chronq.tags WHERE description::text = '{}'"),
              "10000");
}
