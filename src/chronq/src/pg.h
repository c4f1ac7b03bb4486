// chronq internals: the libpq connection, statement execution, parameter encoding, logging.
#pragma once

#include <libpq-fe.h>
#include <spdlog/logger.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <memory>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "chronq/conn.h"
#include "chronq/tsdata.h"
#include "chronq/types.h"

namespace chronq {

struct Connection::Impl {
    PGconn* pg = nullptr;
    ConnSettings settings;
    bool write_prepared = false;     // the time-series insert is prepared on this session
    bool write_at_prepared = false;  // the same for the insert that carries sample times
    std::stop_token stop;            // requested: every wait gives up (see get_conn)
    // The last statement sent is a write: from then until the next statement, a session lost
    // without the server's verdict leaves its outcome in doubt.
    bool write_sent = false;
    // The UTC day (days since 1970) on which the coming days' partitions were last made sure
    // of; a write on a later day makes sure again first.
    std::int64_t days_ahead_from = INT64_MIN;

    ~Impl();
};

namespace detail {

// chronq's own way into a connection's session; the public header keeps it opaque.
struct ConnectionAccess {
    static Connection::Impl& impl(Connection& conn) { return *conn.impl_; }
};
inline Connection::Impl& impl_of(Connection& conn) {
    return ConnectionAccess::impl(conn);
}

// The "chronq" logger from spdlog's registry, created from the default logger when missing.
std::shared_ptr<spdlog::logger> log();

// Owns one PGresult.
class Result {
  public:
    explicit Result(PGresult* res = nullptr) : res_(res) {}
    ~Result() { PQclear(res_); }
    Result(Result&& other) noexcept : res_(other.res_) { other.res_ = nullptr; }
    Result& operator=(Result&& other) noexcept;
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;

    PGresult* get() const { return res_; }
    // The statement ran to its end, with or without rows.
    bool succeeded() const;
    int rows() const { return PQntuples(res_); }
    bool is_null(int row, int col) const { return PQgetisnull(res_, row, col) != 0; }
    std::string text(int row, int col) const;
    std::int64_t int64(int row, int col) const;
    // The SQLSTATE of a failed statement, empty when there is none.
    std::string sqlstate() const;

  private:
    PGresult* res_;
};

// Statement parameters. Text parameters travel with their length, so nothing is cut at a NUL
// byte; arrays travel in the binary array format.
class Params {
  public:
    Params& text(std::string_view value);
    Params& null();
    Params& int64(std::int64_t value);
    Params& boolean(bool value);
    Params& text_array(const std::vector<std::string>& values);

    // Raw binary arrays, for the time-series writer that builds them itself.
    Params& binary(std::string bytes, Oid type);

    int size() const { return static_cast<int>(storage_.size()); }
    const Oid* types() const { return types_.data(); }
    const char* const* values() const { return pointers_.data(); }
    const int* lengths() const { return lengths_.data(); }
    const int* formats() const { return formats_.data(); }

  private:
    void add(std::string bytes, bool is_null, Oid type, int format);
    void refresh();

