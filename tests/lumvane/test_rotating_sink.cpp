// SequencedDailyRotatingSink with a hand-moved clock: numbering, size rotation, day change and
// retention.
#include <algorithm>
#include <chrono>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "lumvane/rotating_sink.h"
#include "test_support.h"

namespace {

using namespace lumvane_test;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using vantrel::lumvane::parse_log_file_name;
using vantrel::lumvane::SequencedDailyRotatingSink;

SequencedDailyRotatingSink make_sink(const TempDir& dir, const ManualClock& clock,
                                     std::string prefix = "default",
                                     std::int64_t max_bytes = 1 << 20, int retention = 7) {
    return SequencedDailyRotatingSink(dir.path().string(), std::move(prefix), max_bytes, retention,
                                      clock);
}

TEST(LogFileNames, PatternAndParsing) {
    const auto p = parse_log_file_name("bar-x-12-07.004.log");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->prefix, "bar-x");  // the prefix takes every hyphen but the date's
    EXPECT_EQ(p->mm, 12);
    EXPECT_EQ(p->dd, 7);
    EXPECT_EQ(p->seq, 4);
    for (const char* bad : {"default-12-07.01.log", "-12-07.001.log", "default-12-07.001.log.bak",
                            "default-1a-07.001.log", "default-12-07.1a00.log", "notes.txt"}) {
        EXPECT_FALSE(parse_log_file_name(bad)) << bad;
    }
    // Past 999 in one day the sequence grows a digit and is still one of ours.
    const auto wide = parse_log_file_name("default-12-07.1000.log");
    ASSERT_TRUE(wide);
    EXPECT_EQ(wide->prefix, "default");
    EXPECT_EQ(wide->seq, 1000);
}

TEST(SinkNumbering, FirstStartOfTheDayOpensSequenceOne) {
    TempDir dir;
    ManualClock clock(local_time(2026, 12, 7));
    auto sink = make_sink(dir, clock);
    EXPECT_EQ(sink.current_path().filename(), "default-12-07.001.log");
    EXPECT_TRUE(fs::exists(dir.path() / "default-12-07.001.log"));
}

TEST(SinkNumbering, RestartContinuesAfterTheLargestSequenceOfItsOwnPrefixAndDay) {
    TempDir dir;
    for (const char* name : {"bar-x-12-07.001.log", "bar-x-12-07.002.log", "bar-x-12-07.003.log",
                             "bar-12-07.009.log",        // another prefix
                             "bar-x-y-12-07.010.log",    // another prefix with more hyphens
                             "bar-x-12-06.020.log",      // another day
                             "bar-x-y-12-07.1000.log",   // four digits, another prefix
                             "bar-x-12-07.005.log.gz"})  // not a log name
    {
        touch(dir.path() / name);
    }
    ManualClock clock(local_time(2026, 12, 7));
    auto sink = make_sink(dir, clock, "bar-x");
    EXPECT_EQ(sink.current_path().filename(), "bar-x-12-07.004.log");
    sink.write("new\n");
    EXPECT_EQ(slurp(dir.path() / "bar-x-12-07.001.log"), "old\n");  // old ones left alone
    EXPECT_EQ(slurp(dir.path() / "bar-x-12-07.004.log"), "new\n");
}

TEST(SinkNumbering, SequencePastNineHundredNinetyNineGetsFourDigits) {
    TempDir dir;
    touch(dir.path() / "default-12-07.999.log");
    ManualClock clock(local_time(2026, 12, 7));
    auto sink = make_sink(dir, clock);
    EXPECT_EQ(sink.current_path().filename(), "default-12-07.1000.log");
    // A restart after that continues past it instead of starting over at 1000.
    auto restarted = make_sink(dir, clock);
    EXPECT_EQ(restarted.current_path().filename(), "default-12-07.1001.log");
}

TEST(SinkRotation, RotatesAfterTheRecordThatReachesTheLimit) {
    TempDir dir;
    ManualClock clock(local_time(2026, 12, 7));
    auto sink = make_sink(dir, clock, "default", 30);
    sink.write("0123456789\n");  // 11
    sink.write("0123456789\n");  // 22
    EXPECT_EQ(sink.current_seq(), 1);
    sink.write("0123456789\n");  // 33: past the limit, so the next record goes elsewhere
    EXPECT_EQ(sink.current_seq(), 2);
    sink.write("abc\n");
    EXPECT_EQ(slurp(dir.path() / "default-12-07.001.log").size(), 33u);
    EXPECT_EQ(slurp(dir.path() / "default-12-07.002.log"), "abc\n");
}

TEST(SinkRotation, ExactlyReachingTheLimitRotates) {
    TempDir dir;
    ManualClock clock(local_time(2026, 12, 7));
    auto sink = make_sink(dir, clock, "default", 8);
    sink.write("1234567\n");
    EXPECT_EQ(sink.current_seq(), 2);
    EXPECT_EQ(slurp(dir.path() / "default-12-07.001.log"), "1234567\n");
}

