// Source and tag registration through the chronq binding, on the private PostgreSQL: the batch
// calls must reach chronq's batches and come back with one exact outcome per tag.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include <korrin/registration.h>

#include "pg_session.h"

namespace korrin_test {
namespace {

using namespace vantrel::korrin;
using vantrel::test::PgInstance;

class RegistrationOnPg : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!pg.ok()) {
            GTEST_SKIP() << "no private PostgreSQL: " << pg.why();
        }
        conn = client->get_conn(pg.settings<TsdbConfig>());
    }
    void TearDown() override {
        if (conn) {
            conn->close();
        }
    }

    PgInstance pg{false};
    std::shared_ptr<TsdbClient> client = default_tsdb_client();
    std::unique_ptr<TsdbConnection> conn;
    // The database is shared with other tests and earlier runs: names of this run only.
    std::string run = std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
};

TEST_F(RegistrationOnPg, RegistersOnceThenUpdatesWithOneOutcomePerTag) {
    SourceInfo record{.source_name = "korrin-fe-" + run,
                      .endpoint = "opc.tcp://plc:4840",
                      .protocol = SourceProtocol::OPC_UA};
    const auto created = ensure_source(*client, *conn, record);
    ASSERT_TRUE(created.source_id) << created.message;
    EXPECT_FALSE(created.existing);
    const auto found = ensure_source(*client, *conn, record);
    EXPECT_TRUE(found.existing);
    EXPECT_EQ(found.source_id, created.source_id);

    const std::string a = run + ".A";
    const std::string b = run + ".B";
    const TagList tags = {
        {a, "Tank level"}, {b, ""}, {run + ".bad\xff", ""}, {std::string("nul\0", 4), ""}, {a, ""}};
    const auto first = sync_tags(*client, *conn, *created.source_id, tags);
    ASSERT_EQ(first.size(), 5u);
    EXPECT_EQ(first[0].action, TagAction::inserted) << first[0].message;
    EXPECT_EQ(first[1].action, TagAction::inserted) << first[1].message;
    EXPECT_EQ(first[2].action, TagAction::insert_failed);
    EXPECT_FALSE(first[2].message.empty());
    EXPECT_EQ(first[3].action, TagAction::insert_failed);
    EXPECT_EQ(first[4].action, TagAction::updated) << first[4].message;
    EXPECT_EQ(first[4].tag_id, first[0].tag_id);

    const auto second = sync_tags(*client, *conn, *created.source_id, {{b, "pump"}, {a, ""}});
    EXPECT_EQ(second[0].action, TagAction::updated);
    EXPECT_EQ(second[0].tag_id, first[1].tag_id);
    EXPECT_EQ(client->get_tag(*conn, b)->description, (Description{{"desc", "pump"}}));
    EXPECT_TRUE(client->get_tag(*conn, a)->description.empty());

    EXPECT_EQ(
        lookup_tag_ids(*client, *conn, {b, run + ".ghost", a}),
        (std::vector<std::optional<std::int64_t>>{first[1].tag_id, std::nullopt, first[0].tag_id}));
}

TEST_F(RegistrationOnPg, ABrokenConnectionIsAConnectionError) {
    conn->close();
    EXPECT_THROW(lookup_tag_ids(*client, *conn, {"x"}), TsdbConnectionError);
    EXPECT_THROW(sync_tags(*client, *conn, 1, {{"x", ""}}), TsdbConnectionError);
}

// The binding hands on what chronq knows: the kind, the server's SQLSTATE, and no doubt about
// a lookup.
TEST_F(RegistrationOnPg, ErrorsKeepTheirKindAndSqlstateThroughTheBinding) {
    try {
        client->get_tag(*conn, run + ".bad\xff");
        ADD_FAILURE() << "invalid UTF-8 was taken";
    } catch (const TsdbError& e) {
        EXPECT_EQ(e.kind(), TsdbErrorKind::statement) << e.what();
        EXPECT_EQ(e.sqlstate(), "22021") << e.what();
        EXPECT_FALSE(e.in_doubt());
    }
    conn->close();
    try {
        client->get_tag(*conn, "x");
        ADD_FAILURE() << "a closed connection answered";
    } catch (const TsdbError& e) {
        EXPECT_EQ(e.kind(), TsdbErrorKind::connection) << e.what();
        EXPECT_EQ(e.sqlstate(), "");
    }
}

}  // namespace
}  // namespace korrin_test
