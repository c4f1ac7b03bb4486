// The trend: its model (ranges, the history query, lines and gaps), its history reader against
// the fake client, and the chart in the window, driven by selection, keyboard and cycles.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

#include <QAccessible>
#include <QComboBox>
#include <QItemSelectionModel>
#include <QLabel>
#include <QTableView>
#include <QTest>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>

#include <gtest/gtest.h>

#include "vantrel/trend_chart.h"
#include "vantrel/trend_loader.h"
#include "vantrel/trend_model.h"
#include "window_rig.h"

namespace vantrel_test {
namespace {

namespace korrin = vantrel::korrin;
using vantrel::desktop::TrendAnswer;
using vantrel::desktop::TrendChart;
using vantrel::desktop::TrendLoader;
using vantrel::desktop::TrendModel;
using vantrel::desktop::TrendRange;
using vantrel::desktop::TrendSeries;
using Clock = std::chrono::system_clock;
using std::chrono::hours;
using std::chrono::minutes;
using std::chrono::seconds;

const Clock::time_point kNow = Clock::time_point(hours(24 * 20000));

korrin::StoredSample stored(const std::string& tag, Clock::time_point t,
                            std::optional<double> value, const std::string& quality = "Good") {
    return {.tag = tag, .time = t, .value = value, .quality = quality};
}

korrin::Sample live(const std::string& tag, korrin::Value value, Clock::time_point t,
                    const std::string& quality = "Good") {
    korrin::Sample s{tag, std::move(value), quality, {}};
    s.read_time = t;
    return s;
}

std::vector<std::vector<double>> values_of(const TrendSeries& line) {
    std::vector<std::vector<double>> out;
    for (const auto& segment : line.segments) {
        out.emplace_back();
        for (const auto& p : segment) {
            out.back().push_back(p.value);
        }
    }
    return out;
}

TEST(TrendModelTest, RangesReadEverySampleUpToAnHourAndMinuteBucketsBeyond) {
    TrendModel model;
    model.select({"A", "B", "A"});
    EXPECT_EQ(model.tags(), (std::vector<std::string>{"A", "B"})) << "a tag is drawn once";
    const struct {
        TrendRange range;
        Clock::duration span;
        seconds bucket;
    } cases[] = {{TrendRange::minutes_10, minutes(10), seconds(0)},
                 {TrendRange::hour_1, hours(1), seconds(0)},
                 {TrendRange::hours_8, hours(8), seconds(60)},
                 {TrendRange::hours_24, hours(24), seconds(60)}};
    std::uint64_t generation = model.generation();
    for (const auto& c : cases) {
        const auto next = model.set_range(c.range);
        EXPECT_GT(next, generation) << "a new range needs a new read";
        generation = next;
        const auto query = model.history_query(kNow);
        EXPECT_EQ(query.tags, model.tags());
        EXPECT_EQ(query.from, kNow - c.span);
        EXPECT_GT(query.to, kNow) << "a sample stamped now is included";
        EXPECT_LE(query.to, kNow + seconds(1));
        EXPECT_EQ(query.bucket, c.bucket);
        EXPECT_TRUE(model.loading());
    }
    EXPECT_EQ(vantrel::desktop::trend_ranges().front().range, TrendRange::minutes_10)
        << "a selection starts with the last 10 minutes";
}

TEST(TrendModelTest, WhatIsNotAGoodNumberBreaksTheLineAndOnlyBadQualityIsMarked) {
    TrendModel model;
    const auto generation = model.select({"A"});
    const auto t = [](int s) { return kNow - minutes(5) + seconds(s); };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    ASSERT_TRUE(model.add_history(
        generation, {stored("A", t(0), 1), stored("A", t(1), 2), stored("A", t(2), 99, "Bad"),
                     stored("A", t(3), 4), stored("A", t(4), nan), stored("A", t(5), 6),
                     stored("A", t(6), std::nullopt), stored("A", t(7), 8, "Uncertain"),
                     stored("A", t(8), 9), stored("B", t(8), 500)}));
    EXPECT_FALSE(model.loading());
    const auto lines = model.series();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(values_of(lines[0]), (std::vector<std::vector<double>>{{1, 2}, {4}, {6}, {9}}))
        << "no bad, uncertain, NaN or missing value is drawn, nor a tag not selected";
    EXPECT_EQ(lines[0].not_good, (std::vector<Clock::time_point>{t(2), t(7)}));
    EXPECT_EQ(lines[0].last_value, 9);
    EXPECT_EQ(lines[0].last_quality, "Good");
}

TEST(TrendModelTest, HistoryOfAnEarlierSelectionIsDroppedAndLiveSamplesStayTheNewerWord) {
    TrendModel model;
    const auto first = model.select({"A"});
    const auto second = model.select({"A", "B"});
    model.add_cycle({live("A", 7.0, kNow), live("C", 1.0, kNow)}, kNow);
    EXPECT_FALSE(model.add_history(first, {stored("A", kNow - minutes(1), 1000)}));
    EXPECT_TRUE(model.loading()) << "still waiting for the second selection's history";
    ASSERT_TRUE(model.add_history(
        second, {stored("A", kNow - minutes(2), 1), stored("A", kNow, 2), stored("B", kNow, 3)}));
    const auto lines = model.series();
    EXPECT_EQ(values_of(lines[0]), (std::vector<std::vector<double>>{{1, 7}}))
        << "the stored copy of a live sample is not drawn twice";
    EXPECT_EQ(values_of(lines[1]), (std::vector<std::vector<double>>{{3}}));

    EXPECT_FALSE(model.history_failed(first, "late"));
    model.select({"A"});
    EXPECT_TRUE(model.history_failed(model.generation(), "connection refused"));
    EXPECT_EQ(model.error(), "connection refused");
    EXPECT_FALSE(model.loading());
}

TEST(TrendModelTest, CyclesAppendInTimeOrderAndTheRangeTrimsTheOldest) {
    TrendModel model;
    model.select({"A"});
    korrin::Sample stamped{"A", std::int64_t{5}, "Good", kNow - seconds(30)};
    const auto before = model.revision();
    model.add_cycle({live("A", 1.0, kNow - minutes(20)), live("A", true, kNow - minutes(3)),
                     stamped, live("A", 2.5, kNow - minutes(4)), live("B", 9.0, kNow)},
                    kNow);
    korrin::Sample unstamped{"A", 6.0, "Good", {}};
    model.add_cycle({unstamped}, kNow);
    EXPECT_GT(model.revision(), before);
    EXPECT_EQ(values_of(model.series()[0]), (std::vector<std::vector<double>>{{1}, {1, 5, 6}}))
        << "a sample older than the newest point is dropped, and 17 minutes without a sample "
           "are a gap, not a line";
    EXPECT_EQ(model.series()[0].segments.back().back().time, kNow) << "no time at all: now";
    model.trim(kNow);
    EXPECT_EQ(values_of(model.series()[0]), (std::vector<std::vector<double>>{{1, 5, 6}}));
    const auto trimmed = model.revision();
    model.trim(kNow);
    EXPECT_EQ(model.revision(), trimmed) << "nothing to trim, nothing to redraw";
}

TEST(TrendModelTest, ItsNameAndDescriptionSayWhatIsShown) {
    TrendModel model;
    EXPECT_EQ(model.accessible_name(), "Trend: no tag selected");
    model.select({"Boiler.Temp", "锅炉压力"});
    EXPECT_EQ(model.accessible_name(), "Trend: Boiler.Temp, 锅炉压力");
    model.add_history(model.generation(), {stored("Boiler.Temp", kNow, 12.5),
                                           stored("锅炉压力", kNow, std::nullopt, "Bad")});
    EXPECT_EQ(model.accessible_description(),
              "Last 10 minutes. Boiler.Temp: 12.5. 锅炉压力: no value (Bad).");
    model.set_range(TrendRange::hours_8);
    EXPECT_EQ(model.accessible_description(),
              "Last 8 hours, loading history. Boiler.Temp: no samples. 锅炉压力: no samples.");
}

// The reader, against the fake client.
struct TrendLoaderTest : ::testing::Test {
    std::shared_ptr<fakes::FakeTsdbClient> db = std::make_shared<fakes::FakeTsdbClient>();
    korrin::TsdbConfig cfg{.host = "dbhost", .dbname = "plant"};

