// Browsing through the library handle, against the node-opcua test server: continuation
// points, a reference cycle, Chinese names, depth, cancellation, security, and the tags found
// read back as the collector reads them.
#include <filesystem>
#include <map>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "opcua_test_server.h"
#include "qevsdk/qevsdk.h"
#include "qevsdk/ua_security.h"
#include "qevsdk/ua_tag.h"

namespace {

using namespace qevsdk;
using ::testing::HasSubstr;
using vantrel::test::OpcUaTestServer;

constexpr int kWide = 45;

// The server's browse limits well below the Wide folder and the batch of nodes per Browse.
OpcUaTestServer& server() {
    static OpcUaTestServer instance({.security = "None:None,Basic256Sha256:SignAndEncrypt,"
                                                 "Aes128_Sha256_RsaOaep:Sign,"
                                                 "Aes256_Sha256_RsaPss:SignAndEncrypt",
                                     .browse_nodes = kWide,
                                     .max_references_per_node = 7,
                                     .max_nodes_per_browse = 3});
    if (!instance.running()) {
        instance.start();
    }
    return instance;
}

BrowseOptions from_browse_folder() {
    BrowseOptions options;
    options.from_namespace = OpcUaTestServer::kNamespace;
    options.from = "s=Browse";
    return options;
}

std::map<std::string, BrowsedVariable> by_tag(const BrowseResult& result) {
    std::map<std::string, BrowsedVariable> tags;
    for (const auto& v : result.variables) {
        EXPECT_TRUE(tags.emplace(v.full_tag_name, v).second) << "found twice: " << v.full_tag_name;
    }
    return tags;
}

class QevBrowse : public ::testing::Test {
  protected:
    void SetUp() override {
        set_ua_security({});
        source_ = lib_.create_source(QEV_RTSOURCE_UA, server().endpoint(), 1000, 0);
        ASSERT_NE(source_, QEV_INVALID_HANDLE) << lib_.last_error();
    }
    void TearDown() override { lib_.destroy(); }
    QevLibrary lib_;
    SourceHandle source_ = QEV_INVALID_HANDLE;
};

TEST_F(QevBrowse, FindsEveryNodeOnceThroughContinuationPointsAndACycle) {
    int progress_calls = 0;
    BrowseOptions options = from_browse_folder();
    options.progress = [&](const BrowseProgress&) { ++progress_calls; };
    const BrowseResult result = lib_.browse(source_, options);
    ASSERT_TRUE(result.complete) << result.stopped_because;
    EXPECT_GT(progress_calls, 0);
    const auto tags = by_tag(result);

    // Each Wide variable once, although the server gives 7 references per answer.
    for (int k = 0; k < kWide; ++k) {
        const std::string name = "2:Browse.Wide." + std::to_string(k);
        ASSERT_TRUE(tags.count(name)) << name;
        EXPECT_EQ(tags.at(name).browse_path, "Wide/Browse.Wide." + std::to_string(k));
        EXPECT_TRUE(tags.at(name).collectable);
    }
    // LoopB organizes LoopA again: the walk ends, with LoopB's variable once.
    ASSERT_TRUE(tags.count("2:Browse.LoopB.Value"));
    EXPECT_EQ(tags.at("2:Browse.LoopB.Value").browse_path, "LoopA/LoopB/Browse.LoopB.Value");

    const auto& temperature = tags.at("2:Browse.车间.温度");
    EXPECT_EQ(temperature.display_name, "反应釜温度");
    EXPECT_EQ(temperature.description, "一号反应釜的温度");
    EXPECT_EQ(temperature.browse_path, "车间/Browse.车间.温度");
    EXPECT_EQ(tags.at("2:Browse.车间.压力").display_name, "压力表");
    EXPECT_EQ(tags.at("2:Browse.车间.压力").data_type, "Float");

    // Node ids that need care as tag text.
    for (const char* name : {"2:s=i=5", "2:s=b=x", "2:Tag,with \"quotes\"", "2:i=2001",
                             "2:g=0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9", "2:b=AAEC/w=="}) {
        ASSERT_TRUE(tags.count(name)) << name;
        EXPECT_TRUE(tags.at(name).collectable) << name;
    }
    EXPECT_EQ(tags.at("2:b=AAEC/w==").data_type, "Boolean");
    // " padded" is found but has no tag text a tag list keeps.
    ASSERT_TRUE(tags.count(""));
    EXPECT_EQ(tags.at("").identifier, " padded");

    // What the collector does not store is found and says why.
    const auto& text = tags.at("2:Browse.Other.Text");
    EXPECT_FALSE(text.collectable);
    EXPECT_EQ(text.data_type, "String");
    const auto& array = tags.at("2:Browse.Other.Array");
    EXPECT_FALSE(array.collectable);
    EXPECT_EQ(array.value_rank, 1);
    const auto& write_only = tags.at("2:Browse.Other.WriteOnly");
    EXPECT_FALSE(write_only.collectable);
    EXPECT_EQ(write_only.access_level & 1, 0);
    EXPECT_EQ(result.variables.size(), static_cast<std::size_t>(kWide) + 1 + 2 + 7 + 3);
}

TEST_F(QevBrowse, TheListedTagsReadBackAsTheCollectorReadsThem) {
    const BrowseResult result = lib_.browse(source_, from_browse_folder());
    ASSERT_TRUE(result.complete) << result.stopped_because;
    std::vector<TagRequest> requests;
    std::vector<std::string> names;
    for (const auto& v : result.variables) {
        if (v.collectable && !v.full_tag_name.empty()) {
            auto [ns, name] = qevsdk::split_ua_tag(v.full_tag_name);
            requests.push_back({QEV_DATATYPE_REAL, ns, name});
            names.push_back(v.full_tag_name);
        }
    }
    ASSERT_EQ(requests.size(), static_cast<std::size_t>(kWide) + 1 + 2 + 6);
    const auto [status, records] = lib_.read_values(source_, requests);
    ASSERT_EQ(records.size(), requests.size());
    const std::map<std::string, double> expected{
        {"2:Browse.Wide.44", 44}, {"2:s=i=5", 5},
        {"2:s=b=x", 6},           {"2:Tag,with \"quotes\"", 7},
        {"2:i=2001", 2001},       {"2:g=0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9", 3},
        {"2:b=AAEC/w==", 1},      {"2:Browse.车间.温度", 36.6}};
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].quality & 0xFF00, 0x0100) << names[i];
        if (auto it = expected.find(names[i]); it != expected.end()) {
            EXPECT_DOUBLE_EQ(records[i].value, it->second) << names[i];
        }
    }
}

