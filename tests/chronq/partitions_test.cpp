// The time series by day: partitions made ahead and on demand, the views dashboards read, the
// conversion of a database made with one plain table, and retention.
#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "chronq/chronq.h"
#include "pg_session.h"

using chronq::TimePoint;
using chronq::TsValue;
using vantrel::test::PgRows;
using vantrel::test::ScratchDatabase;
using namespace std::chrono_literals;

namespace {

// Rows of `tags` tags (ids from 1) every `step` from `from`, values id * 1000 + index.
struct Rows {
    std::vector<TimePoint> times;
    std::vector<std::int64_t> ids;
    std::vector<TsValue> values;
    std::vector<std::string> qualities;

    static Rows make(TimePoint from, std::size_t count, std::chrono::seconds step,
                     std::int64_t tags = 1) {
        Rows r;
        for (std::size_t i = 0; i < count; ++i) {
            const std::int64_t id = 1 + static_cast<std::int64_t>(i) % tags;
            r.times.push_back(from + step * static_cast<std::int64_t>(i));
            r.ids.push_back(id);
            r.values.emplace_back(static_cast<double>(id * 1000 + static_cast<std::int64_t>(i)));
            r.qualities.emplace_back("Good");
        }
        return r;
    }
    void append(const Rows& o) {
        times.insert(times.end(), o.times.begin(), o.times.end());
        ids.insert(ids.end(), o.ids.begin(), o.ids.end());
        values.insert(values.end(), o.values.begin(), o.values.end());
        qualities.insert(qualities.end(), o.qualities.begin(), o.qualities.end());
    }
};

std::pair<bool, std::size_t> write(chronq::Connection& c, const Rows& r,
                                   const chronq::WriteMark* mark = nullptr) {
    return chronq::write_tsdata_at(c, r.times, r.ids, r.values, r.qualities, mark);
}

TimePoint utc(int y, unsigned m, unsigned d, int hour = 0) {
    return std::chrono::sys_days{std::chrono::year{y} / m / d} + std::chrono::hours{hour};
}

TimePoint today_utc() {
    return std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now());
}

// Rows that sit in a partition whose range does not hold their time; 0 when every row is where
// its day belongs.
const char* kMisplaced =
    "SELECT count(*) FROM chronq.tsdata d JOIN chronq.tsdata_partitions p "
    "ON p.name = d.tableoid::regclass::text WHERE NOT (d.time >= p.from_time AND "
    "d.time < p.to_time)";

// The schema as the version before the partitions made it: one plain time-series table.
const char* kPlainSchema = R"SQL(
CREATE SCHEMA chronq;
CREATE TABLE chronq.sources (
    source_id bigserial PRIMARY KEY, source_name text NOT NULL, endpoint text NOT NULL,
    status text NOT NULL CHECK (status IN ('ACTIVE', 'INACTIVE')),
    protocol text NOT NULL CHECK (protocol IN ('OPC_DA', 'OPC_UA')),
    source_type text NOT NULL DEFAULT '', interval_msec integer NOT NULL,
    description json NOT NULL DEFAULT '{}' CHECK (json_typeof(description) = 'object'),
    created_at timestamptz NOT NULL DEFAULT now(), updated_at timestamptz NOT NULL DEFAULT now());
CREATE INDEX sources_name_idx ON chronq.sources (source_name);
CREATE TABLE chronq.tags (
    tag_id bigserial PRIMARY KEY, tag_name text NOT NULL UNIQUE,
    description json NOT NULL DEFAULT '{}' CHECK (json_typeof(description) = 'object'),
    source_id bigint REFERENCES chronq.sources (source_id) ON DELETE SET NULL,
    source_tagname text NOT NULL DEFAULT '',
    created_at timestamptz NOT NULL DEFAULT now(), updated_at timestamptz NOT NULL DEFAULT now());
CREATE TABLE chronq.tsdata (
    time timestamptz NOT NULL DEFAULT now(), tag_id bigint NOT NULL,
    value double precision, quality text NOT NULL);
CREATE INDEX tsdata_tag_time_idx ON chronq.tsdata (tag_id, time);
CREATE TABLE chronq.write_marks (
    writer text PRIMARY KEY, seq bigint NOT NULL, updated_at timestamptz NOT NULL DEFAULT now());
)SQL";

