// load_tags_from_csv: decoding order, header check, row rules and the error lines.
#include <gtest/gtest.h>

#include "console_test_support.h"
#include "pellumar/pellumar.h"

namespace {

using namespace pellumar_test;
using vantrel::pellumar::Pellumar;
using Pairs = std::vector<Pellumar::TagPair>;

class LoadTags : public ::testing::Test {
  protected:
    void SetUp() override { log_dir(); }

    bool load(const std::string& bytes) {
        write_file(dir / "tags.csv", bytes);
        return load_path((dir / "tags.csv").string());
    }
    bool load_path(const std::string& path) {
        vantrel::pellumar::PellumarDeps deps;
        deps.settings.opc.tag_csv_path = path;
        Pellumar console(dir.path(), deps);
        const bool ok = console.load_tags_from_csv();
        tags = console.tags();
        return ok;
    }

    TempDir dir;
    Pairs tags;
};

TEST_F(LoadTags, Utf8ChineseArrivesIntactAndNamesItsEncoding) {
    LogCapture log;
    ASSERT_TRUE(load("FullTagName,Description\nDemo.Tag1,1号罐液位\n2:s=Boiler,锅炉 温度\n"));
    EXPECT_EQ(tags, (Pairs{{"Demo.Tag1", "1号罐液位"}, {"2:s=Boiler", "锅炉 温度"}}));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"INFO - CSV file loaded with encoding: utf-8",
                                                     "INFO - Loaded 2 tags from CSV file"}));
}

TEST_F(LoadTags, GbkFileDecodesAsGbk) {
    LogCapture log;
    // "中文" in GBK; these bytes are not UTF-8.
    ASSERT_TRUE(load("FullTagName,Description\nT1,\xD6\xD0\xCE\xC4\n"));
    EXPECT_EQ(tags, (Pairs{{"T1", "中文"}}));
    EXPECT_TRUE(log.contains("INFO - CSV file loaded with encoding: gbk"));
}

TEST_F(LoadTags, ByteOrderMarkIsRemovedBeforeTheHeaderCheck) {
    LogCapture log;
    ASSERT_TRUE(
        load("\xEF\xBB\xBF"
             "FullTagName,Description\nT1,one\n"));
    EXPECT_EQ(tags, (Pairs{{"T1", "one"}}));
    EXPECT_TRUE(log.contains("INFO - CSV file loaded with encoding: utf-8-sig"));
}

TEST_F(LoadTags, UndecodableFileIsReportedWithItsLines) {
    LogCapture log;
    EXPECT_FALSE(load("FullTagName,Description\nT1,one\nT2,\xFF\xFF\xFF\n"));
    EXPECT_EQ(log.lines(), std::vector<std::string>{
                               "ERROR - Failed to decode CSV file: " + (dir / "tags.csv").string() +
                               " (line 3 is not UTF-8 and line 3 is not GBK)"});
    // GBK text with one damaged line: the UTF-8 check fails first, the GBK check later.
    LogCapture gbk;
    EXPECT_FALSE(load("FullTagName,Description\nT1,\xD6\xD0\xCE\xC4\nT2,\xFF\xFF\n"));
    EXPECT_EQ(gbk.lines().back(),
              "ERROR - Failed to decode CSV file: " + (dir / "tags.csv").string() +
                  " (line 2 is not UTF-8 and line 3 is not GBK)");
}

TEST_F(LoadTags, HeaderNeedsBothColumnsExactlySpelled) {
    {
        ASSERT_TRUE(load("Description,FullTagName,Unit\nTank level,T1,m\n"));
        EXPECT_EQ(tags, (Pairs{{"T1", "Tank level"}}));
    }
    for (const std::string header : {"fulltagname,Description", "FullTagName", "Tag,Description",
                                     " FullTagName,Description"}) {
        SCOPED_TRACE(header);
        LogCapture log;
        EXPECT_FALSE(load(header + "\nT1,one\n"));
        ASSERT_EQ(log.lines().size(), 2u);
        EXPECT_EQ(log.lines()[1].rfind(
                      "ERROR - CSV file missing required columns: FullTagName, Description "
                      "(header found: ",
                      0),
                  0u);
    }
    LogCapture log;
    EXPECT_FALSE(load("Tag,Comment,Unit\nT1,one,m\n"));
    EXPECT_TRUE(
        log.contains("ERROR - CSV file missing required columns: FullTagName, Description "
                     "(header found: Tag, Comment, Unit)"));
}

