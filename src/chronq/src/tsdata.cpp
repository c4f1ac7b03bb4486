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

// The rows as they travel: the times empty for a write stamped by the server.
struct Rows {
    std::span<const std::int64_t> tag_ids;
    const std::vector<Converted>& values;
    std::span<const std::string> qualities;
    std::span<const TimePoint> times;
};

// One field as both the binary array and the binary COPY format carry it: its length, then
// its bytes; a length of -1 is NULL. The buffer is sized first and the fields stored straight
// into it, so that a cycle's ten thousand rows cost no call or capacity check per field.
char* store_be32(char* p, std::uint32_t v) {
    p[0] = static_cast<char>(v >> 24);
    p[1] = static_cast<char>(v >> 16);
    p[2] = static_cast<char>(v >> 8);
    p[3] = static_cast<char>(v);
    return p + 4;
}

char* store_be64(char* p, std::uint64_t v) {
    return store_be32(store_be32(p, static_cast<std::uint32_t>(v >> 32)),
                      static_cast<std::uint32_t>(v));
}

struct Int8Field {
    static std::size_t size(std::int64_t) { return 12; }
    static char* put(char* p, std::int64_t v) {
        return store_be64(store_be32(p, 8), static_cast<std::uint64_t>(v));
    }
};

struct Float8Field {
    static std::size_t size(const Converted& v) { return v.is_null ? 4 : 12; }
    static char* put(char* p, const Converted& v) {
        if (v.is_null) {
            return store_be32(p, 0xFFFFFFFFu);
        }
        return store_be64(store_be32(p, 8), std::bit_cast<std::uint64_t>(v.number));
    }
};

struct TextField {
    static std::size_t size(const std::string& text) { return 4 + text.size(); }
    static char* put(char* p, const std::string& text) {
        p = store_be32(p, static_cast<std::uint32_t>(text.size()));
        std::memcpy(p, text.data(), text.size());
        return p + text.size();
    }
};

struct TimeField {
    static std::size_t size(TimePoint) { return 12; }
    static char* put(char* p, TimePoint t) { return Int8Field::put(p, pg_micros(t)); }
};

template <class Field, class Range>
std::string binary_array(const Range& items, bool has_nulls, Oid element) {
    std::string out;
    detail::array_header(out, items.size(), has_nulls, element);
    const std::size_t head = out.size();
    std::size_t size = head;
    for (const auto& item : items) {
        size += Field::size(item);
    }
    out.resize(size);
    char* p = out.data() + head;
    for (const auto& item : items) {
        p = Field::put(p, item);
    }
    return out;
}

// The insert's parameters: one array per column; the times only for a write that carries them.
detail::Params insert_params(const Rows& rows, bool with_times) {
    const bool has_nulls = std::any_of(rows.values.begin(), rows.values.end(),
                                       [](const auto& v) { return v.is_null; });
    detail::Params params;
    params
        .binary(binary_array<Int8Field>(rows.tag_ids, false, detail::kInt8Oid),
                detail::kInt8ArrayOid)
        .binary(binary_array<Float8Field>(rows.values, has_nulls, detail::kFloat8Oid),
                detail::kFloat8ArrayOid)
        .binary(binary_array<TextField>(rows.qualities, false, detail::kTextOid),
                detail::kTextArrayOid);
    if (with_times) {
        params.binary(binary_array<TimeField>(rows.times, false, kTimestamptzOid),
                      kTimestamptzArrayOid);
    }
    return params;
}

// The insert is prepared once per session (give_up forgets that with the session), so the
// server plans it once instead of for every batch.
void prepare_insert(Connection::Impl& s, bool timed, const detail::Params& params,
                    detail::Deadline deadline) {
    bool& prepared = timed ? s.write_at_prepared : s.write_prepared;
    if (prepared) {
        return;
    }
    detail::Result prep =
        detail::send_and_collect(s, deadline, detail::Limit::lookup, [&](PGconn* pg) {
            return PQsendPrepare(pg, timed ? kWriteAtStatement : kWriteStatement,
                                 timed ? kWriteAtSql : kWriteSql, params.size(), params.types());
        });
    if (prep.get() == nullptr || PQresultStatus(prep.get()) != PGRES_COMMAND_OK) {
        detail::refusal(s, prep.get());
        throw detail::refused_statement(s, prep, "could not prepare the time-series insert: ");
    }
    prepared = true;
}

