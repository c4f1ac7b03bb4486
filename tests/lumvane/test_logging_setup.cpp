// setup_logging_from_ini: keys and fallbacks, failures that leave logging as it was, loggers
// of other libraries in the registry, draining the file worker at exit, and the demo program.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include "common/ini.h"
#include "lumvane/logging.h"
#include "lumvane/rotating_sink.h"
#include "sinks.h"
#include "spdlog_support/named_logger.h"
#include "test_support.h"

namespace {

using namespace lumvane_test;
using ::testing::HasSubstr;
namespace lv = vantrel::lumvane;

// Runs each test in a fresh folder and leaves logging unconfigured afterwards.
class LoggingSetup : public ::testing::Test {
  protected:
    void SetUp() override {
        old_cwd_ = fs::current_path();
        fs::current_path(dir_.path());
    }
    void TearDown() override {
        lv::shutdown_logging();
        fs::current_path(old_cwd_);
    }
    void write_config(std::string_view text) { touch(dir_.path() / "config.ini", text); }

    TempDir dir_;
    fs::path old_cwd_;
};

TEST_F(LoggingSetup, WithoutTheSectionEveryKeyTakesItsFallback) {
    write_config("[Other]\nx = 1\n");
    lv::setup_logging_from_ini();
    EXPECT_TRUE(lv::_logging_ready());
    const auto sink = lv::detail::active_file_sink();
    ASSERT_TRUE(sink);
    EXPECT_EQ(sink->log_dir(), (dir_.path() / "log").string());
    EXPECT_EQ(sink->prefix(), "default");
    EXPECT_EQ(sink->max_bytes(), 2097152);
    EXPECT_EQ(sink->retention_days(), 7);
    const auto sinks = lv::detail::active_sinks();
    ASSERT_EQ(sinks.size(), 2u);  // file and console
    for (const auto& s : sinks) {
        EXPECT_EQ(s->level(), spdlog::level::info);
    }
}

TEST_F(LoggingSetup, ReadsItsSectionAndResolvesARelativeDirectoryAgainstTheWorkingDirectory) {
    write_config(
        "[Log2]\nlog_dir = logs/app\nprefix = bar-x\nlevel = debug\nmax_bytes_mb = 0.5\n"
        "retention_days = 3\nconsole = Off\n");
    lv::setup_logging_from_ini("config.ini", "Log2");
    const auto sink = lv::detail::active_file_sink();
    ASSERT_TRUE(sink);
    EXPECT_EQ(sink->log_dir(), (dir_.path() / "logs/app").string());
    EXPECT_EQ(sink->prefix(), "bar-x");
    EXPECT_EQ(sink->max_bytes(), 524288);
    EXPECT_EQ(sink->retention_days(), 3);
    const auto sinks = lv::detail::active_sinks();
    ASSERT_EQ(sinks.size(), 1u);
    EXPECT_EQ(sinks[0]->level(), spdlog::level::debug);
}

TEST_F(LoggingSetup, AbsoluteDirectoryIsUsedUnchanged) {
    const std::string abs = (dir_.path() / "abs").string();
    write_config("[VantrelLogging]\nconsole = no\nlog_dir = " + abs + "\n");
    lv::setup_logging_from_ini();
    EXPECT_EQ(lv::detail::active_file_sink()->log_dir(), abs);
    EXPECT_EQ(lv::_resolve_log_dir("rel"), (fs::current_path() / "rel").string());
    EXPECT_TRUE(lv::_is_absolute_path("/x"));
    EXPECT_FALSE(lv::_is_absolute_path("x/y"));
}

TEST_F(LoggingSetup, ASecondCallReturnsTheLoggerAndReadsNothing) {
    write_config("[VantrelLogging]\nconsole = off\n");
    const auto first = lv::setup_logging_from_ini();
    const auto sink = lv::detail::active_file_sink();
    const auto second = lv::setup_logging_from_ini("/nonexistent.ini", "Other");
    EXPECT_EQ(first, second);
    EXPECT_EQ(lv::detail::active_file_sink(), sink);
}

TEST_F(LoggingSetup, UnreadableFileFailsWithTheOperatorMessageAndCanBeRetried) {
    try {
        lv::setup_logging_from_ini("missing.ini");
        FAIL() << "no error";
    } catch (const lv::ConfigFileNotFound& e) {
        EXPECT_STREQ(e.what(), "无法读取配置文件：missing.ini");
    }
    EXPECT_FALSE(lv::_logging_ready());
    touch(dir_.path() / "missing.ini", "[VantrelLogging]\nconsole = off\n");
    EXPECT_NO_THROW(lv::setup_logging_from_ini("missing.ini"));
    EXPECT_TRUE(lv::_logging_ready());
}

TEST_F(LoggingSetup, BadValuesFailAndLeaveTheEarlierSinksInPlace) {
    const auto before = lv::detail::active_sinks();
    for (const char* body : {"console = maybe\n", "retention_days = 1.5\n", "max_bytes_mb = x\n",
                             "level = loud\n", "prefix = 100%\n"}) {
        write_config(std::string("[VantrelLogging]\n") + body);
        EXPECT_ANY_THROW(lv::setup_logging_from_ini()) << body;
        EXPECT_FALSE(lv::_logging_ready()) << body;
        EXPECT_EQ(lv::detail::active_sinks(), before) << body;
        EXPECT_EQ(lv::detail::sinks_behind(spdlog::default_logger()), before) << body;
    }
    write_config("[VantrelLogging]\nconsole = maybe\n");
    EXPECT_THROW(lv::setup_logging_from_ini(), vantrel::common::IniError);
}

TEST_F(LoggingSetup, NoFileSizeIsRefusedAndNoRetentionIsSaidOnce) {
    // A limit of 0 used to start a new file for every record.
    for (const char* value : {"0", "-2", "0.0000000001"}) {
        write_config(std::string("[VantrelLogging]\nconsole = off\nmax_bytes_mb = ") + value +
                     "\n");
        try {
            lv::setup_logging_from_ini();
            ADD_FAILURE() << value << " was accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), std::string("[VantrelLogging] max_bytes_mb must be "
                                                         "above 0, not ") +
                                                 value +
                                                 " (the size of one log file in MiB, e.g. 2)");
        }
        EXPECT_FALSE(lv::_logging_ready());
    }
    EXPECT_FALSE(fs::exists(dir_.path() / "log"));

    write_config("[VantrelLogging]\nconsole = off\nretention_days = 0\n");
    lv::setup_logging_from_ini();
    lv::get_logger("retention")->info("first record");
    lv::flush_logging();
    const auto lines = lines_of(lv::detail::active_file_sink()->current_path());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_THAT(
        lines[0],
        HasSubstr(" - lumvane - INFO - retention_days is 0: old log files are never deleted"));
    EXPECT_THAT(lines[1], HasSubstr(" - retention - INFO - first record"));
    spdlog::drop("retention");
}