    korrin::HistoryQuery query(const std::string& tag) const {
        return {.tags = {tag}, .from = kNow - hours(1), .to = kNow, .bucket = seconds(0)};
    }
    static std::vector<TrendAnswer> answers(TrendLoader& loader) {
        std::vector<TrendAnswer> out;
        process_until([&] {
            for (auto& a : loader.take()) {
                out.push_back(std::move(a));
            }
            return !loader.busy();
        });
        return out;
    }
};

TEST_F(TrendLoaderTest, ReadsOnAThreadOfItsOwnOverAConnectionOfItsOwn) {
    db->history = {stored("A", kNow - minutes(1), 1.5), stored("B", kNow - minutes(1), 2)};
    TrendLoader loader(db);
    loader.request(4, cfg, query("A"));
    const auto got = answers(loader);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].generation, 4u);
    EXPECT_EQ(got[0].error, "");
    ASSERT_EQ(got[0].samples.size(), 1u);
    EXPECT_EQ(got[0].samples[0].value, 1.5);
    db->locked([&] {
        ASSERT_EQ(db->history_threads.size(), 1u);
        EXPECT_NE(db->history_threads[0], std::this_thread::get_id());
        EXPECT_EQ(db->history_queries[0], query("A"));
        ASSERT_EQ(db->configs.size(), 1u);
        EXPECT_EQ(db->configs[0].dbname, "plant");
        EXPECT_GE(db->configs[0].lookup_timeout, cfg.lookup_timeout);
    });

