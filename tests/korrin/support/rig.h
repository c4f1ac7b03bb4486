// A collector wired to fakes, with its protected steps opened up for the tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <korrin/opc_collector.h>

#include "fakes/fake_opc_library.h"
#include "fakes/fake_tsdb_client.h"
#include "fakes/recorders.h"

namespace korrin_test {

using namespace vantrel::korrin;
using namespace vantrel::test_fakes;

class TestCollector : public OPCCollector {
  public:
    using OPCCollector::_batch_read_data;
    using OPCCollector::_build_tag_objects;
    using OPCCollector::_control_sampling_interval;
    using OPCCollector::_db_tagname_map;
    using OPCCollector::_handle_error_retry;
    using OPCCollector::_handle_write_tsdb;
    using OPCCollector::_update_read_status;
    using OPCCollector::name_resolutions;
    using OPCCollector::OPCCollector;
    using OPCCollector::request_preparations;
    using OPCCollector::run;
};

inline std::vector<std::string> numbered_tags(const std::string& prefix, int n) {
    std::vector<std::string> tags;
    for (int i = 0; i < n; ++i) {
        tags.push_back(prefix + std::to_string(i));
    }
    return tags;
}

struct Rig {
    std::shared_ptr<FakeOpcScript> opc = std::make_shared<FakeOpcScript>();
    std::shared_ptr<FakeTsdbClient> db = std::make_shared<FakeTsdbClient>();
    FakeTime time;
    StatusLog status;
    DbStatusLog db_status;
    std::shared_ptr<CycleQueue> deque = std::make_shared<CycleQueue>();
    std::vector<std::string> tags = numbered_tags("Demo.Tag", 25);

    OPCCollector::Options options(const std::string& schema = "opc.da://localhost/Sim.1") {
        return {.opc_schema = schema,
                .get_tags_func = [this] { return tags; },
                .data_deque = deque,
                .tsdb_cfg = TsdbConfig{.host = "db.example", .password = "secret"},
                .sample_interval = 1.0,
                .batch_size = 100,
                .status_notify = status.callback(),
                .db_status_notify = db_status.callback(),
                .opc_library_factory = fake_factory(opc),
                .tsdb_client = db,
                .clock = time.clock(),
                .sleeper = time.sleeper()};
    }

    // Owned as the front ends own theirs: the thread ends before the object is torn down.
    using CollectorPtr = std::unique_ptr<TestCollector, CollectorDeleter>;
    CollectorPtr make(OPCCollector::Options o) {
        return CollectorPtr(new TestCollector(std::move(o)));
    }
    CollectorPtr make() { return make(options()); }

    std::vector<CycleResults> drain() { return deque->drain(); }
};

}  // namespace korrin_test
