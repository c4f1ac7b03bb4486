// The front ends' shared preparation: TSDB settings, tag list files, source and tag records.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <common/ini.h>
#include <common/shown_text.h>
#include <korrin/registration.h>
#include <korrin/settings.h>
#include <korrin/tag_list.h>

#include "fakes/fake_tsdb_client.h"

namespace korrin_test {
namespace {

using namespace vantrel::korrin;
using vantrel::common::IniError;
using vantrel::common::IniFile;
using vantrel::test_fakes::FakeTsdbClient;
namespace fs = std::filesystem;

TEST(ReadTsdbConfig, FallbacksValuesAndBadPorts) {
    const auto fallback = read_tsdb_config(IniFile::read_text("[Vantrel]\n"));
    EXPECT_EQ(fallback, (TsdbConfig{.host = local_host_name(),
                                    .port = 5432,
                                    .user = "postgres",
                                    .password = "",
                                    .dbname = "tsdb_default",
                                    .autocommit = false}));
    EXPECT_FALSE(local_host_name().empty());

    const auto given =
        read_tsdb_config(IniFile::read_text("[TSDBConnection]\nhost = db\nport = 6543\nuser = u\n"
                                            "password = p%%w\ndbname = plant\nautocommit = yes\n"));
    EXPECT_EQ(given, (TsdbConfig{.host = "db",
                                 .port = 6543,
                                 .user = "u",
                                 .password = "p%w",
                                 .dbname = "plant",
                                 .autocommit = true}));

    for (const std::string port : {"0", "65536", "-1"}) {
        SCOPED_TRACE(port);
        EXPECT_THROW(read_tsdb_config(IniFile::read_text("[TSDBConnection]\nport = " + port)),
                     std::invalid_argument);
    }
    EXPECT_THROW(read_tsdb_config(IniFile::read_text("[TSDBConnection]\nport = many\n")), IniError);
}

class TagListFile : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "korrin-taglist-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path write(const std::string& bytes) {
        const auto path = dir / "tags.csv";
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        return path;
    }

    fs::path dir;
};

// Decoding and row rules are covered through the console's loader (tests/pellumar).
TEST_F(TagListFile, ReportsTheEncodingBeforeTheHeaderCheckAndFailsByKind) {
    std::vector<std::string> heard;
    const auto path = write("fulltagname,Description\nT1,one\n");
    EXPECT_THROW(load_tag_list(path, [&](const std::string& e) { heard.push_back(e); }),
                 TagListColumnsError);
    EXPECT_EQ(heard, std::vector<std::string>{"utf-8"});

    try {
        load_tag_list(dir / "missing.csv");
        FAIL() << "a missing file must throw";
    } catch (const TagListDecodeError&) {
        FAIL() << "a missing file is not a decoding problem";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("missing.csv"), std::string::npos) << e.what();
    }
    EXPECT_THROW(load_tag_list(write("")), std::runtime_error);
}

TEST_F(TagListFile, EachTagKeepsItsCsvLine) {
    const auto loaded = load_tag_list(
        write("FullTagName,Description\r\nA,1\r\n\r\n,skipped\r\n\"B\nC\",2\r\nD\r\n"));
    ASSERT_EQ(loaded.tags.size(), 3u);
    EXPECT_EQ(loaded.tags[1].first, "B\nC");
    EXPECT_EQ(loaded.lines, (std::vector<std::size_t>{2, 5, 7}));
}

TEST(TagNames, ProblemsTheDatabaseWouldRefuse) {
    EXPECT_EQ(tag_name_problem("2:Plant.Boiler.Temperature"), std::nullopt);
    EXPECT_EQ(tag_name_problem(std::string(kMaxTagNameBytes, 'x')), std::nullopt);
    EXPECT_NE(tag_name_problem(std::string(kMaxTagNameBytes + 1, 'x')), std::nullopt);
    EXPECT_NE(tag_name_problem(std::string("A\0B", 3)), std::nullopt);
    EXPECT_NE(tag_name_problem("\xFF"), std::nullopt);
    // Log text: control characters escaped, long names cut on a character boundary.
    EXPECT_EQ(vantrel::common::shown_text(std::string("A\0\nB", 4)), "A\\x00\\x0aB");
    EXPECT_EQ(vantrel::common::shown_text("锅炉温度", 7), "锅炉... (12 bytes)");
    EXPECT_EQ(vantrel::common::shown_text("锅炉温度", 6), "锅炉... (12 bytes)");
    EXPECT_EQ(vantrel::common::shown_text("锅炉温度", 5), "锅... (12 bytes)");
}

