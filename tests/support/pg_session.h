// PostgreSQL for every test suite and benchmark: the server of the libpq environment (or an
// instance of a test's own), plain libpq sessions for set-up and checks (a statement that fails
// throws with its text and the server's message, so a test never reads on past a broken
// set-up), and scratch databases that leave nothing behind on a shared server.
#pragma once

#include <cstdint>
#include <memory>
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

// A server, for the clients under test that take their settings as a record.
struct PgServer {
    std::string host;
    int port = 5432;
    std::string user = "postgres";
    std::string password;
    std::string dbname = "tsdb_default";  // the collectors' database

    // A libpq connection string for dbname, for the test's own sessions.
    std::string conninfo() const;

    // The record a client under test takes (chronq::ConnSettings, korrin::TsdbConfig, or any
    // other with host, port, user, password and dbname) for `database`, else for dbname.
    template <class Settings>
    Settings settings(const std::string& database = {}) const {
        Settings s{};
        s.host = host;
        s.port = port;
        s.user = user;
        s.password = password;
        s.dbname = database.empty() ? dbname : database;
        return s;
    }
};

// The server of the libpq environment: PGHOST, PGPORT (else 5432), PGUSER (else "postgres"),
// PGPASSWORD, PGDATABASE (else "tsdb_default").
PgServer pg_server();
// The same, but throws with instructions when PGHOST, PGPORT or PGPASSWORD is missing: what
// needs a database must fail, never pass, without one.
PgServer required_pg_server();

// Whether the libpq environment names a server (required_pg_server's rule); if not, `program`
// says on standard error how to give it one.
bool pg_environment_given(const char* program);

// Runs scripts/pg-private.sh with `command` ("start", "restart", "stop", "destroy") on the
// instance of VANTREL_PG_DIR, or of `dir` when given; its standard output, when `out` is given,
// goes there. Gives the script's exit status.
int pg_private_script(const std::string& command, const std::string& dir = {},
                      std::string* out = nullptr);

class ScratchDatabase;

// The PostgreSQL a test runs against: a scratch database of its own on the server of the libpq
// environment, or an instance of the test's own (pg_private_script in a folder of its own) when
// the environment names none or when the test stops or restarts it, so that an outage never
// disturbs another test's database. Tests run side by side, so none shares a database with
// another. An own instance is created on construction and destroyed with the object.
class PgInstance {
  public:
    explicit PgInstance(bool own_instance);
    ~PgInstance();
    PgInstance(const PgInstance&) = delete;
    PgInstance& operator=(const PgInstance&) = delete;

    // False (with why()) when the instance could not be made here, e.g. PostgreSQL is missing.
    bool ok() const { return ok_; }
    const std::string& why() const { return why_; }

    const PgServer& server() const { return server_; }
    template <class Settings>
    Settings settings() const {
        return server_.settings<Settings>();
    }
    std::string conninfo() const { return server_.conninfo(); }

    // Own instances only.
    void restart();
    // An outage: the server down until start(), on the same port and data.
    void stop();
    void start();

  private:
    std::string dir_;
    PgServer server_;
    std::unique_ptr<ScratchDatabase> scratch_;
    bool own_ = false;
    bool ok_ = false;
    std::string why_;
};

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

// The statement that counts chronq's rows of the given tags stored from `since` (a timestamp
// text) on, for a session of the caller's own.
std::string rows_since_query(const std::vector<std::int64_t>& tag_ids, const std::string& since);
// That count on a session of its own; -1 when the count fails.
long rows_since(const std::string& conninfo, const std::vector<std::int64_t>& tag_ids,
                const std::string& since);

// A database of the caller's own on the server of the libpq environment, named
// <prefix>_<process id>_<n> so that parallel runs never meet, and dropped WITH (FORCE) on
// destruction, whoever is still connected to it.
class ScratchDatabase {
  public:
    // Throws required_pg_server's instructions without a server, and when the server cannot
    // be reached or refuses the database.
    explicit ScratchDatabase(const std::string& prefix);
    ~ScratchDatabase();
    ScratchDatabase(const ScratchDatabase&) = delete;
    ScratchDatabase& operator=(const ScratchDatabase&) = delete;

    const std::string& name() const { return name_; }
    // Empty again: dropped and created afresh under the same name.
    void recreate();

    // The record a client under test takes for this database.
    template <class Settings>
    Settings settings() const {
        return required_pg_server().settings<Settings>(name_);
    }
    // A statement on a session of its own in this database: PgSession::rows and ::scalar.
    PgRows query(const std::string& sql) const;
    std::string scalar(const std::string& sql) const;

  private:
    std::string name_;
};

}  // namespace vantrel::test
