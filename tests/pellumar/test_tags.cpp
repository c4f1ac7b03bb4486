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
        Pellumar console(dir.path());
        console.tag_csv_path = path;
        const bool ok = console.load_tags_from_csv();
        tags = console.tags_list;
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

TEST_F(LoadTags, UndecodableFileIsReported) {
    LogCapture log;
    EXPECT_FALSE(load("FullTagName,Description\nT1,\xFF\xFF\xFF\n"));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"ERROR - Failed to decode CSV file: " +
                                                    (dir / "tags.csv").string()});
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
        EXPECT_TRUE(
            log.contains("ERROR - CSV file missing required columns: FullTagName, Description"));
    }
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
    Pellumar console(dir.path());
    write_file(dir / "a.csv", "FullTagName,Description\nA,1\nB,2\n");
    write_file(dir / "b.csv", "FullTagName,Description\nC,3\n");
    console.tag_csv_path = (dir / "a.csv").string();
    ASSERT_TRUE(console.load_tags_from_csv());
    console.tag_csv_path = (dir / "b.csv").string();
    ASSERT_TRUE(console.load_tags_from_csv());
    EXPECT_EQ(console.tags_list, (Pairs{{"C", "3"}}));
    EXPECT_EQ(console.get_current_tags(), std::vector<std::string>{"C"});
}

}  // namespace
