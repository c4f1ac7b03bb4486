// Time-series writes against the real server.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

#include "chronq/chronq.h"
#include "pg_session.h"

using chronq::TsValue;

namespace {

class ChronqTsdata : public ::testing::Test {
  protected:
    ChronqTsdata() : conn(chronq::get_conn(db.settings<chronq::ConnSettings>())) {}

    std::string count() { return db.scalar("SELECT count(*) FROM chronq.tsdata"); }

    vantrel::test::ScratchDatabase db{"chronq_t"};
    std::unique_ptr<chronq::Connection> conn;
};

struct Batch {
    std::vector<std::int64_t> ids;
    std::vector<TsValue> values;
    std::vector<std::string> qualities;

    static Batch make(std::size_t n, std::int64_t first_id = 1) {
        Batch b;
        for (std::size_t i = 0; i < n; ++i) {
            b.ids.push_back(first_id + static_cast<std::int64_t>(i % 200));
            b.values.emplace_back(static_cast<double>(i) * 0.5);
            b.qualities.emplace_back(i % 7 == 0 ? "Bad" : "Good");
        }
        return b;
    }
};

std::pair<bool, std::size_t> write(chronq::Connection& c, const Batch& b) {
    return chronq::write_tsdata(c, b.ids, b.values, b.qualities);
}

}  // namespace

TEST_F(ChronqTsdata, EveryKindOfValueIsStoredAsANumberOrNullWithItsQuality) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::int64_t big = (std::int64_t{1} << 53) - 1;
    const std::vector<TsValue> values = {
        TsValue{true},
        TsValue{false},
        TsValue{std::int64_t{-42}},
        TsValue{big},
        TsValue{1.25},
        TsValue{std::nan("")},
        TsValue{inf},
        TsValue{-inf},
        TsValue{std::string("text")},
        TsValue{std::monostate{}},
        TsValue{1e-300},
    };
    using R = std::vector<std::string>;
    const std::vector<R> expected = {
        {"1", "1", "Good"},           {"2", "0", "Good"},
        {"3", "-42", "Good"},         {"4", "9.007199254740991e+15", "Good"},
        {"5", "1.25", "Good"},        {"6", "NaN", "Good"},
        {"7", "Infinity", "Good"},    {"8", "-Infinity", "Good"},
        {"9", "<NULL>", "Uncertain"}, {"10", "<NULL>", "Good"},
        {"11", "1e-300", "Good"},
    };
    // A small batch goes as arrays, a padded one by COPY: both encode values alike.
    for (const std::size_t padding : {std::size_t{0}, std::size_t{1000}}) {
        SCOPED_TRACE(padding);
        db.query("DELETE FROM chronq.tsdata RETURNING 1");
        Batch b;
        for (std::size_t i = 0; i < values.size(); ++i) {
            b.ids.push_back(static_cast<std::int64_t>(i + 1));
            b.values.push_back(values[i]);
            b.qualities.push_back(i == 8 ? "Uncertain" : "Good");
        }
        const Batch pad = Batch::make(padding, 1000);
        b.ids.insert(b.ids.end(), pad.ids.begin(), pad.ids.end());
        b.values.insert(b.values.end(), pad.values.begin(), pad.values.end());
        b.qualities.insert(b.qualities.end(), pad.qualities.begin(), pad.qualities.end());
        const auto [ok, rows] = write(*conn, b);
        EXPECT_TRUE(ok);
        EXPECT_EQ(rows, values.size() + padding);

        const auto stored = db.query(
            "SELECT tag_id, value::text, quality FROM chronq.tsdata WHERE tag_id < 1000 "
            "ORDER BY tag_id");
        EXPECT_EQ(stored, expected);
        EXPECT_EQ(db.scalar("SELECT value::bigint FROM chronq.tsdata WHERE tag_id = 4"),
                  "9007199254740991");
    }
}

