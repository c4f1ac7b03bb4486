// bench_query: what reading the stored samples costs. BENCH_QUERY_TAGS tags (default 1,000) of
// BENCH_QUERY_HOURS hours (default 6) at 1 s, up to now, are loaded into the partitioned
// chronq.tsdata (21.6 million rows by default); then, each the median of BENCH_QUERY_RUNS runs
// (default 15) on a tag picked at random:
//   - the last hour of one tag through chronq.samples (target under 20 ms),
//   - the whole span of one tag in 1-minute buckets with date_bin (under 100 ms),
//   - chronq.latest for every tag (under 100 ms);
// and, once each: dropping one day of BENCH_QUERY_DROP_MINUTES minutes of every tag (default
// 30) as retention does, against deleting an identical day, as a ratio; and the bytes on disk
// per stored sample, table and index. The server comes from the libpq environment; the
// benchmark works in a scratch database of its own that it drops again.
#include <libpq-fe.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "chronq/chronq.h"
#include "pg_session.h"

namespace {

using Clock = std::chrono::steady_clock;

int env_int(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::max(1, std::atoi(v)) : fallback;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// One statement with text parameters, its rows fetched; the rows it gave.
int run(PGconn* pg, const std::string& sql, const std::vector<std::string>& params = {}) {
    std::vector<const char*> values;
    for (const auto& p : params) {
        values.push_back(p.c_str());
    }
    PGresult* res = PQexecParams(pg, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                 values.data(), nullptr, nullptr, 0);
    const ExecStatusType status = PQresultStatus(res);
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
        const std::string msg = PQerrorMessage(pg);
        PQclear(res);
        throw std::runtime_error(sql.substr(0, 60) + "...: " + msg);
    }
    const int rows = PQntuples(res);
    PQclear(res);
    return rows;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Timed {
    double median_ms;
    int rows;
};

template <class Query>
Timed time_runs(int runs, Query query) {
    std::vector<double> ms;
    int rows = 0;
    query();  // warm the plan and the cache once, as a dashboard that refreshes does
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        rows = query();
        ms.push_back(seconds_since(start) * 1000.0);
    }
    return {median(ms), rows};
}

// `tags` tags from id 1, one row each per second over [from, from + seconds), loaded by the
// server itself in pieces of an hour so that no single statement holds everything.
void load(vantrel::test::PgSession& s, int tags, const std::string& from, int seconds) {
    for (int at = 0; at < seconds; at += 3600) {
        const int n = std::min(3600, seconds - at);
        s.exec(
            "INSERT INTO chronq.tsdata (time, tag_id, value, quality) "
            "SELECT '" +
            from + "'::timestamptz + (" + std::to_string(at) +
            " + sec) * interval '1 second', t, sin(sec / 60.0 + t) * 100, 'Good' "
            "FROM generate_series(0, " +
            std::to_string(n - 1) + ") sec, generate_series(1, " + std::to_string(tags) + ") t");
    }
}

}  // namespace