// Two tags of one source, by name.
void register_two_tags(const ScratchDatabase& db) {
    db.query(
        "INSERT INTO chronq.sources (source_name, endpoint, status, protocol, interval_msec) "
        "VALUES ('Line 1', 'opc.tcp://plc:4840', 'ACTIVE', 'OPC_UA', 1000) RETURNING 1");
    db.query(
        "INSERT INTO chronq.tags (tag_id, tag_name, source_id) VALUES "
        "(1, 'Boiler.Temp', 1), (2, 'Boiler.Pressure', 1) RETURNING 1");
}

}  // namespace

TEST(ChronqPartitions, ConnectMakesTodayAndTheNextTwoDaysAndWritesOnAnyDayLandInTheirDay) {
    ScratchDatabase db{"chronq_t"};
    auto conn = chronq::get_conn(db.settings<chronq::ConnSettings>());
    EXPECT_EQ(db.scalar("SELECT relkind FROM pg_class WHERE oid = 'chronq.tsdata'::regclass"), "p");
    EXPECT_EQ(db.scalar("SELECT string_agg(to_char(from_time AT TIME ZONE 'UTC', 'YYYY-MM-DD') "
                        "|| '+' || (to_time - from_time)::text, ',' ORDER BY from_time) "
                        "FROM chronq.tsdata_partitions"),
              db.scalar("SELECT string_agg(to_char(d, 'YYYY-MM-DD') || '+1 day', ',' ORDER BY d) "
                        "FROM generate_series((now() AT TIME ZONE 'UTC')::date, "
                        "(now() AT TIME ZONE 'UTC')::date + 2, '1 day') d"));

    // A backlog of an old day, a clock set back years, source times of the day after the
    // ahead window, and one batch spanning three days: by array insert, by COPY, with a mark.
    const Rows old_day = Rows::make(utc(2021, 3, 14, 23), 10, 1s);
    const Rows set_back = Rows::make(utc(2003, 1, 1), 1200, 1s, 50);
    Rows spanning = Rows::make(today_utc() + std::chrono::days{5} - 1s, 3, 1s);
    spanning.append(Rows::make(utc(2021, 3, 14, 1), 2, 1s));
    EXPECT_EQ(write(*conn, old_day), std::make_pair(true, std::size_t{10}));
    EXPECT_EQ(write(*conn, set_back), std::make_pair(true, std::size_t{1200}));
    const chronq::WriteMark mark{"collector-a", 7};
    EXPECT_EQ(write(*conn, spanning, &mark), std::make_pair(true, std::size_t{5}));
    EXPECT_EQ(chronq::write_mark(*conn, "collector-a"), 7);
    // Stamped by the server: today's partition.
    const Rows now_rows = Rows::make(today_utc(), 4, 1s);
    EXPECT_EQ(chronq::write_tsdata(*conn, now_rows.ids, now_rows.values, now_rows.qualities),
              std::make_pair(true, std::size_t{4}));

    EXPECT_EQ(db.scalar("SELECT count(*) FROM chronq.tsdata"), "1219");
    EXPECT_EQ(db.scalar(kMisplaced), "0");
    // One partition per day, no catch-all: 3 ahead, 2021-03-14, 2003-01-01, today+5, today+4.
    EXPECT_EQ(db.scalar("SELECT count(*) FROM chronq.tsdata_partitions WHERE to_time - from_time "
                        "= interval '1 day'"),
              "7");
    EXPECT_EQ(db.scalar("SELECT count(*) FROM chronq.tsdata_partitions"), "7");
    // The partitions stay out of chronq's own schema.
    EXPECT_EQ(db.scalar("SELECT count(*) FROM pg_tables WHERE schemaname = 'chronq'"), "4");

    // A later connection finds everything in place and adds nothing.
    auto again = chronq::get_conn(db.settings<chronq::ConnSettings>());
    EXPECT_EQ(db.scalar("SELECT count(*) FROM chronq.tsdata_partitions"), "7");
}

