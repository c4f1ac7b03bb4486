#include "pg_session.h"

#include <libpq-fe.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace vantrel::test {

namespace {

std::string env_or(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : fallback;
}

// libpq ends its messages with a newline; the callers put them at the end of a line of theirs.
std::string trimmed(std::string msg) {
    while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' ')) {
        msg.pop_back();
    }
    return msg;
}

// Releases a result on every way out.
struct Result {
    PGresult* res;
    ~Result() { PQclear(res); }
    ExecStatusType status() const { return PQresultStatus(res); }
    bool ok() const { return status() == PGRES_COMMAND_OK || status() == PGRES_TUPLES_OK; }
};

}  // namespace

std::string maintenance_database() {
    return env_or("PGDATABASE", "postgres");
}

std::string PgServer::conninfo() const {
    return "host=" + host + " port=" + std::to_string(port) + " user=" + user +
           " password=" + password + " dbname=" + dbname;
}

PgServer pg_server() {
    return {.host = env_or("PGHOST", ""),
            .port = std::stoi(env_or("PGPORT", "5432")),
            .user = env_or("PGUSER", "postgres"),
            .password = env_or("PGPASSWORD", ""),
            .dbname = env_or("PGDATABASE", "tsdb_default")};
}

namespace {

constexpr const char* kNoServer =
    "no test database: PGHOST, PGPORT and PGPASSWORD are not set. Start the private "
    "PostgreSQL first: source scripts/pg-private.sh && pg_private_start "
    "(scripts/test does this)";

bool server_named() {
    return !env_or("PGHOST", "").empty() && !env_or("PGPORT", "").empty() &&
           !env_or("PGPASSWORD", "").empty();
}

}  // namespace

PgServer required_pg_server() {
    if (!server_named()) {
        throw std::runtime_error(kNoServer);
    }
    return pg_server();
}

bool pg_environment_given(const char* program) {
    if (server_named()) {
        return true;
    }
    std::fprintf(stderr, "%s: %s\n", program, kNoServer);
    return false;
}

int pg_private_script(const std::string& command, const std::string& dir, std::string* out) {
    const std::string line = (dir.empty() ? std::string() : "VANTREL_PG_DIR=" + dir + " ") +
                             VANTREL_PG_SCRIPT + " " + command + " 2>/dev/null";
    FILE* pipe = ::popen(line.c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    std::array<char, 512> buf{};
    while (std::fgets(buf.data(), buf.size(), pipe) != nullptr) {
        if (out != nullptr) {
            *out += buf.data();
        }
    }
    return ::pclose(pipe);
}

PgInstance::PgInstance(bool own_instance)
    : dir_("/tmp/vantrel-pg-test-" + std::to_string(::getpid())) {
    if (!own_instance && !env_or("PGHOST", "").empty() && !env_or("PGPASSWORD", "").empty()) {
        server_ = pg_server();
        scratch_ = std::make_unique<ScratchDatabase>("pg_instance");
        server_.dbname = scratch_->name();
        ok_ = true;
        return;
    }
    own_ = true;
    std::string out;
    if (pg_private_script("start", dir_, &out) != 0) {
        why_ = "scripts/pg-private.sh start failed";
        return;
    }
    // The script prints the environment it would export: "export KEY=value" lines.
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        const auto eq = line.find('=');
        if (!line.starts_with("export ") || eq == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(7, eq - 7);
        const std::string value = line.substr(eq + 1);
        if (key == "PGHOST") {
            server_.host = value;
        } else if (key == "PGPORT") {
            server_.port = std::stoi(value);
        } else if (key == "PGUSER") {
            server_.user = value;
        } else if (key == "PGPASSWORD") {
            server_.password = value;
        } else if (key == "PGDATABASE") {
            server_.dbname = value;
        }
    }
    ok_ = !server_.host.empty() && !server_.password.empty();
    if (!ok_) {
        why_ = "no connection settings from scripts/pg-private.sh";
    }
}

PgInstance::~PgInstance() {
    if (own_) {
        pg_private_script("destroy", dir_);
    }
}

void PgInstance::restart() {
    if (own_) {
        pg_private_script("restart", dir_);
    }
}

void PgInstance::stop() {
    if (own_) {
        pg_private_script("stop", dir_);
    }
}

void PgInstance::start() {
    if (own_) {
        pg_private_script("start", dir_);
    }
}

PgSession::PgSession(const std::string& dbname) : dbname_(dbname) {
    // Empty values leave libpq to its own environment variables and defaults.
    const std::string user = env_or("PGUSER", "postgres");
    const char* keys[] = {"user", "dbname", nullptr};
    const char* values[] = {user.c_str(), dbname.c_str(), nullptr};
    conn_ = PQconnectdbParams(keys, values, 0);
    check_connected();
}

PgSession::PgSession(Conninfo, const std::string& conninfo) {
    conn_ = PQconnectdb(conninfo.c_str());
    if (conn_ != nullptr && PQdb(conn_) != nullptr) {
        dbname_ = PQdb(conn_);
    }
    check_connected();
}

PgSession PgSession::from_conninfo(const std::string& conninfo) {
    return PgSession(Conninfo{}, conninfo);
}

void PgSession::check_connected() {
    if (PQstatus(conn_) != CONNECTION_OK) {
        const std::string msg = trimmed(PQerrorMessage(conn_));
        PQfinish(conn_);
        conn_ = nullptr;
        throw std::runtime_error("cannot connect to database " + dbname_ + ": " + msg);
    }
    // "skipping" and "will be truncated" notices on standard error only bury the figures and
    // the test results that matter.
    PQsetNoticeProcessor(
        conn_, [](void*, const char*) {}, nullptr);
}

PgSession::~PgSession() {
    PQfinish(conn_);
}

void PgSession::exec(const std::string& sql) {
    const Result res{PQexec(conn_, sql.c_str())};
    if (!res.ok()) {
        throw std::runtime_error(sql + ": " + trimmed(PQresultErrorMessage(res.res)));
    }
}

PgRows PgSession::rows(const std::string& sql, const std::vector<std::string>& params) {
    std::vector<const char*> values;
    for (const auto& p : params) {
        values.push_back(p.c_str());
    }
    const Result res{PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                  values.data(), nullptr, nullptr, 0)};
    if (!res.ok()) {
        throw std::runtime_error(sql + ": " + trimmed(PQresultErrorMessage(res.res)));
    }
    PgRows out;
    for (int r = 0; r < PQntuples(res.res); ++r) {
        std::vector<std::string> row;
        for (int c = 0; c < PQnfields(res.res); ++c) {
            row.emplace_back(PQgetisnull(res.res, r, c) ? "<NULL>" : PQgetvalue(res.res, r, c));
        }
        out.push_back(std::move(row));
    }
    return out;
}

