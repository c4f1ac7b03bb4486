// The shared libpq support on the private PostgreSQL: scratch databases must leave nothing on a
// server that every suite shares, and a failure must say where it happened.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

#include "pg_session.h"

namespace {

using vantrel::test::PgSession;
using vantrel::test::ScratchDatabase;

bool exists(const std::string& dbname) {
    PgSession admin(vantrel::test::maintenance_database());
    return admin.rows("SELECT 1 FROM pg_database WHERE datname = $1", {dbname}).size() == 1;
}

std::string message_of(const auto& action) {
    try {
        action();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

TEST(PgSupport, ScratchDatabasesAreDistinctAndGoEvenWithASessionStillOpen) {
    if (std::getenv("PGHOST") == nullptr) {
        GTEST_SKIP() << "no PostgreSQL in the libpq environment (scripts/test exports one)";
    }
    std::string first_name;
    // A session a test forgot to close outlives the database: the drop must force it out.
    std::optional<PgSession> still_open;
    {
        const ScratchDatabase first("pg_support");
        const ScratchDatabase second("pg_support");
        first_name = first.name();
        EXPECT_NE(first.name(), second.name());
        still_open.emplace(first.name());
        still_open->exec("CREATE TABLE t (v int)");
        EXPECT_EQ(still_open->scalar("SELECT count(*) FROM t"), "0");
        EXPECT_TRUE(exists(first.name()));
    }
    EXPECT_FALSE(exists(first_name));
}

TEST(PgSupport, RecreateEmptiesAndFailuresNameWhereTheyHappened) {
    if (std::getenv("PGHOST") == nullptr) {
        GTEST_SKIP() << "no PostgreSQL in the libpq environment (scripts/test exports one)";
    }
    ScratchDatabase db("pg_support");
    PgSession(db.name()).exec("CREATE TABLE t (v int)");
    db.recreate();
    PgSession session(db.name());
    EXPECT_EQ(session.try_scalar("SELECT count(*) FROM t"), std::nullopt);
    EXPECT_EQ(session.rows("SELECT NULL::text, 'x'"), (vantrel::test::PgRows{{"<NULL>", "x"}}));

    const auto refused = message_of([&] { session.exec("SELECT * FROM t"); });
    EXPECT_EQ(refused.rfind("SELECT * FROM t: ", 0), 0u) << refused;
    EXPECT_NE(refused.find("does not exist"), std::string::npos) << refused;
    EXPECT_EQ(message_of([&] { session.scalar("SELECT 1, 2"); }),
              "expected one value from: SELECT 1, 2");

    const auto unreachable = message_of([] { PgSession("pg_support_no_such_database"); });
    EXPECT_EQ(unreachable.rfind("cannot connect to database pg_support_no_such_database: ", 0), 0u)
        << unreachable;
    EXPECT_NE(unreachable.find("does not exist"), std::string::npos) << unreachable;
}

// A client's settings record takes every field of the server, and what needs a database
// fails with instructions, rather than passing, when the environment names none.
TEST(PgSupport, ServerRecordsAndAMissingEnvironment) {
    struct Record {
        std::string host;
        int port = 0;
        std::string user;
        std::string password;
        std::string dbname;
    };
    const vantrel::test::PgServer server{
        .host = "db", .port = 6543, .user = "u", .password = "p", .dbname = "plant"};
    const auto own = server.settings<Record>();
    EXPECT_EQ(own.host, "db");
    EXPECT_EQ(own.port, 6543);
    EXPECT_EQ(own.user, "u");
    EXPECT_EQ(own.password, "p");
    EXPECT_EQ(own.dbname, "plant");
    EXPECT_EQ(server.settings<Record>("scratch").dbname, "scratch");

    const char* saved = std::getenv("PGPASSWORD");
    const std::string password = saved != nullptr ? saved : "";
    ::unsetenv("PGPASSWORD");
    const auto missing = message_of([] { ScratchDatabase("pg_support"); });
    if (saved != nullptr) {
        ::setenv("PGPASSWORD", password.c_str(), 1);
    }
    EXPECT_EQ(missing.rfind("no test database: ", 0), 0u) << missing;
    EXPECT_NE(missing.find("scripts/pg-private.sh"), std::string::npos) << missing;
}

}  // namespace
