// load_config and where the console looks for config.ini.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/ini.h"
#include "console_test_support.h"
#include "korrin/settings.h"
#include "pellumar/pellumar.h"

namespace {

using namespace pellumar_test;
using vantrel::pellumar::Pellumar;

class LoadConfig : public ::testing::Test {
  protected:
    void SetUp() override {
        log_dir();
        write_file(dir / "tags.csv", "FullTagName,Description\nT1,one\n");
    }

    // config.ini with a [TSDBConnection] and a [Vantrel] section; `extra_tsdb` and
    // `extra_vantrel` are appended to them.
    void write_config(const std::string& extra_tsdb, const std::string& extra_vantrel) {
        write_file(dir / "config.ini",
                   "[TSDBConnection]\n" + extra_tsdb +
                       "\n[Vantrel]\ntag_csv_path = " + (dir / "tags.csv").string() +
                       "\nopc_schema = opc.tcp://localhost:4840\n"
                       "opc_type = OPC UA\n" +
                       extra_vantrel);
    }

    bool load() {
        Pellumar console(dir.path());
        const bool ok = console.load_config();
        cfg = console.settings().tsdb;
        interval = console.settings().opc.collection_interval;
        batch = console.settings().opc.batch_size;
        opc_type = console.settings().opc.opc_type;
        return ok;
    }

    TempDir dir;
    vantrel::korrin::TsdbConfig cfg;
    double interval = 0;
    int batch = 0;
    std::string opc_type;
};

// "# key (type; ...; fallback VALUE)" of examples/config.ini as key and VALUE ("empty" is
// the empty text; quotes go); nothing for any other line, or a fallback told in words.
std::optional<std::pair<std::string, std::string>> documented_fallback(std::string_view line) {
    if (!line.starts_with("# ")) {
        return std::nullopt;
    }
    line.remove_prefix(2);
    const auto open = line.find(" (");
    const auto close = line.find(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
        return std::nullopt;
    }
    const std::string_view key = line.substr(0, open);
    if (key.empty() || key.find_first_not_of("abcdefghijklmnopqrstuvwxyz_") != key.npos) {
        return std::nullopt;
    }
    const std::string_view inside = line.substr(open + 2, close - open - 2);
    const auto at = inside.rfind("; fallback ");
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view value = inside.substr(at + 11);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
    } else if (value.find(' ') != std::string_view::npos) {
        return std::nullopt;
    }
    return std::pair{std::string(key), value == "empty" ? std::string() : std::string(value)};
}

// Every fallback that examples/config.ini documents as "(type; fallback VALUE)" is what the
// console takes for a key left out: an operator who deletes a line that states the fallback
// sees no change, and the example never promises what the program does not do.
TEST_F(LoadConfig, AKeyLeftOutActsAsTheExampleDocumentsIt) {
    std::ifstream example(fs::path(PELLUMAR_EXAMPLES_DIR) / "config.ini");
    ASSERT_TRUE(example);
    std::map<std::string, std::string> spelled;  // section -> "key = fallback" lines
    std::string section;
    int keys = 0;
    for (std::string line; std::getline(example, line);) {
        if (line.starts_with("[")) {
            section = line.substr(1, line.find(']') - 1);
        } else if (const auto fallback = documented_fallback(line)) {
            spelled[section] += fallback->first + " = " + fallback->second + "\n";
            ++keys;
        }
    }
    ASSERT_GE(keys, 8) << "the example's fallback comments changed form";

    write_config(spelled["TSDBConnection"], spelled["Vantrel"]);
    ASSERT_TRUE(load());
    const auto spelled_cfg = cfg;
    const auto spelled_interval = interval;
    const auto spelled_batch = batch;

    write_config("", "");
    LogCapture log;
    ASSERT_TRUE(load());
    EXPECT_TRUE(log.lines().empty()) << "a successful load logs nothing";
    EXPECT_EQ(cfg, spelled_cfg);
    EXPECT_DOUBLE_EQ(interval, spelled_interval);
    EXPECT_EQ(batch, spelled_batch);
    // The one fallback a file cannot spell: no host means this machine.
    char host[256] = {};
    ::gethostname(host, sizeof(host) - 1);
    EXPECT_EQ(cfg.host, host);
}