// One piece of COPY data; libpq queues it only when there is room for it.
void put_copy_piece(Connection::Impl& s, const std::string& piece, detail::Deadline deadline) {
    for (;;) {
        const int put = PQputCopyData(s.pg, piece.data(), static_cast<int>(piece.size()));
        if (put < 0) {
            detail::broken(s);
        }
        if (put == 1) {
            return;
        }
        detail::wait_socket(s, true, deadline);
        if (PQflush(s.pg) < 0) {
            detail::broken(s);
        }
    }
}

// The rows in the binary COPY format (signature and header, the fields of each row, end mark),
// encoded and handed over a piece at a time: a cycle's rows are never held encoded as a whole,
// and libpq's send buffer, which keeps the size of the largest piece, stays small.
void send_copy_rows(Connection::Impl& s, const Rows& rows, detail::Deadline deadline) {
    constexpr std::size_t kPiece = std::size_t{64} << 10;
    static const char kSignature[11] = {'P',  'G',    'C',  'O',  'P', 'Y',
                                        '\n', '\377', '\r', '\n', '\0'};
    const bool timed = !rows.times.empty();
    std::string piece;
    piece.reserve(kPiece);
    // Room for `size` more bytes at the piece's end; a full piece is sent first.
    const auto room = [&](std::size_t size) {
        if (!piece.empty() && piece.size() + size > kPiece) {
            put_copy_piece(s, piece, deadline);
            piece.clear();
        }
        const std::size_t at = piece.size();
        piece.resize(at + size);
        return piece.data() + at;
    };
    char* p = room(sizeof kSignature + 8);
    std::memcpy(p, kSignature, sizeof kSignature);
    p = store_be32(p + sizeof kSignature, 0);  // flags
    store_be32(p, 0);                          // header extension length
    for (std::size_t i = 0; i < rows.tag_ids.size(); ++i) {
        p = room(2 + Int8Field::size(rows.tag_ids[i]) + Float8Field::size(rows.values[i]) +
                 TextField::size(rows.qualities[i]) + (timed ? TimeField::size(rows.times[i]) : 0));
        *p++ = '\0';
        *p++ = timed ? '\4' : '\3';  // fields per row
        p = Int8Field::put(p, rows.tag_ids[i]);
        p = Float8Field::put(p, rows.values[i]);
        p = TextField::put(p, rows.qualities[i]);
        if (timed) {
            TimeField::put(p, rows.times[i]);
        }
    }
    p = room(2);
    p[0] = '\xFF';
    p[1] = '\xFF';  // end of data
    put_copy_piece(s, piece, deadline);
    for (;;) {
        const int ended = PQputCopyEnd(s.pg, nullptr);
        if (ended < 0) {
            detail::broken(s);
        }
        if (ended == 1) {
            break;
        }
        detail::wait_socket(s, true, deadline);
    }
    detail::flush_request(s, deadline);
}

// A statement that did not succeed: a transient failure raises ConnectionError (see
// detail::classify), a refusal is logged and reported as (false, 0).
std::pair<bool, std::size_t> refused(Connection::Impl& s, const detail::Result& res) {
    const std::string why = detail::refusal(s, res.get());
    detail::log()->error("Writing time-series rows failed: {}", why);
    return {false, 0};
}

// The outcome of an insert or a COPY: the rows the server reports, or the refusal.
std::pair<bool, std::size_t> outcome(Connection::Impl& s, const detail::Result& res) {
    if (res.get() == nullptr || PQresultStatus(res.get()) != PGRES_COMMAND_OK) {
        return refused(s, res);
    }
    const char* n = PQcmdTuples(res.get());
    return {true, (n != nullptr && *n != '\0') ? static_cast<std::size_t>(std::stoull(n)) : 0};
}

// A row whose day has no partition: the server refuses the whole statement, so nothing of it
// was written and it can be sent again once the day is there.
bool missing_partition(const detail::Result& res) {
    return res.get() != nullptr && PQresultStatus(res.get()) == PGRES_FATAL_ERROR &&
           res.sqlstate() == "23514";
}