    loader.request(5, cfg, query("B"));
    EXPECT_EQ(answers(loader).at(0).samples.at(0).tag, "B");
    EXPECT_EQ(db->locked([&] { return db->opened; }), 1) << "the connection is kept";
    korrin::TsdbConfig other = cfg;
    other.dbname = "other";
    loader.request(6, other, query("B"));
    answers(loader);
    db->locked([&] {
        EXPECT_EQ(db->opened, 2);
        EXPECT_EQ(db->closed, 1) << "another database: the old connection is closed first";
    });
}

TEST_F(TrendLoaderTest, TheNewestRequestReplacesWaitingOnesAndClosingCancelsTheRead) {
    db->block_history = true;
    auto loader = std::make_unique<TrendLoader>(db);
    loader->request(1, cfg, query("A"));
    ASSERT_TRUE(db->wait_until([&] { return db->history_queries.size() == 1; }));
    loader->request(2, cfg, query("B"));
    loader->request(3, cfg, query("C"));
    db->locked([&] { db->block_history = false; });
    db->history_gate.notify_all();
    const auto got = answers(*loader);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].generation, 1u);
    EXPECT_EQ(got[1].generation, 3u) << "the request overtaken while waiting is never read";

    db->locked([&] { db->block_history = true; });
    loader->request(4, cfg, query("A"));
    ASSERT_TRUE(db->wait_until([&] { return db->history_queries.size() == 3; }));
    loader.reset();  // returns only once the read is cancelled and the thread gone
    EXPECT_EQ(db->locked([&] { return db->closed; }), db->locked([&] { return db->opened; }));
}

