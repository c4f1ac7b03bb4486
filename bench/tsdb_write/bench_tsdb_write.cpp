// bench_tsdb_write: rows per second of chronq's writes at 200-row and 10,000-row batches, each
// beside a raw libpq baseline into the same partitioned table, measured in the same run: INSERT
// from unnest arrays at 200 rows, binary COPY at 10,000 rows. The chronq writers are
// write_tsdata (rows stamped by the server) and write_tsdata_at (each row with its read time,
// as the collector writes). The server comes from the libpq environment (PGHOST, PGPORT,
// PGUSER, PGPASSWORD, PGDATABASE); the benchmark works in a scratch database of its own that
// it drops again.
//
// A machine's load comes and goes within seconds, so one long measurement per writer is no
// verdict. Instead there are many short trials (BENCH_TSDB_TRIALS, default 21), each from
// empty tables, in which the writers take turns batch by batch; each trial gives every
// writer's rate (from its median batch) and its ratio to the baseline's, and the figure is the
// median over the trials, the ratio with its quartiles and spread (the interquartile range over
// the median). The ratio lines come last.
#include <libpq-fe.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "chronq/chronq.h"
#include "pg_session.h"

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
    check(pg, PQexec(pg, "COPY chronq.tsdata (tag_id, value, quality) FROM STDIN (FORMAT binary)"),
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

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

// The quartiles by the median of each half (the middle value left out of both when odd).
struct Summary {
    double median, q1, q3;
    double spread() const { return (q3 - q1) / median; }
};

Summary summarise(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t half = v.size() / 2;
    return {median(v), median({v.begin(), v.begin() + static_cast<std::ptrdiff_t>(half)}),
            median({v.end() - static_cast<std::ptrdiff_t>(half), v.end()})};
}

// One way of writing a batch. `name` becomes "<name>_<batch rows>_rows_per_s" and, for all
// but the baseline, "ratio<ratio_tag>_<batch rows>".
struct Writer {
    std::string name;
    std::string ratio_tag;
    std::function<void(const Batch&)> write;
};

struct Figures {
    std::vector<double> rates;    // per writer, the median of its trials
    std::vector<Summary> ratios;  // per writer, to writer 0 (the baseline); [0] unused
};

// Writers take turns batch by batch, the first turn moving on one writer every batch, so that
// load from elsewhere on the machine and the growth of the tables weigh on all alike.
Figures measure(vantrel::test::PgSession& setup, const std::vector<Writer>& writers,
                std::size_t batch_rows, std::size_t rows_per_trial, int trials) {
    std::mt19937_64 rng(42);
    std::vector<Batch> batches;
    for (std::size_t r = 0; r < rows_per_trial; r += batch_rows) {
        batches.push_back(make_batch(batch_rows, rng));
    }
    const std::size_t n = writers.size();
    std::vector<std::vector<double>> rates(n), ratios(n);
    for (int trial = 0; trial < trials; ++trial) {
        setup.exec("TRUNCATE chronq.tsdata");
        std::vector<std::vector<double>> seconds(n);
        for (std::size_t i = 0; i < batches.size(); ++i) {
            for (std::size_t k = 0; k < n; ++k) {
                const std::size_t w = (i + k) % n;
                const auto start = Clock::now();
                writers[w].write(batches[i]);
                seconds[w].push_back(std::chrono::duration<double>(Clock::now() - start).count());
            }
        }
        // The median batch, not the sum: a batch during which the process was descheduled
        // says nothing about the writer.
        for (std::size_t w = 0; w < n; ++w) {
            const double typical = median(seconds[w]);
            rates[w].push_back(static_cast<double>(batch_rows) / typical);
            ratios[w].push_back(median(seconds[0]) / typical);
        }
    }
    Figures out;
    for (std::size_t w = 0; w < n; ++w) {
        out.rates.push_back(median(rates[w]));
        out.ratios.push_back(summarise(ratios[w]));
    }
    return out;
}

}  // namespace

