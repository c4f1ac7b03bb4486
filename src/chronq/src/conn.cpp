// chronq connections: opening (with the schema, see schema.cpp), liveness, closing.
#include "chronq/conn.h"

#include "pg.h"

namespace chronq {

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
    detail::ensure_schema(*conn);
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
