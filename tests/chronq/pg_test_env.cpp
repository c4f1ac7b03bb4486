#include "pg_test_env.h"

#include <cstdlib>
#include <stdexcept>

namespace chronq_test {

namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

// The server's settings are checked first, so that a missing environment reads as such.
std::string scratch_prefix() {
    env_settings();
    return "chronq_t";
}

}  // namespace

chronq::ConnSettings env_settings() {
    if (env("PGHOST").empty() || env("PGPORT").empty() || env("PGPASSWORD").empty()) {
        throw std::runtime_error(
            "no test database: PGHOST, PGPORT and PGPASSWORD are not set. Start the private "
            "PostgreSQL first: source scripts/pg-private.sh && pg_private_start "
            "(scripts/test does this)");
    }
    const auto server = vantrel::test::pg_server();
    chronq::ConnSettings s;
    s.host = server.host;
    s.port = server.port;
    s.user = server.user;
    s.password = server.password;
    s.dbname = env("PGDATABASE").empty() ? "tsdb_default" : env("PGDATABASE");
    return s;
}

ScratchDb::ScratchDb() : db_(scratch_prefix()) {}

chronq::ConnSettings ScratchDb::settings() const {
    auto s = env_settings();
    s.dbname = name();
    return s;
}

vantrel::test::PgRows ScratchDb::query(const std::string& sql) const {
    return vantrel::test::PgSession(name()).rows(sql);
}

std::string ScratchDb::scalar(const std::string& sql) const {
    return vantrel::test::PgSession(name()).scalar(sql);
}

}  // namespace chronq_test