int main() {
    if (!vantrel::test::pg_environment_given("bench_tsdb_write")) {
        return 1;
    }
    const int trials = std::max(3, std::atoi(env("BENCH_TSDB_TRIALS", "21").c_str()));
    int status = 0;
    try {
        const vantrel::test::ScratchDatabase scratch("bench_tsdb_write");
        const auto settings = scratch.settings<chronq::ConnSettings>();
        auto conn = chronq::get_conn(settings);
        // Truncation goes through a session of its own, so that the baseline writes on a
        // session that did nothing else, just like chronq's. Both write into chronq.tsdata,
        // partitioned by day as chronq made it.
        vantrel::test::PgSession setup(scratch.name());
        vantrel::test::PgSession raw_session(scratch.name());
        PGconn* raw = raw_session.native();
        const Oid types[3] = {1016, 1022, 1009};
        check(raw,
              PQprepare(raw, "raw_insert",
                        "INSERT INTO chronq.tsdata (tag_id, value, quality) "
                        "SELECT * FROM unnest($1::int8[], $2::float8[], $3::text[])",
                        3, types),
              PGRES_COMMAND_OK, "prepare baseline insert");

        // Built before any clock runs, as the collector has its times before it writes.
        std::vector<chronq::TimePoint> times(10000);
        const auto read_at = std::chrono::system_clock::now();
        for (std::size_t i = 0; i < times.size(); ++i) {
            times[i] = read_at + std::chrono::microseconds(i);
        }
        const auto expect_all = [](std::pair<bool, std::size_t> result, const Batch& b) {
            if (!result.first || result.second != b.ids.size()) {
                throw std::runtime_error("chronq refused a batch");
            }
        };
        const Writer chronq_plain{
            "chronq", "", [&](const Batch& b) {
                expect_all(chronq::write_tsdata(*conn, b.ids, b.ts_values, b.qualities), b);
            }};
        const Writer chronq_timed{
            "chronq_timed", "_timed", [&](const Batch& b) {
                expect_all(chronq::write_tsdata_at(*conn, std::span(times).first(b.ids.size()),
                                                   b.ids, b.ts_values, b.qualities),
                           b);
            }};
        const Writer raw_small{"raw_unnest", "", [&](const Batch& b) { raw_unnest(raw, b); }};
        const Writer raw_large{"raw_copy", "", [&](const Batch& b) { raw_copy(raw, b); }};

        struct Case {
            std::size_t batch_rows;
            std::size_t rows_per_trial;
            std::vector<Writer> writers;  // the baseline first
        };
        const std::vector<Case> cases = {
            {200, 20000, {raw_small, chronq_plain, chronq_timed}},
            {10000, 200000, {raw_large, chronq_plain, chronq_timed}},
        };
        std::vector<Figures> figures;
        for (const Case& c : cases) {
            figures.push_back(measure(setup, c.writers, c.batch_rows, c.rows_per_trial, trials));
        }

        std::printf("trials: %d per batch size, writers taking turns batch by batch\n", trials);
        for (std::size_t i = 0; i < cases.size(); ++i) {
            for (std::size_t w = 0; w < cases[i].writers.size(); ++w) {
                std::printf("%s_%zu_rows_per_s: %.0f\n", cases[i].writers[w].name.c_str(),
                            cases[i].batch_rows, figures[i].rates[w]);
            }
        }
        for (std::size_t i = 0; i < cases.size(); ++i) {
            for (std::size_t w = 1; w < cases[i].writers.size(); ++w) {
                const Summary& r = figures[i].ratios[w];
                std::printf("ratio%s_%zu: %.3f (quartiles %.3f to %.3f, spread %.1f %%)\n",
                            cases[i].writers[w].ratio_tag.c_str(), cases[i].batch_rows, r.median,
                            r.q1, r.q3, 100.0 * r.spread());
            }
        }
        conn->close();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_tsdb_write: %s\n", e.what());
        status = 1;
    }
    return status;
}