// Sends the write once more after adding the days of its rows when the first try found a day
// without a partition (a replayed backlog, a clock set back, source times of another day).
template <class Attempt>
detail::Result with_days(Connection& conn, const Rows& rows, Attempt attempt) {
    detail::Result res = attempt();
    if (missing_partition(res)) {
        detail::make_days(conn, rows.times);
        res = attempt();
    }
    return res;
}

std::pair<bool, std::size_t> write_by_insert(Connection& conn, const Rows& rows) {
    auto& s = detail::impl_of(conn);
    const bool timed = !rows.times.empty();
    const detail::Params params = insert_params(rows, timed);
    const detail::Deadline deadline = detail::deadline_for(s.settings, detail::Limit::write);
    prepare_insert(s, timed, params, deadline);
    detail::Result res = with_days(conn, rows, [&] {
        return detail::send_and_collect(s, deadline, detail::Limit::write, [&](PGconn* pg) {
            return PQsendQueryPrepared(pg, timed ? kWriteAtStatement : kWriteStatement,
                                       params.size(), params.values(), params.lengths(),
                                       params.formats(), 0);
        });
    });
    return outcome(s, res);
}

// The rows and the writer's mark in one statement (see kWriteMarkedSql); the server counts the
// rows in its answer.
std::pair<bool, std::size_t> write_marked(Connection& conn, const Rows& rows,
                                          const WriteMark& mark) {
    detail::Params params = insert_params(rows, true);
    params.text(mark.writer).int64(mark.seq);
    detail::check_text("a writer name", mark.writer);
    detail::Result res = with_days(conn, rows, [&] {
        return detail::exec_allow_refusal(conn, kWriteMarkedSql, params, detail::Limit::write);
    });
    if (res.succeeded() && res.rows() == 1) {
        return {true, static_cast<std::size_t>(res.int64(0, 0))};
    }
    return refused(detail::impl_of(conn), res);
}

std::pair<bool, std::size_t> write_by_copy(Connection& conn, const Rows& rows) {
    auto& s = detail::impl_of(conn);
    const detail::Deadline deadline = detail::deadline_for(s.settings, detail::Limit::write);
    detail::Result res = with_days(conn, rows, [&] {
        detail::Result start =
            detail::send_and_collect(s, deadline, detail::Limit::write, [&](PGconn* pg) {
                return PQsendQuery(pg, rows.times.empty() ? kCopySql : kCopyAtSql);
            });
        if (start.get() == nullptr || PQresultStatus(start.get()) != PGRES_COPY_IN) {
            return start;
        }
        send_copy_rows(s, rows, deadline);
        return detail::collect_result(s, deadline);
    });
    return outcome(s, res);
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

// The one choice of a write path: a mark needs the single statement that commits it with the
// rows; from kCopyFrom rows on COPY is faster; the array insert otherwise.
std::pair<bool, std::size_t> write_rows(Connection& conn, std::span<const TimePoint> times,
                                        std::span<const std::int64_t> tag_ids,
                                        std::span<const TsValue> values,
                                        std::span<const std::string> qualities,
                                        const WriteMark* mark) {
    detail::session(conn);  // a closed connection fails even for an empty batch
    if (tag_ids.empty() && mark == nullptr) {
        return {true, 0};
    }
    detail::keep_days_ahead(conn);
    const std::vector<Converted> converted = convert_all(values);
    const Rows rows{tag_ids, converted, qualities, times};
    if (mark != nullptr) {
        return write_marked(conn, rows, *mark);
    }
    return tag_ids.size() >= kCopyFrom ? write_by_copy(conn, rows) : write_by_insert(conn, rows);
}

}  // namespace

std::pair<bool, std::size_t> write_tsdata(Connection& conn, std::span<const std::int64_t> tag_ids,
                                          std::span<const TsValue> values,
                                          std::span<const std::string> qualities) {
    check_lengths(tag_ids.size(), values.size(), qualities.size());
    return write_rows(conn, {}, tag_ids, values, qualities, nullptr);
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
    return write_rows(conn, times, tag_ids, values, qualities, mark);
}

std::int64_t write_mark(Connection& conn, const std::string& writer) {
    detail::check_text("a writer name", writer);
    detail::Params params;
    params.text(writer);
    detail::Result res = detail::exec(conn, kReadMarkSql, params);
    return res.rows() == 1 ? res.int64(0, 0) : 0;
}

}  // namespace chronq
