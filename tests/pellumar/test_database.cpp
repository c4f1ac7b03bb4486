// setup_database_objects and test_connect_tsdb through a fake TSDB client.
#include <gtest/gtest.h>

#include "console_test_support.h"
#include "fakes.h"
#include "pellumar/pellumar.h"

namespace {

using namespace pellumar_test;
using vantrel::pellumar::Pellumar;
using vantrel::pellumar::PellumarDeps;
using Description = korrin::Description;

class DatabaseSetup : public ::testing::Test {
  protected:
    void SetUp() override { log_dir(); }

    std::unique_ptr<Pellumar> console(const std::string& schema = "opc.tcp://plc:4840",
                                      const std::string& type = "OPC UA") {
        PellumarDeps deps;
        deps.tsdb_client = client;
        deps.settings.opc.opc_schema = schema;
        deps.settings.opc.opc_type = type;
        deps.settings.tsdb.host = "db";
        deps.settings.tsdb.port = 6543;
        deps.settings.tsdb.password = "s3cret";
        deps.tags = tags;
        deps.tag_lines = tag_lines;
        return std::make_unique<Pellumar>(dir.path(), deps);
    }

    TempDir dir;
    // What the next console() starts with, as if loaded from a tag file.
    std::vector<Pellumar::TagPair> tags{{"2:Boiler.T", "锅炉温度"}, {"2:Boiler.P", ""}};
    std::vector<std::size_t> tag_lines;
    std::shared_ptr<FakeTsdbClient> client = std::make_shared<FakeTsdbClient>();
};

TEST_F(DatabaseSetup, EmptyDatabaseGetsTheSourceAndEveryTag) {
    LogCapture log;
    ASSERT_TRUE(console()->setup_database_objects());

    ASSERT_EQ(client->configs.size(), 1u);
    EXPECT_EQ(client->configs[0].host, "db");
    EXPECT_EQ(client->configs[0].port, 6543);
    ASSERT_EQ(client->filters.size(), 1u);
    EXPECT_EQ(client->filters[0].names, std::vector<std::string>{"console_vantrel"});
    EXPECT_EQ(client->filters[0].status, std::vector{korrin::SourceStatus::ACTIVE});
    EXPECT_EQ(client->filters[0].protocol, std::vector{korrin::SourceProtocol::OPC_UA});

    ASSERT_EQ(client->sources.size(), 1u);
    const auto& source = client->sources[0];
    EXPECT_EQ(source.source_name, "console_vantrel");
    EXPECT_EQ(source.endpoint, "opc.tcp://plc:4840");
    EXPECT_EQ(source.protocol, korrin::SourceProtocol::OPC_UA);
    EXPECT_EQ(source.interval_msec, 1000);
    EXPECT_EQ(source.description, (Description{{"created_by", "Pellumar"},
                                               {"endpoint", "opc.tcp://plc:4840"},
                                               {"protocol", "OPC UA"}}));

    ASSERT_EQ(client->tags.size(), 2u);
    const auto& t = client->tags.at("2:Boiler.T");
    EXPECT_EQ(t.description, (Description{{"desc", "锅炉温度"}}));
    EXPECT_EQ(t.source_id, 1);
    EXPECT_EQ(t.source_tagname, "2:Boiler.T");
    EXPECT_TRUE(client->tags.at("2:Boiler.P").description.empty());

    EXPECT_EQ(client->opened, 1);
    EXPECT_EQ(client->closed, 1);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "INFO - Created new source with ID: 1",
                               "DEBUG - Created tag: 2:Boiler.T", "DEBUG - Created tag: 2:Boiler.P",
                               "INFO - Database setup complete: 2 tags created, 0 tags updated"}));
}

TEST_F(DatabaseSetup, SecondRunFindsTheSourceAndUpdatesEveryTag) {
    ASSERT_TRUE(console()->setup_database_objects());
    client->tags.at("2:Boiler.P").description = {{"desc", "stale"}};

    LogCapture log;
    ASSERT_TRUE(console()->setup_database_objects());
    EXPECT_EQ(client->sources.size(), 1u);
    EXPECT_EQ(client->updates, 2);
    EXPECT_TRUE(client->tags.at("2:Boiler.P").description.empty());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "INFO - Found existing source with ID: 1",
                               "DEBUG - Updated tag: 2:Boiler.T", "DEBUG - Updated tag: 2:Boiler.P",
                               "INFO - Database setup complete: 0 tags created, 2 tags updated"}));
}

TEST_F(DatabaseSetup, ChangedSchemaMakesANewSourceAndMovesTheTags) {
    ASSERT_TRUE(console("opc.tcp://plc:4840")->setup_database_objects());
    LogCapture log;
    ASSERT_TRUE(console("opc.tcp://plc2:4840")->setup_database_objects());
    ASSERT_EQ(client->sources.size(), 2u);
    EXPECT_EQ(client->tags.at("2:Boiler.T").source_id, 2);
    EXPECT_TRUE(log.contains("INFO - Created new source with ID: 2"));
}

