// chronq: listing the databases a server offers.
#include "chronq/db_utils.h"

#include <string_view>

#include "pg.h"

namespace chronq {

namespace {

constexpr const char* kListDatabases = R"SQL(
SELECT datname FROM pg_database
 WHERE NOT datistemplate AND datallowconn AND has_database_privilege(datname, 'CONNECT')
 ORDER BY datname
)SQL";

}  // namespace

std::vector<std::string> fetch_available_tsdbs(const ConnSettings& settings) {
    Connection::Impl session;  // closes the session on every way out
    session.settings = settings;
    try {
        detail::open_session(session, "postgres");
    } catch (const ConnectionError& first) {
        // A server without the usual maintenance database still has template1.
        if (std::string_view(first.what()).find("\"postgres\" does not exist") ==
            std::string_view::npos) {
            detail::log()->debug("Listing databases failed: {}", first.what());
            throw;
        }
        try {
            detail::open_session(session, "template1");
        } catch (const ConnectionError&) {
            detail::log()->debug("Listing databases failed: {}", first.what());
            throw first;
        }
    }
    detail::Result res = detail::exec_allow_refusal(session, kListDatabases, {});
    if (!res.succeeded()) {
        const QueryError error = detail::refused_statement(session, res);
        detail::log()->debug("Listing databases failed: {}", error.what());
        throw error;
    }
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(res.rows()));
    for (int i = 0; i < res.rows(); ++i) {
        names.push_back(res.text(i, 0));
    }
    return names;
}

}  // namespace chronq
