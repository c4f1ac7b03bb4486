// The pellumar program end to end, as an operator runs it: a prefix with bin/pellumar,
// config.ini and a tag file, against the node-opcua test server and the private PostgreSQL
// (PG* environment, exported by scripts/pg-private.sh). Each test process uses a database of
// its own.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>

#include "console_prefix.h"
#include "console_test_support.h"
#include "opcua_test_server.h"
#include "pellumar/pellumar.h"
#include "process_support.h"

namespace {

using namespace pellumar_test;
using Lines = std::vector<std::string>;

// One pellumar process with its terminal output captured to a file.
class Console : public ConsoleProcess {
  public:
    using ConsoleProcess::ConsoleProcess;

    // The console's own lines, as "LEVEL - message".
    Lines lines() const {
        Lines out;
        std::istringstream text(output());
        std::string line;
        const std::string marker = " - pellumar - ";
        while (std::getline(text, line)) {
            const auto at = line.find(marker);
            if (at != std::string::npos) {
                out.push_back(line.substr(at + marker.size()));
            }
        }
        return out;
    }
};

Lines info_and_above(const Lines& lines) {
    Lines out;
    for (const auto& l : lines) {
        if (l.rfind("DEBUG - ", 0) != 0) {
            out.push_back(l);
        }
    }
    return out;
}

bool contains(const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The node-opcua server and a database of this process's own, shared by the suite.
class ConsoleEndToEnd : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // Without a server the scratch database says how to give it one.
        try {
            database_ = std::make_unique<vantrel::test::ScratchDatabase>("pellumar_e2e");
            dbname_ = database_->name();
            server_ = new vantrel::test::OpcUaTestServer();
            server_->start();
        } catch (const std::exception& e) {
            setup_error_ = e.what();
        }
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
        database_.reset();
    }

    void SetUp() override {
        ASSERT_TRUE(setup_error_.empty()) << setup_error_;
        install_console(prefix);
    }

    void write_config(const std::string& vantrel_extra = "",
                      const std::string& schema_override = "") {
        const std::string schema = schema_override.empty() ? server_->endpoint() : schema_override;
        write_file(prefix / "config.ini", "# written by the end-to-end test\n" +
                                              config_text({.tsdb = environment_tsdb_lines(dbname_),
                                                           .opc_schema = schema,
                                                           .vantrel_extra = vantrel_extra,
                                                           .log_level = "DEBUG"}));
    }

    void write_tags() {
        write_file(prefix / "tags.csv",
                   "FullTagName,Description,Unit\n"
                   "2:Demo.Double,Plain double,m\n"
                   "2:Demo.BadStatus,Broken sensor,\n"
                   "2:Demo.UncertainStatus,Last usable value,\n"
                   "2:Demo.Count1,一号计数器（秒）,s\n"
                   "2:i=1001,\"Numeric id, quoted\",\n");
    }

