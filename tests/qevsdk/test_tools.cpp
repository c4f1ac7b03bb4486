// qev-read and qev-discover as a user runs them: output lines, exit codes, messages.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "korrin/tag_list.h"
#include "opcua_test_server.h"

namespace {

using ::testing::HasSubstr;
using vantrel::test::OpcUaTestServer;

struct Run {
    int status = -1;
    std::string out;
    std::string err;
    std::vector<std::vector<std::string>> lines;  // stdout split into tab-separated fields
};

std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string quote(const std::string& arg) {
    std::string q = "'";
    for (char c : arg) {
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return q + "'";
}

Run run(const std::string& tool, const std::vector<std::string>& args,
        const std::string& input = "") {
    const auto dir =
        std::filesystem::temp_directory_path() / ("qev-tools-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    { std::ofstream(dir / "in") << input; }
    std::string command = quote(tool);
    for (const auto& arg : args) {
        command += " " + quote(arg);
    }
    command += " <" + quote((dir / "in").string()) + " >" + quote((dir / "out").string()) + " 2>" +
               quote((dir / "err").string());
    Run result;
    const int raw = std::system(command.c_str());
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = slurp(dir / "out");
    result.err = slurp(dir / "err");
    std::filesystem::remove_all(dir);
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, '\t');) {
            fields.push_back(cell);
        }
        result.lines.push_back(fields);
    }
    return result;
}

// YYYY-MM-DDTHH:MM:SS.mmmZ
bool is_iso8601(const std::string& text) {
    const std::string pattern = "dddd-dd-ddTdd:dd:dd.dddZ";
    if (text.size() != pattern.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool ok = pattern[i] == 'd' ? std::isdigit(static_cast<unsigned char>(text[i])) != 0
                                          : text[i] == pattern[i];
        if (!ok) {
            return false;
        }
    }
    return true;
}

