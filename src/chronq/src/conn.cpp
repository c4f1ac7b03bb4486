// chronq connections: opening, schema creation, liveness, closing.
#include "chronq/conn.h"

#include "pg.h"

namespace chronq {

namespace {

// Everything chronq stores lives in its own schema. Descriptions are `json`, not `jsonb`, so
// that their keys keep the order they were given in. 7301042025 is chronq's own advisory lock
// key: two programs creating the schema at once take turns instead of failing on each other's
// half-made tables.
constexpr const char* kCreateSchema = R"SQL(
BEGIN;
SELECT pg_advisory_xact_lock(7301042025);
CREATE SCHEMA IF NOT EXISTS chronq;
CREATE TABLE IF NOT EXISTS chronq.sources (
    source_id     bigserial PRIMARY KEY,
    source_name   text NOT NULL,
    endpoint      text NOT NULL,
    status        text NOT NULL CHECK (status IN ('ACTIVE', 'INACTIVE')),
    protocol      text NOT NULL CHECK (protocol IN ('OPC_DA', 'OPC_UA')),
    source_type   text NOT NULL DEFAULT '',
    interval_msec integer NOT NULL,
    description   json NOT NULL DEFAULT '{}' CHECK (json_typeof(description) = 'object'),
    created_at    timestamptz NOT NULL DEFAULT now(),
    updated_at    timestamptz NOT NULL DEFAULT now()
);
CREATE INDEX IF NOT EXISTS sources_name_idx ON chronq.sources (source_name);
CREATE TABLE IF NOT EXISTS chronq.tags (
    tag_id         bigserial PRIMARY KEY,
    tag_name       text NOT NULL UNIQUE,
    description    json NOT NULL DEFAULT '{}' CHECK (json_typeof(description) = 'object'),
    source_id      bigint REFERENCES chronq.sources (source_id) ON DELETE SET NULL,
    source_tagname text NOT NULL DEFAULT '',
    created_at     timestamptz NOT NULL DEFAULT now(),
    updated_at     timestamptz NOT NULL DEFAULT now()
);
CREATE TABLE IF NOT EXISTS chronq.tsdata (
    time    timestamptz NOT NULL DEFAULT now(),
    tag_id  bigint NOT NULL,
    value   double precision,
    quality text NOT NULL
);
CREATE INDEX IF NOT EXISTS tsdata_tag_time_idx ON chronq.tsdata (tag_id, time);
CREATE TABLE IF NOT EXISTS chronq.write_marks (
    writer     text PRIMARY KEY,
    seq        bigint NOT NULL,
    updated_at timestamptz NOT NULL DEFAULT now()
);
COMMIT;
)SQL";

constexpr const char* kSchemaPresent = R"SQL(
SELECT to_regclass('chronq.sources') IS NOT NULL AND to_regclass('chronq.tags') IS NOT NULL
   AND to_regclass('chronq.tsdata') IS NOT NULL
   AND to_regclass('chronq.tsdata_tag_time_idx') IS NOT NULL
   AND to_regclass('chronq.write_marks') IS NOT NULL
)SQL";

void ensure_schema(Connection& conn) {
    auto present = detail::exec(conn, kSchemaPresent);
    if (present.rows() == 1 && present.text(0, 0) == "t") {
        return;
    }
    detail::log()->info("Creating the chronq schema in database {}", conn.settings().dbname);
    auto res = detail::exec_allow_refusal(conn, kCreateSchema, {}, detail::Limit::write);
    if (!res.succeeded()) {
        const QueryError error = detail::refused_statement(detail::impl_of(conn), res,
                                                           "could not create the chronq schema: ");
        // Leave no aborted transaction behind on the session.
        detail::exec_allow_refusal(conn, "ROLLBACK", {});
        throw error;
    }
}

}  // namespace

Connection::Connection(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Connection::~Connection() = default;

void Connection::close() {
    if (impl_->pg != nullptr) {
        PQfinish(impl_->pg);
        impl_->pg = nullptr;
        impl_->write_prepared = false;
        impl_->write_at_prepared = false;
        detail::log()->debug("Closed the connection to {}", impl_->settings.dbname);
    }
}

bool Connection::is_closed() const {
    return impl_->pg == nullptr;
}

const ConnSettings& Connection::settings() const {
    return impl_->settings;
}

std::unique_ptr<Connection> get_conn(const ConnSettings& settings, std::stop_token stop) {
    auto impl = std::make_unique<Connection::Impl>();
    impl->settings = settings;
    impl->stop = std::move(stop);
    try {
        detail::open_session(*impl, settings.dbname);
    } catch (const ConnectionError& e) {
        detail::log()->debug("Connecting to {}@{}:{}/{} failed: {}", settings.user,
                             settings.host.empty() ? "local" : settings.host, settings.port,
                             settings.dbname, e.what());
        throw;
    }
    std::unique_ptr<Connection> conn(new Connection(std::move(impl)));
    ensure_schema(*conn);
    detail::log()->debug("Connected to {}@{}:{}/{}", settings.user,
                         settings.host.empty() ? "local" : settings.host, settings.port,
                         settings.dbname);
    return conn;
}

bool ping(Connection& conn) noexcept {
    try {
        PGconn* pg = detail::impl_of(conn).pg;
        if (pg == nullptr || PQstatus(pg) != CONNECTION_OK) {
            return false;
        }
        // An empty query is the cheapest full round trip to the server.
        detail::Result res = detail::exec_allow_refusal(conn, "", {});
        return res.get() != nullptr && PQresultStatus(res.get()) == PGRES_EMPTY_QUERY &&
               detail::impl_of(conn).pg != nullptr &&
               PQstatus(detail::impl_of(conn).pg) == CONNECTION_OK;
    } catch (...) {
        return false;
    }
}

}  // namespace chronq