TEST_F(QevBrowse, DepthStartNodeAndCancellation) {
    BrowseOptions options = from_browse_folder();
    options.max_depth = 2;
    BrowseResult result = lib_.browse(source_, options);
    ASSERT_TRUE(result.complete) << result.stopped_because;
    auto tags = by_tag(result);
    EXPECT_TRUE(tags.count("2:Browse.Wide.0"));
    EXPECT_FALSE(tags.count("2:Browse.LoopB.Value"));  // three levels down

    options = from_browse_folder();
    options.from = "s=Browse.LoopB";
    tags = by_tag(lib_.browse(source_, options));
    EXPECT_TRUE(tags.count("2:Browse.LoopB.Value"));
    EXPECT_EQ(tags.size(), 1u);

    options.from = "s=No.Such.Node";
    result = lib_.browse(source_, options);
    EXPECT_FALSE(result.complete);
    EXPECT_THAT(result.stopped_because, HasSubstr("BadNodeIdUnknown"));

    // Cancelled while continuation points are open: they are released, what was found is
    // kept, and the session browses on.
    int answers = 0;
    options = from_browse_folder();
    options.cancelled = [&] { return answers >= 2; };
    options.progress = [&](const BrowseProgress&) { ++answers; };
    result = lib_.browse(source_, options);
    EXPECT_FALSE(result.complete);
    EXPECT_EQ(result.stopped_because, "cancelled");
    EXPECT_GT(result.variables.size(), 0u);
    EXPECT_LT(result.variables.size(), static_cast<std::size_t>(kWide));
    for (const auto& v : result.variables) {
        EXPECT_FALSE(v.data_type.empty()) << v.full_tag_name;
    }
    EXPECT_TRUE(lib_.is_source_valid(source_));
    result = lib_.browse(source_, from_browse_folder());
    EXPECT_TRUE(result.complete) << result.stopped_because;
    EXPECT_EQ(result.variables.size(), static_cast<std::size_t>(kWide) + 1 + 2 + 7 + 3);

    // From the Objects folder, the server's own nodes are found as well.
    tags = by_tag(lib_.browse(source_, {}));
    EXPECT_TRUE(tags.count("2:Demo.Double"));
    EXPECT_TRUE(tags.count("2:Browse.Wide.0"));
    EXPECT_TRUE(tags.count("0:i=2258"));  // Server/ServerStatus/CurrentTime
}

