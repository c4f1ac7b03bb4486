// Write-back of config.ini: layout, order, keeping what the program does not know, and
// replacing the file as a whole.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "common/ini.h"

namespace {

namespace fs = std::filesystem;
using vantrel::common::IniError;
using vantrel::common::IniFile;

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class IniWriteBack : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("ini-write-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_F(IniWriteBack, WritesKeyEqualsValueLinesAndAnEmptyLineAfterEachSection) {
    IniFile ini;
    ini.set("TSDBConnection", "DBName", "plant");
    ini.set("Vantrel", "opc_host", "h1");
    ini.set("Vantrel", "opc_type", "OPC UA");
    EXPECT_EQ(
        ini.to_string(),
        "[TSDBConnection]\ndbname = plant\n\n[Vantrel]\nopc_host = h1\nopc_type = OPC UA\n\n");
}

TEST_F(IniWriteBack, KeepsUnknownSectionsAndKeysInFirstSeenOrderAndDropsComments) {
    const fs::path path = dir_ / "config.ini";
    std::ofstream(path) << "# site settings\n"
                           "[TSDBConnection]\nhost = db\nDBNAME = old\n"
                           "[Site]\nowner = ops ; kept\n"
                           "[Vantrel]\nopc_schema = x\nunused_key = keep me\n"
                           "multi = one\n  two\n";
    IniFile ini = IniFile::read_file(path);
    ini.set("TSDBConnection", "dbname", "chosen");
    ini.set("Vantrel", "opc_schema", "opc.tcp://h:4840");
    ini.set("Vantrel", "opc_port", "4840");
    ini.write_file(path);

    EXPECT_EQ(slurp(path),
              "[TSDBConnection]\nhost = db\ndbname = chosen\n\n"
              "[Site]\nowner = ops ; kept\n\n"
              "[Vantrel]\nopc_schema = opc.tcp://h:4840\nunused_key = keep me\n"
              "multi = one\n\ttwo\nopc_port = 4840\n\n");
    const IniFile again = IniFile::read_file(path);
    EXPECT_EQ(again.get("Vantrel", "multi"), "one\ntwo");
    EXPECT_EQ(again.get("Site", "owner"), "ops ; kept");
}

TEST_F(IniWriteBack, ValuesAreStoredAsWrittenSoPercentSignsSurviveTheRoundTrip) {
    const fs::path path = dir_ / "config.ini";
    std::ofstream(path) << "[TSDBConnection]\npassword = a%%b\n";
    IniFile ini = IniFile::read_file(path);
    ini.write_file(path);
    EXPECT_EQ(IniFile::read_file(path).get("TSDBConnection", "password"), "a%b");
}

TEST_F(IniWriteBack, RefusesValuesThatWouldNotReadBack) {
    IniFile ini;
    EXPECT_THROW(ini.set("s", "password", "50%"), IniError);
    EXPECT_THROW(ini.set("s", "k", "two\nlines"), IniError);
    EXPECT_THROW(ini.set("s", "a=b", "v"), IniError);
    EXPECT_THROW(ini.set("s", "", "v"), IniError);
    EXPECT_NO_THROW(ini.set("s", "ok", "50%% and %(other)s"));
    EXPECT_FALSE(ini.has_section("x"));
}

TEST_F(IniWriteBack, ReplacesTheFileWholeAndLeavesNoTemporaryFileBehind) {
    const fs::path path = dir_ / "config.ini";
    std::ofstream(path) << "[old]\nk = v\n";
    ::chmod(path.c_str(), 0600);
    IniFile ini;
    ini.set("new", "k", "v");
    ini.write_file(path);
    EXPECT_EQ(slurp(path), "[new]\nk = v\n\n");
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    int files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir_)) {
        ++files;
    }
    EXPECT_EQ(files, 1);
}

// A configuration kept elsewhere and linked into place stays linked; the file it points to is
// the one written, with its own permissions.
TEST_F(IniWriteBack, ASymbolicLinkStaysALinkAndItsTargetIsWritten) {
    fs::create_directories(dir_ / "shared");
    const fs::path target = dir_ / "shared" / "config.ini";
    std::ofstream(target) << "[old]\nk = v\n";
    ::chmod(target.c_str(), 0640);
    const fs::path link = dir_ / "config.ini";
    fs::create_symlink(fs::path("shared") / "config.ini", link);
    IniFile ini;
    ini.set("new", "k", "v");
    ini.write_file(link);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(slurp(target), "[new]\nk = v\n\n");
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

// A new file gets 0666 less the umask, as any created file does, and the umask is left alone.
TEST_F(IniWriteBack, ANewFileFollowsTheUmaskWithoutChangingIt) {
    const mode_t old_mask = ::umask(027);
    IniFile ini;
    ini.set("s", "k", "v");
    ini.write_file(dir_ / "config.ini");
    const mode_t mask_after = ::umask(old_mask);
    EXPECT_EQ(mask_after, 027);
    EXPECT_EQ(fs::status(dir_ / "config.ini").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(IniWriteBack, AFailedWriteReportsTheErrorAndCreatesNothing) {
    IniFile ini;
    ini.set("s", "k", "v");
    EXPECT_THROW(ini.write_file(dir_ / "missing-dir" / "config.ini"), fs::filesystem_error);
    EXPECT_FALSE(fs::exists(dir_ / "missing-dir"));
}

}  // namespace