TEST(SinkDayChange, FirstRecordAfterMidnightGoesToTheNewDaysFile) {
    TempDir dir;
    ManualClock clock(local_time(2026, 12, 7, 23, 59, 59));
    auto sink = make_sink(dir, clock);
    sink.write("late\n");
    clock.set(local_time(2026, 12, 8, 0, 0, 1));
    EXPECT_EQ(sink.current_date(), "12-07");  // noticed at the next write, not by a timer
    sink.write("early\n");
    EXPECT_EQ(sink.current_path().filename(), "default-12-08.001.log");
    EXPECT_EQ(slurp(dir.path() / "default-12-07.001.log"), "late\n");
    EXPECT_EQ(slurp(dir.path() / "default-12-08.001.log"), "early\n");
}

TEST(SinkDayChange, NewDayContinuesAfterFilesAlreadyThere) {
    TempDir dir;
    touch(dir.path() / "default-12-08.001.log");
    ManualClock clock(local_time(2026, 12, 7, 23, 0));
    auto sink = make_sink(dir, clock);
    clock.set(local_time(2026, 12, 8, 1, 0));
    sink.write("x\n");
    EXPECT_EQ(sink.current_path().filename(), "default-12-08.002.log");
}

TEST(SinkRetention, DeletesOnlyItsOwnFilesOnOrBeforeTheCutoff) {
    TempDir dir;
    for (const char* name :
         {"default-11-30.001.log", "default-11-29.003.log", "default-12-01.001.log",
          "default-12-06.001.log", "other-11-01.001.log", "default-x-11-01.001.log",
          "default-11-01.1000.log", "default-12-06.1000.log", "readme.txt"}) {
        touch(dir.path() / name);
    }
    ManualClock clock(local_time(2026, 12, 7, 9, 0));
    auto sink = make_sink(dir, clock);
    sink.write("x\n");
    EXPECT_THAT(names_in(dir.path()),
                ElementsAre("default-12-01.001.log", "default-12-06.001.log",
                            "default-12-06.1000.log", "default-12-07.001.log",
                            "default-x-11-01.001.log", "other-11-01.001.log", "readme.txt"));
}

TEST(SinkRetention, RunsAtMostOnceInTenMinutesOfWriting) {
    TempDir dir;
    ManualClock clock(local_time(2026, 12, 7, 9, 0));
    auto sink = make_sink(dir, clock);
    sink.write("first\n");  // the first write cleans up
    touch(dir.path() / "default-11-01.001.log");
    clock.advance(9min + 59s);
    sink.write("x\n");
    EXPECT_TRUE(fs::exists(dir.path() / "default-11-01.001.log"));
    clock.advance(1s);
    sink.write("x\n");
    EXPECT_FALSE(fs::exists(dir.path() / "default-11-01.001.log"));
}

TEST(SinkRetention, ZeroOrNegativeRetentionNeverDeletes) {
    for (int retention : {0, -3}) {
        TempDir dir;
        touch(dir.path() / "default-01-01.001.log");
        ManualClock clock(local_time(2026, 12, 7));
        auto sink = make_sink(dir, clock, "default", 1 << 20, retention);
        sink.write("x\n");
        EXPECT_TRUE(fs::exists(dir.path() / "default-01-01.001.log")) << retention;
    }
}

TEST(SinkRetention, DecemberFilesSeenInJanuaryBelongToLastYear) {
    TempDir dir;
    touch(dir.path() / "default-12-31.001.log");  // 3 days old: kept
    touch(dir.path() / "default-12-20.001.log");  // 14 days old: deleted
    ManualClock clock(local_time(2027, 1, 3));
    auto sink = make_sink(dir, clock);
    sink.write("x\n");
    EXPECT_TRUE(fs::exists(dir.path() / "default-12-31.001.log"));
    EXPECT_FALSE(fs::exists(dir.path() / "default-12-20.001.log"));
}

TEST(SinkRetention, FutureDatesOfOtherMonthsAndImpossibleDatesAreKept) {
    TempDir dir;
    touch(dir.path() / "default-11-15.001.log");  // read as this year's 15 November
    touch(dir.path() / "default-02-29.001.log");  // 2027 has no 29 February
    touch(dir.path() / "default-13-40.001.log");
    ManualClock clock(local_time(2027, 3, 10));
    auto sink = make_sink(dir, clock);
    sink.write("x\n");
    EXPECT_TRUE(fs::exists(dir.path() / "default-11-15.001.log"));
    EXPECT_TRUE(fs::exists(dir.path() / "default-02-29.001.log"));
    EXPECT_TRUE(fs::exists(dir.path() / "default-13-40.001.log"));
}

TEST(SinkLifecycle, CreatesMissingDirectoriesAndKeepsWritingAfterClose) {
    TempDir dir;
    const fs::path nested = dir.path() / "logs" / "app";
    ManualClock clock(local_time(2026, 12, 7));
    SequencedDailyRotatingSink sink(nested.string(), "p", 1 << 20, 7, clock);
    sink.write("a\n");
    sink.close();
    sink.write("b\n");  // a late record is not lost, and goes on in the same file
    sink.flush();
    EXPECT_EQ(slurp(nested / "p-12-07.001.log"), "a\nb\n");
}

TEST(SinkLifecycle, UnopenableFileIsAnErrorAtConstruction) {
    TempDir dir;
    touch(dir.path() / "file");
    ManualClock clock(local_time(2026, 12, 7));
    EXPECT_THROW(
        SequencedDailyRotatingSink((dir.path() / "file" / "sub").string(), "p", 10, 7, clock),
        fs::filesystem_error);
}

}  // namespace
