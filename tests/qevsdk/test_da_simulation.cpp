// The built-in OPC DA simulation server, through the library handle.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "qevsdk/qevsdk.h"

namespace {

using namespace qevsdk;
using namespace std::chrono_literals;

const std::string kSimulation = "opc.da://localhost/Vantrel.Simulation.1";

int severity(const ValueRecord& r) {
    return r.quality & 0xFF00;
}
constexpr int kGood = 0x0100;
constexpr int kBad = 0x0200;
constexpr int kUncertain = 0x0300;

class DaSimulation : public ::testing::Test {
  protected:
    void SetUp() override {
        source_ = lib_.create_source(QEV_RTSOURCE_DA, kSimulation, 10, 0);
        ASSERT_NE(source_, QEV_INVALID_HANDLE);
    }

    std::vector<ValueRecord> read(const std::vector<std::string>& tags) {
        std::vector<TagRequest> requests;
        for (const auto& tag : tags) {
            requests.push_back({QEV_DATATYPE_REAL, 0, tag});
        }
        auto [status, records] = lib_.read_values(source_, requests);
        EXPECT_EQ(records.size(), tags.size());
        return records;
    }

    ValueRecord read_one(const std::string& tag) { return read({tag}).at(0); }

    QevLibrary lib_;
    SourceHandle source_ = QEV_INVALID_HANDLE;
};

// The 25 tags every demonstration list uses.
std::vector<std::string> demo_tags() {
    std::vector<std::string> tags;
    for (int k = 1; k <= 4; ++k)
        tags.push_back("Demo.Count" + std::to_string(k));
    for (int k = 1; k <= 10; ++k)
        tags.push_back("Demo.Random" + std::to_string(k));
    for (int k = 1; k <= 10; ++k)
        tags.push_back("Demo.Tag" + std::to_string(k));
    tags.push_back("Demo.CCCTag10");
    return tags;
}

TEST_F(DaSimulation, EveryDemoTagReadsGoodWithAFreshTimestamp) {
    const auto before = std::chrono::system_clock::now();
    const auto records = read(demo_tags());
    const auto after = std::chrono::system_clock::now();
    for (std::size_t i = 0; i < records.size(); ++i) {
        SCOPED_TRACE(demo_tags()[i]);
        EXPECT_EQ(severity(records[i]), kGood);
        EXPECT_TRUE(std::isfinite(records[i].value));
        ASSERT_TRUE(records[i].timestamp.has_value());
        EXPECT_GE(*records[i].timestamp, before);
        EXPECT_LE(*records[i].timestamp, after);
    }
}

TEST_F(DaSimulation, CountersGrowByTheirStepEveryUpdatePeriod) {
    const auto first = read({"Demo.Count1", "Demo.Count3"});
    std::this_thread::sleep_for(50ms);
    const auto second = read({"Demo.Count1", "Demo.Count3"});
    const double steps = second[0].value - first[0].value;
    EXPECT_GE(steps, 4.0);  // 50 ms at a 10 ms update period
    EXPECT_EQ(std::fmod(second[0].value, 1.0), 0.0);
    EXPECT_DOUBLE_EQ(second[1].value, 3.0 * second[0].value);
}

TEST_F(DaSimulation, RandomsAndWaveformsStayInTheirRanges) {
    std::set<double> seen;
    for (int round = 0; round < 20; ++round) {
        const auto records = read({"Demo.Random1", "Demo.Random10", "Demo.Tag1", "Demo.Tag2",
                                   "Demo.Tag3", "Demo.Tag4", "Demo.CCCTag10"});
        for (int i = 0; i < 2; ++i) {
            EXPECT_GE(records[i].value, 0.0);
            EXPECT_LT(records[i].value, 100.0);
            seen.insert(records[i].value);
        }
        for (int i = 2; i < 6; ++i) {
            EXPECT_GE(records[i].value, -50.0);
            EXPECT_LE(records[i].value, 50.0);
        }
        EXPECT_GE(records[6].value, 0.0);
        EXPECT_LE(records[6].value, 100.0);
    }
    EXPECT_GT(seen.size(), 30u) << "random tags do not vary";
}

TEST_F(DaSimulation, DocumentedBadAndUncertainTags) {
    const auto bad = read_one("Demo.Bad");
    EXPECT_EQ(severity(bad), kBad);
    EXPECT_TRUE(std::isnan(bad.value));
    const auto uncertain = read_one("Demo.Uncertain");
    EXPECT_EQ(severity(uncertain), kUncertain);
    EXPECT_EQ(uncertain.value, 42.0);
}

TEST_F(DaSimulation, UnknownAndMisspelledTagsReadBad) {
    for (const std::string& tag : std::vector<std::string>{
             "", "Nope", "Demo.", "Demo.Count0", "Demo.Count5", "Demo.Count01", "demo.count1",
             "Demo.Random11", "Demo.Tag", "Demo.Tag1x", "Demo.Bulk.-1", "Demo.Bulk.100000",
             "Demo.Bulk.007", std::string("Demo.Tag1\0", 10)}) {
        const auto r = read_one(tag);
        EXPECT_EQ(severity(r), kBad) << "'" << tag << "'";
        EXPECT_TRUE(std::isnan(r.value)) << "'" << tag << "'";
        EXPECT_TRUE(r.timestamp.has_value());
    }
}

TEST_F(DaSimulation, OneRecordPerRequestInOrderAcrossBigBatches) {
    std::vector<std::string> tags;
    for (int k = 0; k < 10'000; ++k) {
        tags.push_back(k % 7 == 3 ? "No.Such.Tag" : "Demo.Bulk." + std::to_string(k));
    }
    const auto records = read(tags);
    ASSERT_EQ(records.size(), tags.size());
    for (int k = 0; k < 10'000; ++k) {
        if (k % 7 == 3) {
            EXPECT_EQ(severity(records[k]), kBad);
        } else {
            EXPECT_EQ(severity(records[k]), kGood);
            EXPECT_EQ(records[k].value, k);
        }
    }
    EXPECT_TRUE(read({}).empty());
}

TEST(DaSimulationSchemas, AnyLocalSpellingReachesTheSimulation) {
    std::array<char, 256> own{};
    ASSERT_EQ(::gethostname(own.data(), own.size() - 1), 0);
    QevLibrary lib;
    for (const std::string& schema :
         {std::string("opc.da://localhost/Vantrel.Simulation.1"),
          std::string("opc.da:///Vantrel.Simulation.1"),
          std::string("opc.da://127.0.0.1/Vantrel.Simulation.1"),
          std::string("opc.da://LOCALHOST/vantrel.simulation.1"),
          std::string("opc.da://localhost/Vantrel.Simulation"),
          "opc.da://" + std::string(own.data()) + "/Vantrel.Simulation.1"}) {
        const SourceHandle source = lib.create_source(QEV_RTSOURCE_DA, schema, 1000, 0);
        EXPECT_NE(source, QEV_INVALID_HANDLE) << schema;
    }
}

TEST(DaSimulationSchemas, EveryOtherDaServerIsRefused) {
    QevLibrary lib;
    for (const std::string& schema : std::vector<std::string>{
             "opc.da://", "opc.da://localhost", "opc.da://localhost/",
             "opc.da://localhost/Other.Server.1", "opc.da://plant-scada/Vantrel.Simulation.1",
             "opc.da://10.0.0.7/Vantrel.Simulation.1", "opc.tcp://localhost:4840",
             "OPC.DA://localhost/Vantrel.Simulation.1"}) {
        EXPECT_EQ(lib.create_source(QEV_RTSOURCE_DA, schema, 1000, 0), QEV_INVALID_HANDLE)
            << schema;
    }
}

}  // namespace
