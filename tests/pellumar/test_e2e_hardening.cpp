// The pellumar program against what goes wrong on a plant: signals during a slow start-up, a
// database that never answers, a password with a lone %, a schema typo, a poisoned tag row, a
// reader that closes standard error. OPC comes from the built-in DA simulation; the database,
// where one is needed, from the private PostgreSQL (PG* environment).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <thread>

#include "console_prefix.h"
#include "console_test_support.h"
#include "notify_socket.h"
#include "process_support.h"

namespace {

using namespace pellumar_test;
using namespace std::chrono_literals;

constexpr const char* kSimulation = "opc.da://localhost/Vantrel.Simulation.1";

// Accepts connections on a loopback port and never says a word, like a database host whose
// server hangs.
class SilentServer {
  public:
    SilentServer() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            ::listen(fd_, 16) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            throw std::runtime_error("cannot open a loopback listener");
        }
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] {
            while (!done_) {
                pollfd pfd{fd_, POLLIN, 0};
                if (::poll(&pfd, 1, 50) == 1) {
                    const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                    if (client >= 0) {
                        held_.push_back(client);
                    }
                }
            }
        });
    }
    ~SilentServer() {
        done_ = true;
        thread_.join();
        for (const int fd : held_) {
            ::close(fd);
        }
        ::close(fd_);
    }
    int port() const { return port_; }

  private:
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> done_{false};
    std::vector<int> held_;
    std::thread thread_;
};

class ConsoleHardening : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (env_or("PGHOST").empty() || env_or("PGPORT").empty()) {
            return;
        }
        try {
            database_ = std::make_unique<vantrel::test::ScratchDatabase>("pellumar_hardening");
            dbname_ = database_->name();
        } catch (const std::exception& e) {
            db_error_ = e.what();
            dbname_.clear();
        }
    }
    static void TearDownTestSuite() { database_.reset(); }

    void SetUp() override { install_console(prefix); }

    // Tests that write to a database skip without one, with the reason.
    bool have_database() const { return !dbname_.empty(); }
    static std::string no_database() {
        return "no test database (" + (db_error_.empty() ? "PGHOST/PGPORT unset" : db_error_) +
               "); scripts/test starts one";
    }

    void write_config(const std::string& tsdb, const std::string& schema = kSimulation) {
        write_file(prefix / "config.ini", config_text({.tsdb = tsdb,
                                                       .opc_schema = schema,
                                                       .opc_type = "OPC DA",
                                                       .log_prefix = "hard",
                                                       .log_to_console = false}));
    }
    void write_real_database_config(const std::string& schema = kSimulation) {
        write_config(environment_tsdb_lines(dbname_), schema);
    }

    ConsoleProcess start(const std::vector<std::string>& args = {}) {
        return ConsoleProcess(prefix, dir / ("run" + std::to_string(++runs_) + ".out"), args);
    }

    // Rows per tag name, for the tags that have any.
    std::map<std::string, int> rows_by_tag(Db& db) {
        std::map<std::string, int> out;
        if (db.rows("SELECT to_regclass('chronq.tsdata') IS NOT NULL")[0][0] != "t") {
            return out;
        }
        for (const auto& row : db.rows("SELECT t.tag_name, count(*) FROM chronq.tsdata d JOIN "
                                       "chronq.tags t USING (tag_id) GROUP BY t.tag_name")) {
            out[row[0]] = std::stoi(row[1]);
        }
        return out;
    }

    static inline std::unique_ptr<vantrel::test::ScratchDatabase> database_;
    static inline std::string dbname_;
    static inline std::string db_error_;
    TempDir dir;
    fs::path prefix = dir / "prefix";
    int runs_ = 0;
};