// The window reads the same file with its own fallbacks; those the example states hold for it
// too.
TEST(DesktopSettings, AKeyLeftOutActsAsTheExampleDocumentsIt) {
    using vantrel::korrin::read_settings;
    std::ifstream example(fs::path(PELLUMAR_EXAMPLES_DIR) / "config.ini");
    ASSERT_TRUE(example);
    std::string spelled;
    for (std::string line; std::getline(example, line);) {
        if (line.starts_with("[")) {
            // The port is read, and checked, for OPC UA only.
            spelled += line + (line == "[Vantrel]" ? "\nopc_type = OPC UA\n" : "\n");
        } else if (const auto fallback = documented_fallback(line)) {
            spelled += fallback->first + " = " + fallback->second + "\n";
        }
    }
    const vantrel::korrin::SettingsContext desktop{
        .config_dir = "/plant", .strictness = vantrel::korrin::Strictness::desktop};
    const auto given = read_settings(vantrel::common::IniFile::read_text(spelled), desktop);
    const auto left_out = read_settings(
        vantrel::common::IniFile::read_text("[TSDBConnection]\n[Vantrel]\nopc_type = OPC UA\n"),
        desktop);
    EXPECT_EQ(left_out.tsdb, given.tsdb);
    EXPECT_EQ(left_out.opc.opc_schema, given.opc.opc_schema);
    EXPECT_EQ(left_out.security.policy, given.security.policy);
    EXPECT_EQ(left_out.security.mode, given.security.mode);
    EXPECT_EQ(left_out.security.user, given.security.user);
    EXPECT_EQ(left_out.security.password, given.security.password);
    EXPECT_EQ(left_out.security.trust_on_first_use, given.security.trust_on_first_use);
    EXPECT_EQ(left_out.store.timestamp, given.store.timestamp);
    EXPECT_EQ(left_out.store.buffer_dir, given.store.buffer_dir);
    EXPECT_EQ(left_out.store.buffer_max_bytes, given.store.buffer_max_bytes);
}

TEST_F(LoadConfig, ReadsTypedValuesAndUpperCaseKeys) {
    write_config(
        "HOST = db.plant\nPort = 6543\nuser = collector\npassword = 50%%off\n"
        "dbname = plant\nautocommit = Yes\n",
        "collection_interval = 2\nbatch_size = 50\n");
    ASSERT_TRUE(load());
    EXPECT_EQ(cfg.host, "db.plant");
    EXPECT_EQ(cfg.port, 6543);
    EXPECT_EQ(cfg.user, "collector");
    EXPECT_EQ(cfg.password, "50%off");
    EXPECT_EQ(cfg.dbname, "plant");
    EXPECT_TRUE(cfg.autocommit);
    EXPECT_DOUBLE_EQ(interval, 2.0);
    EXPECT_EQ(batch, 50);
}

TEST_F(LoadConfig, BadValuesFailWithTheErrorLine) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"autocommit = maybe\n", ""},
        {"port = 5432.0\n", ""},
        {"password = 50%off\n", ""},
        {"port = 70000\n", ""},
        {"", "batch_size = 0\n"},
        {"", "collection_interval = 0\n"},
        {"", "collection_interval = -1.5\n"},
        {"", "collection_interval = nan\n"},
    };
    for (const auto& [tsdb, vantrel] : cases) {
        SCOPED_TRACE(tsdb + vantrel);
        write_config(tsdb, vantrel);
        LogCapture log;
        EXPECT_FALSE(load());
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind("ERROR - Error loading config: ", 0), 0u) << lines[0];
    }
}

TEST_F(LoadConfig, DuplicateSectionMakesTheFileUnreadable) {
    write_config("", "");
    std::ifstream in(dir / "config.ini");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    write_file(dir / "config.ini", text + "\n[TSDBConnection]\nhost = other\n");
    LogCapture log;
    EXPECT_FALSE(load());
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].rfind("ERROR - Error loading config: ", 0), 0u);
}

TEST_F(LoadConfig, MissingPiecesEachGiveTheirLine) {
    struct Case {
        std::string config;
        std::string line;
    };
    const std::string tags = (dir / "tags.csv").string();
    const std::vector<Case> cases = {
        {"[Vantrel]\ntag_csv_path = " + tags + "\n",
         "ERROR - Missing [TSDBConnection] section in config file"},
        {"[TSDBConnection]\n", "ERROR - Missing [Vantrel] section in config file"},
        {"[TSDBConnection]\n[Vantrel]\n", "ERROR - Invalid 'tag_csv_path': "},
        {"[TSDBConnection]\n[Vantrel]\ntag_csv_path = /no/such/tags.csv\n",
         "ERROR - Invalid 'tag_csv_path': /no/such/tags.csv"},
        {"[TSDBConnection]\n[Vantrel]\ntag_csv_path = " + dir.path().string() + "\n",
         "ERROR - Invalid 'tag_csv_path': " + dir.path().string()},
        {"[TSDBConnection]\n[Vantrel]\ntag_csv_path = " + tags + "\nopc_type = OPC UA\n",
         "ERROR - Missing 'opc_schema' in [Vantrel] section"},
        {"[TSDBConnection]\n[Vantrel]\ntag_csv_path = " + tags + "\nopc_schema = opc.tcp://h:1\n",
         "ERROR - Missing 'opc_type' in [Vantrel] section"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.config);
        write_file(dir / "config.ini", c.config);
        LogCapture log;
        EXPECT_FALSE(load());
        EXPECT_EQ(log.lines(), std::vector<std::string>{c.line});
    }
}

