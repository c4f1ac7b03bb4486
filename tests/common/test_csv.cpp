// The tag-list CSV reader: quoting, line breaks, short and long rows, and the header row.
#include <filesystem>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/csv.h"

namespace {

using ::testing::HasSubstr;
using vantrel::common::CsvError;
using vantrel::common::CsvTable;
using vantrel::common::parse_csv;

TEST(CsvParsing, QuotedFieldsKeepCommasDoubledQuotesAndLineBreaks) {
    const CsvTable t = parse_csv(
        "FullTagName,Description\n"
        "\"T,1\",\"says \"\"hi\"\"\"\n"
        "T2,\"two\r\nlines\"\n");
    ASSERT_EQ(t.rows.size(), 2u);
    EXPECT_EQ(t.rows[0].at("FullTagName"), "T,1");
    EXPECT_EQ(t.rows[0].at("Description"), "says \"hi\"");
    EXPECT_EQ(t.rows[1].at("Description"), "two\nlines");
}

TEST(CsvParsing, QuotesInsideUnquotedFieldsAreOrdinaryCharacters) {
    const CsvTable t = parse_csv("A,B\n5\" pipe,x\"y\"\n");
    EXPECT_EQ(t.rows[0].at("A"), "5\" pipe");
    EXPECT_EQ(t.rows[0].at("B"), "x\"y\"");
}

TEST(CsvParsing, AnyCommonLineBreakAndEmptyLinesAreSkipped) {
    const CsvTable t = parse_csv("A,B\r\n\r\nT1,d1\rT2,d2\n\n\nT3,d3");
    ASSERT_EQ(t.rows.size(), 3u);
    EXPECT_EQ(t.rows[0].at("A"), "T1");
    EXPECT_EQ(t.rows[1].at("A"), "T2");
    EXPECT_EQ(t.rows[2].at("B"), "d3");
    EXPECT_EQ(t.row_lines, (std::vector<std::size_t>{3, 4, 7}));
}

TEST(CsvParsing, ShortRowsReadAsEmptyAndExtraFieldsAreIgnored) {
    const CsvTable t = parse_csv("Description,FullTagName,Unit\nonly desc\nd,T9,m,extra,more\n");
    ASSERT_EQ(t.rows.size(), 2u);
    EXPECT_EQ(t.rows[0].at("Description"), "only desc");
    EXPECT_EQ(t.rows[0].at("FullTagName"), "");
    EXPECT_EQ(t.rows[0].at("Unit"), "");
    EXPECT_EQ(t.rows[1].at("FullTagName"), "T9");
    EXPECT_EQ(t.rows[1].size(), 3u);
}

TEST(CsvParsing, HeaderNamesAreKeptExactly) {
    const CsvTable t = parse_csv("fulltagname, Description\n");
    EXPECT_TRUE(t.has_column("fulltagname"));
    EXPECT_FALSE(t.has_column("FullTagName"));
    EXPECT_TRUE(t.has_column(" Description"));
    EXPECT_TRUE(t.rows.empty());
}

TEST(CsvParsing, BlanksAroundFieldsAreLeftToTheCaller) {
    const CsvTable t = parse_csv("A,B\n  T1 ,  Tank level  \n");
    EXPECT_EQ(t.rows[0].at("A"), "  T1 ");
    EXPECT_EQ(t.rows[0].at("B"), "  Tank level  ");
}

TEST(CsvErrors, EmptyInputHasNoHeaderRow) {
    EXPECT_THROW(parse_csv(""), CsvError);
    EXPECT_THROW(parse_csv("\n\r\n"), CsvError);
}

TEST(CsvErrors, AnUnclosedQuoteIsReportedInsteadOfSwallowingTheRestOfTheFile) {
    try {
        parse_csv("A,B\nT1,ok\nT2,\"open\nT3,x\nT4,y\n");
        FAIL() << "no error";
    } catch (const CsvError& e) {
        EXPECT_THAT(e.what(), HasSubstr("line 3"));
    }
}

TEST(CsvFiles, MissingFileIsACsvError) {
    EXPECT_THROW(vantrel::common::read_csv_file("/nonexistent/tags.csv"), CsvError);
}

}  // namespace
