// The server restarted under open connections: errors, not crashes; ping false until a new
// connection is made. Restarts the private cluster through scripts/pg-private.sh.
#include <gtest/gtest.h>

#include <cstdlib>

#include "chronq/chronq.h"
#include "pg_session.h"

namespace {

void restart_server() {
    ASSERT_NE(std::getenv("VANTREL_PG_DIR"), nullptr)
        << "VANTREL_PG_DIR is not set: this test restarts the private PostgreSQL of "
           "scripts/pg-private.sh and needs to know which one";
    ASSERT_EQ(vantrel::test::pg_private_script("restart"), 0) << "scripts/pg-private.sh restart";
}

}  // namespace

TEST(ChronqRestart, OpenConnectionsFailCleanlyAfterARestartAndNewOnesWork) {
    vantrel::test::ScratchDatabase db{"chronq_t"};
    auto writer = chronq::get_conn(db.settings<chronq::ConnSettings>());
    auto reader = chronq::get_conn(db.settings<chronq::ConnSettings>());
    chronq::TagInfo tag;
    tag.tag_name = "T";
    ASSERT_TRUE(chronq::insert_new_tag(*reader, tag).ok);
    const std::vector<std::int64_t> ids(200, 1);
    const std::vector<chronq::TsValue> values(200, chronq::TsValue{1.0});
    const std::vector<std::string> qualities(200, "Good");
    const std::vector<std::int64_t> many_ids(5000, 1);
    const std::vector<chronq::TsValue> many_values(5000, chronq::TsValue{2.0});
    const std::vector<std::string> many_qualities(5000, "Good");
    ASSERT_TRUE(chronq::write_tsdata(*writer, ids, values, qualities).first);

    restart_server();

    EXPECT_FALSE(chronq::ping(*writer));
    EXPECT_THROW(chronq::write_tsdata(*writer, ids, values, qualities), chronq::ConnectionError);
    EXPECT_THROW(chronq::write_tsdata(*writer, many_ids, many_values, many_qualities),
                 chronq::ConnectionError);
    EXPECT_THROW(chronq::get_tag(*reader, "T"), chronq::ConnectionError);
    EXPECT_THROW(chronq::get_sources(*reader), chronq::ConnectionError);
    EXPECT_FALSE(chronq::ping(*reader));
    EXPECT_FALSE(chronq::ping(*writer));  // still false: ping never reconnects
    writer->close();

    auto fresh = chronq::get_conn(db.settings<chronq::ConnSettings>());
    EXPECT_TRUE(chronq::ping(*fresh));
    EXPECT_TRUE(chronq::get_tag(*fresh, "T").has_value());
    const auto [ok, rows] = chronq::write_tsdata(*fresh, many_ids, many_values, many_qualities);
    EXPECT_TRUE(ok);
    EXPECT_EQ(rows, 5000u);
    EXPECT_EQ(db.scalar("SELECT count(*) FROM chronq.tsdata"), "5200");
}