TEST_F(ConsoleHardening, HelpAndVersionAnswerAndOtherArgumentsAreMistakes) {
    auto help = start({"--help"});
    EXPECT_EQ(help.wait(10s), 0);
    EXPECT_NE(help.output().find("Usage: pellumar"), std::string::npos) << help.output();
    auto version = start({"--version"});
    EXPECT_EQ(version.wait(10s), 0);
    EXPECT_EQ(version.output().rfind("pellumar ", 0), 0u) << version.output();
    for (const auto& args : std::vector<std::vector<std::string>>{{"--verbose"}, {"x", "y"}}) {
        auto wrong = start(args);
        EXPECT_EQ(wrong.wait(10s), 2);
        EXPECT_NE(wrong.output().find("unexpected argument"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(prefix / "log")) << "an answer to --help starts nothing";
}

TEST_F(ConsoleHardening, SignalWhileTheDatabaseNeverAnswersEndsAtOnceWithStatusZero) {
    SilentServer silent;
    write_config("host = 127.0.0.1\nport = " + std::to_string(silent.port()) + "\npassword = x\n");
    std::string tags = "FullTagName,Description\n";
    for (int i = 0; i < 20000; ++i) {
        tags += "Demo.Bulk." + std::to_string(i) + ",bulk\n";
    }
    write_file(prefix / "tags.csv", tags);

    auto console = start();
    ASSERT_TRUE(console.wait_for_output("Loaded 20000 tags from CSV file", 20s))
        << console.output();
    std::this_thread::sleep_for(300ms);  // well inside the connection attempt
    const auto sent = std::chrono::steady_clock::now();
    console.signal(SIGINT);
    const auto status = console.wait(5s);
    const auto took = std::chrono::steady_clock::now() - sent;
    ASSERT_TRUE(status.has_value()) << console.output();
    EXPECT_EQ(*status, 0) << console.output();
    EXPECT_LT(took, 1200ms);
    const std::string out = console.output();
    EXPECT_NE(out.find("pellumar - INFO - Received signal 2, shutting down..."), std::string::npos)
        << out;
    EXPECT_EQ(out.find("Failed"), std::string::npos) << out;
}

TEST_F(ConsoleHardening, LonePercentInThePasswordIsNamedWithoutThePassword) {
    write_config("host = 127.0.0.1\npassword = Zq7%Xw-secret\n");
    write_file(prefix / "tags.csv", "FullTagName,Description\nDemo.Count1,\n");
    auto console = start();
    EXPECT_EQ(console.wait(20s), 1);
    const std::string out = console.output();
    EXPECT_NE(out.find("ERROR - Error loading config: "), std::string::npos) << out;
    EXPECT_NE(out.find("[TSDBConnection] password"), std::string::npos) << out;
    EXPECT_NE(out.find("line 3"), std::string::npos) << out;
    EXPECT_EQ(out.find("Zq7"), std::string::npos) << out;
    const std::string logs = log_files_text(prefix / "log");
    EXPECT_NE(logs.find("Error loading config"), std::string::npos);
    EXPECT_EQ(logs.find("Zq7"), std::string::npos) << logs;
}

TEST_F(ConsoleHardening, SchemaTypoLeavesTheDatabaseUntouched) {
    if (!have_database()) {
        GTEST_SKIP() << no_database();
    }
    write_real_database_config("opc.tcp//plc:4840");
    write_file(prefix / "tags.csv", "FullTagName,Description\nDemo.Count1,\n");
    Db db(dbname_);
    // What chronq holds: nothing at all until a console has connected.
    const auto contents = [&db] {
        if (db.rows("SELECT to_regclass('chronq.sources') IS NULL")[0][0] == "t") {
            return Rows{};
        }
        return db.rows(
            "SELECT 'source', source_name, endpoint FROM chronq.sources UNION ALL "
            "SELECT 'tag', tag_name, coalesce(source_id::text, '') FROM chronq.tags ORDER BY 1, 2");
    };
    const auto before = contents();
    auto console = start();
    EXPECT_EQ(console.wait(20s), 1);
    EXPECT_NE(console.output().find("Invalid OPC schema format: opc.tcp//plc:4840"),
              std::string::npos)
        << console.output();
    EXPECT_EQ(console.output().find("Created new source"), std::string::npos);
    EXPECT_EQ(contents(), before);
}

TEST_F(ConsoleHardening, ASecondConsoleOnTheSameBufferFolderRefusesToStart) {
    if (!have_database()) {
        GTEST_SKIP() << no_database();
    }
    write_real_database_config();
    write_file(prefix / "tags.csv", "FullTagName,Description\nDemo.Count1,one\n");
    auto first = start();
    ASSERT_TRUE(first.wait_for_output("Data collection started successfully", 30s))
        << first.output();
    auto second = start();
    EXPECT_EQ(second.wait(30s), 1) << second.output();
    const std::string expected = " is in use by another collector (process " +
                                 std::to_string(first.pid()) +
                                 "); give each collector its own buffer_dir.";
    const auto at = second.output().find(expected);
    ASSERT_NE(at, std::string::npos) << second.output();
    EXPECT_NE(second.output().rfind("The buffer folder ", at), std::string::npos);
    EXPECT_EQ(second.output().find("Data collection started successfully"), std::string::npos);
    // The first one collects on, undisturbed.
    ASSERT_FALSE(first.wait(0ms).has_value()) << first.output();
    first.signal(SIGTERM);
    EXPECT_EQ(first.wait(15s), 0) << first.output();
}

// As the template unit runs it: config.ini in a plant folder named by --config-dir, under a
// service manager's notify socket. The console says READY once collecting, pets the watchdog as
// its cycles complete, says STOPPING on SIGTERM, and keeps its buffer in the plant folder.
TEST_F(ConsoleHardening, PlantFolderUnderANotifySocketSaysReadyPetsTheWatchdogAndStops) {
    if (!have_database()) {
        GTEST_SKIP() << no_database();
    }
    write_real_database_config();
    const fs::path plant = dir / "plant1";
    fs::create_directories(plant);
    fs::rename(prefix / "config.ini", plant / "config.ini");
    write_file(prefix / "tags.csv", "FullTagName,Description\nDemo.Count1,one\n");

    std::vector<std::string> got;
    const auto has = [&](const std::string& m) {
        return std::find(got.begin(), got.end(), m) != got.end();
    };
    {
        NotifySocket socket(dir / "notify.sock");
        auto console = start({"--config-dir", plant.string()});
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline &&
               std::count(got.begin(), got.end(), "WATCHDOG=1") < 2) {
            for (auto& m : socket.take(200ms)) {
                got.push_back(std::move(m));
            }
        }
        ASSERT_FALSE(got.empty()) << console.output();
        EXPECT_EQ(got.front(), "READY=1") << console.output();
        EXPECT_TRUE(has("WATCHDOG=1")) << console.output();
        console.signal(SIGTERM);
        EXPECT_EQ(console.wait(15s), 0) << console.output();
        for (auto& m : socket.take()) {
            got.push_back(std::move(m));
        }
        EXPECT_EQ(got.back(), "STOPPING=1");
    }
    EXPECT_TRUE(fs::is_directory(plant / "buffer")) << "buffer_dir is taken from the plant folder";
    EXPECT_FALSE(fs::exists(prefix / "buffer"));

    auto missing = start({"--config-dir", (dir / "nowhere").string()});
    EXPECT_EQ(missing.wait(10s), 1);
    EXPECT_NE(missing.output().find("the folder given with --config-dir"), std::string::npos)
        << missing.output();
    auto bare = start({"--config-dir"});
    EXPECT_EQ(bare.wait(10s), 2);
}

TEST_F(ConsoleHardening, PoisonedRowIsSkippedAndEveryOtherTagIsCollected) {
    if (!have_database()) {
        GTEST_SKIP() << no_database();
    }
    write_real_database_config();
    std::string tags = "FullTagName,Description\nDemo.Count1,one\n\u3000Demo.Tag1\u00A0,two\n\"A";
    tags += '\0';
    tags += "B\",poisoned\n" + std::string(3000, 'x') + ",too long\nDemo.Random1,three\n";
    write_file(prefix / "tags.csv", tags);

    Db db(dbname_);
    auto console = start();
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    std::map<std::string, int> rows;
    while (std::chrono::steady_clock::now() < deadline) {
        rows = rows_by_tag(db);
        if (rows.size() >= 3 && rows["Demo.Count1"] >= 2 && rows["Demo.Tag1"] >= 2 &&
            rows["Demo.Random1"] >= 2) {
            break;
        }
        std::this_thread::sleep_for(100ms);
    }
    console.signal(SIGTERM);
    EXPECT_EQ(console.wait(10s), 0) << console.output();
    EXPECT_EQ(rows.size(), 3u) << console.output();
    EXPECT_GE(rows["Demo.Tag1"], 2) << "the name lost its full-width and no-break spaces";
    const std::string out = console.output();
    EXPECT_NE(out.find("ERROR - Skipping tag A\\x00B on CSV line 4: the name holds a NUL byte"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("on CSV line 5: the name is 3000 bytes long"), std::string::npos) << out;
    EXPECT_NE(out.find("Loaded 3 tags from CSV file"), std::string::npos);
}

TEST_F(ConsoleHardening, ReaderClosingStandardErrorDoesNotStopCollection) {
    if (!have_database()) {
        GTEST_SKIP() << no_database();
    }
    write_real_database_config();
    write_file(prefix / "tags.csv", "FullTagName,Description\nDemo.Count2,\n");
    Db db(dbname_);
    // Like `pellumar 2>&1 | head -2`.
    ConsoleProcess console(prefix, {});
    console.read_lines(2);
    console.close_pipe();
    std::this_thread::sleep_for(1500ms);
    ASSERT_FALSE(console.wait(0ms).has_value()) << "the process died with its reader";
    const int first = rows_by_tag(db)["Demo.Count2"];
    std::this_thread::sleep_for(1000ms);
    EXPECT_GT(rows_by_tag(db)["Demo.Count2"], first) << "collection goes on";
    console.signal(SIGTERM);
    EXPECT_EQ(console.wait(10s), 0);
    EXPECT_NE(log_files_text(prefix / "log").find("Received signal 15, shutting down..."),
              std::string::npos);
}

}  // namespace
