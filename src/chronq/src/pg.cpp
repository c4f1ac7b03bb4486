// chronq internals: sessions, statements, parameters, errors and the logger.
#include "pg.h"

#include "spdlog_support/named_logger.h"

#include <cstring>
#include <stdexcept>

namespace chronq {

Connection::Impl::~Impl() {
    if (pg != nullptr) {
        PQfinish(pg);
    }
}

namespace detail {

std::shared_ptr<spdlog::logger> log() {
    return spdlog_support::named_logger("chronq");
}

Result& Result::operator=(Result&& other) noexcept {
    if (this != &other) {
        PQclear(res_);
        res_ = other.res_;
        other.res_ = nullptr;
    }
    return *this;
}

std::string Result::text(int row, int col) const {
    return std::string(PQgetvalue(res_, row, col),
                       static_cast<std::size_t>(PQgetlength(res_, row, col)));
}

std::int64_t Result::int64(int row, int col) const {
    const std::string value = text(row, col);
    try {
        return std::stoll(value);
    } catch (const std::exception&) {
        throw QueryError("unexpected value from the server where an integer belongs: " + value);
    }
}

bool Result::succeeded() const {
    const auto status = res_ != nullptr ? PQresultStatus(res_) : PGRES_FATAL_ERROR;
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

std::string Result::sqlstate() const {
    const char* state = res_ != nullptr ? PQresultErrorField(res_, PG_DIAG_SQLSTATE) : nullptr;
    return state != nullptr ? state : "";
}

void Params::add(std::string bytes, bool is_null, Oid type, int format) {
    storage_.push_back(std::move(bytes));
    nulls_.push_back(is_null);
    types_.push_back(type);
    formats_.push_back(format);
    lengths_.push_back(static_cast<int>(storage_.back().size()));
    refresh();
}

// Moving strings inside the vector may move their characters (short strings live inline), so
// the pointers are taken again after every addition.
void Params::refresh() {
    pointers_.resize(storage_.size());
    for (std::size_t i = 0; i < storage_.size(); ++i) {
        pointers_[i] = nulls_[i] ? nullptr : storage_[i].data();
    }
}

Params& Params::text(std::string_view value) {
    add(std::string(value), false, kTextOid, 1);
    return *this;
}

Params& Params::null() {
    add({}, true, 0, 0);
    return *this;
}

Params& Params::int64(std::int64_t value) {
    std::string bytes;
    put_be64(bytes, static_cast<std::uint64_t>(value));
    add(std::move(bytes), false, kInt8Oid, 1);
    return *this;
}

Params& Params::boolean(bool value) {
    add(std::string(1, value ? '\1' : '\0'), false, kBoolOid, 1);
    return *this;
}

Params& Params::text_array(const std::vector<std::string>& values) {
    std::string bytes;
    array_header(bytes, values.size(), false, kTextOid);
    for (const auto& v : values) {
        put_be32(bytes, static_cast<std::uint32_t>(v.size()));
        bytes += v;
    }
    add(std::move(bytes), false, kTextArrayOid, 1);
    return *this;
}

Params& Params::binary(std::string bytes, Oid type) {
    add(std::move(bytes), false, type, 1);
    return *this;
}

void put_be32(std::string& out, std::uint32_t v) {
    const char bytes[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                           static_cast<char>(v >> 8), static_cast<char>(v)};
    out.append(bytes, 4);
}

void put_be64(std::string& out, std::uint64_t v) {
    put_be32(out, static_cast<std::uint32_t>(v >> 32));
    put_be32(out, static_cast<std::uint32_t>(v));
}

void array_header(std::string& out, std::size_t count, bool has_nulls, Oid element) {
    put_be32(out, 1);  // dimensions
    put_be32(out, has_nulls ? 1 : 0);
    put_be32(out, element);
    put_be32(out, static_cast<std::uint32_t>(count));
    put_be32(out, 1);  // lower bound
}

std::string shown_name(const std::string& name) {
    constexpr std::size_t kShown = 120;
    if (name.size() <= kShown) {
        return name;
    }
    std::size_t cut = kShown;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) {
        --cut;  // not inside a UTF-8 character
    }
    return name.substr(0, cut) + "... (" + std::to_string(name.size()) + " bytes)";
}

std::string scrub(std::string text, const ConnSettings& settings) {
    const std::string& pw = settings.password;
    if (pw.empty()) {
        return text;
    }
    for (std::size_t pos = text.find(pw); pos != std::string::npos; pos = text.find(pw, pos + 3)) {
        text.replace(pos, pw.size(), "***");
    }
    return text;
}

namespace {

// libpq ends lines inside one message (a hint, a second address tried): a log record keeps
// them as " | " so that it stays one line.
std::string one_line(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '\n' && text[i] != '\r') {
            out += text[i++];
            continue;
        }
        // A line break and the indentation after it (libpq indents its hints with a tab).
        while (i < text.size() &&
               (text[i] == '\n' || text[i] == '\r' || text[i] == '\t' || text[i] == ' ')) {
            ++i;
        }
        while (!out.empty() && (out.back() == ' ' || out.back() == '\t')) {
            out.pop_back();
        }
        if (!out.empty() && i < text.size()) {
            out += " | ";
        }
    }
    return out;
}

}  // namespace