class Registration : public ::testing::Test {
  protected:
    void SetUp() override { conn = client.get_conn({}); }

    static SourceInfo record(const std::string& endpoint,
                             SourceProtocol protocol = SourceProtocol::OPC_UA) {
        return {.source_name = "vantrel",
                .endpoint = endpoint,
                .status = SourceStatus::ACTIVE,
                .protocol = protocol,
                .source_type = "OPC_Collector",
                .interval_msec = 1000,
                .description = {{"created_by", "Vantrel4"}},
                .source_id = std::nullopt};
    }

    FakeTsdbClient client;
    std::unique_ptr<TsdbConnection> conn;
};

TEST_F(Registration, SourceIsFoundByEndpointAndProtocolOrInserted) {
    client.sources = {record("opc.tcp://a:4840"), record("opc.tcp://b:4840"),
                      record("opc.tcp://b:4840")};
    client.sources[0].source_id = 11;
    client.sources[1].source_id = std::nullopt;  // unusable: skipped
    client.sources[2].source_id = 13;

    const auto found = ensure_source(client, *conn, record("opc.tcp://b:4840"));
    EXPECT_EQ(found.source_id, 13);
    EXPECT_TRUE(found.existing);
    ASSERT_EQ(client.filters.size(), 1u);
    EXPECT_EQ(client.filters[0].names, std::vector<std::string>{"vantrel"});
    EXPECT_EQ(client.filters[0].status, std::vector{SourceStatus::ACTIVE});
    EXPECT_EQ(client.filters[0].protocol, std::vector{SourceProtocol::OPC_UA});

    // The same schema under the other protocol is another source.
    const auto other =
        ensure_source(client, *conn, record("opc.tcp://b:4840", SourceProtocol::OPC_DA));
    EXPECT_FALSE(other.existing);
    EXPECT_EQ(other.source_id, 4);
    EXPECT_EQ(client.sources.back().description, (Description{{"created_by", "Vantrel4"}}));
    EXPECT_EQ(client.calls["insert_new_source"], 1);
}

TEST_F(Registration, RefusedSourceGivesNoIdAndTheReason) {
    client.refuse_source = true;
    const auto refused = ensure_source(client, *conn, record("opc.tcp://a:4840"));
    EXPECT_FALSE(refused.source_id);
    EXPECT_EQ(refused.message, "source refused");
}

TEST_F(Registration, SyncInsertsMissingTagsAndOverwritesExistingOnes) {
    auto& old = client.add_tag("moved", 7, 99);
    old.description = {{"desc", "stale"}};
    client.add_tag("refused-update", 8, 99);
    client.refuse_tags = {"refused-insert"};
    client.refuse_updates = {"refused-update"};

    const auto outcomes = sync_tags(
        client, *conn, 5,
        {{"new", "Tank level"}, {"moved", ""}, {"refused-insert", "x"}, {"refused-update", "y"}});

    ASSERT_EQ(outcomes.size(), 4u);
    EXPECT_EQ(outcomes[0].action, TagAction::inserted);
    EXPECT_EQ(outcomes[0].tag_id, client.tags.at("new").tag_id);
    EXPECT_EQ(outcomes[1].action, TagAction::updated);
    EXPECT_EQ(outcomes[1].tag_id, 7);
    EXPECT_EQ(outcomes[2].action, TagAction::insert_failed);
    EXPECT_FALSE(outcomes[2].tag_id);
    EXPECT_EQ(outcomes[2].message, "tag refused");
    EXPECT_EQ(outcomes[3].action, TagAction::update_failed);
    EXPECT_EQ(outcomes[3].tag_id, 8) << "an existing tag keeps its id when the update fails";
    EXPECT_EQ(outcomes[3].message, "update refused");

    const auto& inserted = client.tags.at("new");
    EXPECT_EQ(inserted.source_id, 5);
    EXPECT_EQ(inserted.source_tagname, "new");
    EXPECT_EQ(inserted.description, (Description{{"desc", "Tank level"}}));
    const auto& moved = client.tags.at("moved");
    EXPECT_EQ(moved.source_id, 5);
    EXPECT_TRUE(moved.description.empty()) << "an empty description clears the stored one";
    EXPECT_EQ(client.tags.at("refused-update").source_id, 99);
}

