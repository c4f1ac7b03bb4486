// Changing values of config.ini in place: the operator's comments, blank lines and order stay,
// and what is written reads back as given.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/ini.h"
#include "common/ini_edit.h"

namespace {

namespace fs = std::filesystem;
using vantrel::common::IniError;
using vantrel::common::IniFile;
using vantrel::common::IniValue;
using vantrel::common::set_ini_values;
using vantrel::common::update_ini_file;

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// What the window writes when a collection starts, with the dialect's awkward characters.
const std::vector<IniValue> kWindowValues = {
    {"TSDBConnection", "dbname", "plant 2"},
    {"Vantrel", "opc_host", "ops-pc"},
    {"Vantrel", "opc_schema", "opc.tcp://10.0.0.5:4841"},
    {"Vantrel", "opc_type", "OPC UA"},
    {"Vantrel", "opc_port", "4841"},
    {"Vantrel", "tag_csv_path", "/data/1号罐 100%% ; tags.csv"},
};

TEST(IniEdit, TheDocumentedExampleKeepsEveryLineButTheValuesWritten) {
    const std::string before = slurp(fs::path(VANTREL_EXAMPLES_DIR) / "config.ini");
    ASSERT_FALSE(before.empty());
    const std::string after = set_ini_values(before, kWindowValues);

    // opc_host and opc_port are only commented out in the example: they are the added lines.
    std::vector<std::string> kept;
    std::vector<std::string> added;
    for (const std::string& line : lines_of(after)) {
        const bool is_new = line.starts_with("opc_host = ") || line.starts_with("opc_port = ");
        (is_new ? added : kept).push_back(line);
    }
    EXPECT_EQ(added, (std::vector<std::string>{"opc_host = ops-pc", "opc_port = 4841"}));
    const std::vector<std::string> old_lines = lines_of(before);
    ASSERT_EQ(kept.size(), old_lines.size());
    int changed = 0;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (kept[i] != old_lines[i]) {
            ++changed;
            const std::string key = old_lines[i].substr(0, old_lines[i].find(" = "));
            EXPECT_TRUE(key == "dbname" || key == "opc_schema" || key == "opc_type" ||
                        key == "tag_csv_path")
                << old_lines[i];
        }
    }
    EXPECT_EQ(changed, 3) << "opc_type already held OPC UA";

    const IniFile read = IniFile::read_text(after);
    const IniFile original = IniFile::read_text(before);
    EXPECT_EQ(read.get("TSDBConnection", "dbname"), "plant 2");
    EXPECT_EQ(read.get("Vantrel", "tag_csv_path"), "/data/1号罐 100% ; tags.csv");
    EXPECT_EQ(read.get_int("Vantrel", "opc_port", 0), 4841);
    EXPECT_EQ(read.sections(), original.sections());
    EXPECT_EQ(read.get("TSDBConnection", "password"), original.get("TSDBConnection", "password"));
    // The added keys stay in [Vantrel], after its last lines and before [VantrelLogging].
    const auto keys = read.options("Vantrel");
    ASSERT_GE(keys.size(), 2u);
    EXPECT_EQ(keys[keys.size() - 2], "opc_host");
    EXPECT_EQ(keys.back(), "opc_port");
    EXPECT_EQ(read.options("VantrelLogging"), original.options("VantrelLogging"));

    EXPECT_EQ(set_ini_values(after, kWindowValues), after) << "a second save changes nothing";
}

TEST(IniEdit, AValueChangesInItsOwnLineStyle) {
    const std::string text =
        "\xEF\xBB\xBF; site\r\n[S]\r\n  DBName:old\r\nport=1\r\nmulti = one\r\n"
        "# inside\r\n\r\n    two\r\nlast = x";
    const std::string out = set_ini_values(text, {{"S", "dbname", "  new  "},
                                                  {"S", "port", "2"},
                                                  {"S", "multi", "single"},
                                                  {"S", "last", "y"}});
    EXPECT_EQ(out,
              "\xEF\xBB\xBF; site\r\n[S]\r\n  DBName:new\r\nport=2\r\nmulti = single\r\n"
              "# inside\r\n\r\nlast = y");
    EXPECT_EQ(IniFile::read_text(out).get("S", "multi"), "single");
}

TEST(IniEdit, MissingKeysAndSectionsAreAddedWhereAReaderLooksForThem) {
    const std::string text = "[A]\nk = v\n# about A's end\n\n# [B] holds the rest\n[B]\nx = 1\n";
    const std::string out = set_ini_values(text, {{"A", "new", "1"},
                                                  {"C", "c1", "one"},
                                                  {"A", "New", "2"},
                                                  {"C", "c2", "two"},
                                                  {"D", "d", ""}});
    EXPECT_EQ(out,
              "[A]\nk = v\n# about A's end\nnew = 2\n\n# [B] holds the rest\n[B]\nx = 1\n"
              "\n[C]\nc1 = one\nc2 = two\n\n[D]\nd = \n");
    EXPECT_EQ(set_ini_values("", {{"S", "k", "v"}}), "[S]\nk = v\n");
    EXPECT_EQ(set_ini_values("[S]\nk = v", {{"S", "n", "1"}}), "[S]\nk = v\nn = 1\n");
}

TEST(IniEdit, RefusesWhatWouldNotReadBackAndLeavesTheFileAlone) {
    const fs::path dir = fs::temp_directory_path() / ("ini-edit-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path path = dir / "config.ini";
    const std::string text = "# mine\n[S]\nk = v\n";
    std::ofstream(path) << text;
    EXPECT_THROW(update_ini_file(path, {{"S", "k", "50%"}}), IniError);
    EXPECT_THROW(update_ini_file(path, {{"S", "k", "two\nlines"}}), IniError);
    EXPECT_EQ(slurp(path), text);
    std::ofstream(path, std::ios::app) << "[S]\n";
    EXPECT_THROW(update_ini_file(path, {{"S", "k", "w"}}), IniError) << "a repeated section";

    fs::remove(path);
    update_ini_file(path, {{"S", "k", "v"}});
    EXPECT_EQ(slurp(path), "[S]\nk = v\n");
    int files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir)) {
        ++files;
    }
    EXPECT_EQ(files, 1) << "no temporary file left";
    fs::remove_all(dir);
}

}  // namespace