std::string error_text(PGconn* pg, const PGresult* res, const ConnSettings& settings) {
    const char* msg = nullptr;
    if (res != nullptr) {
        msg = PQresultErrorMessage(res);
    }
    if (msg == nullptr || *msg == '\0') {
        msg = pg != nullptr ? PQerrorMessage(pg) : "no connection";
    }
    std::string text = msg;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    if (text.empty()) {
        text = "unknown libpq error";
    }
    return one_line(scrub(std::move(text), settings));
}

void check_text(std::string_view what, std::string_view value) {
    if (value.find('\0') != std::string_view::npos) {
        throw QueryError(std::string(what) + " contains a NUL character, which cannot be stored");
    }
}

std::string to_json(const Description& description) {
    std::string out = "{";
    auto quote = [&out](std::string_view s) {
        out += '"';
        for (const char c : s) {
            const auto u = static_cast<unsigned char>(c);
            switch (c) {
                case '"':
                    out += "\\\"";
                    break;
                case '\\':
                    out += "\\\\";
                    break;
                case '\n':
                    out += "\\n";
                    break;
                case '\r':
                    out += "\\r";
                    break;
                case '\t':
                    out += "\\t";
                    break;
                default:
                    if (u < 0x20) {
                        static const char* hex = "0123456789abcdef";
                        out += "\\u00";
                        out += hex[u >> 4];
                        out += hex[u & 0xF];
                    } else {
                        out += c;
                    }
            }
        }
        out += '"';
    };
    bool first = true;
    for (const auto& [key, val] : description) {
        check_text("a description key", key);
        check_text("a description value", val);
        if (!first) {
            out += ", ";
        }
        first = false;
        quote(key);
        out += ": ";
        quote(val);
    }
    out += '}';
    return out;
}

PGconn* session(Connection& conn) {
    auto& impl = detail::impl_of(conn);
    if (impl.pg == nullptr) {
        throw ConnectionError("the chronq connection is closed; open a new one with get_conn");
    }
    return impl.pg;
}

bool transient_sqlstate(std::string_view state) {
    if (state.size() != 5) {
        return false;
    }
    const std::string_view cls = state.substr(0, 2);
    return cls == "08"           // connection exception
           || cls == "53"        // insufficient resources: disk full, too many connections
           || cls == "40"        // serialization failure, deadlock
           || cls == "58"        // I/O error on the server
           || state == "57P01"   // admin shutdown
           || state == "57P02"   // crash shutdown
           || state == "57P03"   // cannot connect now (starting up, recovering)
           || state == "57014"   // statement cancelled: our time-out or the server's
           || state == "25006"   // read-only transaction: a standby after a fail-over
           || state == "55P03";  // lock not available
}

Failure classify(PGconn* pg, const PGresult* res) {
    if (res == nullptr || pg == nullptr || PQstatus(pg) == CONNECTION_BAD) {
        return Failure::transient;
    }
    const char* state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
    return state != nullptr && transient_sqlstate(state) ? Failure::transient : Failure::permanent;
}

std::string refusal(Connection::Impl& s, const PGresult* res) {
    std::string msg = error_text(s.pg, res, s.settings);
    if (classify(s.pg, res) == Failure::transient) {
        const char* state = res != nullptr ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
        const std::string_view sqlstate = state != nullptr ? state : "";
        // A server that answers with a SQLSTATE has rolled the statement back.
        throw ConnectionError(msg, sqlstate, s.write_sent && sqlstate.empty());
    }
    return msg;
}

QueryError refused_statement(const Connection::Impl& s, const Result& res,
                             std::string_view context) {
    return QueryError(std::string(context) + error_text(s.pg, res.get(), s.settings),
                      res.sqlstate());
}

Result exec_allow_refusal(Connection& conn, const char* sql, const Params& params, Limit limit) {
    session(conn);
    return exec_allow_refusal(detail::impl_of(conn), sql, params, limit);
}

Result exec_allow_refusal(Connection::Impl& s, const char* sql, const Params& params, Limit limit) {
    Result res = send_and_collect(s, deadline_for(s.settings, limit), limit, [&](PGconn* pg) {
        return params.size() == 0
                   ? PQsendQuery(pg, sql)
                   : PQsendQueryParams(pg, sql, params.size(), params.types(), params.values(),
                                       params.lengths(), params.formats(), 0);
    });
    if (!res.succeeded()) {
        refusal(s, res.get());
    }
    return res;
}

Result exec(Connection& conn, const char* sql, const Params& params, Limit limit) {
    Result res = exec_allow_refusal(conn, sql, params, limit);
    if (!res.succeeded()) {
        throw refused_statement(detail::impl_of(conn), res);
    }
    return res;
}

}  // namespace detail
}  // namespace chronq