TEST_F(LoggingSetup, LoggersOfOtherLibrariesAndModuleLoggersShareTheSinks) {
    // A library that takes its logger before the set-up, as qevsdk and chronq do.
    auto library = spdlog_support::named_logger("libtest");
    auto early = lv::get_logger("early-module");

    write_config("[VantrelLogging]\nconsole = off\nlevel = DEBUG\n");
    const auto main_logger = lv::setup_logging_from_ini();
    auto late = lv::get_logger("late-module");
    EXPECT_EQ(lv::get_logger("late-module"), late);

    library->debug("from the library");
    early->info("from early");
    late->warn("from late");
    main_logger->error("from main");
    spdlog::info("through the default");
    lv::flush_logging();

    const auto lines = lines_of(lv::detail::active_file_sink()->current_path());
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_THAT(lines[0], HasSubstr(" - libtest - DEBUG - from the library"));
    EXPECT_THAT(lines[1], HasSubstr(" - early-module - INFO - from early"));
    EXPECT_THAT(lines[2], HasSubstr(" - late-module - WARNING - from late"));
    EXPECT_THAT(lines[3], HasSubstr(" - vantrel - ERROR - from main"));
    EXPECT_THAT(lines[4], HasSubstr(" - vantrel - INFO - through the default"));
    spdlog::drop("libtest");
    spdlog::drop("early-module");
    spdlog::drop("late-module");
}

