// Connections, schema creation and database listing against the real server.
#include <gtest/gtest.h>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <sstream>
#include <thread>

#include "chronq/chronq.h"
#include "pg_session.h"

using vantrel::test::ScratchDatabase;

namespace {

chronq::ConnSettings env_settings() {
    return vantrel::test::required_pg_server().settings<chronq::ConnSettings>();
}

std::string error_of(const chronq::ConnSettings& s) {
    try {
        chronq::get_conn(s);
    } catch (const chronq::ConnectionError& e) {
        return e.what();
    }
    return "(no error)";
}

}  // namespace

TEST(ChronqConn, FirstConnectionCreatesTheSchemaAndLaterOnesKeepIt) {
    ScratchDatabase db{"chronq_t"};
    {
        auto conn = chronq::get_conn(db.settings<chronq::ConnSettings>());
        ASSERT_TRUE(conn);
        EXPECT_TRUE(chronq::ping(*conn));
    }
    // sources, tags, tsdata and write_marks
    EXPECT_EQ(db.scalar("SELECT count(*) FROM pg_tables WHERE schemaname = 'chronq'"), "4");
    EXPECT_EQ(db.scalar("SELECT count(*) FROM pg_indexes WHERE indexname = 'tsdata_tag_time_idx'"),
              "1");
    db.query(
        "INSERT INTO chronq.tsdata (tag_id, value, quality) VALUES (1, 2, 'Good') RETURNING 1");
    auto again = chronq::get_conn(db.settings<chronq::ConnSettings>());
    EXPECT_EQ(db.scalar("SELECT count(*) FROM chronq.tsdata"), "1");
}

TEST(ChronqConn, CollectorsConnectingAtOnceToAFreshDatabaseAllSucceed) {
    ScratchDatabase db{"chronq_t"};
    std::vector<std::thread> threads;
    std::atomic<int> connected{0};
    std::vector<std::string> errors(6);
    for (int i = 0; i < 6; ++i) {
        threads.emplace_back([&, i] {
            try {
                auto conn = chronq::get_conn(db.settings<chronq::ConnSettings>());
                connected += chronq::ping(*conn) ? 1 : 0;
            } catch (const std::exception& e) {
                errors[static_cast<std::size_t>(i)] = e.what();
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (const auto& e : errors) {
        EXPECT_EQ(e, "");
    }
    EXPECT_EQ(connected.load(), 6);
}

TEST(ChronqConn, ClosedConnectionFailsClearlyAndClosingTwiceIsHarmless) {
    ScratchDatabase db{"chronq_t"};
    auto conn = chronq::get_conn(db.settings<chronq::ConnSettings>());
    conn->close();
    conn->close();
    EXPECT_TRUE(conn->is_closed());
    EXPECT_FALSE(chronq::ping(*conn));
    EXPECT_THROW(chronq::get_tag(*conn, "x"), chronq::ConnectionError);
    const std::vector<std::int64_t> none;
    EXPECT_THROW(chronq::write_tsdata(*conn, none, {}, {}), chronq::ConnectionError);
}

TEST(ChronqConn, WrongPasswordAndUnknownDatabaseGiveClearErrorsWithoutThePassword) {
    auto s = env_settings();
    s.password = "Wr0ngSecret-" + s.password;
    const std::string wrong = error_of(s);
    EXPECT_NE(wrong.find("password authentication failed"), std::string::npos) << wrong;
    EXPECT_EQ(wrong.find(s.password), std::string::npos) << wrong;
    EXPECT_THROW(chronq::fetch_available_tsdbs(s), chronq::ConnectionError);

    auto unknown = env_settings();
    unknown.dbname = "no_such_db_here";
    const std::string missing = error_of(unknown);
    EXPECT_NE(missing.find("\"no_such_db_here\" does not exist"), std::string::npos) << missing;
    EXPECT_EQ(missing.find(unknown.password), std::string::npos) << missing;
}

TEST(ChronqConn, DatabaseNameIsNeverReadAsAConnectionString) {
    auto s = env_settings();
    s.dbname = "host=192.0.2.1 dbname=postgres";
    const std::string err = error_of(s);
    EXPECT_NE(err.find("does not exist"), std::string::npos) << err;
}

TEST(ChronqConn, UnreachableServerFailsWithLibpqsMessage) {
    auto s = env_settings();
    s.host = "127.0.0.1";
    s.port = 1;  // nothing listens there
    const std::string err = error_of(s);
    EXPECT_NE(err.find("Connection refused"), std::string::npos) << err;
    // libpq puts its hint on a line of its own: one log record must stay one line.
    EXPECT_EQ(err.find_first_of("\r\n\t"), std::string::npos) << err;
    EXPECT_NE(err.find("Connection refused | Is the server running"), std::string::npos) << err;
}

TEST(ChronqDbUtils, ListsConnectableDatabasesInNameOrderWithoutTemplates) {
    ScratchDatabase second{"chronq_t"};
    ScratchDatabase first{"chronq_t"};
    const auto names = chronq::fetch_available_tsdbs(env_settings());
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    EXPECT_NE(std::find(names.begin(), names.end(), first.name()), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), second.name()), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), env_settings().dbname), names.end());
    EXPECT_EQ(std::find(names.begin(), names.end(), "template0"), names.end());
    EXPECT_EQ(std::find(names.begin(), names.end(), "template1"), names.end());
    // Listing connects to the maintenance database only: no schema appears elsewhere.
    EXPECT_EQ(first.scalar("SELECT count(*) FROM pg_namespace WHERE nspname = 'chronq'"), "0");
}