// One level at a time, as a tree that opens branch by branch asks: the objects come with
// what it takes to browse on from them, and the tag list rules are the library's own.
TEST_F(QevBrowse, OneLevelGivesTheObjectsToBrowseOnFromAndTheTagListRules) {
    BrowseOptions options = from_browse_folder();
    options.max_depth = 1;
    BrowseResult result = lib_.browse(source_, options);
    ASSERT_TRUE(result.complete) << result.stopped_because;
    EXPECT_TRUE(result.variables.empty()) << "the Browse folder holds folders only";
    std::map<std::string, BrowsedObject> objects;
    for (const auto& o : result.objects) {
        objects.emplace(o.browse_path, o);
    }
    ASSERT_TRUE(objects.count("车间"));
    EXPECT_EQ(objects.size(), 5u);  // Wide, LoopA, 车间, Awkward, Other
    EXPECT_EQ(objects.at("车间").namespace_index, OpcUaTestServer::kNamespace);

    options.from_namespace = objects.at("车间").namespace_index;
    options.from = objects.at("车间").identifier;
    result = lib_.browse(source_, options);
    ASSERT_TRUE(result.complete) << result.stopped_because;
    EXPECT_TRUE(result.objects.empty());
    auto tags = by_tag(result);
    ASSERT_EQ(tags.size(), 2u);
    const auto& described = tags.at("2:Browse.车间.温度");
    const auto& named = tags.at("2:Browse.车间.压力");
    EXPECT_EQ(described.browse_path, "Browse.车间.温度") << "the path starts below the start node";
    EXPECT_EQ(tag_list_description(described), "一号反应釜的温度");
    EXPECT_EQ(tag_list_description(named), "压力表");
    EXPECT_TRUE(listed_by_default(described));
    EXPECT_EQ(tag_list_csv_line(described),
              "2:Browse.车间.温度,一号反应釜的温度,Double,Browse.车间.温度\n");

    options.from = objects.at("Other").identifier;
    tags = by_tag(lib_.browse(source_, options));
    ASSERT_EQ(tags.size(), 3u);
    for (const auto& [name, v] : tags) {
        EXPECT_FALSE(listed_by_default(v)) << name << ": text, array or write-only";
    }
    BrowsedVariable quoted;
    quoted.full_tag_name = "2:Tag,with \"quotes\"";
    quoted.browse_path = "Awkward/x";
    EXPECT_EQ(tag_list_csv_line(quoted), "\"2:Tag,with \"\"quotes\"\"\",Awkward/x,,Awkward/x\n");
}

