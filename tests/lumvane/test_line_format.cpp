// The file and console line formats, with upper-case level names and optional colour.
#include <gtest/gtest.h>
#include <spdlog/details/log_msg.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "lumvane/logging.h"
#include "sinks.h"
#include "test_support.h"

namespace {

using lumvane_test::local_time;
using vantrel::lumvane::detail::make_line_formatter;

std::string render(bool console, bool colour, spdlog::level::level_enum level,
                   std::string_view text = "测试日志 7") {
    spdlog::details::log_msg msg(spdlog::source_loc{}, "korrin", level,
                                 spdlog::string_view_t(text.data(), text.size()));
    msg.time = local_time(2026, 12, 7, 9, 5, 3) + std::chrono::milliseconds(870);
    spdlog::memory_buf_t out;
    make_line_formatter(console, colour)->format(msg, out);
    return std::string(out.data(), out.size());
}

TEST(LineFormat, FileLinesCarryTimeToTheSecondNameLevelAndMessage) {
    EXPECT_EQ(render(false, false, spdlog::level::info),
              "2026-12-07 09:05:03 - korrin - INFO - 测试日志 7\n");
}

// An operator filters the file by the level names config.ini accepts: a record logged at the
// level a name configures carries that very name, whatever the case it was configured in.
TEST(LineFormat, EachConfigurableLevelShowsTheNameThatConfiguresIt) {
    for (const std::string name : {"DEBUG", "INFO", "WARNING", "ERROR"}) {
        std::string lower = name;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const auto level = vantrel::lumvane::parse_level_name(lower);
        EXPECT_EQ(render(false, false, level, "x"),
                  "2026-12-07 09:05:03 - korrin - " + name + " - x\n");
    }
}

TEST(LineFormat, ConsoleWithoutColourEqualsTheFileFormat) {
    EXPECT_EQ(render(true, false, spdlog::level::warn), render(false, false, spdlog::level::warn));
}

TEST(LineFormat, ConsoleColourWrapsTimeNameAndLevel) {
    EXPECT_EQ(render(true, true, spdlog::level::err, "boom"),
              "\033[32m2026-12-07 09:05:03\033[0m - \033[36mkorrin\033[0m - "
              "\033[31m\033[1mERROR\033[0m - boom\n");
}

TEST(LineFormat, NoColourWhenStandardErrorIsNotATerminal) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    EXPECT_FALSE(vantrel::lumvane::detail::ConsoleSink::should_color(f));
    std::fclose(f);
}

TEST(LevelNames, ConfiguredNamesInAnyCase) {
    using vantrel::lumvane::parse_level_name;
    EXPECT_EQ(parse_level_name("debug"), spdlog::level::debug);
    EXPECT_EQ(parse_level_name("Info"), spdlog::level::info);
    EXPECT_EQ(parse_level_name("WARNING"), spdlog::level::warn);
    EXPECT_EQ(parse_level_name("error"), spdlog::level::err);
    EXPECT_THROW(parse_level_name("verbose"), std::invalid_argument);
    EXPECT_THROW(parse_level_name("warn"), std::invalid_argument);
}

}  // namespace