TEST_F(LoadTags, NamesTheDatabaseCannotTakeAreSkippedWithTheirLines) {
    const std::string long_name(3000, 'x');
    std::string csv = "FullTagName,Description\nT1,one\n\"A";
    csv += '\0';
    csv += "B\",poisoned\n\n" + long_name + ",too long\nT2,two\n";
    LogCapture log;
    ASSERT_TRUE(load(csv));
    EXPECT_EQ(tags, (Pairs{{"T1", "one"}, {"T2", "two"}}));
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1],
              "ERROR - Skipping tag A\\x00B on CSV line 3: the name holds a NUL byte, which the "
              "database cannot store");
    EXPECT_EQ(lines[2].rfind("ERROR - Skipping tag xxxx", 0), 0u) << lines[2];
    EXPECT_NE(lines[2].find("... (3000 bytes) on CSV line 5: the name is 3000 bytes long; the "
                            "database takes 2048 at most"),
              std::string::npos)
        << lines[2];
    EXPECT_EQ(lines[3], "INFO - Loaded 2 tags from CSV file");
}

TEST_F(LoadTags, UnicodeSpacesAroundNamesAndDescriptionsAreTrimmed) {
    // Full-width and no-break spaces, as spreadsheet exports in Chinese produce them.
    ASSERT_TRUE(
        load("FullTagName,Description\n\u3000T1\u00A0,\u3000锅炉\u3000温度\u3000\n"
             "\u3000\u00A0,blank name\n"));
    EXPECT_EQ(tags, (Pairs{{"T1", "锅炉\u3000温度"}}));
}

TEST_F(LoadTags, UnclosedQuoteNamesItsLine) {
    LogCapture log;
    EXPECT_FALSE(load("FullTagName,Description\nT1,one\n\"T2,two\nT3,three\n"));
    ASSERT_FALSE(log.lines().empty());
    EXPECT_NE(log.lines().back().find("line 3"), std::string::npos) << log.lines().back();
}

TEST_F(LoadTags, RowsAreTrimmedSkippedAndKeptInOrder) {
    ASSERT_TRUE(
        load("FullTagName,Description,Unit\r\n"
             "  T1  ,  Tank level  \r\n"
             "\r\n"
             ",orphan description\r\n"
             "T2\r\n"
             "\"T,3\",\"say \"\"hi\"\"\"\r\n"
             "T1,again,m,extra\r\n"));
    EXPECT_EQ(tags,
              (Pairs{{"T1", "Tank level"}, {"T2", ""}, {"T,3", "say \"hi\""}, {"T1", "again"}}));
}

TEST_F(LoadTags, NoUsableRowIsAFailureWithoutAnErrorLine) {
    LogCapture log;
    EXPECT_FALSE(load("FullTagName,Description\n , blank name\n"));
    EXPECT_TRUE(tags.empty());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"INFO - CSV file loaded with encoding: utf-8",
                                                     "INFO - Loaded 0 tags from CSV file"}));
}

TEST_F(LoadTags, UnreadableOrEmptyFilesGoToTheErrorGuard) {
    {
        LogCapture log;
        EXPECT_FALSE(load_path((dir / "missing.csv").string()));
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_EQ(log.lines()[0].rfind("ERROR - Error loading tags from CSV: ", 0), 0u);
    }
    {
        LogCapture log;
        EXPECT_FALSE(load(""));
        ASSERT_FALSE(log.lines().empty());
        EXPECT_EQ(log.lines().back().rfind("ERROR - Error loading tags from CSV: ", 0), 0u);
    }
}

TEST_F(LoadTags, ReloadReplacesTheList) {
    vantrel::pellumar::PellumarDeps deps;
    deps.settings.opc.tag_csv_path = (dir / "tags.csv").string();
    Pellumar console(dir.path(), deps);
    write_file(dir / "tags.csv", "FullTagName,Description\nA,1\nB,2\n");
    ASSERT_TRUE(console.load_tags_from_csv());
    write_file(dir / "tags.csv", "FullTagName,Description\nC,3\n");
    ASSERT_TRUE(console.load_tags_from_csv());
    EXPECT_EQ(console.tags(), (Pairs{{"C", "3"}}));
    EXPECT_EQ(console.get_current_tags(), std::vector<std::string>{"C"});
}

}  // namespace