TEST_F(ChronqTsdata, RowsAreStampedWithTheTimeOfTheWriteAndCommittedAtOnce) {
    for (const bool autocommit : {false, true}) {
        auto s = db.settings<chronq::ConnSettings>();
        s.autocommit = autocommit;
        auto c = chronq::get_conn(s);
        const std::string before = db.scalar("SELECT now()");
        ASSERT_TRUE(write(*c, Batch::make(3)).first);
        // Another session sees the rows while this connection is still open.
        EXPECT_EQ(db.scalar("SELECT count(*) FROM chronq.tsdata WHERE time >= '" + before +
                            "' AND time <= now()"),
                  "3")
            << "autocommit " << autocommit;
        EXPECT_EQ(
            db.scalar(
                "SELECT count(*) FROM pg_stat_activity WHERE application_name = "
                "'chronq' AND datname = current_database() AND state LIKE 'idle in transaction%'"),
            "0");
        db.query("DELETE FROM chronq.tsdata RETURNING 1");
    }
}

TEST_F(ChronqTsdata, EmptyAndUnequalBatches) {
    const auto [ok, rows] = write(*conn, Batch{});
    EXPECT_TRUE(ok);
    EXPECT_EQ(rows, 0u);

    Batch b = Batch::make(5);
    b.qualities.pop_back();
    EXPECT_THROW(write(*conn, b), std::invalid_argument);
    b = Batch::make(5);
    b.values.push_back(TsValue{1.0});
    try {
        write(*conn, b);
        ADD_FAILURE() << "unequal lengths were accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("5 tag ids, 6 values and 5 qualities"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_EQ(count(), "0");
}

TEST_F(ChronqTsdata, SmallAndLargeBatchesWriteEveryRow) {
    for (const std::size_t n : {std::size_t{1}, std::size_t{200}, std::size_t{999},
                                std::size_t{1000}, std::size_t{10000}}) {
        const Batch b = Batch::make(n);
        const auto [ok, rows] = write(*conn, b);
        EXPECT_TRUE(ok) << n;
        EXPECT_EQ(rows, n);
    }
    EXPECT_EQ(count(), std::to_string(1 + 200 + 999 + 1000 + 10000));
    // Values land beside their own tag ids, in both write paths.
    EXPECT_EQ(db.scalar("SELECT count(*) FROM chronq.tsdata WHERE value IS NULL"), "0");
    EXPECT_EQ(db.scalar("SELECT max(value) FROM chronq.tsdata"), "4999.5");
    EXPECT_EQ(db.scalar("SELECT sum(value) FROM chronq.tsdata WHERE tag_id = 200"),
              // i = 199, 399, ... (i < n) summed over each batch, halved
              db.scalar("SELECT (sum(i) * 0.5)::float8::text FROM (SELECT generate_series(199, "
                        "n - 1, 200) AS i FROM unnest(ARRAY[200, 999, 1000, 10000]) AS n) s"));
}

TEST_F(ChronqTsdata, ARefusedBatchWritesNothingAndTheConnectionStaysUsable) {
    for (const std::size_t n : {std::size_t{10}, std::size_t{5000}}) {
        Batch b = Batch::make(n);
        b.qualities[n / 2] = "Good\xff";  // not UTF-8: the server refuses the whole batch
        const auto [ok, rows] = write(*conn, b);
        EXPECT_FALSE(ok) << n;
        EXPECT_EQ(rows, 0u);
        EXPECT_EQ(count(), "0") << n;
        EXPECT_TRUE(chronq::ping(*conn));
        EXPECT_TRUE(write(*conn, Batch::make(n)).first) << n;
        db.query("DELETE FROM chronq.tsdata RETURNING 1");
    }
}

TEST_F(ChronqTsdata, ConcurrentWritersNeitherLoseNorMixRows) {
    constexpr int kBatches = 30;
    std::vector<std::thread> writers;
    std::vector<std::string> errors(3);
    for (int w = 0; w < 3; ++w) {
        writers.emplace_back([&, w] {
            try {
                auto c = chronq::get_conn(db.settings<chronq::ConnSettings>());
                // Writer w owns tag ids w*1000+1 ...; the third writes large batches.
                const std::size_t n = w == 2 ? 3000 : 200;
                for (int i = 0; i < kBatches; ++i) {
                    const auto [ok, rows] =
                        write(*c, Batch::make(n, static_cast<std::int64_t>(w) * 1000 + 1));
                    if (!ok || rows != n) {
                        errors[static_cast<std::size_t>(w)] = "batch refused";
                    }
                }
            } catch (const std::exception& e) {
                errors[static_cast<std::size_t>(w)] = e.what();
            }
        });
    }
    for (auto& t : writers) {
        t.join();
    }
    for (const auto& e : errors) {
        EXPECT_EQ(e, "");
    }
    const auto per_writer = db.query(
        "SELECT tag_id / 1000, count(*), count(DISTINCT tag_id) FROM chronq.tsdata GROUP BY 1 "
        "ORDER BY 1");
    using R = std::vector<std::string>;
    EXPECT_EQ(per_writer, (std::vector<R>{{"0", std::to_string(200 * kBatches), "200"},
                                          {"1", std::to_string(200 * kBatches), "200"},
                                          {"2", std::to_string(3000 * kBatches), "200"}}));
}

TEST_F(ChronqTsdata, PerTagTimeRangeQueriesUseTheIndex) {
    ASSERT_TRUE(write(*conn, Batch::make(10000)).first);
    db.query("ANALYZE chronq.tsdata");
    const auto plan = db.query(
        "EXPLAIN SELECT value FROM chronq.tsdata WHERE tag_id = 7 AND time > now() - "
        "interval '1 hour'");
    std::string text;
    for (const auto& row : plan) {
        text += row[0] + "\n";
    }
    EXPECT_NE(text.find("tsdata_tag_time_idx"), std::string::npos) << text;
}

TEST_F(ChronqTsdata, TimedRowsKeepTheirTimesAndAMarkIsCommittedWithThem) {
    // Microseconds, as the server keeps them; one small and one large (COPY) batch.
    const auto t0 = std::chrono::time_point_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now() - std::chrono::hours(24));
    for (const std::size_t n : {3u, 1500u}) {
        SCOPED_TRACE(n);
        db.query("DELETE FROM chronq.tsdata RETURNING 1");
        const Batch b = Batch::make(n);
        std::vector<chronq::TimePoint> times;
        for (std::size_t i = 0; i < n; ++i) {
            times.push_back(t0 + std::chrono::microseconds(1000 * i + 1));
        }
        EXPECT_EQ(chronq::write_tsdata_at(*conn, times, b.ids, b.values, b.qualities),
                  std::make_pair(true, n));
        const std::string first = db.scalar(
            "SELECT (extract(epoch FROM min(time)) * 1000000)::bigint FROM chronq.tsdata");
        EXPECT_EQ(first, std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(
                                            times[0].time_since_epoch())
                                            .count()));
        EXPECT_EQ(db.scalar("SELECT count(DISTINCT time) FROM chronq.tsdata"), std::to_string(n));
    }

    // With a mark: rows and mark together, and the mark never goes down.
    db.query("DELETE FROM chronq.tsdata RETURNING 1");
    const Batch b = Batch::make(2);
    const std::vector<chronq::TimePoint> times = {t0, t0 + std::chrono::seconds(1)};
    EXPECT_EQ(chronq::write_mark(*conn, "writer-a"), 0);
    const chronq::WriteMark late{"writer-a", 7};
    EXPECT_EQ(chronq::write_tsdata_at(*conn, times, b.ids, b.values, b.qualities, &late),
              std::make_pair(true, std::size_t{2}));
    const chronq::WriteMark early{"writer-a", 5};
    EXPECT_TRUE(chronq::write_tsdata_at(*conn, times, b.ids, b.values, b.qualities, &early).first);
    EXPECT_EQ(chronq::write_mark(*conn, "writer-a"), 7);
    EXPECT_EQ(count(), "4");

    // A refused write leaves the mark where it was: nothing of it is in.
    const std::vector<std::string> bad_quality = {"Good", std::string("\xff\xfe")};
    const chronq::WriteMark refused{"writer-a", 9};
    EXPECT_EQ(chronq::write_tsdata_at(*conn, times, b.ids, b.values, bad_quality, &refused),
              std::make_pair(false, std::size_t{0}));
    EXPECT_EQ(chronq::write_mark(*conn, "writer-a"), 7);
    EXPECT_EQ(count(), "4");
    EXPECT_TRUE(chronq::ping(*conn));
}

