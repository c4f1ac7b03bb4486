#include "scratch_db.h"

#include <libpq-fe.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace bench {

namespace {

std::string env(const char* name, const char* fallback = "") {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : fallback;
}

}  // namespace

ScratchDb::ScratchDb() {
    cfg_.host = env("PGHOST");
    cfg_.port = std::stoi(env("PGPORT", "5432"));
    cfg_.user = env("PGUSER", "postgres");
    cfg_.password = env("PGPASSWORD");
    maintenance_db_ = env("PGDATABASE", "postgres");
    cfg_.dbname = "bench_engine_cycle_" + std::to_string(::getpid());
    admin("CREATE DATABASE " + cfg_.dbname);
}

ScratchDb::~ScratchDb() {
    try {
        admin("DROP DATABASE IF EXISTS " + cfg_.dbname + " WITH (FORCE)");
    } catch (const std::exception&) {
        // Leaving a scratch database behind is not worth failing the run for.
    }
}

void ScratchDb::admin(const std::string& sql) const {
    const std::string port = std::to_string(cfg_.port);
    const char* keys[] = {"host", "port", "user", "password", "dbname", nullptr};
    const char* values[] = {cfg_.host.c_str(),       port.c_str(),
                            cfg_.user.c_str(),       cfg_.password.c_str(),
                            maintenance_db_.c_str(), nullptr};
    PGconn* pg = PQconnectdbParams(keys, values, 0);
    if (PQstatus(pg) != CONNECTION_OK) {
        const std::string msg = PQerrorMessage(pg);
        PQfinish(pg);
        throw std::runtime_error("cannot reach PostgreSQL (is the libpq environment set?): " + msg);
    }
    PGresult* res = PQexec(pg, sql.c_str());
    const bool ok = PQresultStatus(res) == PGRES_COMMAND_OK;
    const std::string msg = PQerrorMessage(pg);
    PQclear(res);
    PQfinish(pg);
    if (!ok) {
        throw std::runtime_error(sql + ": " + msg);
    }
}

}  // namespace bench
