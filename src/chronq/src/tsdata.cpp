// chronq: time-series writes, one batch per round trip.
#include "chronq/tsdata.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "pg.h"

namespace chronq {

namespace {

constexpr const char* kWriteStatement = "chronq_write_tsdata";
constexpr const char* kWriteAtStatement = "chronq_write_tsdata_at";

// Rows are stamped by the column default, now(): the time of the write.
constexpr const char* kWriteSql =
    "INSERT INTO chronq.tsdata (tag_id, value, quality) "
    "SELECT * FROM unnest($1::int8[], $2::float8[], $3::text[])";

constexpr const char* kWriteAtSql =
    "INSERT INTO chronq.tsdata (tag_id, value, quality, time) "
    "SELECT * FROM unnest($1::int8[], $2::float8[], $3::text[], $4::timestamptz[])";

// One statement, so the rows and the writer's mark are committed together or not at all,
// whatever the session's transaction mode.
constexpr const char* kWriteMarkedSql =
    "WITH written AS (INSERT INTO chronq.tsdata (tag_id, value, quality, time) "
    "SELECT * FROM unnest($1::int8[], $2::float8[], $3::text[], $4::timestamptz[]) RETURNING 1), "
    "marked AS (INSERT INTO chronq.write_marks (writer, seq) VALUES ($5, $6) "
    "ON CONFLICT (writer) DO UPDATE SET seq = GREATEST(chronq.write_marks.seq, EXCLUDED.seq), "
    "updated_at = now()) "
    "SELECT count(*) FROM written";

constexpr const char* kReadMarkSql = "SELECT seq FROM chronq.write_marks WHERE writer = $1";

constexpr const char* kCopySql =
    "COPY chronq.tsdata (tag_id, value, quality) FROM STDIN (FORMAT binary)";
constexpr const char* kCopyAtSql =
    "COPY chronq.tsdata (tag_id, value, quality, time) FROM STDIN (FORMAT binary)";

constexpr Oid kTimestamptzOid = 1184;
constexpr Oid kTimestamptzArrayOid = 1185;

// PostgreSQL counts microseconds from 2000-01-01 UTC.
constexpr std::int64_t kPgEpochUnixSeconds = 946684800;

std::int64_t pg_micros(TimePoint t) {
    return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count() -
           kPgEpochUnixSeconds * 1000000;
}

// From this many rows on, binary COPY beats the array insert: the server then inserts rows in
// groups instead of one at a time.
constexpr std::size_t kCopyFrom = 1000;

// Doubles hold every integer up to this magnitude exactly.
constexpr std::int64_t kExactIntegerLimit = std::int64_t{1} << 53;

struct Converted {
    double number = 0;
    bool is_null = false;
};

Converted convert(const TsValue& v, bool& inexact) {
    Converted out;
    std::visit(
        [&](const auto& x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, bool>) {
                out.number = x ? 1.0 : 0.0;
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                if (x > kExactIntegerLimit || x < -kExactIntegerLimit) {
                    inexact = true;
                }
                out.number = static_cast<double>(x);
            } else if constexpr (std::is_same_v<T, double>) {
                out.number = x;  // NaN and infinities are stored as they are
            } else {
                out.is_null = true;  // no value, or text
            }
        },
        v);
    return out;
}

std::size_t affected(const detail::Result& res) {
    const char* n = PQcmdTuples(res.get());
    return (n != nullptr && *n != '\0') ? static_cast<std::size_t>(std::stoull(n)) : 0;
}

// Sends with `send` (a PQsend* call) and waits for the answer, both within the deadline.
template <class Send>
detail::Result send_and_wait(Connection& conn, detail::Deadline deadline, Send send) {
    PGconn* pg = detail::session(conn);
    if (send(pg) == 0) {
        throw ConnectionError(detail::error_text(pg, nullptr, conn.settings()));
    }
    detail::flush_request(detail::impl_of(conn), deadline);
    return detail::collect_result(detail::impl_of(conn), deadline);
}

// A statement that did not succeed: a transient failure raises ConnectionError (see
// detail::classify), a refusal is logged and reported as (false, 0).
std::pair<bool, std::size_t> refused(Connection& conn, const detail::Result& res) {
    const std::string why = detail::refusal(detail::impl_of(conn).pg, res.get(), conn.settings());
    detail::log()->error("Writing time-series rows failed: {}", why);
    return {false, 0};
}

// The rows as they travel: the times empty for a write stamped by the server.
struct Rows {
    std::span<const std::int64_t> tag_ids;
    const std::vector<Converted>& values;
    std::span<const std::string> qualities;
    std::span<const TimePoint> times;
};

std::pair<bool, std::size_t> write_by_insert(Connection& conn, const Rows& rows,
                                             const WriteMark* mark) {
    const std::size_t n = rows.tag_ids.size();
    const bool timed = !rows.times.empty();
    std::string ids;
    ids.reserve(20 + n * 12);
    detail::array_header(ids, n, false, detail::kInt8Oid);
    for (const auto id : rows.tag_ids) {
        detail::put_be32(ids, 8);
        detail::put_be64(ids, static_cast<std::uint64_t>(id));
    }
    bool has_nulls = false;
    for (const auto& v : rows.values) {
        has_nulls = has_nulls || v.is_null;
    }
    std::string vals;
    vals.reserve(20 + n * 12);
    detail::array_header(vals, n, has_nulls, detail::kFloat8Oid);
    for (const auto& v : rows.values) {
        if (v.is_null) {
            detail::put_be32(vals, 0xFFFFFFFFu);
        } else {
            detail::put_be32(vals, 8);
            detail::put_be64(vals, std::bit_cast<std::uint64_t>(v.number));
        }
    }
    std::string quals;
    quals.reserve(20 + n * 12);
    detail::array_header(quals, n, false, detail::kTextOid);
    for (const auto& q : rows.qualities) {
        detail::put_be32(quals, static_cast<std::uint32_t>(q.size()));
        quals += q;
    }
    std::string times;
    if (timed || mark != nullptr) {
        times.reserve(20 + n * 12);
        detail::array_header(times, n, false, kTimestamptzOid);
        for (const auto t : rows.times) {
            detail::put_be32(times, 8);
            detail::put_be64(times, static_cast<std::uint64_t>(pg_micros(t)));
        }
    }

    auto& impl = detail::impl_of(conn);
    const detail::Deadline deadline = detail::deadline_for(conn.settings(), detail::Limit::write);
    if (mark != nullptr) {
        detail::Params params;
        params.binary(std::move(ids), detail::kInt8ArrayOid)
            .binary(std::move(vals), detail::kFloat8ArrayOid)
            .binary(std::move(quals), detail::kTextArrayOid)
            .binary(std::move(times), kTimestamptzArrayOid)
            .text(mark->writer)
            .int64(mark->seq);
        detail::check_text("a writer name", mark->writer);
        bool ok = false;
        detail::Result res =
            detail::exec_allow_refusal(conn, kWriteMarkedSql, params, ok, detail::Limit::write);
        if (ok && res.rows() == 1) {
            return {true, static_cast<std::size_t>(res.int64(0, 0))};
        }
        return refused(conn, res);
    }
    bool& prepared = timed ? impl.write_at_prepared : impl.write_prepared;
    const char* statement = timed ? kWriteAtStatement : kWriteStatement;
    if (!prepared) {
        const Oid types[4] = {detail::kInt8ArrayOid, detail::kFloat8ArrayOid, detail::kTextArrayOid,
                              kTimestamptzArrayOid};
        detail::Result prep = send_and_wait(conn, deadline, [&](PGconn* pg) {
            return PQsendPrepare(pg, statement, timed ? kWriteAtSql : kWriteSql, timed ? 4 : 3,
                                 types);
        });
        if (prep.get() == nullptr || PQresultStatus(prep.get()) != PGRES_COMMAND_OK) {
            const std::string msg = detail::refusal(impl.pg, prep.get(), conn.settings());
            throw QueryError("could not prepare the time-series insert: " + msg);
        }
        prepared = true;
    }
    const char* params[4] = {ids.data(), vals.data(), quals.data(), times.data()};
    const int lengths[4] = {static_cast<int>(ids.size()), static_cast<int>(vals.size()),
                            static_cast<int>(quals.size()), static_cast<int>(times.size())};
    const int formats[4] = {1, 1, 1, 1};
    detail::Result res = send_and_wait(conn, deadline, [&](PGconn* pg) {
        return PQsendQueryPrepared(pg, statement, timed ? 4 : 3, params, lengths, formats, 0);
    });
    if (res.get() != nullptr && PQresultStatus(res.get()) == PGRES_COMMAND_OK) {
        return {true, affected(res)};
    }
    return refused(conn, res);
}

std::pair<bool, std::size_t> write_by_copy(Connection& conn, const Rows& rows) {
    const std::size_t n = rows.tag_ids.size();
    const bool timed = !rows.times.empty();
    const auto& tag_ids = rows.tag_ids;
    const auto& values = rows.values;
    const auto& qualities = rows.qualities;
    std::string buf;
    buf.reserve(19 + n * 40 + 2);
    static const char kSignature[11] = {'P',  'G',    'C',  'O',  'P', 'Y',
                                        '\n', '\377', '\r', '\n', '\0'};
    buf.append(kSignature, sizeof kSignature);
    detail::put_be32(buf, 0);  // flags
    detail::put_be32(buf, 0);  // header extension length
    for (std::size_t i = 0; i < n; ++i) {
        buf += '\0';
        buf += timed ? '\4' : '\3';  // fields per row
        detail::put_be32(buf, 8);
        detail::put_be64(buf, static_cast<std::uint64_t>(tag_ids[i]));
        if (values[i].is_null) {
            detail::put_be32(buf, 0xFFFFFFFFu);
        } else {
            detail::put_be32(buf, 8);
            detail::put_be64(buf, std::bit_cast<std::uint64_t>(values[i].number));
        }
        detail::put_be32(buf, static_cast<std::uint32_t>(qualities[i].size()));
        buf += qualities[i];
        if (timed) {
            detail::put_be32(buf, 8);
            detail::put_be64(buf, static_cast<std::uint64_t>(pg_micros(rows.times[i])));
        }
    }
    buf += '\xFF';
    buf += '\xFF';  // end of data

    const detail::Deadline deadline = detail::deadline_for(conn.settings(), detail::Limit::write);
    detail::Result start = send_and_wait(
        conn, deadline, [&](PGconn* pg) { return PQsendQuery(pg, timed ? kCopyAtSql : kCopySql); });
    if (start.get() == nullptr || PQresultStatus(start.get()) != PGRES_COPY_IN) {
        return refused(conn, start);
    }
    // Handed over in pieces: libpq takes at most an int's worth at a time, and queues a piece
    // only when there is room for it.
    auto& impl = detail::impl_of(conn);
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    for (std::size_t at = 0; at < buf.size();) {
        const std::size_t len = std::min(kPiece, buf.size() - at);
        const int put = PQputCopyData(impl.pg, buf.data() + at, static_cast<int>(len));
        if (put < 0) {
            throw ConnectionError(detail::error_text(impl.pg, nullptr, conn.settings()));
        }
        if (put == 0) {
            detail::wait_socket(impl, true, deadline);
            if (PQflush(impl.pg) < 0) {
                throw ConnectionError(detail::error_text(impl.pg, nullptr, conn.settings()));
            }
            continue;
        }
        at += len;
    }
    for (;;) {
        const int ended = PQputCopyEnd(impl.pg, nullptr);
        if (ended < 0) {
            throw ConnectionError(detail::error_text(impl.pg, nullptr, conn.settings()));
        }
        if (ended == 1) {
            break;
        }
        detail::wait_socket(impl, true, deadline);
    }
    detail::flush_request(impl, deadline);
    detail::Result done = detail::collect_result(impl, deadline);
    if (done.get() != nullptr && PQresultStatus(done.get()) == PGRES_COMMAND_OK) {
        return {true, affected(done)};
    }
    return refused(conn, done);
}

std::vector<Converted> convert_all(std::span<const TsValue> values) {
    bool inexact = false;
    std::vector<Converted> converted;
    converted.reserve(values.size());
    for (const auto& v : values) {
        converted.push_back(convert(v, inexact));
    }
    if (inexact) {
        detail::log()->warn(
            "Integers beyond 2^53 were stored as the nearest double precision number");
    }
    return converted;
}

void check_lengths(std::size_t ids, std::size_t values, std::size_t qualities) {
    if (ids != values || ids != qualities) {
        throw std::invalid_argument(
            "write_tsdata needs as many values and qualities as tag ids; got " +
            std::to_string(ids) + " tag ids, " + std::to_string(values) + " values and " +
            std::to_string(qualities) + " qualities");
    }
}

}  // namespace