// What a caller learns from an error: a write lost on its way back may have landed, one the
// server answered with a SQLSTATE was rolled back, and a refused lookup names its SQLSTATE.
TEST_F(ChronqTsdata, ErrorsSayTheirSqlstateAndWhetherAWriteMayHaveLanded) {
    try {
        chronq::get_tag(*conn, "bad\xff");
        ADD_FAILURE() << "invalid UTF-8 was taken";
    } catch (const chronq::QueryError& e) {
        EXPECT_EQ(e.sqlstate(), "22021");
        EXPECT_FALSE(e.in_doubt());
    }
    try {
        chronq::get_tag(*conn, std::string("a\0b", 3));
        ADD_FAILURE() << "a NUL byte was taken";
    } catch (const chronq::QueryError& e) {
        EXPECT_EQ(e.sqlstate(), "");  // refused before anything was sent
    }

    // Sessions whose insert is already prepared, so that what waits below is the write itself.
    auto quick = db.settings<chronq::ConnSettings>();
    quick.write_timeout_ms = 300;
    quick.lookup_timeout_ms = 300;
    auto waiting = chronq::get_conn(quick);
    auto looking = chronq::get_conn(quick);
    auto ended = chronq::get_conn(db.settings<chronq::ConnSettings>());
    const Batch b = Batch::make(3);
    ASSERT_TRUE(write(*waiting, b).first);
    ASSERT_TRUE(write(*ended, b).first);

    // A write waiting on a lock past its time limit: cancelled, but the cancel may have come
    // after the commit.
    vantrel::test::PgSession holder(db.name());
    holder.exec("BEGIN");
    holder.exec("LOCK TABLE chronq.tsdata, chronq.write_marks IN ACCESS EXCLUSIVE MODE");
    try {
        write(*waiting, b);
        ADD_FAILURE() << "the write did not wait for the lock";
    } catch (const chronq::ConnectionError& e) {
        EXPECT_TRUE(e.in_doubt()) << e.what();
        EXPECT_EQ(e.sqlstate(), "") << e.what();
    }
    // A lookup cut off the same way changed nothing.
    try {
        chronq::write_mark(*looking, "w");
        ADD_FAILURE() << "the lookup did not wait for the lock";
    } catch (const chronq::ConnectionError& e) {
        EXPECT_FALSE(e.in_doubt()) << e.what();
    }

    // The server ends the waiting write itself: its answer says it was rolled back.
    std::thread writer([&] {
        try {
            write(*ended, b);
            ADD_FAILURE() << "the write outlived its server process";
        } catch (const chronq::ConnectionError& e) {
            EXPECT_FALSE(e.in_doubt()) << e.what();
            EXPECT_EQ(e.sqlstate(), "57P01") << e.what();
        }
    });
    const std::string waiting_pid =
        "SELECT pid FROM pg_stat_activity WHERE wait_event_type = 'Lock' AND datname = "
        "current_database() AND query LIKE '%chronq.tsdata%'";
    std::string pid;
    for (int i = 0; i < 200 && pid.empty(); ++i) {
        const auto rows = holder.rows(waiting_pid);
        if (!rows.empty()) {
            pid = rows[0][0];
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    EXPECT_FALSE(pid.empty()) << "the write never waited on the lock";
    if (!pid.empty()) {
        holder.rows("SELECT pg_terminate_backend($1::int)", {pid});
    }
    writer.join();
    holder.exec("ROLLBACK");
    EXPECT_EQ(count(), "6");  // the two writes before the lock, nothing of those after it
}
