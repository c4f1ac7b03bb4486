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

// Rows are stamped by the column default, now(): the time of the write.
constexpr const char* kWriteSql =
    "INSERT INTO chronq.tsdata (tag_id, value, quality) "
    "SELECT * FROM unnest($1::int8[], $2::float8[], $3::text[])";

constexpr const char* kCopySql =
    "COPY chronq.tsdata (tag_id, value, quality) FROM STDIN (FORMAT binary)";

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
    detail::flush_request(conn.impl(), deadline);
    return detail::collect_result(conn.impl(), deadline);
}

// The session after a wait: a wait that gave up has closed it.
bool broken(Connection& conn) {
    return PQstatus(conn.impl().pg) == CONNECTION_BAD;
}

std::pair<bool, std::size_t> refused(Connection& conn, const detail::Result& res) {
    detail::log()->error("Writing time-series rows failed: {}",
                         detail::error_text(conn.impl().pg, res.get(), conn.settings()));
    return {false, 0};
}

std::pair<bool, std::size_t> write_by_insert(Connection& conn,
                                             std::span<const std::int64_t> tag_ids,
                                             const std::vector<Converted>& values,
                                             std::span<const std::string> qualities) {
    const std::size_t n = tag_ids.size();
    std::string ids;
    ids.reserve(20 + n * 12);
    detail::array_header(ids, n, false, detail::kInt8Oid);
    for (const auto id : tag_ids) {
        detail::put_be32(ids, 8);
        detail::put_be64(ids, static_cast<std::uint64_t>(id));
    }
    bool has_nulls = false;
    for (const auto& v : values) {
        has_nulls = has_nulls || v.is_null;
    }
    std::string vals;
    vals.reserve(20 + n * 12);
    detail::array_header(vals, n, has_nulls, detail::kFloat8Oid);
    for (const auto& v : values) {
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
    for (const auto& q : qualities) {
        detail::put_be32(quals, static_cast<std::uint32_t>(q.size()));
        quals += q;
    }

    auto& impl = conn.impl();
    const detail::Deadline deadline = detail::deadline_for(conn.settings(), detail::Limit::write);
    if (!impl.write_prepared) {
        const Oid types[3] = {detail::kInt8ArrayOid, detail::kFloat8ArrayOid,
                              detail::kTextArrayOid};
        detail::Result prep = send_and_wait(conn, deadline, [&](PGconn* pg) {
            return PQsendPrepare(pg, kWriteStatement, kWriteSql, 3, types);
        });
        if (prep.get() == nullptr || PQresultStatus(prep.get()) != PGRES_COMMAND_OK) {
            const std::string msg = detail::error_text(impl.pg, prep.get(), conn.settings());
            if (prep.get() == nullptr || broken(conn)) {
                throw ConnectionError(msg);
            }
            throw QueryError("could not prepare the time-series insert: " + msg);
        }
        impl.write_prepared = true;
    }
    const char* params[3] = {ids.data(), vals.data(), quals.data()};
    const int lengths[3] = {static_cast<int>(ids.size()), static_cast<int>(vals.size()),
                            static_cast<int>(quals.size())};
    const int formats[3] = {1, 1, 1};
    detail::Result res = send_and_wait(conn, deadline, [&](PGconn* pg) {
        return PQsendQueryPrepared(pg, kWriteStatement, 3, params, lengths, formats, 0);
    });
    if (res.get() != nullptr && PQresultStatus(res.get()) == PGRES_COMMAND_OK) {
        return {true, affected(res)};
    }
    if (res.get() == nullptr || broken(conn)) {
        throw ConnectionError(detail::error_text(impl.pg, res.get(), conn.settings()));
    }
    return refused(conn, res);
}

std::pair<bool, std::size_t> write_by_copy(Connection& conn, std::span<const std::int64_t> tag_ids,
                                           const std::vector<Converted>& values,
                                           std::span<const std::string> qualities) {
    const std::size_t n = tag_ids.size();
    std::string buf;
    buf.reserve(19 + n * 40 + 2);
    static const char kSignature[11] = {'P',  'G',    'C',  'O',  'P', 'Y',
                                        '\n', '\377', '\r', '\n', '\0'};
    buf.append(kSignature, sizeof kSignature);
    detail::put_be32(buf, 0);  // flags
    detail::put_be32(buf, 0);  // header extension length
    for (std::size_t i = 0; i < n; ++i) {
        buf += '\0';
        buf += '\3';  // three fields
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
    }
    buf += '\xFF';
    buf += '\xFF';  // end of data

    const detail::Deadline deadline = detail::deadline_for(conn.settings(), detail::Limit::write);
    detail::Result start =
        send_and_wait(conn, deadline, [](PGconn* pg) { return PQsendQuery(pg, kCopySql); });
    if (start.get() == nullptr || PQresultStatus(start.get()) != PGRES_COPY_IN) {
        if (start.get() == nullptr || broken(conn)) {
            throw ConnectionError(detail::error_text(conn.impl().pg, start.get(), conn.settings()));
        }
        return refused(conn, start);
    }
    // Handed over in pieces: libpq takes at most an int's worth at a time, and queues a piece
    // only when there is room for it.
    auto& impl = conn.impl();
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
    if (done.get() == nullptr || broken(conn)) {
        throw ConnectionError(detail::error_text(impl.pg, done.get(), conn.settings()));
    }
    return refused(conn, done);
}

}  // namespace

std::pair<bool, std::size_t> write_tsdata(Connection& conn, std::span<const std::int64_t> tag_ids,
                                          std::span<const TsValue> values,
                                          std::span<const std::string> qualities) {
    if (tag_ids.size() != values.size() || tag_ids.size() != qualities.size()) {
        throw std::invalid_argument(
            "write_tsdata needs as many values and qualities as tag ids; got " +
            std::to_string(tag_ids.size()) + " tag ids, " + std::to_string(values.size()) +
            " values and " + std::to_string(qualities.size()) + " qualities");
    }
    detail::session(conn);  // a closed connection fails even for an empty batch
    if (tag_ids.empty()) {
        return {true, 0};
    }
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
    return tag_ids.size() >= kCopyFrom ? write_by_copy(conn, tag_ids, converted, qualities)
                                       : write_by_insert(conn, tag_ids, converted, qualities);
}

}  // namespace chronq