    std::vector<std::string> storage_;
    std::vector<bool> nulls_;
    std::vector<Oid> types_;
    std::vector<const char*> pointers_;
    std::vector<int> lengths_;
    std::vector<int> formats_;
};

// Binary array building blocks (PostgreSQL's array send format, one dimension).
constexpr Oid kBoolOid = 16;
constexpr Oid kInt8Oid = 20;
constexpr Oid kTextOid = 25;
constexpr Oid kFloat8Oid = 701;
constexpr Oid kInt8ArrayOid = 1016;
constexpr Oid kTextArrayOid = 1009;
constexpr Oid kFloat8ArrayOid = 1022;
constexpr Oid kBoolArrayOid = 1000;
void put_be32(std::string& out, std::uint32_t v);
void put_be64(std::string& out, std::uint64_t v);
void array_header(std::string& out, std::size_t count, bool has_nulls, Oid element);

// The live session, or ConnectionError when the connection was closed.
PGconn* session(Connection& conn);

// Which time limit of the settings bounds a statement.
enum class Limit { lookup, write };

using Deadline = std::chrono::steady_clock::time_point;
Deadline deadline_for(const ConnSettings& settings, Limit limit);

// What a statement that did not succeed says about trying it again.
enum class Failure {
    transient,  // the session broke, the server is going away or short of something: retry
    permanent,  // the statement itself was refused: retrying it as it is gives the same answer
};

// The one rule for every statement: a missing result or a broken session, and the SQLSTATEs of
// a lost connection, a server shutting down or refusing connections, a cancelled statement
// (time-out), lacking resources, a conflict between transactions or a read-only (standby)
// server are transient; everything else is permanent.
Failure classify(PGconn* pg, const PGresult* res);
bool transient_sqlstate(std::string_view sqlstate);

// For a statement that did not succeed: throws ConnectionError when classify() says a later
// try can cure it (in doubt when a write went out and no verdict came back); otherwise returns
// the server's reason (cleaned of the password).
std::string refusal(Connection::Impl& s, const PGresult* res);

// The error for a statement the server refused: its reason, after `context` when given, and
// its SQLSTATE.
QueryError refused_statement(const Connection::Impl& s, const Result& res,
                             std::string_view context = {});

// Runs one statement; throws ConnectionError when the session is broken, the time limit
// passed or stop was requested, and QueryError when the server refused the statement. The
// message is libpq's, cleaned of the password.
Result exec(Connection& conn, const char* sql, const Params& params = {},
            Limit limit = Limit::lookup);

// Like exec, but a refused statement comes back as a result that has not succeeded() instead
// of an exception; a broken session still throws.
Result exec_allow_refusal(Connection& conn, const char* sql, const Params& params,
                          Limit limit = Limit::lookup);
// The same on a bare session (one that no Connection owns), which must be open.
Result exec_allow_refusal(Connection::Impl& s, const char* sql, const Params& params,
                          Limit limit = Limit::lookup);

// The waits behind every statement (session.cpp). The session is non-blocking: each wait
// polls its socket in short slices, so a time limit or a stop request ends it at once. Giving
// up cancels the statement on the server, closes the session and throws ConnectionError.

// After a PQsend* call: hands the whole request to the server.
void flush_request(Connection::Impl& s, Deadline deadline);
// Collects the results of the request: the first refusal if any, else the last result. A
// COPY IN result is returned as soon as it arrives, so the caller can send the data.
Result collect_result(Connection::Impl& s, Deadline deadline);
// Waits until the socket is ready for reading (or writing); the same give-up rules.
void wait_socket(Connection::Impl& s, bool for_write, Deadline deadline);
// Cancels whatever runs on the session, closes it and throws ConnectionError(why), in doubt
// when a write had gone out.
[[noreturn]] void give_up(Connection::Impl& s, const std::string& why);
// Throws ConnectionError with libpq's reason: the session broke under a call.
[[noreturn]] void broken(Connection::Impl& s);

// One round trip: `send` (a PQsend* call on the session), then the whole request handed over
// and its result collected, all within the deadline. `kind` says whether the statement
// writes, which decides whether losing it leaves its outcome in doubt.
template <class Send>
Result send_and_collect(Connection::Impl& s, Deadline deadline, Limit kind, Send send) {
    s.write_sent = false;
    if (send(s.pg) == 0) {
        broken(s);
    }
    s.write_sent = kind == Limit::write;
    flush_request(s, deadline);
    return collect_result(s, deadline);
}

// libpq's message for a result (or the session), trimmed and without the password.
std::string error_text(PGconn* pg, const PGresult* res, const ConnSettings& settings);

// Removes every occurrence of the password from a text meant for logs or errors.
std::string scrub(std::string text, const ConnSettings& settings);

// A tag name as log lines and messages quote it: a name of kilobytes is cut, its length noted.
std::string shown_name(const std::string& name);

// Refuses text that PostgreSQL cannot store (a NUL byte) before it reaches the server.
void check_text(std::string_view what, std::string_view value);

// A description as a JSON object text, keys in their order.
std::string to_json(const Description& description);

// The schema (schema.cpp). Creates what is missing, converts a plain time-series table into
// daily partitions, and makes sure of the partitions of today and the next two days.
void ensure_schema(Connection& conn);
// Makes sure of the partitions of today and the next two UTC days, once per day of the
// client's clock unless `now`.
void keep_days_ahead(Connection& conn, bool now = false);
// Adds the partitions for the UTC days of `times` that have none; without times, those of the
// server's today and the next two days (rows stamped by the server).
void make_days(Connection& conn, std::span<const TimePoint> times);

// Opens a libpq session with the settings, for dbname, into s.pg; throws ConnectionError
// (also when s.stop is requested meanwhile).
void open_session(Connection::Impl& s, const std::string& dbname);

}  // namespace detail
}  // namespace chronq