TEST(ChronqDbUtils, LeavesOutDatabasesThatRefuseConnections) {
    ScratchDatabase locked{"chronq_t"};
    vantrel::test::PgSession admin(env_settings().dbname);
    admin.exec("ALTER DATABASE " + locked.name() + " ALLOW_CONNECTIONS false");
    const auto names = chronq::fetch_available_tsdbs(env_settings());
    admin.exec("ALTER DATABASE " + locked.name() + " ALLOW_CONNECTIONS true");
    EXPECT_EQ(std::find(names.begin(), names.end(), locked.name()), names.end());
}

TEST(ChronqConn, EnumerationsReadAsTheirStoredText) {
    EXPECT_EQ(chronq::value(chronq::SourceStatus::ACTIVE), "ACTIVE");
    EXPECT_EQ(chronq::value(chronq::SourceProtocol::OPC_DA), "OPC_DA");
    EXPECT_EQ(chronq::value(chronq::SourceProtocol::OPC_UA), "OPC_UA");
}

TEST(ChronqConn, LogsGoToTheChronqLoggerAndNeverHoldThePassword) {
    std::ostringstream out;
    auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(out);
    auto previous = spdlog::default_logger();
    auto logger = std::make_shared<spdlog::logger>("test", sink);
    logger->set_level(spdlog::level::debug);
    logger->set_pattern("%n|%l|%v");
    spdlog::drop("chronq");
    spdlog::set_default_logger(logger);

    auto s = env_settings();
    const std::string real_password = s.password;
    s.password = "Secret-" + real_password;
    EXPECT_THROW(chronq::get_conn(s), chronq::ConnectionError);
    ScratchDatabase db{"chronq_t"};
    auto conn = chronq::get_conn(db.settings<chronq::ConnSettings>());
    chronq::TagInfo orphan;
    orphan.tag_name = "T";
    orphan.source_id = 77;
    EXPECT_FALSE(chronq::insert_new_tag(*conn, orphan).ok);
    conn->close();

    spdlog::drop("chronq");
    spdlog::set_default_logger(previous);
    const std::string text = out.str();
    EXPECT_NE(text.find("chronq|debug|Connecting to"), std::string::npos) << text;
    EXPECT_NE(text.find("chronq|error|Inserting tag 'T' failed"), std::string::npos) << text;
    EXPECT_EQ(text.find(real_password), std::string::npos) << text;
}