std::string PgSession::scalar(const std::string& sql) {
    auto out = rows(sql);
    if (out.size() != 1 || out[0].size() != 1) {
        throw std::runtime_error("expected one value from: " + sql);
    }
    return std::move(out[0][0]);
}

std::optional<std::string> PgSession::try_scalar(const std::string& sql) noexcept {
    try {
        const Result res{PQexec(conn_, sql.c_str())};
        if (res.status() == PGRES_TUPLES_OK && PQntuples(res.res) > 0 && PQnfields(res.res) > 0) {
            return std::string(PQgetvalue(res.res, 0, 0));
        }
    } catch (const std::bad_alloc&) {
    }
    return std::nullopt;
}

std::optional<std::string> query_one(const std::string& conninfo, const std::string& sql) {
    try {
        return PgSession::from_conninfo(conninfo).try_scalar(sql);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string rows_since_query(const std::vector<std::int64_t>& tag_ids, const std::string& since) {
    std::string list;
    for (auto id : tag_ids) {
        if (!list.empty()) {
            list += ',';
        }
        list += std::to_string(id);
    }
    return "SELECT count(*) FROM chronq.tsdata WHERE tag_id IN (" + list + ") AND time >= '" +
           since + "'";
}

long rows_since(const std::string& conninfo, const std::vector<std::int64_t>& tag_ids,
                const std::string& since) {
    const auto count = query_one(conninfo, rows_since_query(tag_ids, since));
    return count ? std::stol(*count) : -1;
}

ScratchDatabase::ScratchDatabase(const std::string& prefix) {
    required_pg_server();
    static std::atomic<int> counter{0};
    name_ = prefix + "_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
    recreate();
}

ScratchDatabase::~ScratchDatabase() {
    try {
        PgSession(maintenance_database())
            .exec("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
    } catch (const std::exception&) {
        // A server that went away takes its databases with it; a run is not failed for one
        // left behind.
    }
}

void ScratchDatabase::recreate() {
    PgSession admin(maintenance_database());
    // A process id comes round again: what a killed run left under this name goes first.
    admin.exec("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
    admin.exec("CREATE DATABASE " + name_);
}

PgRows ScratchDatabase::query(const std::string& sql) const {
    return PgSession(name_).rows(sql);
}

std::string ScratchDatabase::scalar(const std::string& sql) const {
    return PgSession(name_).scalar(sql);
}

}  // namespace vantrel::test
