// Plain libpq sessions for the set-up and the checks of tests and benchmarks: a statement that
// fails throws with its text and the server's message, so a test never reads on past a broken
// set-up, and scratch databases that leave nothing behind on a shared server.
#pragma once

#include <optional>
#include <string>
#include <vector>

// libpq's connection (PGconn), for the callers that go on in raw libpq.
struct pg_conn;

namespace vantrel::test {

// Rows as text, one inner vector per row; NULL reads "<NULL>", which no test stores as text.
using PgRows = std::vector<std::vector<std::string>>;

// The database to connect to for creating and dropping others: PGDATABASE, else "postgres".
std::string maintenance_database();

// The server of the libpq environment, for the clients under test that take their settings as
// a record: PGHOST, PGPORT (else 5432), PGUSER (else "postgres"), PGPASSWORD.
struct PgServer {
    std::string host;
    int port = 5432;
    std::string user;
    std::string password;
};
PgServer pg_server();

// Whether the libpq environment names a server (PGHOST or PGPORT); if not, `program` says on
// standard error how to give it one.
bool pg_environment_given(const char* program);

class PgSession {
  public:
    // `dbname` on the server of the libpq environment (PGHOST, PGPORT, PGPASSWORD; PGUSER, else
    // "postgres"). Throws std::runtime_error naming the database and libpq's reason.
    explicit PgSession(const std::string& dbname);
    // A libpq connection string instead, e.g. a test instance's own.
    static PgSession from_conninfo(const std::string& conninfo);
    ~PgSession();
    PgSession(const PgSession&) = delete;
    PgSession& operator=(const PgSession&) = delete;

    // Throws "<statement>: <server message>" when the statement fails.
    void exec(const std::string& sql);
    // Text parameters travel as $1, $2, ..., never spliced into the statement.
    PgRows rows(const std::string& sql, const std::vector<std::string>& params = {});
    // The one value a query gives; throws when it fails or gives another shape.
    std::string scalar(const std::string& sql);
    // The first value of the first row, or nothing when the query fails or gives no row: for
    // checks that poll a server that may be down.
    std::optional<std::string> try_scalar(const std::string& sql) noexcept;

    const std::string& dbname() const { return dbname_; }
    pg_conn* native() const { return conn_; }

  private:
    struct Conninfo {};
    PgSession(Conninfo, const std::string& conninfo);
    void check_connected();

    pg_conn* conn_ = nullptr;
    std::string dbname_;
};

// One value from a query on a fresh session; nothing on any error, the connection's included.
std::optional<std::string> query_one(const std::string& conninfo, const std::string& sql);

// A database of the caller's own on the server of the libpq environment, named
// <prefix>_<process id>_<n> so that parallel runs never meet, and dropped WITH (FORCE) on
// destruction, whoever is still connected to it.
class ScratchDatabase {
  public:
    // Throws when the server cannot be reached or refuses the database.
    explicit ScratchDatabase(const std::string& prefix);
    ~ScratchDatabase();
    ScratchDatabase(const ScratchDatabase&) = delete;
    ScratchDatabase& operator=(const ScratchDatabase&) = delete;

    const std::string& name() const { return name_; }
    // Empty again: dropped and created afresh under the same name.
    void recreate();

  private:
    std::string name_;
};

}  // namespace vantrel::test
