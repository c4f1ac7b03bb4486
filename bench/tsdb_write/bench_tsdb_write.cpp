// bench_tsdb_write: rows per second of chronq::write_tsdata at 200-row and 10,000-row batches,
// each beside a raw libpq baseline on a table of the same shape, measured in the same run:
// INSERT from unnest arrays at 200 rows, binary COPY at 10,000 rows. The server comes from the
// libpq environment (PGHOST, PGPORT, PGUSER, PGPASSWORD, PGDATABASE); the benchmark works in
// a scratch database of its own that it drops again. The last two lines are the ratios.
#include <libpq-fe.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "chronq/chronq.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string env(const char* name, const char* fallback = "") {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : fallback;
}

void check(PGconn* pg, PGresult* res, ExecStatusType want, const char* what) {
    if (PQresultStatus(res) != want) {
        const std::string msg = PQerrorMessage(pg);
        PQclear(res);
        throw std::runtime_error(std::string(what) + ": " + msg);
    }
    PQclear(res);
}

PGconn* connect(const std::string& dbname) {
    const std::string host = env("PGHOST"), port = env("PGPORT", "5432");
    const std::string user = env("PGUSER", "postgres"), password = env("PGPASSWORD");
    const char* keys[] = {"host", "port", "user", "password", "dbname", nullptr};
    const char* values[] = {host.c_str(),     port.c_str(),   user.c_str(),
                            password.c_str(), dbname.c_str(), nullptr};
    PGconn* pg = PQconnectdbParams(keys, values, 0);
    if (PQstatus(pg) != CONNECTION_OK) {
        const std::string msg = PQerrorMessage(pg);
        PQfinish(pg);
        throw std::runtime_error("cannot connect to " + dbname + ": " + msg);
    }
    return pg;
}

void put32(std::string& out, std::uint32_t v) {
    const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 8), static_cast<char>(v)};
    out.append(b, 4);
}

void put64(std::string& out, std::uint64_t v) {
    put32(out, static_cast<std::uint32_t>(v >> 32));
    put32(out, static_cast<std::uint32_t>(v));
}

void array_header(std::string& out, std::size_t n, std::uint32_t element) {
    put32(out, 1);
    put32(out, 0);
    put32(out, element);
    put32(out, static_cast<std::uint32_t>(n));
    put32(out, 1);
}

// The data of one batch as a raw client holds it.
struct Batch {
    std::vector<std::int64_t> ids;
    std::vector<double> values;
    std::vector<std::string> qualities;
    std::vector<chronq::TsValue> ts_values;  // the same values as chronq takes them
};

Batch make_batch(std::size_t n, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> dist(-1000.0, 1000.0);
    Batch b;
    for (std::size_t i = 0; i < n; ++i) {
        b.ids.push_back(static_cast<std::int64_t>(i % 200) + 1);
        b.values.push_back(dist(rng));
        b.ts_values.emplace_back(b.values.back());
        b.qualities.emplace_back(i % 50 == 0 ? "Bad" : "Good");
    }
    return b;
}

// Raw baseline at small batches: a prepared INSERT from unnest of binary arrays.
void raw_unnest(PGconn* pg, const Batch& b) {
    const std::size_t n = b.ids.size();
    std::string ids, vals, quals;
    array_header(ids, n, 20);
    for (const auto id : b.ids) {
        put32(ids, 8);
        put64(ids, static_cast<std::uint64_t>(id));
    }
    array_header(vals, n, 701);
    for (const auto v : b.values) {
        put32(vals, 8);
        put64(vals, std::bit_cast<std::uint64_t>(v));
    }
    array_header(quals, n, 25);
    for (const auto& q : b.qualities) {
        put32(quals, static_cast<std::uint32_t>(q.size()));
        quals += q;
    }
    const char* params[3] = {ids.data(), vals.data(), quals.data()};
    const int lengths[3] = {static_cast<int>(ids.size()), static_cast<int>(vals.size()),
                            static_cast<int>(quals.size())};
    const int formats[3] = {1, 1, 1};
    check(pg, PQexecPrepared(pg, "raw_insert", 3, params, lengths, formats, 0), PGRES_COMMAND_OK,
          "raw insert");
}

// Raw baseline at large batches: binary COPY.
void raw_copy(PGconn* pg, const Batch& b) {
    std::string buf("PGCOPY\n\377\r\n\0", 11);
    buf.reserve(32 + b.ids.size() * 40);
    put32(buf, 0);
    put32(buf, 0);
    for (std::size_t i = 0; i < b.ids.size(); ++i) {
        buf += '\0';
        buf += '\3';
        put32(buf, 8);
        put64(buf, static_cast<std::uint64_t>(b.ids[i]));
        put32(buf, 8);
        put64(buf, std::bit_cast<std::uint64_t>(b.values[i]));
        put32(buf, static_cast<std::uint32_t>(b.qualities[i].size()));
        buf += b.qualities[i];
    }
    buf += "\xFF\xFF";
    check(pg, PQexec(pg, "COPY bench_raw (tag_id, value, quality) FROM STDIN (FORMAT binary)"),
          PGRES_COPY_IN, "raw copy start");
    if (PQputCopyData(pg, buf.data(), static_cast<int>(buf.size())) != 1 ||
        PQputCopyEnd(pg, nullptr) != 1) {
        throw std::runtime_error(std::string("raw copy: ") + PQerrorMessage(pg));
    }
    check(pg, PQgetResult(pg), PGRES_COMMAND_OK, "raw copy");
    while (PGresult* extra = PQgetResult(pg)) {
        PQclear(extra);
    }
}