TEST_F(Registration, DuplicateNamesBehaveAsIfRegisteredOneAfterTheOther) {
    const auto outcomes = sync_tags(client, *conn, 5, {{"T1", "first"}, {"T1", "second"}});
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_EQ(outcomes[0].action, TagAction::inserted);
    EXPECT_EQ(outcomes[1].action, TagAction::updated);
    EXPECT_EQ(outcomes[1].tag_id, outcomes[0].tag_id);
    EXPECT_EQ(client.tags.at("T1").description, (Description{{"desc", "second"}}));
}

TEST_F(Registration, ThreeBatchesWhateverTheNumberOfTags) {
    for (int i = 0; i < 50; ++i) {
        client.add_tag("old" + std::to_string(i), 1000 + i);
    }
    TagList tags;
    for (int i = 0; i < 50; ++i) {
        tags.emplace_back("old" + std::to_string(i), "");
        tags.emplace_back("new" + std::to_string(i), "");
    }
    client.calls.clear();
    const auto outcomes = sync_tags(client, *conn, 5, tags);
    EXPECT_EQ(client.calls["get_tags"], 1);
    EXPECT_EQ(client.calls["insert_new_tags"], 1);
    EXPECT_EQ(client.calls["update_tags_fields"], 1);
    EXPECT_EQ(client.calls["insert_new_tag"], 50);
    EXPECT_EQ(client.calls["update_tag_fields"], 50);
    ASSERT_EQ(outcomes.size(), 100u);
    EXPECT_EQ(outcomes[0].action, TagAction::updated);
    EXPECT_EQ(outcomes[1].action, TagAction::inserted);

    client.calls.clear();
    EXPECT_EQ(lookup_tag_ids(client, *conn, {"old3", "new3"}).size(), 2u);
    EXPECT_EQ(client.calls["get_tags"], 1);
}

// A plant's list goes in rounds; a name repeated in a later round must still end as if the
// whole list had gone at once, and every outcome must stay at its own tag's position.
TEST_F(Registration, LongListsGoInRoundsWithOutcomesInListOrder) {
    constexpr std::size_t round = kTagsPerRegistrationRound;
    client.add_tag("old", 7, 99);
    client.refuse_tags = {"refused"};
    TagList tags;
    for (std::size_t i = 0; i < 2 * round + round / 2; ++i) {
        tags.emplace_back("t" + std::to_string(i), "");
    }
    tags[0] = {"dup", "first"};
    tags[1] = {"refused", "a"};
    tags[round - 1] = {"old", "kept"};
    tags[round + 5] = {"refused", "b"};
    tags[2 * round + 1] = {"dup", "last"};
    tags[2 * round + 2] = {"old", "again"};
    client.calls.clear();

    const auto outcomes = sync_tags(client, *conn, 5, tags);

    EXPECT_EQ(client.calls["get_tags"], 3);
    EXPECT_EQ(client.calls["insert_new_tags"], 3);
    EXPECT_EQ(client.calls["update_tags_fields"], 3);
    EXPECT_EQ(client.calls["insert_new_tag"], static_cast<int>(tags.size()) - 4)
        << "each new name is inserted once, the refused one tried once";
    ASSERT_EQ(outcomes.size(), tags.size());
    for (std::size_t i = 0; i < tags.size(); ++i) {
        const std::string& name = tags[i].first;
        SCOPED_TRACE(name + " at " + std::to_string(i));
        if (name == "refused") {
            EXPECT_EQ(outcomes[i].action, TagAction::insert_failed);
            EXPECT_EQ(outcomes[i].message, "tag refused");
            EXPECT_FALSE(outcomes[i].tag_id);
            continue;
        }
        EXPECT_EQ(outcomes[i].tag_id, client.tags.at(name).tag_id);
        const bool first_of_new_name = name != "old" && i != 2 * round + 1;
        EXPECT_EQ(outcomes[i].action, first_of_new_name ? TagAction::inserted : TagAction::updated);
    }
    EXPECT_EQ(client.tags.at("dup").description, (Description{{"desc", "last"}}));
    EXPECT_EQ(client.tags.at("old").description, (Description{{"desc", "again"}}));
    EXPECT_EQ(client.tags.at("old").source_id, 5);
    EXPECT_EQ(client.tags.count("refused"), 0u);
}

