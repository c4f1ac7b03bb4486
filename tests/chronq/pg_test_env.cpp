#include "pg_test_env.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>

namespace chronq_test {

namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

void run(PGconn* pg, const std::string& sql) {
    PGresult* res = PQexec(pg, sql.c_str());
    const bool ok = PQresultStatus(res) == PGRES_COMMAND_OK;
    const std::string msg = PQresultErrorMessage(res);
    PQclear(res);
    if (!ok) {
        throw std::runtime_error("test set-up statement failed: " + sql + ": " + msg);
    }
}

}  // namespace

chronq::ConnSettings env_settings() {
    if (env("PGHOST").empty() || env("PGPORT").empty() || env("PGPASSWORD").empty()) {
        throw std::runtime_error(
            "no test database: PGHOST, PGPORT and PGPASSWORD are not set. Start the private "
            "PostgreSQL first: source scripts/pg-private.sh && pg_private_start "
            "(scripts/test does this)");
    }
    chronq::ConnSettings s;
    s.host = env("PGHOST");
    s.port = std::stoi(env("PGPORT"));
    s.user = env("PGUSER").empty() ? "postgres" : env("PGUSER");
    s.password = env("PGPASSWORD");
    s.dbname = env("PGDATABASE").empty() ? "tsdb_default" : env("PGDATABASE");
    return s;
}

PGconn* raw_connect(const std::string& dbname) {
    const auto s = env_settings();
    const std::string port = std::to_string(s.port);
    const char* keys[] = {"host", "port", "user", "password", "dbname", nullptr};
    const char* values[] = {s.host.c_str(),     port.c_str(),   s.user.c_str(),
                            s.password.c_str(), dbname.c_str(), nullptr};
    PGconn* pg = PQconnectdbParams(keys, values, 0);
    if (PQstatus(pg) != CONNECTION_OK) {
        const std::string msg = PQerrorMessage(pg);
        PQfinish(pg);
        throw std::runtime_error("cannot reach the test server: " + msg);
    }
    return pg;
}

ScratchDb::ScratchDb() {
    static std::atomic<int> counter{0};
    name_ = "chronq_t_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    PGconn* pg = raw_connect(env_settings().dbname);
    try {
        run(pg, "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
        run(pg, "CREATE DATABASE " + name_);
    } catch (...) {
        PQfinish(pg);
        throw;
    }
    PQfinish(pg);
}

ScratchDb::~ScratchDb() {
    try {
        PGconn* pg = raw_connect(env_settings().dbname);
        PQclear(PQexec(pg, ("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)").c_str()));
        PQfinish(pg);
    } catch (...) {
        // A server that went away takes its databases with it.
    }
}

chronq::ConnSettings ScratchDb::settings() const {
    auto s = env_settings();
    s.dbname = name_;
    return s;
}

std::vector<std::vector<std::string>> ScratchDb::query(const std::string& sql) const {
    PGconn* pg = raw_connect(name_);
    PGresult* res = PQexec(pg, sql.c_str());
    if (PQresultStatus(res) != PGRES_TUPLES_OK && PQresultStatus(res) != PGRES_COMMAND_OK) {
        const std::string msg = PQresultErrorMessage(res);
        PQclear(res);
        PQfinish(pg);
        throw std::runtime_error("test query failed: " + sql + ": " + msg);
    }
    std::vector<std::vector<std::string>> rows;
    for (int r = 0; r < PQntuples(res); ++r) {
        std::vector<std::string> row;
        for (int c = 0; c < PQnfields(res); ++c) {
            row.push_back(PQgetisnull(res, r, c) ? "<NULL>" : PQgetvalue(res, r, c));
        }
        rows.push_back(std::move(row));
    }
    PQclear(res);
    PQfinish(pg);
    return rows;
}

std::string ScratchDb::scalar(const std::string& sql) const {
    const auto rows = query(sql);
    if (rows.size() != 1 || rows[0].size() != 1) {
        throw std::runtime_error("expected one value from: " + sql);
    }
    return rows[0][0];
}

}  // namespace chronq_test