int main() {
    if (!vantrel::test::pg_environment_given("bench_query")) {
        return 1;
    }
    const int tags = env_int("BENCH_QUERY_TAGS", 1000);
    const int hours = env_int("BENCH_QUERY_HOURS", 6);
    const int runs = env_int("BENCH_QUERY_RUNS", 15);
    const int drop_minutes = env_int("BENCH_QUERY_DROP_MINUTES", 30);
    int status = 0;
    try {
        const vantrel::test::ScratchDatabase scratch("bench_query");
        auto conn = chronq::get_conn(scratch.settings<chronq::ConnSettings>());
        vantrel::test::PgSession s(scratch.name());
        s.exec(
            "INSERT INTO chronq.sources (source_name, endpoint, status, protocol, "
            "interval_msec) VALUES ('bench', 'opc.tcp://bench:4840', 'ACTIVE', 'OPC_UA', 1000)");
        s.exec(
            "INSERT INTO chronq.tags (tag_id, tag_name, source_id) SELECT t, 'Plant.Tag' || t, "
            "1 FROM generate_series(1, " +
            std::to_string(tags) + ") t");

        // The span ends at the last whole second; its days are added first, as a write would.
        const std::string from = s.scalar("SELECT date_trunc('second', now()) - interval '" +
                                          std::to_string(hours) + " hours'");
        s.exec("SELECT chronq.make_partitions(ARRAY[('" + from +
               "'::timestamptz AT TIME ZONE 'UTC')::date, (now() AT TIME ZONE 'UTC')::date])");
        auto start = Clock::now();
        load(s, tags, from, hours * 3600);
        s.exec("VACUUM ANALYZE chronq.tsdata");
        const std::string rows = s.scalar("SELECT count(*) FROM chronq.tsdata");
        std::printf("loaded: %s rows (%d tags x %d h at 1 s) in %.1f s\n", rows.c_str(), tags,
                    hours, seconds_since(start));

        const std::string table_bytes =
            s.scalar("SELECT sum(pg_table_size(name::regclass)) FROM chronq.tsdata_partitions");
        const std::string index_bytes =
            s.scalar("SELECT sum(pg_indexes_size(name::regclass)) FROM chronq.tsdata_partitions");
        const double n = std::stod(rows);

        PGconn* pg = s.native();
        std::mt19937 rng(7);
        std::uniform_int_distribution<int> pick(1, tags);
        const auto tag = [&] { return "Plant.Tag" + std::to_string(pick(rng)); };
        const Timed hour = time_runs(runs, [&] {
            return run(pg,
                       "SELECT time, value FROM chronq.samples WHERE tag = $1 "
                       "AND time > now() - interval '1 hour' ORDER BY time",
                       {tag()});
        });
        const Timed buckets = time_runs(runs, [&] {
            return run(pg,
                       "SELECT date_bin('1 minute', time, TIMESTAMPTZ '2000-01-01') AS time, "
                       "avg(value) FROM chronq.samples WHERE tag = $1 AND time > now() - "
                       "interval '" +
                           std::to_string(hours) + " hours' GROUP BY 1 ORDER BY 1",
                       {tag()});
        });
        const Timed latest =
            time_runs(runs, [&] { return run(pg, "SELECT * FROM chronq.latest"); });

        // Two identical old days: one deleted row by row, the other dropped as retention does.
        const std::string day_a = s.scalar(
            "SELECT ((now() AT TIME ZONE 'UTC')::date - 20)::timestamp AT TIME ZONE 'UTC'");
        const std::string day_b = s.scalar(
            "SELECT ((now() AT TIME ZONE 'UTC')::date - 19)::timestamp AT TIME ZONE 'UTC'");
        s.exec("SELECT chronq.make_partitions(ARRAY[('" + day_a +
               "'::timestamptz AT TIME ZONE 'UTC')::date, ('" + day_b +
               "'::timestamptz AT TIME ZONE 'UTC')::date])");
        load(s, tags, day_a, drop_minutes * 60);
        load(s, tags, day_b, drop_minutes * 60);
        s.exec("VACUUM ANALYZE chronq.tsdata");
        start = Clock::now();
        run(pg, "DELETE FROM chronq.tsdata WHERE time >= '" + day_a + "' AND time < '" + day_a +
                    "'::timestamptz + interval '1 day'");
        const double delete_s = seconds_since(start);
        start = Clock::now();
        // Keeping 19 days drops the older of the two (the deleted one is empty by now, but its
        // partition goes too): time the drop of the day with rows alone.
        const std::string name =
            s.scalar("SELECT name FROM chronq.tsdata_partitions WHERE from_time = '" + day_b + "'");
        run(pg, "DROP TABLE " + name);
        const double drop_s = seconds_since(start);

        std::printf("samples_last_hour_one_tag_ms: %.2f (%d rows; target under 20)\n",
                    hour.median_ms, hour.rows);
        std::printf("samples_%dh_1min_buckets_one_tag_ms: %.2f (%d buckets; target under 100)\n",
                    hours, buckets.median_ms, buckets.rows);
        std::printf("latest_all_tags_ms: %.2f (%d tags; target under 100)\n", latest.median_ms,
                    latest.rows);
        std::printf("day_of_%d_rows: delete %.3f s, drop %.4f s, ratio %.0f\n",
                    tags * drop_minutes * 60, delete_s, drop_s, delete_s / drop_s);
        std::printf("bytes_per_sample: %.1f (table %.1f, index %.1f)\n",
                    (std::stod(table_bytes) + std::stod(index_bytes)) / n,
                    std::stod(table_bytes) / n, std::stod(index_bytes) / n);
        conn->close();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_query: %s\n", e.what());
        status = 1;
    }
    return status;
}