    // Polls until every tag of the file has at least `rows` rows, or 20 s pass.
    bool wait_for_rows(Db& db, int rows) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            // The console creates the tables on its first connection.
            const auto exists = db.rows("SELECT to_regclass('chronq.tsdata') IS NOT NULL");
            if (exists.at(0).at(0) == "t") {
                const auto r = db.rows(
                    "SELECT count(*) FROM chronq.tags t WHERE (SELECT count(*) FROM "
                    "chronq.tsdata d WHERE d.tag_id = t.tag_id) >= $1",
                    {std::to_string(rows)});
                if (r.at(0).at(0) == "5") {
                    return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    Console start() { return Console(prefix, dir / ("run" + std::to_string(++runs_) + ".out")); }

    static inline vantrel::test::OpcUaTestServer* server_ = nullptr;
    static inline std::unique_ptr<vantrel::test::ScratchDatabase> database_;
    static inline std::string dbname_;
    static inline std::string setup_error_;

    TempDir dir;
    fs::path prefix = dir / "prefix";
    int runs_ = 0;
};

TEST_F(ConsoleEndToEnd, RegistersCollectsRestartsWithUpdatesAndStopsOnSignals) {
    write_config();
    write_tags();
    Db db(dbname_);

    // First run: everything is created, rows arrive, SIGTERM ends it cleanly and promptly.
    {
        Console console = start();
        ASSERT_TRUE(wait_for_rows(db, 2)) << console.output();
        const auto before = std::chrono::steady_clock::now();
        console.signal(SIGTERM);
        const auto status = console.wait(std::chrono::seconds(10));
        const auto took = std::chrono::steady_clock::now() - before;
        ASSERT_TRUE(status.has_value()) << console.output();
        EXPECT_EQ(*status, 0) << console.output();
        EXPECT_LT(took, std::chrono::seconds(2));

        const auto lines = info_and_above(console.lines());
        const auto sources = db.rows(
            "SELECT source_id, endpoint, protocol, description::text FROM chronq.sources "
            "WHERE source_name = 'console_vantrel'");
        ASSERT_EQ(sources.size(), 1u);
        const std::string id = sources[0][0];
        EXPECT_EQ(sources[0][1], server_->endpoint());
        EXPECT_EQ(sources[0][2], "OPC_UA");
        EXPECT_EQ(
            lines,
            (Lines{"INFO - Starting Pellumar...", "INFO - CSV file loaded with encoding: utf-8",
                   "INFO - Loaded 5 tags from CSV file", "INFO - Created new source with ID: " + id,
                   "INFO - Database setup complete: 5 tags created, 0 tags updated",
                   "INFO - Starting OPC data collection from: " + server_->endpoint(),
                   "INFO - Sample interval: 0.2s, Batch size: 200",
                   "INFO - Data collection started successfully",
                   "INFO - Data collection is running. Press Ctrl+C to stop.",
                   "INFO - Received signal 15, shutting down...",
                   "INFO - Stopping data collection...", "INFO - Data collection stopped"}))
            << console.output();
        EXPECT_EQ(console.output().find(env_or("PGPASSWORD")), std::string::npos)
            << "the password never reaches the log";
    }

    // Every tag points at the source; the Chinese description arrives intact.
    const auto tags = db.rows(
        "SELECT t.tag_name, t.source_tagname, t.description->>'desc' FROM chronq.tags t JOIN "
        "chronq.sources s USING (source_id) WHERE s.source_name = 'console_vantrel' "
        "ORDER BY t.tag_id");
    EXPECT_EQ(tags, (Rows{{"2:Demo.Double", "2:Demo.Double", "Plain double"},
                          {"2:Demo.BadStatus", "2:Demo.BadStatus", "Broken sensor"},
                          {"2:Demo.UncertainStatus", "2:Demo.UncertainStatus", "Last usable value"},
                          {"2:Demo.Count1", "2:Demo.Count1", "一号计数器（秒）"},
                          {"2:i=1001", "2:i=1001", "Numeric id, quoted"}}));

    // Rows carry the qualities the server gave.
    const auto qualities = db.rows(
        "SELECT t.tag_name, d.quality, min(d.value), count(*) FROM chronq.tsdata d JOIN "
        "chronq.tags t USING (tag_id) GROUP BY t.tag_id, t.tag_name, d.quality ORDER BY t.tag_id");
    ASSERT_EQ(qualities.size(), 5u);
    EXPECT_EQ(qualities[0][0], "2:Demo.Double");
    EXPECT_EQ(qualities[0][1], "Good");
    EXPECT_EQ(qualities[0][2], "3.25");
    EXPECT_EQ(qualities[1][1], "Bad");
    EXPECT_EQ(qualities[2][1], "Uncertain");
    EXPECT_EQ(qualities[2][2], "7.5");
    EXPECT_EQ(qualities[3][1], "Good");
    EXPECT_EQ(qualities[4][1], "Good");
    EXPECT_EQ(qualities[4][2], "1001.5");

    // Second run: the same source is found and every tag updated; SIGINT ends it the same way.
    const auto first_id = db.rows("SELECT source_id FROM chronq.sources")[0][0];
    const auto rows_before = std::stoll(db.rows("SELECT count(*) FROM chronq.tsdata")[0][0]);
    {
        Console console = start();
        ASSERT_TRUE(wait_for_rows(db, 4)) << console.output();
        console.signal(SIGINT);
        const auto status = console.wait(std::chrono::seconds(10));
        ASSERT_TRUE(status.has_value()) << console.output();
        EXPECT_EQ(*status, 0);
        const auto lines = info_and_above(console.lines());
        EXPECT_TRUE(contains(lines, "INFO - Found existing source with ID: " + first_id))
            << console.output();
        EXPECT_TRUE(
            contains(lines, "INFO - Database setup complete: 0 tags created, 5 tags updated"));
        EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
                  (Lines{"INFO - Received signal 2, shutting down...",
                         "INFO - Stopping data collection...", "INFO - Data collection stopped"}));
        EXPECT_FALSE(contains(lines, "INFO - Pellumar stopped"));
    }
    EXPECT_EQ(db.rows("SELECT count(*) FROM chronq.sources")[0][0], "1");
    EXPECT_GT(std::stoll(db.rows("SELECT count(*) FROM chronq.tsdata")[0][0]), rows_before);

    // The log file holds the same lines as the terminal.
    ASSERT_TRUE(fs::exists(prefix / "log"));
    bool found = false;
    for (const auto& entry : fs::directory_iterator(prefix / "log")) {
        std::ifstream in(entry.path());
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        found = found || text.find("Received signal 2, shutting down...") != std::string::npos;
    }
    EXPECT_TRUE(found);
}

TEST_F(ConsoleEndToEnd, StartUpFailuresGiveTheirLinesAndStatusOne) {
    write_tags();
    {
        Console console = start();
        EXPECT_EQ(console.wait(std::chrono::seconds(20)), 1);
        EXPECT_NE(console.output().find("Error occurred: 无法读取配置文件：" +
                                        (fs::canonical(prefix) / "config.ini").string()),
                  std::string::npos)
            << console.output();
        EXPECT_NE(console.output().find(
                      "ERROR - Tried " + (fs::canonical(prefix) / "config.ini").string() +
                      ": config.ini must sit in " + fs::canonical(prefix).string() +
                      ", beside the bin/ folder that holds pellumar"),
                  std::string::npos)
            << console.output();
    }
    {
        write_file(prefix / "config.ini", "[Vantrel]\ntag_csv_path = tags.csv\n");
        Console console = start();
        EXPECT_EQ(console.wait(std::chrono::seconds(20)), 1);
        EXPECT_EQ(console.lines(), (Lines{"INFO - Starting Pellumar...",
                                          "ERROR - Missing [TSDBConnection] section in config file",
                                          "ERROR - Failed to load configuration"}));
    }
    {
        write_config("batch_size = many\n");
        Console console = start();
        EXPECT_EQ(console.wait(std::chrono::seconds(20)), 1);
        const auto lines = console.lines();
        ASSERT_EQ(lines.size(), 3u) << console.output();
        EXPECT_EQ(lines[1].rfind("ERROR - Error loading config: ", 0), 0u);
        EXPECT_NE(lines[1].find("batch_size"), std::string::npos) << lines[1];
        EXPECT_EQ(lines[2], "ERROR - Failed to load configuration");
    }
    {
        write_config();
        write_file(prefix / "tags.csv", "Tag,Comment\n2:Demo.Double,x\n");
        Console console = start();
        EXPECT_EQ(console.wait(std::chrono::seconds(20)), 1);
        EXPECT_EQ(
            console.lines(),
            (Lines{"INFO - Starting Pellumar...", "INFO - CSV file loaded with encoding: utf-8",
                   "ERROR - CSV file missing required columns: FullTagName, Description "
                   "(header found: Tag, Comment)",
                   "ERROR - Failed to load tags from CSV"}));
    }
}

TEST_F(ConsoleEndToEnd, CollectsFromASecuredServerThatWantsAUserName) {
    vantrel::test::OpcUaTestServerOptions options;
    options.security = "Basic256Sha256:SignAndEncrypt";
    options.users = "operator:pa55word";
    options.allow_anonymous = false;
    vantrel::test::OpcUaTestServer secured(options);
    secured.start();
    const vantrel::test::ScratchDatabase secured_db("pellumar_e2e_secured");
    const std::string& db_name = secured_db.name();
    write_config(
        "ua_security_policy = Basic256Sha256\nua_security_mode = SignAndEncrypt\n"
        "ua_user = operator\nua_password = pa55word\nua_trust_on_first_use = true\n",
        secured.endpoint());
    // The same file, on a database of this test's own.
    std::ifstream in(prefix / "config.ini", std::ios::binary);
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    text.replace(text.find("dbname = " + dbname_), 9 + dbname_.size(), "dbname = " + db_name);
    write_file(prefix / "config.ini", text);
    write_tags();

    auto console = start();
    Db db(db_name);
    const bool stored = wait_for_rows(db, 2);
    console.signal(SIGTERM);
    EXPECT_EQ(console.wait(std::chrono::seconds(15)), 0);
    EXPECT_TRUE(stored) << console.output();
    EXPECT_TRUE(fs::exists(prefix / "pki" / "own"))
        << "the client's certificate lives beside config.ini";
    EXPECT_EQ(console.output().find("pa55word"), std::string::npos) << "no password in the log";
}

TEST_F(ConsoleEndToEnd, SingleStepThreeCyclesGiveThreeTimesTheTags) {
    write_config();
    write_tags();
    // Logging is configured from this prefix's config.ini, once for the test process.
    log_dir();
    vantrel::pellumar::Pellumar console(prefix);
    const auto old_cwd = fs::current_path();
    fs::current_path(prefix);  // tag_csv_path is relative
    const bool ready = console.initialize_for_single_step();
    fs::current_path(old_cwd);
    ASSERT_TRUE(ready);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(console.single_step_collection());
    }
    const auto stats = console.get_collection_statistics();
    EXPECT_EQ(stats.total_tags, 5);
    EXPECT_EQ(stats.total_collected, 15);
    EXPECT_EQ(stats.total_written, 15);
    EXPECT_EQ(stats.queue_size, 0);
    console.cleanup_single_step();
}

}  // namespace