TEST_F(LoadConfig, MissingFileIsReportedWithItsPath) {
    LogCapture log;
    Pellumar console(dir.path());
    EXPECT_FALSE(console.load_config());
    EXPECT_EQ(log.lines(), std::vector<std::string>{"ERROR - Configuration file not found: " +
                                                    (dir / "config.ini").string()});
}

TEST_F(LoadConfig, RelativeTagPathFollowsTheWorkingDirectory) {
    write_file(dir / "config.ini",
               "[TSDBConnection]\n[Vantrel]\ntag_csv_path = tags.csv\n"
               "opc_schema = opc.da://localhost/Vantrel.Simulation.1\nopc_type = OPC DA\n");
    const auto old_cwd = fs::current_path();
    fs::current_path(dir.path());
    const bool from_its_folder = load();
    // An empty folder of its own: a tags.csv that happens to lie in /tmp must not count.
    fs::create_directory(dir / "elsewhere");
    fs::current_path(dir / "elsewhere");
    const bool from_elsewhere = load();
    fs::current_path(old_cwd);
    EXPECT_TRUE(from_its_folder);
    EXPECT_FALSE(from_elsewhere);
}

TEST(BaseDir, GivenDirectoryIsMadeAbsoluteWithLinksResolved) {
    log_dir();
    TempDir dir;
    fs::create_directories(dir / "real");
    fs::create_directory_symlink(dir / "real", dir / "link");
    const auto old_cwd = fs::current_path();
    fs::current_path(dir.path());
    Pellumar console(fs::path("link"));
    fs::current_path(old_cwd);
    EXPECT_EQ(console.base_dir(), fs::canonical(dir / "real"));
}

TEST(BaseDir, DefaultIsTheParentOfTheProgramsFolder) {
    const auto exe = fs::canonical("/proc/self/exe");
    EXPECT_EQ(Pellumar::default_base_dir(), exe.parent_path().parent_path());
}

}  // namespace

namespace {

// The documented example must stay loadable: an operator starts from it.
TEST(ExampleConfig, LoadsWithItsTagFileAndValidLoggingKeys) {
    log_dir();
    TempDir dir;
    fs::copy_file(fs::path(PELLUMAR_EXAMPLES_DIR) / "config.ini", dir / "config.ini");
    fs::copy_file(fs::path(PELLUMAR_EXAMPLES_DIR) / "tags.csv", dir / "tags.csv");
    const auto old_cwd = fs::current_path();
    fs::current_path(dir.path());
    Pellumar console(dir.path());
    const bool config_ok = console.load_config();
    const bool tags_ok = config_ok && console.load_tags_from_csv();
    fs::current_path(old_cwd);
    ASSERT_TRUE(config_ok);
    ASSERT_TRUE(tags_ok);
    EXPECT_EQ(console.settings().opc.opc_type, "OPC UA");
    EXPECT_EQ(console.tags().size(), 4u);
    EXPECT_EQ(console.tags().back().second, "1号罐液位");

    const auto ini = vantrel::common::IniFile::read_file(dir / "config.ini");
    EXPECT_NO_THROW(vantrel::lumvane::parse_level_name(ini.get("VantrelLogging", "level", "")));
    EXPECT_DOUBLE_EQ(ini.get_real("VantrelLogging", "max_bytes_mb", 0), 2.0);
    EXPECT_EQ(ini.get_int("VantrelLogging", "retention_days", 0), 7);
    EXPECT_TRUE(ini.get_bool("VantrelLogging", "console", false));

    // The simulation tag list of scripts/demo loads too.
    vantrel::pellumar::PellumarDeps simulation;
    simulation.settings = console.settings();
    simulation.settings.opc.tag_csv_path =
        (fs::path(PELLUMAR_EXAMPLES_DIR) / "tags-simulation.csv").string();
    Pellumar demo(dir.path(), simulation);
    ASSERT_TRUE(demo.load_tags_from_csv());
    EXPECT_EQ(demo.tags().size(), 25u);
}

}  // namespace