TEST_F(DatabaseSetup, OnlyExactOpcUaTextSelectsUa) {
    for (const std::string type : {"OPC DA", "opc ua", "UA", "OPC UA "}) {
        SCOPED_TRACE(type);
        client = std::make_shared<FakeTsdbClient>();
        ASSERT_TRUE(
            console("opc.da://localhost/Vantrel.Simulation.1", type)->setup_database_objects());
        EXPECT_EQ(client->sources.at(0).protocol, korrin::SourceProtocol::OPC_DA);
        EXPECT_EQ(client->sources.at(0).description.back().second, type);
    }
}

TEST_F(DatabaseSetup, EmptyTagListStillRegistersTheSource) {
    tags.clear();
    auto c = console();
    LogCapture log;
    ASSERT_TRUE(c->setup_database_objects());
    EXPECT_EQ(client->sources.size(), 1u);
    EXPECT_TRUE(log.contains("INFO - Database setup complete: 0 tags created, 0 tags updated"));
}

TEST_F(DatabaseSetup, RefusedTagIsWarnedAndNotCounted) {
    client->refuse_tags = {"2:Boiler.T"};
    LogCapture log;
    ASSERT_TRUE(console()->setup_database_objects());
    EXPECT_TRUE(log.contains("WARNING - Failed to create tag: 2:Boiler.T: tag refused"));
    EXPECT_TRUE(log.contains("INFO - Database setup complete: 1 tags created, 0 tags updated"));

    client->refuse_tags.clear();
    client->refuse_updates = {"2:Boiler.P"};
    LogCapture again;
    ASSERT_TRUE(console()->setup_database_objects());
    EXPECT_TRUE(again.contains("WARNING - Failed to update tag: 2:Boiler.P: update refused"));

    // With the tag list's lines known, the warning says where the row is.
    tag_lines = {2, 7};
    auto c = console();
    LogCapture located;
    ASSERT_TRUE(c->setup_database_objects());
    EXPECT_TRUE(located.contains(
        "WARNING - Failed to update tag: 2:Boiler.P (CSV line 7): update refused"));
    EXPECT_TRUE(again.contains("INFO - Database setup complete: 1 tags created, 0 tags updated"));
}

TEST_F(DatabaseSetup, FailuresGiveTheirLinesAndAlwaysCloseTheConnection) {
    {
        client->refuse_source = true;
        LogCapture log;
        EXPECT_FALSE(console()->setup_database_objects());
        EXPECT_EQ(log.lines(), std::vector<std::string>{"ERROR - Failed to create data source"});
        EXPECT_TRUE(client->tags.empty()) << "no tag is touched";
        EXPECT_EQ(client->closed, client->opened);
        client->refuse_source = false;
    }
    {
        client->get_tag_error = "server closed the connection unexpectedly";
        LogCapture log;
        EXPECT_FALSE(console()->setup_database_objects());
        EXPECT_EQ(log.lines().back(),
                  "ERROR - Failed to setup database objects: server closed the "
                  "connection unexpectedly");
        EXPECT_EQ(client->closed, client->opened);
        client->get_tag_error.reset();
    }
    {
        client->connect_error = "connection refused";
        LogCapture log;
        EXPECT_FALSE(console()->setup_database_objects());
        EXPECT_EQ(log.lines(), std::vector<std::string>{
                                   "ERROR - Failed to setup database objects: connection refused"});
        client->connect_error.reset();
    }
    {
        client->connect_returns_nothing = true;
        LogCapture log;
        EXPECT_FALSE(console()->setup_database_objects());
        EXPECT_EQ(log.lines(), std::vector<std::string>{"ERROR - Failed to connect to TSDB"});
    }
}

TEST_F(DatabaseSetup, TestConnectReportsTheTargetWithoutThePassword) {
    {
        LogCapture log;
        EXPECT_TRUE(console()->test_connect_tsdb());
        EXPECT_EQ(log.lines(),
                  std::vector<std::string>{
                      "INFO - Test Connect to TSDB database: db:6543/tsdb_default Successful."});
        EXPECT_EQ(client->closed, 1);
    }
    {
        client->connect_error = "password authentication failed for user \"postgres\"";
        LogCapture log;
        EXPECT_FALSE(console()->test_connect_tsdb());
        EXPECT_EQ(log.lines(),
                  std::vector<std::string>{"ERROR - Failed to connect to TSDB: password "
                                           "authentication failed for user \"postgres\""});
        client->connect_error.reset();
    }
    {
        client->connect_returns_nothing = true;
        LogCapture log;
        EXPECT_FALSE(console()->test_connect_tsdb());
        EXPECT_EQ(log.lines(), std::vector<std::string>{"ERROR - Failed to connect to TSDB"});
    }
    EXPECT_EQ(all_log_text().find("s3cret"), std::string::npos);
}

}  // namespace