TEST(QevTools, ReadAndDiscoverAgainstAnOpcUaServer) {
    OpcUaTestServer server({.extra_nodes = 2500, .max_nodes_per_read = 300, .buffer_size = 8192});
    server.start();
    const std::string endpoint = server.endpoint();

    auto r = run(QEV_READ, {endpoint, "2:Demo.Double", "2:Demo.Int32", "2:Demo.Boolean",
                            "2:Demo.String", "2:Demo.BadStatus", "2:i=1001", "2:Plant;Area=1:Pump",
                            "2:Demo.Timestamped", "2:No.Such.Node"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.lines.size(), 9u) << r.out;
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"2:Demo.Double", "3.25"},     {"2:Demo.Int32", "-42"},     {"2:Demo.Boolean", "1"},
        {"2:Demo.String", "nan"},      {"2:Demo.BadStatus", "nan"}, {"2:i=1001", "1001.5"},
        {"2:Plant;Area=1:Pump", "11"}, {"2:Demo.Timestamped", "1"}, {"2:No.Such.Node", "nan"}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(r.lines[i].size(), 4u) << r.out;
        EXPECT_EQ(r.lines[i][0], expected[i].first);
        EXPECT_EQ(r.lines[i][1], expected[i].second) << expected[i].first;
        const int severity = std::stoi(r.lines[i][2]) & 0xFF00;
        EXPECT_EQ(severity, expected[i].second == "nan" ? 0x0200 : 0x0100) << expected[i].first;
        EXPECT_TRUE(is_iso8601(r.lines[i][3])) << r.lines[i][3];
    }
    EXPECT_EQ(r.lines[7][3], "2020-01-02T03:04:05.678Z");

    // Thousands of tags from standard input, through the server's node limit and 8 KiB chunks.
    std::string tags;
    for (int k = 0; k < 2500; ++k) {
        tags += "2:Bulk." + std::to_string(k) + "\n";
    }
    r = run(QEV_READ, {endpoint, "-"}, tags);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.lines.size(), 2500u);
    int wrong = 0;
    for (int k = 0; k < 2500; ++k) {
        const auto& f = r.lines[k];
        wrong += (f.size() != 4 || f[0] != "2:Bulk." + std::to_string(k) ||
                  f[1] != std::to_string(k) || (std::stoi(f[2]) & 0xFF00) != 0x0100)
                     ? 1
                     : 0;
    }
    EXPECT_EQ(wrong, 0);

    r = run(QEV_DISCOVER, {"127.0.0.1", std::to_string(server.port()), "UA"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr(endpoint + "\n"));

    // A dead server is reported at once, and read again once it is back.
    server.stop();
    r = run(QEV_READ, {endpoint, "2:Demo.Double"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("cannot connect"));
    EXPECT_THAT(r.err, HasSubstr(endpoint));
    EXPECT_TRUE(r.out.empty()) << r.out;
    r = run(QEV_DISCOVER, {"127.0.0.1", std::to_string(server.port()), "UA"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr(std::to_string(server.port())));

    server.start();
    r = run(QEV_READ, {endpoint, "2:Demo.Double"});
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.lines.size(), 1u);
    EXPECT_EQ(r.lines[0][1], "3.25");
}

TEST(QevTools, ASecuredServerIsReadOnceItsCertificateIsTrusted) {
    OpcUaTestServer server({.security = "Basic256Sha256:SignAndEncrypt",
                            .users = "op:pass word",
                            .allow_anonymous = false});
    server.start();
    const std::string pki = (server.work_dir() / "client-pki").string();
    const std::vector<std::string> secured = {
        "--security-policy", "Basic256Sha256", "--user", "op", "--pki", pki,
        server.endpoint(),   "2:s=Demo.Double"};
    ::setenv("QEVSDK_UA_PASSWORD", "pass word", 1);
    auto r = run(QEV_READ, secured);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_THAT(r.err, HasSubstr(pki + "/rejected/certs/"));
    EXPECT_THAT(r.err, HasSubstr("move it to " + pki + "/trusted/certs/"));
    const auto rejected = std::filesystem::directory_iterator(pki + "/rejected/certs")->path();
    std::filesystem::rename(rejected, pki + "/trusted/certs/" + rejected.filename().string());

    r = run(QEV_READ, secured);
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.lines.size(), 1u) << r.out;
    EXPECT_EQ(r.lines[0][1], "3.25");

    ::setenv("QEVSDK_UA_PASSWORD", "wrong guess", 1);
    r = run(QEV_READ, {"-v", "--security-policy", "Basic256Sha256", "--user", "op", "--pki", pki,
                       server.endpoint(), "2:s=Demo.Double"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("access denied"));
    EXPECT_THAT(r.err, ::testing::Not(HasSubstr("wrong guess")));
    ::unsetenv("QEVSDK_UA_PASSWORD");

    // A password is never an option; trust on first use needs no moving.
    EXPECT_EQ(run(QEV_READ, {"--password", "x", server.endpoint(), "2:s=Demo.Double"}).status, 2);
    EXPECT_EQ(run(QEV_READ, {"--security-mode", "Sideways", server.endpoint(), "1:x"}).status, 2);
    ::setenv("QEVSDK_UA_PASSWORD", "pass word", 1);
    r = run(QEV_READ, {"--security-policy", "Basic256Sha256", "--security-mode", "SignAndEncrypt",
                       "--user", "op", "--pki", pki + "-tofu", "--trust-on-first-use",
                       server.endpoint(), "2:s=Demo.Double"});
    ::unsetenv("QEVSDK_UA_PASSWORD");
    EXPECT_EQ(r.status, 0) << r.err;
    r = run(QEV_DISCOVER, {"--security-policy", "Basic256Sha256", "127.0.0.1",
                           std::to_string(server.port()), "UA"});
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST(QevTools, ReadAndDiscoverTheDaSimulation) {
    auto r = run(QEV_READ, {"opc.da://localhost/Vantrel.Simulation.1", "Demo.Count1", "Demo.Bad",
                            "Demo.Uncertain", "Nope"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.lines.size(), 4u);
    EXPECT_EQ(r.lines[0][0], "Demo.Count1");
    EXPECT_EQ(std::stoi(r.lines[0][2]) & 0xFF00, 0x0100);
    EXPECT_EQ(std::stoi(r.lines[1][2]) & 0xFF00, 0x0200);
    EXPECT_EQ(std::stoi(r.lines[2][2]) & 0xFF00, 0x0300);
    EXPECT_EQ(r.lines[3][1], "nan");

    r = run(QEV_READ, {"opc.da://plant-scada/Other.Server.1", "A.B"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("Windows COM"));

    r = run(QEV_DISCOVER, {"localhost", "DA"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "opc.da://localhost/Vantrel.Simulation.1\n");
    r = run(QEV_DISCOVER, {"plant-scada.example", "DA"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("no OPC DA server found"));
}

TEST(QevTools, UsageMistakesExitWithTwo) {
    EXPECT_EQ(run(QEV_READ, {}).status, 2);
    EXPECT_EQ(run(QEV_READ, {"opc.tcp://127.0.0.1:4840"}).status, 2);
    const auto r = run(QEV_READ, {"http://example", "x"});
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.err, HasSubstr("opc.tcp://"));
    EXPECT_EQ(run(QEV_DISCOVER, {}).status, 2);
    EXPECT_EQ(run(QEV_DISCOVER, {"localhost", "99999"}).status, 2);
    EXPECT_EQ(run(QEV_DISCOVER, {"localhost", "XX"}).status, 2);
    EXPECT_EQ(run(QEV_BROWSE, {}).status, 2);
    EXPECT_EQ(run(QEV_BROWSE, {"opc.da://localhost/Vantrel.Simulation.1"}).status, 2);
    EXPECT_EQ(run(QEV_BROWSE, {"opc.tcp://127.0.0.1:4840", "--depth", "0"}).status, 2);
    EXPECT_EQ(run(QEV_BROWSE, {"opc.tcp://127.0.0.1:4840", "--match"}).status, 2);
    EXPECT_EQ(run(QEV_BROWSE, {"opc.tcp://127.0.0.1:4840", "--depht", "3"}).status, 2);
}

// browse -> CSV -> the front ends' tag list loader -> qev-read: every tag listed reads Good.
TEST(QevTools, BrowsedTagListLoadsAndReadsBack) {
    OpcUaTestServer server({.browse_nodes = 30, .max_references_per_node = 7});
    server.start();
    const std::string endpoint = server.endpoint();
    const auto csv = server.work_dir() / "tags.csv";

    auto r = run(QEV_BROWSE, {endpoint, "--from", "2:s=Browse", "-o", csv.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("39 tags listed"));
    EXPECT_THAT(r.err, HasSubstr("--all-types"));
    EXPECT_FALSE(std::filesystem::exists(csv.string() + ".partial"));
    const auto loaded = vantrel::korrin::load_tag_list(csv);
    EXPECT_EQ(loaded.encoding, "utf-8");
    ASSERT_EQ(loaded.tags.size(), 39u);
    std::map<std::string, std::string> descriptions(loaded.tags.begin(), loaded.tags.end());
    EXPECT_EQ(descriptions["2:Browse.车间.温度"], "一号反应釜的温度");  // Description
    EXPECT_EQ(descriptions["2:Browse.车间.压力"], "压力表");            // else DisplayName
    EXPECT_EQ(descriptions["2:Tag,with \"quotes\""], "Tag,with \"quotes\"");
    EXPECT_EQ(descriptions["2:s=i=5"], "i=5");

    std::string tags;
    for (const auto& [name, description] : loaded.tags) {
        tags += name + "\n";
    }
    r = run(QEV_READ, {endpoint, "-"}, tags);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.lines.size(), 39u);
    for (const auto& line : r.lines) {
        ASSERT_EQ(line.size(), 4u);
        EXPECT_EQ(std::stoi(line[2]) & 0xFF00, 0x0100) << line[0];
    }

    // To standard output; other types listed too; a filter; a depth.
    r = run(QEV_BROWSE, {endpoint, "--from", "2:s=Browse", "--all-types"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.lines.size(), 1u + 42u);
    EXPECT_THAT(r.out, HasSubstr("2:Browse.Other.Array,Array,Double,Other/Array\n"));
    r = run(QEV_BROWSE,
            {endpoint, "--from", "2:s=Browse", "--match", "*车间*", "--match", "2:Browse.Wide.?"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.lines.size(), 1u + 2u + 10u) << r.out;
    r = run(QEV_BROWSE, {endpoint, "--from", "2:s=Browse", "--depth", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "FullTagName,Description,DataType,BrowsePath\n");

    r = run(QEV_BROWSE, {endpoint, "--from", "2:No.Such.Node"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("BadNodeIdUnknown"));
    server.stop();
    r = run(QEV_BROWSE, {endpoint, "-o", csv.string() + ".new"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("cannot connect"));
    EXPECT_FALSE(std::filesystem::exists(csv.string() + ".new"));
}

// A list written with namespace URIs reads the same nodes from a server that comes back with
// its namespaces numbered otherwise; a URI the server lacks reads Bad and is named.
TEST(QevTools, NamespaceUriTagListsSurviveARenumberedServer) {
    OpcUaTestServer server({.browse_nodes = 30});
    server.start();
    const std::string endpoint = server.endpoint();
    const auto csv = server.work_dir() / "tags.csv";
    const std::string nsu = std::string("nsu=") + OpcUaTestServer::kNamespaceUri + ";";

    auto r = run(QEV_BROWSE,
                 {endpoint, "--from", nsu + "s=Browse", "--namespace-uris", "-o", csv.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("39 tags listed"));
    const auto loaded = vantrel::korrin::load_tag_list(csv);
    ASSERT_EQ(loaded.tags.size(), 39u);
    std::map<std::string, std::string> descriptions(loaded.tags.begin(), loaded.tags.end());
    for (const auto& [name, description] : descriptions) {
        EXPECT_TRUE(name.starts_with(nsu)) << name;
    }
    EXPECT_EQ(descriptions[nsu + "s=Browse.车间.温度"], "一号反应釜的温度");
    EXPECT_EQ(descriptions[nsu + "s=Tag,with \"quotes\""], "Tag,with \"quotes\"");
    EXPECT_EQ(descriptions[nsu + "s=i=5"], "i=5");
    EXPECT_EQ(descriptions[nsu + "i=2001"], "2001");

    server.stop();
    server.options().leading_namespaces = 1;
    server.start();
    std::string tags;
    for (const auto& [name, description] : loaded.tags) {
        tags += name + "\n";
    }
    r = run(QEV_READ,
            {endpoint, "-", "nsu=urn:no-such:plant;s=Browse.LoopB.Value",
             nsu + "s=Browse.LoopB.Value", "2:Browse.LoopB.Value", "2:Demo.Double"},
            tags);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.lines.size(), 39u + 4u);
    for (std::size_t i = 0; i < 39u; ++i) {
        ASSERT_EQ(r.lines[i].size(), 4u);
        EXPECT_EQ(std::stoi(r.lines[i][2]) & 0xFF00, 0x0100) << r.lines[i][0];
    }
    EXPECT_EQ(std::stoi(r.lines[39][2]) & 0xFF00, 0x0200);
    EXPECT_THAT(r.err, HasSubstr("'urn:no-such:plant'"));
    EXPECT_EQ(r.lines[40][1], "21");
    EXPECT_EQ(std::stoi(r.lines[41][2]) & 0xFF00, 0x0200);  // index 2 is another namespace now
    EXPECT_EQ(r.lines[42][1], "-1");                        // which has its own Demo.Double
}

// Ctrl+C: the browse stops, the list found so far is kept apart from the file asked for.
TEST(QevTools, AnInterruptedBrowseWritesNoCompleteList) {
    OpcUaTestServer server({.browse_nodes = 6000, .max_references_per_node = 1});
    server.start();
    const auto csv = server.work_dir() / "tags.csv";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::freopen("/dev/null", "w", stderr);
        ::execl(QEV_BROWSE, QEV_BROWSE, server.endpoint().c_str(), "--from", "2:s=Browse.Wide",
                "-o", csv.c_str(), static_cast<char*>(nullptr));
        ::_exit(99);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ::kill(child, SIGINT);
    int raw = 0;
    ASSERT_EQ(::waitpid(child, &raw, 0), child);
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), 130);
    EXPECT_FALSE(std::filesystem::exists(csv));
    const auto partial = vantrel::korrin::load_tag_list(csv.string() + ".partial");
    EXPECT_LT(partial.tags.size(), 6000u);
}

}  // namespace
