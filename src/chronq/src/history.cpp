// chronq: stored samples read back through the samples view.
#include "chronq/history.h"

#include <charconv>
#include <stdexcept>

#include "pg.h"

namespace chronq {

namespace {

// Times travel as microseconds since 1970 both ways: exact, and free of the session's time
// zone and date style.
constexpr const char* kRawSql =
    "SELECT tag, (extract(epoch FROM time) * 1000000)::int8, value, quality "
    "  FROM chronq.samples "
    " WHERE tag = ANY($1::text[]) "
    "   AND time >= timestamptz 'epoch' + $2::int8 * interval '1 microsecond' "
    "   AND time < timestamptz 'epoch' + $3::int8 * interval '1 microsecond' "
    " ORDER BY tag, time";

// NaN is excluded by comparison (PostgreSQL orders it above every number), NULL by the filter.
constexpr const char* kBucketSql =
    "SELECT tag, (extract(epoch FROM bucket) * 1000000)::int8, "
    "       avg(value) FILTER (WHERE quality = 'Good' AND value < 'NaN'::float8), "
    "       CASE WHEN count(*) FILTER (WHERE quality = 'Good' AND value < 'NaN'::float8) > 0 "
    "            THEN 'Good' ELSE coalesce((array_agg(quality ORDER BY time DESC) "
    "                                       FILTER (WHERE quality <> 'Good'))[1], 'Good') END "
    "  FROM (SELECT tag, time, value, quality, "
    "               date_bin($4::int8 * interval '1 second', time, TIMESTAMPTZ '2000-01-01') "
    "                   AS bucket "
    "          FROM chronq.samples "
    "         WHERE tag = ANY($1::text[]) "
    "           AND time >= timestamptz 'epoch' + $2::int8 * interval '1 microsecond' "
    "           AND time < timestamptz 'epoch' + $3::int8 * interval '1 microsecond') s "
    " GROUP BY tag, bucket "
    " ORDER BY tag, bucket";

std::int64_t unix_micros(TimePoint t) {
    return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

// The server's text of a float8 ("12.5", "NaN", "-Infinity"), read without the process's
// locale, which a desktop program sets from the user's.
std::optional<double> number(const std::string& text) {
    double out = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    if (ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return out;
}

}  // namespace

std::vector<StoredSample> read_samples(Connection& conn, const std::vector<std::string>& tags,
                                       TimePoint from, TimePoint to, std::chrono::seconds bucket) {
    if (bucket.count() < 0) {
        throw std::invalid_argument("read_samples needs a bucket of 0 s (none) or more");
    }
    if (tags.empty() || from >= to) {
        return {};
    }
    for (const auto& tag : tags) {
        detail::check_text("a tag name", tag);
    }
    detail::Params params;
    params.text_array(tags).int64(unix_micros(from)).int64(unix_micros(to));
    if (bucket.count() > 0) {
        params.int64(bucket.count());
    }
    const detail::Result res =
        detail::exec(conn, bucket.count() > 0 ? kBucketSql : kRawSql, params);
    std::vector<StoredSample> out;
    out.reserve(static_cast<std::size_t>(res.rows()));
    for (int row = 0; row < res.rows(); ++row) {
        StoredSample sample;
        sample.tag = res.text(row, 0);
        sample.time = TimePoint(std::chrono::duration_cast<TimePoint::duration>(
            std::chrono::microseconds(res.int64(row, 1))));
        if (!res.is_null(row, 2)) {
            sample.value = number(res.text(row, 2));
        }
        sample.quality = res.text(row, 3);
        out.push_back(std::move(sample));
    }
    return out;
}

}  // namespace chronq
