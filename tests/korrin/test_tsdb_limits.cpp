// The database time limits of [TSDBConnection]: fallbacks, given values, and values that would
// leave a statement no time at all.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include <common/ini.h>
#include <korrin/settings.h>

namespace korrin_test {
namespace {

using vantrel::common::IniError;
using vantrel::common::IniFile;
using vantrel::korrin::read_tsdb_config;

TEST(TsdbTimeLimits, FallbacksGivenValuesAndRefusals) {
    const auto fallback = read_tsdb_config(IniFile::read_text("[TSDBConnection]\nhost = db\n"));
    EXPECT_EQ(fallback.write_timeout, 5.0);
    EXPECT_EQ(fallback.lookup_timeout, 2.0);

    const auto given = read_tsdb_config(
        IniFile::read_text("[TSDBConnection]\nwrite_timeout = 12.5\nlookup_timeout = 0.25\n"));
    EXPECT_EQ(given.write_timeout, 12.5);
    EXPECT_EQ(given.lookup_timeout, 0.25);

    for (const std::string bad :
         {"write_timeout = 0", "lookup_timeout = -1", "write_timeout = 4000"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(read_tsdb_config(IniFile::read_text("[TSDBConnection]\n" + bad + "\n")),
                     std::invalid_argument);
    }
    EXPECT_THROW(read_tsdb_config(IniFile::read_text("[TSDBConnection]\nwrite_timeout = soon\n")),
                 IniError);
}

// A negative count would drop every day; a word would silently keep everything.
TEST(TsdbRetention, KeepsEverythingUnlessGivenADayCountAndRefusesAnythingElse) {
    EXPECT_EQ(read_tsdb_config(IniFile::read_text("[TSDBConnection]\nhost = db\n")).retention_days,
              0);
    EXPECT_EQ(read_tsdb_config(IniFile::read_text("[TSDBConnection]\nretention_days = 30\n"))
                  .retention_days,
              30);
    try {
        read_tsdb_config(IniFile::read_text("[TSDBConnection]\nretention_days = -7\n"));
        ADD_FAILURE() << "a negative retention was accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()),
                  "[TSDBConnection] retention_days must be 0 (keep everything) or a number of "
                  "days, not -7");
    }
    for (const std::string bad : {"retention_days = a week", "retention_days = 7.5"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(read_tsdb_config(IniFile::read_text("[TSDBConnection]\n" + bad + "\n")),
                     IniError);
    }
}

}  // namespace
}  // namespace korrin_test
