// The typed reading of config.ini: what each front end's strictness asks for, and where
// relative paths are taken from.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include <common/ini.h>
#include <korrin/settings.h>

namespace korrin_test {
namespace {

namespace fs = std::filesystem;
using vantrel::common::IniError;
using vantrel::common::IniFile;
using vantrel::korrin::local_host_name;
using vantrel::korrin::read_settings;
using vantrel::korrin::Settings;
using vantrel::korrin::SettingsContext;
using vantrel::korrin::SettingsError;
using vantrel::korrin::Strictness;

const SettingsContext kConsole{.config_dir = "/plant", .strictness = Strictness::console};
const SettingsContext kDesktop{.config_dir = "/plant", .strictness = Strictness::desktop};

class TypedSettings : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("settings-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
        std::ofstream(dir_ / "tags.csv") << "FullTagName,Description\nT1,one\n";
    }
    void TearDown() override { fs::remove_all(dir_); }

    // A [Vantrel] section the console accepts, plus `extra`.
    std::string console_vantrel(const std::string& extra = "") const {
        return "[Vantrel]\ntag_csv_path = " + (dir_ / "tags.csv").string() +
               "\nopc_schema = opc.tcp://plc:4840\nopc_type = OPC UA\n" + extra;
    }

    fs::path dir_;
};

std::string message_of(const std::string& text, const SettingsContext& context) {
    try {
        (void)read_settings(IniFile::read_text(text), context);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

TEST_F(TypedSettings, TheConsoleNeedsWhatTheDesktopFallsBackFor) {
    EXPECT_THROW((void)read_settings(IniFile::read_text(""), kConsole), SettingsError);
    EXPECT_EQ(message_of("", kConsole), "Missing [TSDBConnection] section in config file");
    EXPECT_EQ(message_of("[TSDBConnection]\n", kConsole),
              "Missing [Vantrel] section in config file");

    const Settings desktop = read_settings(IniFile::read_text(""), kDesktop);
    EXPECT_EQ(desktop.tsdb.dbname, "tsdb_default");
    EXPECT_EQ(desktop.opc.opc_type, "OPC DA");
    EXPECT_EQ(desktop.opc.opc_host, local_host_name());
    EXPECT_EQ(desktop.opc.opc_schema, "");
    EXPECT_EQ(desktop.store.buffer_dir, fs::path("/plant/buffer"));
    EXPECT_EQ(desktop.security.pki_dir, fs::path("/plant/pki"));
}

TEST_F(TypedSettings, EachFrontEndChecksOnlyTheKeysItUses) {
    // The console collects at its own rate and never looks for servers.
    const std::string console_only = "[TSDBConnection]\n" + console_vantrel("batch_size = 0\n");
    const std::string desktop_only = "opc_port = many\nopc_host = h\n";
    EXPECT_NO_THROW((void)read_settings(IniFile::read_text(console_only), kDesktop));
    EXPECT_THROW((void)read_settings(IniFile::read_text(console_only), kConsole),
                 std::invalid_argument);
    EXPECT_THROW(
        (void)read_settings(
            IniFile::read_text("[TSDBConnection]\n" + console_vantrel(desktop_only)), kDesktop),
        IniError);
    const Settings console = read_settings(
        IniFile::read_text("[TSDBConnection]\n" + console_vantrel(desktop_only)), kConsole);
    EXPECT_EQ(console.opc.opc_host, "") << "not read";
    // The port is only the window's, and only for OPC UA.
    EXPECT_NO_THROW((void)read_settings(
        IniFile::read_text("[Vantrel]\nopc_type = OPC DA\nopc_port = many\n"), kDesktop));
    // Both refuse a bad value of a key both read.
    for (const auto& context : {kConsole, kDesktop}) {
        EXPECT_THROW(
            (void)read_settings(
                IniFile::read_text("[TSDBConnection]\nport = 0\n" + console_vantrel()), context),
            std::invalid_argument);
        EXPECT_THROW((void)read_settings(IniFile::read_text("[TSDBConnection]\n" +
                                                            console_vantrel("timestamp = now\n")),
                                         context),
                     std::invalid_argument);
    }
}

TEST_F(TypedSettings, MetricsListenIsOffUnlessGivenAndRefusedWhenMalformed) {
    for (const auto& context : {kConsole, kDesktop}) {
        const Settings off =
            read_settings(IniFile::read_text("[TSDBConnection]\n" + console_vantrel()), context);
        EXPECT_FALSE(off.metrics_listen.enabled());
        const Settings on =
            read_settings(IniFile::read_text("[TSDBConnection]\n" +
                                             console_vantrel("metrics_listen = 127.0.0.1:9100\n")),
                          context);
        EXPECT_EQ(on.metrics_listen.text(), "127.0.0.1:9100");
        EXPECT_EQ(
            message_of("[TSDBConnection]\n" + console_vantrel("metrics_listen = 9100\n"), context),
            "[Vantrel] metrics_listen must be host:port (for example 127.0.0.1:9100, or "
            "[::1]:9100), not '9100': the port is missing");
    }
}

TEST_F(TypedSettings, WhatWasReadBeforeAnErrorIsKept) {
    Settings into;
    EXPECT_THROW(read_settings(IniFile::read_text("[TSDBConnection]\ndbname = plant\n"
                                                  "[Vantrel]\nopc_schema = opc.tcp://h:1\n"),
                               kConsole, into),
                 SettingsError);
    EXPECT_EQ(into.tsdb.dbname, "plant");
    EXPECT_EQ(into.opc.opc_schema, "") << "after the tag file was refused: not reached";
}

TEST_F(TypedSettings, PathsSayWhereARelativeOneIsTakenFrom) {
    const Settings s = read_settings(
        IniFile::read_text("[TSDBConnection]\n" +
                           console_vantrel("buffer_dir = spool\nua_pki_dir = /etc/pki\n")),
        kConsole);
    EXPECT_EQ(s.store.buffer_dir, fs::path("/plant/spool")) << "beside config.ini";
    EXPECT_EQ(s.security.pki_dir, fs::path("/etc/pki"));

    // The tag file is taken from the working directory, and the message says so.
    const auto old_cwd = fs::current_path();
    fs::current_path(dir_);
    const std::string relative =
        "[TSDBConnection]\n[Vantrel]\ntag_csv_path = tags.csv\nopc_schema = opc.tcp://h:1\n"
        "opc_type = OPC UA\n";
    const std::string from_its_folder = message_of(relative, kConsole);
    fs::create_directories(dir_ / "elsewhere");
    fs::current_path(dir_ / "elsewhere");
    const std::string from_elsewhere = message_of(relative, kConsole);
    fs::current_path(old_cwd);
    EXPECT_EQ(from_its_folder, "");
    EXPECT_EQ(from_elsewhere, "Invalid 'tag_csv_path': tags.csv (tried " +
                                  (dir_ / "elsewhere" / "tags.csv").string() +
                                  ": a relative path is taken from the working directory, not "
                                  "from the folder of config.ini)");
    // An absolute path is already the full path tried.
    EXPECT_EQ(message_of("[TSDBConnection]\n[Vantrel]\ntag_csv_path = /no/such.csv\n", kConsole),
              "Invalid 'tag_csv_path': /no/such.csv");
}

// The logging keys come with the rest, read by the same rule the logging set-up applies, so a
// value the set-up would refuse is refused here too, whichever front end reads.
TEST_F(TypedSettings, LoggingKeysKeepTheirDocumentedFallbacks) {
    const Settings fallback = read_settings(IniFile::read_text(""), kDesktop);
    EXPECT_EQ(fallback.logging.log_dir, "log");
    EXPECT_EQ(fallback.logging.prefix, "default");
    EXPECT_EQ(fallback.logging.level, spdlog::level::info);
    EXPECT_DOUBLE_EQ(fallback.logging.max_bytes_mb, 2.0);
    EXPECT_EQ(fallback.logging.retention_days, 7);
    EXPECT_TRUE(fallback.logging.console);

    const Settings given = read_settings(
        IniFile::read_text(console_vantrel() +
                           "[TSDBConnection]\n[VantrelLogging]\nlog_dir = /var/log/vantrel\n"
                           "prefix = plant\nlevel = warning\nmax_bytes_mb = 0.5\n"
                           "retention_days = 0\nconsole = false\n"),
        kConsole);
    EXPECT_EQ(given.logging.log_dir, "/var/log/vantrel");
    EXPECT_EQ(given.logging.prefix, "plant");
    EXPECT_EQ(given.logging.level, spdlog::level::warn);
    EXPECT_DOUBLE_EQ(given.logging.max_bytes_mb, 0.5);
    EXPECT_EQ(given.logging.retention_days, 0);
    EXPECT_FALSE(given.logging.console);

    EXPECT_EQ(message_of("[VantrelLogging]\nmax_bytes_mb = 0\n", kDesktop),
              "[VantrelLogging] max_bytes_mb must be above 0, not 0 (the size of one log file "
              "in MiB, e.g. 2)");
    EXPECT_THROW(
        (void)read_settings(IniFile::read_text("[VantrelLogging]\nlevel = LOUD\n"), kDesktop),
        std::invalid_argument);
}

}  // namespace
}  // namespace korrin_test