TEST_F(TrendLoaderTest, AFailedReadGivesItsReasonAndTheNextOneConnectsAgain) {
    db->history_error = "server closed the connection unexpectedly";
    TrendLoader loader(db);
    loader.request(1, cfg, query("A"));
    const auto failed = answers(loader);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].error, "server closed the connection unexpectedly");
    db->locked([&] { db->history_error.reset(); });
    loader.request(2, cfg, query("A"));
    EXPECT_EQ(answers(loader).at(0).error, "");
    EXPECT_EQ(db->locked([&] { return db->opened; }), 2);
}

// The chart in the window.
struct TrendInTheWindow : ::testing::Test {
    WindowRig rig;
    std::unique_ptr<MainWidget> w;
    TrendChart* chart = nullptr;
    QTableView* table = nullptr;

    void SetUp() override {
        rig.write_config();
        w = rig.make();
        chart = w->findChild<TrendChart*>("trend_chart");
        ASSERT_NE(chart, nullptr);
        table = parts_of(*w).paginated_table->table;
        parts_of(*w).paginated_table->set_data(
            {{1, "A", "", "", ""}, {2, "B", "", "", ""}, {3, "C", "", "", ""}});
    }
    QString name() const { return chart->view()->accessibleName(); }
    void select_rows(std::initializer_list<int> rows) {
        table->clearSelection();
        for (int row : rows) {
            table->selectionModel()->select(
                table->model()->index(row, 0),
                QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }
    bool settled() const { return !chart->model().loading(); }
    std::size_t points(const std::string& tag) const {
        std::size_t n = 0;
        for (auto* line : chart->lines_of(tag)) {
            n += static_cast<std::size_t>(line->count());
        }
        return n;
    }
};

TEST_F(TrendInTheWindow, SelectingRowsShowsTheirHistoryThenEachNewValue) {
    EXPECT_EQ(name(), "Trend: no tag selected");
    rig.db->history = {stored("A", Clock::now() - minutes(2), 3),
                       stored("A", Clock::now() - minutes(1), 4)};
    select_rows({0});
    EXPECT_EQ(name(), "Trend: A");
    ASSERT_TRUE(process_until([&] { return settled(); }));
    EXPECT_EQ(points("A"), 2u);
    rig.db->locked([&] {
        ASSERT_EQ(rig.db->history_queries.size(), 1u);
        const auto& q = rig.db->history_queries[0];
        EXPECT_EQ(q.tags, (std::vector<std::string>{"A"}));
        EXPECT_EQ(q.bucket, seconds(0));
        EXPECT_EQ(std::chrono::duration_cast<minutes>(q.to - q.from + seconds(30)), minutes(10));
        EXPECT_EQ(rig.db->history_threads[0] == std::this_thread::get_id(), false);
    });

    rig.queue->push({live("A", 5.0, Clock::now()), live("B", 6.0, Clock::now())});
    w->process_queue();
    EXPECT_EQ(points("A"), 3u) << "the refresh appends the new value";
    EXPECT_TRUE(chart->lines_of("B").empty());
    EXPECT_EQ(parts_of(*w).paginated_table->all_data[0][3].toDouble(), 5.0);

    select_rows({0, 2});
    EXPECT_EQ(name(), "Trend: A, C");
    auto* accessible = QAccessible::queryAccessibleInterface(chart->view());
    ASSERT_NE(accessible, nullptr);
    EXPECT_EQ(accessible->role(), QAccessible::Chart);
    EXPECT_EQ(accessible->text(QAccessible::Name), "Trend: A, C");
}

TEST_F(TrendInTheWindow, TheKeyboardMovesTheTrendWithTheSelection) {
    w->show();
    table->setFocus();
    table->setCurrentIndex(table->model()->index(0, 1));
    EXPECT_EQ(name(), "Trend: A");
    QTest::keyClick(table, Qt::Key_Down);
    EXPECT_EQ(name(), "Trend: B");
    QTest::keyClick(table, Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_EQ(name(), "Trend: B, C");
    ASSERT_TRUE(process_until([&] { return settled(); }));
    EXPECT_EQ(rig.db->locked([&] { return rig.db->history_queries.back().tags; }),
              (std::vector<std::string>{"B", "C"}));

    // A new page resets the table: nothing is selected, so nothing is shown.
    parts_of(*w).paginated_table->set_data({{4, "D", "", "", ""}});
    EXPECT_EQ(name(), "Trend: no tag selected");
}

TEST_F(TrendInTheWindow, RangesAboveAnHourReadMinuteBuckets) {
    select_rows({1});
    auto* range = chart->findChild<QComboBox*>("trend_range_combo");
    ASSERT_NE(range, nullptr);
    EXPECT_EQ(range->accessibleName(), "Trend range:");
    ASSERT_EQ(range->count(), 4);
    EXPECT_EQ(range->itemText(0), "10 min");
    range->setCurrentText("8 h");
    ASSERT_TRUE(process_until([&] { return settled(); }));
    rig.db->locked([&] {
        const auto& q = rig.db->history_queries.back();
        EXPECT_EQ(q.tags, (std::vector<std::string>{"B"}));
        EXPECT_EQ(q.bucket, seconds(60));
        EXPECT_EQ(std::chrono::duration_cast<hours>(q.to - q.from + seconds(30)), hours(8));
    });
    EXPECT_TRUE(chart->view()->accessibleDescription().startsWith("Last 8 hours."));
}

TEST_F(TrendInTheWindow, ABadSampleIsAGapWithAMarkNeverAValue) {
    const auto t = Clock::now() - minutes(3);
    rig.db->history = {stored("A", t, 10), stored("A", t + seconds(1), 11),
                       stored("A", t + seconds(2), 900, "Bad"), stored("A", t + seconds(3), 12)};
    select_rows({0});
    ASSERT_TRUE(process_until([&] { return settled(); }));
    const auto lines = chart->lines_of("A");
    ASSERT_EQ(lines.size(), 2u);
    for (auto* line : lines) {
        for (const auto& p : line->points()) {
            EXPECT_NE(p.y(), 900);
        }
    }
    auto* marks = chart->marks_of("A");
    ASSERT_NE(marks, nullptr);
    ASSERT_EQ(marks->count(), 1);
    EXPECT_LT(marks->at(0).y(), 10) << "the mark sits below every drawn value";

    rig.queue->push({live("A", 950.0, Clock::now(), "Bad")});
    w->process_queue();
    EXPECT_EQ(marks->count(), 2);
    EXPECT_EQ(points("A"), 3u);
}

TEST_F(TrendInTheWindow, ASlowDatabaseNeverHoldsTheWindow) {
    rig.db->block_history = true;
    select_rows({0});
    ASSERT_TRUE(rig.db->wait_until([&] { return rig.db->history_queries.size() == 1; }));
    auto* state = chart->findChild<QLabel*>("trend_state_label");
    EXPECT_EQ(state->text(), "Loading history…");
    // While the read waits, the window goes on: the table refreshes, the trend takes the value.
    rig.queue->push({live("A", 1.0, Clock::now())});
    w->process_queue();
    EXPECT_EQ(points("A"), 1u);
    select_rows({1});
    EXPECT_EQ(name(), "Trend: B");
    // Closing the window cancels the read that still waits.
    w.reset();
    EXPECT_EQ(rig.db->locked([&] { return rig.db->history_queries.size(); }), 1u)
        << "the selection overtaken while the database was slow was never read";
}

TEST_F(TrendInTheWindow, AFailedReadSaysWhyAndTheLiveValuesStillShow) {
    rig.db->history_error = "could not connect to server";
    select_rows({2});
    ASSERT_TRUE(process_until([&] { return settled(); }));
    EXPECT_EQ(chart->findChild<QLabel*>("trend_state_label")->text(),
              "History could not be read: could not connect to server");
    rig.queue->push({live("C", 2.0, Clock::now())});
    w->process_queue();
    EXPECT_EQ(points("C"), 1u);
}

}  // namespace
}  // namespace vantrel_test