std::pair<bool, std::size_t> write_tsdata(Connection& conn, std::span<const std::int64_t> tag_ids,
                                          std::span<const TsValue> values,
                                          std::span<const std::string> qualities) {
    check_lengths(tag_ids.size(), values.size(), qualities.size());
    detail::session(conn);  // a closed connection fails even for an empty batch
    if (tag_ids.empty()) {
        return {true, 0};
    }
    const std::vector<Converted> converted = convert_all(values);
    const Rows rows{tag_ids, converted, qualities, {}};
    return tag_ids.size() >= kCopyFrom ? write_by_copy(conn, rows)
                                       : write_by_insert(conn, rows, nullptr);
}

std::pair<bool, std::size_t> write_tsdata_at(Connection& conn, std::span<const TimePoint> times,
                                             std::span<const std::int64_t> tag_ids,
                                             std::span<const TsValue> values,
                                             std::span<const std::string> qualities,
                                             const WriteMark* mark) {
    check_lengths(tag_ids.size(), values.size(), qualities.size());
    if (times.size() != tag_ids.size()) {
        throw std::invalid_argument("write_tsdata_at needs one time per row; got " +
                                    std::to_string(times.size()) + " times for " +
                                    std::to_string(tag_ids.size()) + " rows");
    }
    detail::session(conn);
    if (tag_ids.empty() && mark == nullptr) {
        return {true, 0};
    }
    const std::vector<Converted> converted = convert_all(values);
    const Rows rows{tag_ids, converted, qualities, times};
    if (mark == nullptr && tag_ids.size() >= kCopyFrom) {
        return write_by_copy(conn, rows);
    }
    return write_by_insert(conn, rows, mark);
}

std::int64_t write_mark(Connection& conn, const std::string& writer) {
    detail::check_text("a writer name", writer);
    detail::Params params;
    params.text(writer);
    detail::Result res = detail::exec(conn, kReadMarkSql, params);
    return res.rows() == 1 ? res.int64(0, 0) : 0;
}

}  // namespace chronq
