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

}  // namespace
}  // namespace korrin_test
