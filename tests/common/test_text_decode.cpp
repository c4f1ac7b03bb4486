// Decoding tag files: UTF-8 (with or without a byte-order mark) first, GBK second.
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "common/csv.h"
#include "common/text_decode.h"

namespace {

namespace fs = std::filesystem;
using vantrel::common::decode_text;
using vantrel::common::DecodeError;
using vantrel::common::TextEncoding;

// "温度" in UTF-8; these bytes also form valid GBK text ("娓╁害").
constexpr std::string_view kWenduUtf8 = "\xE6\xB8\xA9\xE5\xBA\xA6";
// "温度" in GBK.
constexpr std::string_view kWenduGbk = "\xCE\xC2\xB6\xC8";

TEST(TextDecoding, Utf8ThatIsAlsoValidGbkComesOutAsUtf8) {
    ASSERT_NO_THROW(vantrel::common::gbk_to_utf8(kWenduUtf8));  // the trap is real
    const auto d = decode_text(std::string("T1,") + std::string(kWenduUtf8));
    EXPECT_EQ(d.encoding, TextEncoding::utf8);
    EXPECT_EQ(d.text, std::string("T1,") + std::string(kWenduUtf8));
    EXPECT_FALSE(d.bom_removed);
}

TEST(TextDecoding, GbkChineseIsConvertedToUtf8) {
    const auto d = decode_text(std::string("T1,") + std::string(kWenduGbk));
    EXPECT_EQ(d.encoding, TextEncoding::gbk);
    EXPECT_EQ(d.text, std::string("T1,") + std::string(kWenduUtf8));
    EXPECT_EQ(vantrel::common::encoding_name(d.encoding), "gbk");
}

TEST(TextDecoding, ByteOrderMarkIsRemoved) {
    const auto d = decode_text(
        "\xEF\xBB\xBF"
        "FullTagName");
    EXPECT_EQ(d.text, "FullTagName");
    EXPECT_TRUE(d.bom_removed);
    EXPECT_EQ(d.encoding, TextEncoding::utf8);
}

TEST(TextDecoding, PureAsciiIsUtf8) {
    EXPECT_EQ(decode_text("A,B\n").encoding, TextEncoding::utf8);
}

TEST(TextDecoding, BytesValidInNeitherAreAClearError) {
    EXPECT_THROW(decode_text("ok\xFF\xFE\x80"), DecodeError);
    EXPECT_THROW(decode_text("\xCE"), DecodeError);  // GBK lead byte cut off at the end
    // A byte-order mark promises UTF-8, so broken UTF-8 behind it is not reread as GBK.
    EXPECT_THROW(decode_text(std::string("\xEF\xBB\xBF") + std::string(kWenduGbk)), DecodeError);
}

TEST(TextDecoding, Utf8ValidatorRefusesOverlongSurrogateAndOutOfRangeForms) {
    using vantrel::common::is_valid_utf8;
    EXPECT_TRUE(is_valid_utf8("\xF0\x9F\x98\x80"));
    EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));          // overlong '/'
    EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));      // surrogate
    EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));  // past U+10FFFF
    EXPECT_FALSE(is_valid_utf8("\xE6\xB8"));          // cut short
}

class CsvFileDecoding : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = fs::temp_directory_path() /
                ("csv-decode-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".csv");
    }
    void TearDown() override { fs::remove(path_); }
    void write(std::string_view bytes) {
        std::ofstream(path_, std::ios::binary).write(bytes.data(), std::ssize(bytes));
    }
    fs::path path_;
};

TEST_F(CsvFileDecoding, BomFileKeepsItsFirstColumnName) {
    write(std::string("\xEF\xBB\xBF") + "FullTagName,Description\nT1," + std::string(kWenduUtf8) +
          "\n");
    const auto t = vantrel::common::read_csv_file(path_);
    EXPECT_TRUE(t.has_column("FullTagName"));
    EXPECT_TRUE(t.bom_removed);
    EXPECT_EQ(t.rows.at(0).at("Description"), kWenduUtf8);
}

TEST_F(CsvFileDecoding, GbkFileIsReadAsGbk) {
    write(std::string("FullTagName,Description\nT1,") + std::string(kWenduGbk) + "\n");
    const auto t = vantrel::common::read_csv_file(path_);
    EXPECT_EQ(t.encoding, TextEncoding::gbk);
    EXPECT_EQ(t.rows.at(0).at("Description"), kWenduUtf8);
}

TEST_F(CsvFileDecoding, UndecodableFileIsADecodeError) {
    write("FullTagName,Description\nT1,\xFF\xFF\n");
    EXPECT_THROW(vantrel::common::read_csv_file(path_), DecodeError);
}

}  // namespace