TEST(ChronqPartitions, CollectorsAddingTheSameDayAtOnceTakeTurns) {
    ScratchDatabase db{"chronq_t"};
    constexpr int kWriters = 4;
    std::vector<std::thread> threads;
    std::vector<std::string> errors(kWriters);
    std::vector<std::size_t> written(kWriters);
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            try {
                auto c = chronq::get_conn(db.settings<chronq::ConnSettings>());
                // Every writer meets the same three missing days, in a different order.
                for (int i = 0; i < 3; ++i) {
                    const int day = 1 + (i + w) % 3;
                    const auto r = write(*c, Rows::make(utc(2019, 6, static_cast<unsigned>(day)),
                                                        w % 2 == 0 ? 20 : 1500, 1s, 10));
                    written[static_cast<std::size_t>(w)] += r.second;
                }
            } catch (const std::exception& e) {
                errors[static_cast<std::size_t>(w)] = e.what();
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (int w = 0; w < kWriters; ++w) {
        EXPECT_EQ(errors[static_cast<std::size_t>(w)], "");
        EXPECT_EQ(written[static_cast<std::size_t>(w)], w % 2 == 0 ? 60u : 4500u);
    }
    EXPECT_EQ(db.scalar("SELECT count(*) FROM chronq.tsdata_partitions WHERE from_time < "
                        "'2019-06-04 00:00:00+00' AND to_time > '2019-06-01 00:00:00+00'"),
              "3");
    EXPECT_EQ(db.scalar("SELECT count(*) FROM chronq.tsdata"), "9120");
    EXPECT_EQ(db.scalar(kMisplaced), "0");
}

// The queries the README shows a dashboard user, run as they are written there.
TEST(ChronqViews, SamplesByTagAndSourceNameAndEachTagsLatest) {
    ScratchDatabase db{"chronq_t"};
    auto conn = chronq::get_conn(db.settings<chronq::ConnSettings>());
    register_two_tags(db);
    // Two tags, each every 2 s, over the 20 minutes before this minute, and five earlier-written
    // rows of tag 1 at the first seconds; tag 3 has no name and stays out of the views.
    const TimePoint from =
        std::chrono::floor<std::chrono::minutes>(std::chrono::system_clock::now()) - 20min;
    ASSERT_TRUE(write(*conn, Rows::make(from, 1200, 1s, 2)).first);
    ASSERT_TRUE(write(*conn, Rows::make(from, 5, 1s, 1)).first);
    db.query(
        "INSERT INTO chronq.tsdata (time, tag_id, value, quality) VALUES (now(), 3, 1, "
        "'Good') RETURNING 1");

    // The last hour of one tag.
    const PgRows hour = db.query(
        "SELECT time, value FROM chronq.samples "
        "WHERE tag = 'Boiler.Temp' AND time > now() - interval '1 hour' ORDER BY time");
    ASSERT_EQ(hour.size(), 605u);
    EXPECT_EQ(hour.back()[1], "2198");
    EXPECT_EQ(db.query("SELECT DISTINCT source, quality FROM chronq.samples"),
              (PgRows{{"Line 1", "Good"}}));
    // Several tags as series: a time column, the series name, a value.
    const PgRows series = db.query(
        "SELECT time, tag AS metric, value FROM chronq.samples "
        "WHERE tag IN ('Boiler.Temp', 'Boiler.Pressure') AND time > now() - interval '1 hour' "
        "ORDER BY time");
    ASSERT_EQ(series.size(), 1205u);
    EXPECT_EQ(series.front()[1], "Boiler.Temp");
    EXPECT_EQ(series.back()[1], "Boiler.Pressure");
    // One-minute buckets.
    const PgRows buckets = db.query(
        "SELECT date_bin('1 minute', time, TIMESTAMPTZ '2000-01-01') AS time, avg(value), "
        "count(*) FROM chronq.samples "
        "WHERE tag = 'Boiler.Pressure' AND time > now() - interval '6 hours' "
        "GROUP BY 1 ORDER BY 1");
    ASSERT_EQ(buckets.size(), 20u);
    EXPECT_EQ(buckets[0][1], "2030");  // 2001, 2003, ... 2059
    EXPECT_EQ(buckets[0][2], "30");
    EXPECT_EQ(buckets[19][1], "3170");
    // Each tag's newest sample.
    EXPECT_EQ(db.query("SELECT tag, value, quality, source FROM chronq.latest ORDER BY tag"),
              (PgRows{{"Boiler.Pressure", "3199", "Good", "Line 1"},
                      {"Boiler.Temp", "2198", "Good", "Line 1"}}));
    EXPECT_EQ(db.scalar("SELECT time = (SELECT max(time) FROM chronq.tsdata WHERE tag_id = 2) "
                        "FROM chronq.latest WHERE tag = 'Boiler.Pressure'"),
              "t");
}

TEST(ChronqViews, ReadSamplesGivesRowsOrMinuteBucketsWhereOnlyGoodNumbersCount) {
    ScratchDatabase db{"chronq_t"};
    auto conn = chronq::get_conn(db.settings<chronq::ConnSettings>());
    register_two_tags(db);
    const TimePoint minute =
        std::chrono::floor<std::chrono::minutes>(std::chrono::system_clock::now()) - 10min;
    const auto at = [&](int s) { return minute + std::chrono::seconds(s); };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // Minute 0: 1, 3 and a Bad 500; minute 1: Bad and a Good NaN only; minute 2: text, no number.
    ASSERT_TRUE(chronq::write_tsdata_at(
                    *conn,
                    std::vector<TimePoint>{at(0), at(20), at(40), at(60), at(70), at(120), at(5)},
                    std::vector<std::int64_t>{1, 1, 1, 1, 1, 1, 2},
                    std::vector<TsValue>{1.0, 3.0, 500.0, 7.0, nan, std::string("on"), 9.0},
                    std::vector<std::string>{"Good", "Good", "Bad", "Bad", "Good", "Good", "Good"})
                    .first);

    const auto raw = chronq::read_samples(*conn, {"Boiler.Temp"}, at(0), at(61));
    ASSERT_EQ(raw.size(), 4u) << "from is included, to is not";
    EXPECT_EQ(raw[0].tag, "Boiler.Temp");
    EXPECT_EQ(raw[0].time, at(0));
    EXPECT_EQ(raw[2].value, 500.0);
    EXPECT_EQ(raw[2].quality, "Bad");
    EXPECT_EQ(raw[3].time, at(60));

    const auto buckets =
        chronq::read_samples(*conn, {"Boiler.Temp", "Boiler.Pressure"}, minute - 1h, at(180), 60s);
    ASSERT_EQ(buckets.size(), 4u);
    EXPECT_EQ(buckets[0].tag, "Boiler.Pressure") << "by tag, then time";
    EXPECT_EQ(buckets[0].value, 9.0);
    EXPECT_EQ(buckets[1].time, minute);
    EXPECT_EQ(buckets[1].value, 2.0) << "the Bad 500 is not averaged in";
    EXPECT_EQ(buckets[1].quality, "Good");
    EXPECT_EQ(buckets[2].value, std::nullopt) << "no Good number in the minute: no value";
    EXPECT_EQ(buckets[2].quality, "Bad") << "the newest quality that is not Good";
    EXPECT_EQ(buckets[3].value, std::nullopt) << "text has no number to draw";
    EXPECT_EQ(buckets[3].quality, "Good");
    EXPECT_TRUE(chronq::read_samples(*conn, {"No.Such"}, minute - 1h, at(180)).empty());
    EXPECT_TRUE(chronq::read_samples(*conn, {}, minute - 1h, at(180)).empty());
}

TEST(ChronqUpgrade, APlainTableBecomesTheFirstPartitionWithEveryRowAndMark) {
    ScratchDatabase db{"chronq_t"};
    vantrel::test::PgSession(db.name()).exec(kPlainSchema);
    register_two_tags(db);
    // Three days of rows up to now, one row a day ahead (a source clock running fast), and the
    // marks two writers committed with them.
    db.query(
        "INSERT INTO chronq.tsdata (time, tag_id, value, quality) "
        "SELECT now() - n * interval '1 minute', 1 + n % 2, n * 0.5, "
        "CASE WHEN n % 7 = 0 THEN 'Bad' ELSE 'Good' END FROM generate_series(0, 4319) n "
        "UNION ALL SELECT now() + interval '1 day', 1, -1, 'Good' RETURNING 1");
    db.query(
        "INSERT INTO chronq.write_marks (writer, seq) VALUES ('collector-a', 41), "
        "('collector-b', 9) RETURNING 1");
    const std::string sums =
        "SELECT count(*), sum(value), sum(tag_id), count(*) FILTER (WHERE quality = 'Bad'), "
        "min(time), max(time) FROM chronq.tsdata";
    const PgRows before = db.query(sums);

    // Two collectors of the new version connect at once: one converts, the other waits.
    std::vector<std::unique_ptr<chronq::Connection>> conns(2);
    std::vector<std::string> errors(2);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < 2; ++i) {
        threads.emplace_back([&, i] {
            try {
                conns[i] = chronq::get_conn(db.settings<chronq::ConnSettings>());
            } catch (const std::exception& e) {
                errors[i] = e.what();
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    ASSERT_EQ(errors, (std::vector<std::string>{"", ""}));
    auto& conn = *conns[0];

    EXPECT_EQ(db.scalar("SELECT relkind FROM pg_class WHERE oid = 'chronq.tsdata'::regclass"), "p");
    EXPECT_EQ(db.query(sums), before);
    EXPECT_EQ(db.scalar(kMisplaced), "0");
    EXPECT_EQ(chronq::write_mark(conn, "collector-a"), 41);
    EXPECT_EQ(chronq::write_mark(conn, "collector-b"), 9);
    // The old rows read through the views, and keep their index.
    EXPECT_EQ(db.scalar("SELECT count(*) FROM chronq.samples WHERE tag = 'Boiler.Temp'"), "2161");
    EXPECT_EQ(db.scalar("SELECT value FROM chronq.latest WHERE tag = 'Boiler.Temp'"), "-1");
    EXPECT_EQ(db.scalar("SELECT count(*) FROM pg_indexes WHERE schemaname = 'chronq_partitions' "
                        "AND indexdef LIKE '%(tag_id, \"time\")%'"),
              db.scalar("SELECT count(*) FROM chronq.tsdata_partitions"));
    // The old table holds everything before the day after its newest row; the next days follow.
    EXPECT_EQ(db.scalar("SELECT from_time = '-infinity' AND to_time = ((((now() + interval '1 day')"
                        " AT TIME ZONE 'UTC')::date + 1)::timestamp AT TIME ZONE 'UTC') FROM "
                        "chronq.tsdata_partitions ORDER BY from_time LIMIT 1"),
              "t");

    // Writing goes on: a marked write today, a day long before the old rows, the day after.
    const chronq::WriteMark mark{"collector-a", 42};
    EXPECT_EQ(write(conn, Rows::make(std::chrono::system_clock::now(), 3, 1s), &mark),
              std::make_pair(true, std::size_t{3}));
    EXPECT_EQ(write(*conns[1], Rows::make(utc(2001, 9, 1), 2, 1s)),
              std::make_pair(true, std::size_t{2}));
    EXPECT_EQ(write(conn, Rows::make(today_utc() + std::chrono::days{2} + 1h, 2, 1s)),
              std::make_pair(true, std::size_t{2}));
    EXPECT_EQ(chronq::write_mark(conn, "collector-a"), 42);
    EXPECT_EQ(db.scalar("SELECT count(*) FROM chronq.tsdata"), "4328");
    EXPECT_EQ(db.scalar(kMisplaced), "0");
}

TEST(ChronqRetention, DropsWhollyOlderDaysWithTheirCountsAndKeepsTheRest) {
    ScratchDatabase db{"chronq_t"};
    auto conn = chronq::get_conn(db.settings<chronq::ConnSettings>());
    const TimePoint today = today_utc();
    for (const int back : {10, 5, 2, 1}) {
        ASSERT_TRUE(write(*conn, Rows::make(today - std::chrono::days{back} + 1h,
                                            static_cast<std::size_t>(back) * 3, 1s))
                        .first);
    }
    ASSERT_TRUE(write(*conn, Rows::make(today, 7, 1s)).first);

    EXPECT_TRUE(chronq::drop_partitions_older_than(*conn, 0).empty());
    EXPECT_TRUE(chronq::drop_partitions_older_than(*conn, -3).empty());
    EXPECT_EQ(db.scalar("SELECT count(*) FROM chronq.tsdata"), "61");

    // Keep three days: the days 10 and 5 back end before now minus three days; the day 2 back
    // ends a day later, so it stays, as do yesterday, today and the days ahead.
    const auto dropped = chronq::drop_partitions_older_than(*conn, 3);
    ASSERT_EQ(dropped.size(), 2u);
    const auto day = [&](int back) {
        return db.scalar("SELECT ((now() AT TIME ZONE 'UTC')::date - " + std::to_string(back) +
                         ")::text");
    };
    EXPECT_EQ(dropped[0].first_day, day(10));
    EXPECT_EQ(dropped[0].last_day, day(10));
    EXPECT_EQ(dropped[0].rows, 30);
    EXPECT_FALSE(dropped[0].estimated);
    EXPECT_EQ(dropped[1].last_day, day(5));
    EXPECT_EQ(dropped[1].rows, 15);
    EXPECT_EQ(db.scalar("SELECT count(*) FROM chronq.tsdata"), "16");
    EXPECT_EQ(db.scalar("SELECT count(*) FROM chronq.tsdata_partitions"), "5");

    // Keeping one day still never drops the partition being written.
    EXPECT_EQ(chronq::drop_partitions_older_than(*conn, 1).size(), 1u);
    EXPECT_EQ(db.scalar("SELECT count(*) FROM chronq.tsdata"), "10");
    EXPECT_EQ(db.scalar("SELECT count(*) FROM chronq.tsdata_partitions WHERE from_time <= now() "
                        "AND to_time > now()"),
              "1");
    // A day dropped and then written again comes back.
    EXPECT_EQ(write(*conn, Rows::make(today - std::chrono::days{10}, 2, 1s)),
              std::make_pair(true, std::size_t{2}));
}
