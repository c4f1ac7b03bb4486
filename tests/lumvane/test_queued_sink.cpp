// The file sink's background worker: nothing lost or torn under concurrent logging with a
// full queue, and records after shutdown still reach the file.
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spdlog/logger.h>

#include "sinks.h"
#include "test_support.h"

namespace {

using namespace lumvane_test;
using vantrel::lumvane::SequencedDailyRotatingSink;
using vantrel::lumvane::detail::QueuedSink;
using vantrel::lumvane::detail::RotatingFileSink;

// The arrangement of the configured logger: a worker in front of the rotating file.
std::shared_ptr<QueuedSink> queued_file(std::shared_ptr<SequencedDailyRotatingSink> file,
                                        std::size_t capacity = 8192) {
    return std::make_shared<QueuedSink>(std::make_shared<RotatingFileSink>(std::move(file)),
                                        capacity);
}

TEST(QueuedSink, ConcurrentRecordsThroughATinyQueueAreAllWrittenWhole) {
    TempDir dir;
    auto target =
        std::make_shared<SequencedDailyRotatingSink>(dir.path().string(), "q", 1 << 30, 7);
    auto sink = queued_file(target, 4);  // callers must wait, not drop
    spdlog::logger logger("queued", sink);
    constexpr int kThreads = 4;
    constexpr int kEach = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                logger.info("thread {} record {}", t, i);
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    logger.flush();  // drains the worker

    const auto lines = lines_of(target->current_path());
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kEach));
    std::vector<int> next(kThreads, 0);
    for (const std::string& line : lines) {
        int t = -1;
        int i = -1;
        const auto pos = line.find(" - queued - INFO - thread ");
        ASSERT_NE(pos, std::string::npos) << line;
        ASSERT_EQ(std::sscanf(line.c_str() + pos, " - queued - INFO - thread %d record %d", &t, &i),
                  2)
            << line;
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(i, next[t]++) << "records of one thread stay in order";
    }
}

TEST(QueuedSink, RecordsAfterShutdownAreWrittenAtOnceToTheSameFile) {
    TempDir dir;
    auto target =
        std::make_shared<SequencedDailyRotatingSink>(dir.path().string(), "q", 1 << 30, 7);
    auto sink = queued_file(target);
    spdlog::logger logger("late", sink);
    logger.info("before");
    sink->shutdown();
    logger.info("after");
    const auto lines = lines_of(target->current_path());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_THAT(lines[1], ::testing::EndsWith(" - late - INFO - after"));
}

// The worker may stop while callers still log: whatever they hand over before, during or after
// shutdown() is in the file. Repeated, because the gap that used to drop records is narrow.
TEST(QueuedSink, RecordsLoggedAcrossShutdownAreAllWritten) {
    constexpr int kRounds = 40;
    constexpr int kThreads = 2;
    constexpr int kEach = 200;
    for (int round = 0; round < kRounds; ++round) {
        TempDir dir;
        auto target =
            std::make_shared<SequencedDailyRotatingSink>(dir.path().string(), "q", 1 << 30, 7);
        auto sink = queued_file(target);
        spdlog::logger logger("across", sink);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < kEach; ++i) {
                    logger.info("record {}", i);
                }
            });
        }
        sink->shutdown();
        for (auto& th : threads) {
            th.join();
        }
        ASSERT_EQ(lines_of(target->current_path()).size(),
                  static_cast<std::size_t>(kThreads * kEach))
            << "round " << round;
    }
}

// A disk that is full: the record is lost, standard error says so with the count at once and
// then once a minute, and again when records are written once more.
TEST(QueuedSink, LostRecordsAreToldOnceAMinuteWithTheirCount) {
    TempDir dir;
    ManualClock file_clock(local_time(2026, 12, 7));
    auto file = std::make_shared<SequencedDailyRotatingSink>(dir.path().string(), "q", 1 << 30, 7,
                                                             file_clock);
    auto report_time = std::make_shared<std::chrono::steady_clock::time_point>();
    std::FILE* report = std::tmpfile();
    ASSERT_NE(report, nullptr);
    auto sink = std::make_shared<QueuedSink>(
        std::make_shared<RotatingFileSink>(file), 8192, [report_time] { return *report_time; },
        report);
    spdlog::logger logger("full", sink);
    const auto reported = [&] {
        logger.flush();
        std::fflush(report);
        std::rewind(report);
        std::string text;
        for (int c = std::fgetc(report); c != EOF; c = std::fgetc(report)) {
            text.push_back(static_cast<char>(c));
        }
        return text;
    };

    logger.info("kept");
    logger.flush();
    // The file is replaced by the full device; the sink notices within a second.
    const fs::path path = file->current_path();
    fs::remove(path);
    fs::create_symlink("/dev/full", path);
    file_clock.advance(std::chrono::seconds(2));
    logger.info("lost 1");
    logger.info("lost 2");
    const std::string first = reported();
    EXPECT_THAT(first, ::testing::StartsWith("Logging: 1 log record lost so far, the log file "
                                             "cannot be written: "));
    EXPECT_THAT(first, ::testing::HasSubstr("No space left on device"));
    EXPECT_THAT(first, ::testing::EndsWith(" (collection goes on)\n"));
    *report_time += std::chrono::seconds(59);
    logger.info("lost 3");
    EXPECT_EQ(reported(), first);  // not yet a minute since the last line
    *report_time += std::chrono::seconds(2);
    logger.info("lost 4");
    EXPECT_THAT(reported(), ::testing::HasSubstr("\nLogging: 4 log records lost so far, "));

    fs::remove(path);
    file->close();  // space again: the next record opens a real file
    logger.info("back");
    EXPECT_THAT(reported(),
                ::testing::EndsWith("\nLogging: the log file is written again; 4 log records were "
                                    "lost\n"));
    const auto lines = lines_of(path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_THAT(lines[0], ::testing::EndsWith(" - full - INFO - back"));
    std::fclose(report);
}

// Someone removes the log folder: the sink makes it again rather than writing on into a file
// that no longer has a name.
TEST(RotatingFile, RemovedFolderIsMadeAgain) {
    TempDir dir;
    const fs::path logs = dir.path() / "logs";
    ManualClock clock(local_time(2026, 12, 7));
    SequencedDailyRotatingSink file(logs.string(), "r", 1 << 20, 7, clock);
    file.write("before\n");
    fs::remove_all(logs);
    clock.advance(std::chrono::seconds(2));
    file.write("after\n");
    EXPECT_EQ(slurp(logs / "r-12-07.001.log"), "after\n");
}

}  // namespace
