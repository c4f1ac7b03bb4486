// A tag list made by browsing, all the way to rows: qev-browse writes the CSV with namespace
// URIs, the pellumar console imports it and collects against the node-opcua test server into
// the private PostgreSQL, and the rows carry the tags as the CSV wrote them, also after the
// server comes back with its namespaces numbered otherwise.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "console_prefix.h"
#include "console_test_support.h"
#include "opcua_test_server.h"
#include "process_support.h"

namespace {

using namespace pellumar_test;
using vantrel::test::OpcUaTestServer;

std::string quote(const std::string& arg) {
    std::string q = "'";
    for (char c : arg) {
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return q + "'";
}

// Good rows per tag name.
std::map<std::string, long> good_rows(Db& db) {
    std::map<std::string, long> out;
    const auto exists = db.rows("SELECT to_regclass('chronq.tsdata') IS NOT NULL");
    if (exists.at(0).at(0) != "t") {
        return out;
    }
    for (const auto& row : db.rows(
             "SELECT t.tag_name, count(*) FROM chronq.tags t JOIN chronq.tsdata d USING (tag_id) "
             "WHERE d.quality = 'Good' GROUP BY t.tag_name")) {
        out[row.at(0)] = std::stol(row.at(1));
    }
    return out;
}

// The tags with at least `more` Good rows beyond those counted in `before`.
std::set<std::string> grown(Db& db, const std::map<std::string, long>& before, long more) {
    std::set<std::string> out;
    for (const auto& [tag, n] : good_rows(db)) {
        const auto was = before.find(tag);
        if (n >= (was == before.end() ? 0 : was->second) + more) {
            out.insert(tag);
        }
    }
    return out;
}

TEST(ConsoleBrowsedTagList, BrowseCsvImportCollectRowsAndARenumberedServer) {
    std::unique_ptr<vantrel::test::ScratchDatabase> database;
    OpcUaTestServer server;
    try {
        database = std::make_unique<vantrel::test::ScratchDatabase>("pellumar_e2e_browse");
        server.start();
    } catch (const std::exception& e) {
        FAIL() << e.what();
    }
    TempDir dir;
    const fs::path prefix = dir / "prefix";
    lay_out_console(prefix, {.tsdb = environment_tsdb_lines(database->name()),
                             .opc_schema = server.endpoint()});

    // Browse the server into the CSV, a few awkward node ids among the tags.
    const std::string nsu = std::string("nsu=") + OpcUaTestServer::kNamespaceUri + ";";
    const std::string command = quote(QEV_BROWSE) + " " + quote(server.endpoint()) +
                                " --namespace-uris --match '*Demo.Count?' --match " +
                                quote(nsu + "i=1001") + " --match '*Pump' -o " +
                                quote((prefix / "tags.csv").string()) + " 2>" +
                                quote((dir / "browse.err").string());
    ASSERT_EQ(std::system(command.c_str()), 0) << [&] {
        std::ifstream in(dir / "browse.err");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    const std::set<std::string> expected{nsu + "s=Demo.Count1", nsu + "s=Demo.Count2",
                                         nsu + "s=Demo.Count3", nsu + "s=Demo.Count4",
                                         nsu + "i=1001",        nsu + "s=Plant;Area=1:Pump"};

    Db db(database->name());
    {
        ConsoleProcess console(prefix, dir / "run1.out");
        std::set<std::string> collected;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (collected != expected && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            collected = grown(db, {}, 2);
        }
        EXPECT_EQ(collected, expected) << console.output();

        // The server comes back with the test nodes at another index.
        server.stop();
        server.options().leading_namespaces = 2;
        server.start();
        const auto before = good_rows(db);
        collected.clear();
        const auto again = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (collected != expected && std::chrono::steady_clock::now() < again) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            collected = grown(db, before, 3);
        }
        EXPECT_EQ(collected, expected) << console.output();
        console.signal(SIGTERM);
        EXPECT_EQ(console.wait(std::chrono::seconds(10)), 0) << console.output();
    }
    // The stored tag names are the CSV's text, and the values are the right nodes'.
    const auto tags = db.rows("SELECT tag_name, source_tagname FROM chronq.tags ORDER BY tag_id");
    ASSERT_EQ(tags.size(), expected.size());
    for (const auto& row : tags) {
        EXPECT_TRUE(expected.contains(row.at(0))) << row.at(0);
        EXPECT_EQ(row.at(1), row.at(0));
    }
    const auto values = db.rows(
        "SELECT DISTINCT d.value::text FROM chronq.tsdata d JOIN chronq.tags t USING (tag_id) "
        "WHERE t.tag_name = $1",
        {nsu + "i=1001"});
    EXPECT_EQ(values, (Rows{{"1001.5"}}));
}

}  // namespace