TEST_F(Registration, RepeatOfARefusedNameIsRefusedToo) {
    client.refuse_tags = {"T1"};
    const auto outcomes = sync_tags(client, *conn, 5, {{"T1", "a"}, {"T2", ""}, {"T1", "b"}});
    ASSERT_EQ(outcomes.size(), 3u);
    EXPECT_EQ(outcomes[0].action, TagAction::insert_failed);
    EXPECT_EQ(outcomes[1].action, TagAction::inserted);
    EXPECT_EQ(outcomes[2].action, TagAction::insert_failed);
    EXPECT_EQ(outcomes[2].message, "tag refused");
    EXPECT_EQ(client.calls["insert_new_tag"], 2) << "T1 is tried once";
}

// A client whose batch answers do not line up with the question must not shift ids onto the
// wrong tags.
TEST_F(Registration, BatchAnswersOfTheWrongLengthAreAnError) {
    struct ShortAnswers : FakeTsdbClient {
        std::vector<std::optional<TagInfo>> get_tags(TsdbConnection&,
                                                     const std::vector<std::string>&) override {
            return {};
        }
    } shorted;
    auto c = shorted.get_conn({});
    EXPECT_THROW(lookup_tag_ids(shorted, *c, {"T1"}), TsdbError);
    EXPECT_THROW(sync_tags(shorted, *c, 5, {{"T1", ""}}), TsdbError);
}

TEST_F(Registration, TsdbErrorsReachTheCaller) {
    client.get_tag_error = "server closed the connection";
    EXPECT_THROW(sync_tags(client, *conn, 5, {{"T1", ""}}), TsdbConnectionError);
    EXPECT_THROW(lookup_tag_ids(client, *conn, {"T1"}), TsdbConnectionError);
    EXPECT_TRUE(client.tags.empty());
}

TEST_F(Registration, NamesTheDatabaseCannotTakeFailAloneAndNeverReachIt) {
    const std::string nul("A\0B", 3);
    const std::string too_long(kMaxTagNameBytes + 1, 'x');
    client.add_tag("T2", 7);
    const auto outcomes = sync_tags(
        client, *conn, 1, {{"T1", "one"}, {nul, ""}, {"T2", "two"}, {too_long, ""}, {"T3", ""}});
    ASSERT_EQ(outcomes.size(), 5u);
    EXPECT_EQ(outcomes[0].action, TagAction::inserted);
    EXPECT_EQ(outcomes[1].action, TagAction::insert_failed);
    EXPECT_NE(outcomes[1].message.find("NUL"), std::string::npos) << outcomes[1].message;
    EXPECT_EQ(outcomes[2].action, TagAction::updated);
    EXPECT_EQ(outcomes[2].tag_id, 7);
    EXPECT_EQ(outcomes[3].action, TagAction::insert_failed);
    EXPECT_NE(outcomes[3].message.find("bytes long"), std::string::npos) << outcomes[3].message;
    EXPECT_EQ(outcomes[4].action, TagAction::inserted);
    EXPECT_EQ(client.tags.count(nul) + client.tags.count(too_long), 0u);
    EXPECT_EQ(client.tags.size(), 3u);
}

TEST_F(Registration, LookupGivesIdsInOrderAndNothingForUnknownNames) {
    client.add_tag("a", 3);
    client.add_tag("b", 4);
    EXPECT_EQ(lookup_tag_ids(client, *conn, {"b", "ghost", "a", "b"}),
              (std::vector<std::optional<std::int64_t>>{4, std::nullopt, 3, 4}));
    EXPECT_TRUE(lookup_tag_ids(client, *conn, {}).empty());
}

}  // namespace
}  // namespace korrin_test