template <typename Write>
double seconds_for(const Batch& b, Write&& write) {
    const auto start = Clock::now();
    write(b);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Pair {
    double chronq_rate;
    double raw_rate;
};

Pair measure(chronq::Connection& conn, PGconn* raw, PGconn* setup, std::size_t batch_rows,
             std::size_t total_rows, bool raw_uses_copy) {
    std::mt19937_64 rng(42);
    std::vector<Batch> batches;
    for (std::size_t r = 0; r < total_rows; r += batch_rows) {
        batches.push_back(make_batch(batch_rows, rng));
    }
    auto chronq_write = [&](const Batch& b) {
        const auto [ok, rows] = chronq::write_tsdata(conn, b.ids, b.ts_values, b.qualities);
        if (!ok || rows != b.ids.size()) {
            throw std::runtime_error("write_tsdata refused a batch");
        }
    };
    auto raw_write = [&](const Batch& b) {
        if (raw_uses_copy) {
            raw_copy(raw, b);
        } else {
            raw_unnest(raw, b);
        }
    };
    // The two sides take turns batch by batch, the first turn swapping every batch, so that
    // load from elsewhere on the machine and the growth of the tables weigh on both alike.
    // Each round starts from empty tables; the figure is the median of the rounds.
    std::vector<double> chronq_rates, raw_rates;
    for (int round = 0; round < 5; ++round) {
        check(setup, PQexec(setup, "TRUNCATE chronq.tsdata, bench_raw"), PGRES_COMMAND_OK,
              "truncate");
        check(setup, PQexec(setup, "CHECKPOINT"), PGRES_COMMAND_OK, "checkpoint");
        double chronq_seconds = 0, raw_seconds = 0;
        std::size_t rows = 0;
        for (std::size_t i = 0; i < batches.size(); ++i) {
            if (i % 2 == 0) {
                chronq_seconds += seconds_for(batches[i], chronq_write);
                raw_seconds += seconds_for(batches[i], raw_write);
            } else {
                raw_seconds += seconds_for(batches[i], raw_write);
                chronq_seconds += seconds_for(batches[i], chronq_write);
            }
            rows += batches[i].ids.size();
        }
        chronq_rates.push_back(static_cast<double>(rows) / chronq_seconds);
        raw_rates.push_back(static_cast<double>(rows) / raw_seconds);
    }
    return {median(chronq_rates), median(raw_rates)};
}

}  // namespace

int main() {
    if (env("PGHOST").empty() && env("PGPORT").empty()) {
        std::fprintf(stderr,
                     "bench_tsdb_write: no database; set the libpq environment (PGHOST, PGPORT, "
                     "PGUSER, PGPASSWORD, PGDATABASE), e.g. with scripts/pg-private.sh\n");
        return 1;
    }
    const std::string scratch = "bench_tsdb_write_" + std::to_string(getpid());
    PGconn* admin = nullptr;
    int status = 0;
    try {
        admin = connect(env("PGDATABASE", "postgres"));
        check(admin, PQexec(admin, ("CREATE DATABASE " + scratch).c_str()), PGRES_COMMAND_OK,
              "create scratch database");

        chronq::ConnSettings settings;
        settings.host = env("PGHOST");
        settings.port = std::stoi(env("PGPORT", "5432"));
        settings.user = env("PGUSER", "postgres");
        settings.password = env("PGPASSWORD");
        settings.dbname = scratch;
        auto conn = chronq::get_conn(settings);
        // Table set-up and truncation go through a session of their own, so that the baseline
        // writes on a session that did nothing else, just like chronq's.
        PGconn* setup = connect(scratch);
        check(setup, PQexec(setup, "CREATE TABLE bench_raw (LIKE chronq.tsdata INCLUDING ALL)"),
              PGRES_COMMAND_OK, "create baseline table");
        PGconn* raw = connect(scratch);
        const Oid types[3] = {1016, 1022, 1009};
        check(raw,
              PQprepare(raw, "raw_insert",
                        "INSERT INTO bench_raw (tag_id, value, quality) "
                        "SELECT * FROM unnest($1::int8[], $2::float8[], $3::text[])",
                        3, types),
              PGRES_COMMAND_OK, "prepare baseline insert");

        const Pair small = measure(*conn, raw, setup, 200, 100000, false);
        std::printf("chronq_200_rows_per_s: %.0f\n", small.chronq_rate);
        std::printf("raw_unnest_200_rows_per_s: %.0f\n", small.raw_rate);
        const Pair large = measure(*conn, raw, setup, 10000, 200000, true);
        std::printf("chronq_10000_rows_per_s: %.0f\n", large.chronq_rate);
        std::printf("raw_copy_10000_rows_per_s: %.0f\n", large.raw_rate);
        std::printf("ratio_200: %.3f\n", small.chronq_rate / small.raw_rate);
        std::printf("ratio_10000: %.3f\n", large.chronq_rate / large.raw_rate);
        PQfinish(raw);
        PQfinish(setup);
        conn->close();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_tsdb_write: %s\n", e.what());
        status = 1;
    }
    if (admin != nullptr) {
        PQclear(PQexec(admin, ("DROP DATABASE IF EXISTS " + scratch + " WITH (FORCE)").c_str()));
        PQfinish(admin);
    }
    return status;
}