TEST_F(LoggingSetup, ModulesAskingForTheirLoggerAtOnceShareOne) {
    // A module's first records come from whichever of its threads logs first; two loggers of
    // one name would leave one of them outside the registry, deaf to the set-up.
    std::vector<std::shared_ptr<spdlog::logger>> got(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < got.size(); ++i) {
        threads.emplace_back([&got, i] {
            got[i] = i % 2 == 0 ? lv::get_logger("racing") : spdlog_support::named_logger("racing");
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (const auto& logger : got) {
        EXPECT_EQ(logger, spdlog::get("racing"));
    }
    spdlog::drop("racing");
}

TEST_F(LoggingSetup, TheLevelFiltersBothSinksAndOurFormatSurvivesSetPattern) {
    write_config("[VantrelLogging]\nconsole = off\nlevel = warning\n");
    lv::setup_logging_from_ini();
    spdlog::set_pattern("%v");  // someone else's call must not change our lines
    auto log = lv::get_logger("filter");
    log->info("dropped");
    log->debug("dropped");
    log->warn("kept");
    lv::flush_logging();
    const auto lines = lines_of(lv::detail::active_file_sink()->current_path());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_THAT(lines[0], ::testing::MatchesRegex(
                              "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} - filter - "
                              "WARNING - kept"));
    spdlog::drop("filter");
}

// No record is lost at exit, although the file is written by a background worker.
TEST_F(LoggingSetup, EveryRecordIsWrittenWhenTheProcessExits) {
    write_config("[VantrelLogging]\nconsole = off\nmax_bytes_mb = 0.05\n");
    constexpr int kRecords = 3000;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        lv::setup_logging_from_ini();
        auto log = lv::get_logger("exit");
        for (int i = 0; i < kRecords; ++i) {
            log->info("record {}", i);
        }
        std::exit(0);  // no flush: the exit hook must drain the worker
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::vector<std::string> all;
    for (const std::string& name : names_in(dir_.path() / "log")) {
        for (std::string& line : lines_of(dir_.path() / "log" / name)) {
            all.push_back(std::move(line));
        }
    }
    ASSERT_EQ(all.size(), static_cast<std::size_t>(kRecords));
    for (int i = 0; i < kRecords; ++i) {
        EXPECT_THAT(all[i], ::testing::EndsWith(" - exit - INFO - record " + std::to_string(i)));
    }
}

// shutdown_logging() while other threads log: no record is lost, and nothing races (the
// ThreadSanitizer build runs this too).
TEST_F(LoggingSetup, RecordsFromSeveralThreadsAcrossShutdownAreAllInTheFile) {
    write_config("[VantrelLogging]\nconsole = off\n");
    constexpr int kThreads = 3;
    constexpr int kEach = 300;
    lv::setup_logging_from_ini();
    const auto file = lv::detail::active_file_sink()->current_path();
    std::atomic<int> started{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            auto log = lv::get_logger("across-" + std::to_string(t));
            ++started;
            for (int i = 0; i < kEach; ++i) {
                log->info("record {}", i);
            }
        });
    }
    while (started < kThreads) {
        std::this_thread::yield();
    }
    lv::shutdown_logging();
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(lines_of(file).size(), static_cast<std::size_t>(kThreads * kEach));
    for (int t = 0; t < kThreads; ++t) {
        spdlog::drop("across-" + std::to_string(t));
    }
}

// The documented check of the demo: numbering continues, rotation by size, retention of only
// its own prefix, fifty records in order.
TEST_F(LoggingSetup, DemoContinuesNumberingRotatesAndKeepsEveryRecordInOrder) {
    write_config(
        "[VantrelLogging]\nlog_dir = logs/app\nprefix = bar-x\nlevel = debug\n"
        "max_bytes_mb = 0.002\nconsole = off\n");
    const fs::path logs = dir_.path() / "logs/app";
    fs::create_directories(logs);
    const auto now = std::chrono::system_clock::now();
    const std::string today = lv::SequencedDailyRotatingSink::format_date(now);
    const std::string old =
        lv::SequencedDailyRotatingSink::format_date(now - std::chrono::days(30));
    for (int seq = 1; seq <= 3; ++seq) {
        touch(logs / ("bar-x-" + today + ".00" + std::to_string(seq) + ".log"), "earlier run\n");
    }
    touch(logs / ("bar-x-" + old + ".001.log"));
    touch(logs / ("bar-" + old + ".001.log"));

    const std::string command = std::string("'") + LUMVANE_DEMO + "' >demo.out 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << slurp(dir_.path() / "demo.out");
    EXPECT_EQ(slurp(dir_.path() / "demo.out"), "");  // console off

    EXPECT_FALSE(fs::exists(logs / ("bar-x-" + old + ".001.log")));
    EXPECT_TRUE(fs::exists(logs / ("bar-" + old + ".001.log")));
    std::vector<std::string> records;
    int files = 0;
    for (int seq = 1; fs::exists(logs / fmt::format("bar-x-{}.{:03d}.log", today, seq)); ++seq) {
        const auto lines = lines_of(logs / fmt::format("bar-x-{}.{:03d}.log", today, seq));
        if (seq <= 3) {
            EXPECT_EQ(lines, std::vector<std::string>{"earlier run"});
            continue;
        }
        ++files;
        EXPECT_LE(fs::file_size(logs / fmt::format("bar-x-{}.{:03d}.log", today, seq)),
                  2097u + 100u);
        records.insert(records.end(), lines.begin(), lines.end());
    }
    EXPECT_GE(files, 2);  // rotated by size
    ASSERT_EQ(records.size(), 50u);
    for (int i = 0; i < 50; ++i) {
        EXPECT_THAT(records[i], ::testing::MatchesRegex(
                                    "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} - "
                                    "lumvane - INFO - .*"));
        EXPECT_THAT(records[i], ::testing::EndsWith("测试日志 " + std::to_string(i)));
    }
}

TEST_F(LoggingSetup, DemoWithoutAConfigurationPrintsTheErrorAndFails) {
    const std::string command = std::string("'") + LUMVANE_DEMO + "' >demo.out 2>&1";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0);
    EXPECT_EQ(slurp(dir_.path() / "demo.out"), "无法读取配置文件：config.ini\n");
}

}  // namespace