// A server that lets a session hold one continuation point: the walk takes the nodes refused
// one again later, and a cancelled walk gives its point back, or nothing would browse after it.
TEST(QevBrowseScarcePoints, NodesRefusedAPointAreBrowsedLaterAndAbandonedPointsReleased) {
    OpcUaTestServer scarce({.browse_nodes = 20,
                            .max_references_per_node = 2,
                            .max_nodes_per_browse = 3,
                            .max_browse_continuation_points = 1});
    scarce.start();
    set_ua_security({});
    QevLibrary lib;
    const auto source = lib.create_source(QEV_RTSOURCE_UA, scarce.endpoint(), 1000, 0);
    ASSERT_NE(source, QEV_INVALID_HANDLE) << lib.last_error();
    const std::size_t all = 20 + 1 + 2 + 7 + 3;
    BrowseResult result = lib.browse(source, from_browse_folder());
    ASSERT_TRUE(result.complete) << result.stopped_because;
    EXPECT_EQ(by_tag(result).size(), all);

    for (int stop_after : {1, 3}) {
        int answers = 0;
        BrowseOptions options = from_browse_folder();
        options.progress = [&](const BrowseProgress&) { ++answers; };
        options.cancelled = [&] { return answers >= stop_after; };
        EXPECT_FALSE(lib.browse(source, options).complete);
        result = lib.browse(source, from_browse_folder());
        ASSERT_TRUE(result.complete) << stop_after << ": " << result.stopped_because;
        EXPECT_EQ(by_tag(result).size(), all);
    }
    lib.destroy();
}

TEST(QevBrowseSecured, EverySecurityPolicyBrowses) {
    const auto pki = server().work_dir() / "browse-client-pki";
    for (const auto& [policy, mode] : std::vector<std::pair<std::string, std::string>>{
             {"Basic256Sha256", "SignAndEncrypt"},
             {"Aes128_Sha256_RsaOaep", "Sign"},
             {"Aes256_Sha256_RsaPss", "SignAndEncrypt"}}) {
        UaSecurity security;
        security.security_policy = policy;
        security.security_mode = mode;
        security.pki_dir = pki.string();
        security.trust_on_first_use = true;
        set_ua_security(security);
        QevLibrary lib;
        const auto source = lib.create_source(QEV_RTSOURCE_UA, server().endpoint(), 1000, 0);
        ASSERT_NE(source, QEV_INVALID_HANDLE) << policy << ": " << lib.last_error();
        const BrowseResult result = lib.browse(source, from_browse_folder());
        EXPECT_TRUE(result.complete) << policy << ": " << result.stopped_because;
        EXPECT_EQ(result.variables.size(), static_cast<std::size_t>(kWide) + 1 + 2 + 7 + 3)
            << policy;
    }
    set_ua_security({});
}

// A server's own types derived from Double, one and two levels down, are numbers the collector
// stores; one derived from String is not.
TEST(QevBrowseDataTypes, VariablesOfTypesDerivedFromNumbersAreCollectable) {
    OpcUaTestServer custom({.custom_types = true});
    custom.start();
    QevLibrary lib;
    const auto source = lib.create_source(QEV_RTSOURCE_UA, custom.endpoint(), 1000, 0);
    ASSERT_NE(source, QEV_INVALID_HANDLE) << lib.last_error();
    BrowseOptions options;
    options.from_namespace = OpcUaTestServer::kNamespace;
    options.from = "s=Custom";
    const BrowseResult result = lib.browse(source, options);
    ASSERT_TRUE(result.complete) << result.stopped_because;
    const auto tags = by_tag(result);
    ASSERT_EQ(tags.size(), 3u);
    EXPECT_TRUE(tags.at("2:Custom.Temperature").collectable);
    EXPECT_TRUE(tags.at("2:Custom.Celsius").collectable);
    EXPECT_FALSE(tags.at("2:Custom.Label").collectable);
    EXPECT_EQ(tags.at("2:Custom.Temperature").data_type, "ns=2;s=Type.Temperature");
    EXPECT_EQ(tags.at("2:Custom.Celsius").data_type, "ns=2;i=3001");
    const auto [status, records] = lib.read_values(
        source,
        {{QEV_DATATYPE_REAL, 2, "Custom.Temperature"}, {QEV_DATATYPE_REAL, 2, "Custom.Celsius"}});
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].value, 21.5);
    EXPECT_EQ(records[1].value, 22.5);
    lib.destroy();
}

TEST(QevBrowseOtherSources, OnlyOpcUaSourcesBrowse) {
    QevLibrary lib;
    const auto source =
        lib.create_source(QEV_RTSOURCE_DA, "opc.da://localhost/Vantrel.Simulation.1", 1000, 0);
    ASSERT_NE(source, QEV_INVALID_HANDLE);
    EXPECT_THROW(lib.browse(source, {}), Error);
}

}  // namespace
