// Reading in batches, building samples by position, and the read status that decides whether
// the next cycle reconnects.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/rig.h"

namespace korrin_test {
namespace {

OpcValueRecord record(double v, int quality) {
    return {Value(v), quality, std::nullopt};
}

TEST(BatchRead, SplitsIntoBatchSizeAndKeepsTagOrder) {
    Rig rig;
    rig.tags = numbered_tags("T", 250);
    auto c = rig.make();
    c->connect_source();
    c->collection_step();

    ASSERT_EQ(rig.opc->reads.size(), 3u);
    EXPECT_EQ(rig.opc->reads[0].size(), 100u);
    EXPECT_EQ(rig.opc->reads[1].size(), 100u);
    EXPECT_EQ(rig.opc->reads[2].size(), 50u);
    EXPECT_EQ(rig.opc->reads[2].front().tag_name, "T200");
    auto queued = rig.drain();
    ASSERT_EQ(queued.size(), 1u);
    ASSERT_EQ(queued[0].size(), 250u);
    EXPECT_EQ(queued[0][200].tag, "T200");
    EXPECT_EQ(queued[0][249].tag, "T249");
    EXPECT_EQ(rig.status.texts().back(), "Read 250 tags, 0 bad.");
}

// A subscribed UA source sends no Read for a cycle: its list goes in one call, so that a new
// list's items are made together and their first reports awaited once. OPC DA ignores
// subscribing and keeps its batches.
TEST(BatchRead, ASubscribedUaSourceTakesTheWholeListInOneCall) {
    for (const std::string schema : {"opc.tcp://localhost:4840", "opc.da://localhost/Sim.1"}) {
        Rig rig;
        rig.tags = numbered_tags("T", 250);
        auto o = rig.options(schema);
        o.subscribe = true;
        auto c = rig.make(std::move(o));
        c->connect_source();
        c->collection_step();
        const bool ua = schema.starts_with("opc.tcp");
        ASSERT_EQ(rig.opc->reads.size(), ua ? 1u : 3u) << schema;
        EXPECT_EQ(rig.opc->reads[0].size(), ua ? 250u : 100u) << schema;
        const auto queued = rig.drain();
        ASSERT_EQ(queued.size(), 1u) << schema;
        ASSERT_EQ(queued[0].size(), 250u) << schema;
        EXPECT_EQ(queued[0][249].tag, "T249") << schema;
    }
}

TEST(BatchRead, UaTagsAreParsedButSamplesKeepTheirText) {
    Rig rig;
    rig.tags = {"2:Demo.Tag1", "Plain", "x:y"};
    auto c = rig.make(rig.options("opc.tcp://localhost:4840"));
    const auto objs = c->_build_tag_objects(rig.tags);
    EXPECT_EQ(objs[0], (OpcTagRequest{QEV_DATATYPE_REAL, 2, "Demo.Tag1"}));
    EXPECT_EQ(objs[1], (OpcTagRequest{QEV_DATATYPE_REAL, 0, "Plain"}));
    EXPECT_EQ(objs[2], (OpcTagRequest{QEV_DATATYPE_REAL, 0, "x:y"}));
    c->connect_source();
    c->collection_step();
    EXPECT_EQ(rig.drain().at(0).at(0).tag, "2:Demo.Tag1");

    // DA tags go through whole, with namespace 0.
    auto da = rig.make();
    EXPECT_EQ(da->_build_tag_objects({"2:Demo.Tag1"})[0],
              (OpcTagRequest{QEV_DATATYPE_REAL, 0, "2:Demo.Tag1"}));
}

// The tag list is the same every cycle: its requests are prepared once, and again only when
// the list changes or the source is renewed.
TEST(BatchRead, RequestsArePreparedOncePerTagListAndSource) {
    Rig rig;
    rig.tags = {"2:Demo.Tag1", "3:Demo.Tag2"};
    auto c = rig.make(rig.options("opc.tcp://localhost:4840"));
    c->connect_source();
    for (int i = 0; i < 3; ++i) {
        c->collection_step();
    }
    EXPECT_EQ(c->request_preparations(), 1u);

    rig.tags = {"2:Demo.Tag1", "4:Demo.Tag3"};
    c->collection_step();
    EXPECT_EQ(c->request_preparations(), 2u);
    ASSERT_EQ(rig.opc->reads.size(), 4u);
    EXPECT_EQ(rig.opc->reads[3].at(1), (OpcTagRequest{QEV_DATATYPE_REAL, 4, "Demo.Tag3"}));
    EXPECT_EQ(rig.drain().back().at(1).tag, "4:Demo.Tag3");

    c->connect_source();
    c->collection_step();
    EXPECT_EQ(c->request_preparations(), 3u);
}

// The list a front end loaded is one shared table: a cycle of the same table prepares no
// request, resolves no name and asks the database for no id, and its samples keep their names
// without being given them again. A reloaded list is a new table, resolved once more.
TEST(TagTable, ACycleOfAnUnchangedTableLooksUpNoName) {
    Rig rig;
    for (int i = 0; i < 3; ++i) {
        rig.db->add_tag("T" + std::to_string(i), 10 + i);
    }
    TagTableRef table = make_tag_table(numbered_tags("T", 3));
    auto o = rig.options();
    o.get_tags_func = nullptr;
    o.get_tag_table_func = [&table] { return table; };
    auto c = rig.make(std::move(o));
    EXPECT_EQ(c->get_tags_func(), numbered_tags("T", 3));
    c->connect_source();
    for (int i = 0; i < 4; ++i) {
        c->collection_step();
    }
    EXPECT_EQ(c->request_preparations(), 1u);
    EXPECT_EQ(c->name_resolutions(), 1u);
    EXPECT_EQ(rig.db->calls["lookup_tags"], 1);
    ASSERT_EQ(rig.db->writes.size(), 4u);
    EXPECT_EQ(rig.db->writes.back().ids, (std::vector<std::int64_t>{10, 11, 12}));
    const auto queued = rig.drain();
    ASSERT_EQ(queued.size(), 4u);
    for (const auto& cycle : queued) {
        ASSERT_EQ(cycle.size(), 3u);
        EXPECT_EQ(cycle[0].tag, "T0");
        EXPECT_EQ(cycle[2].tag, "T2");
    }

    table = make_tag_table({"T2", "T0"});
    c->collection_step();
    c->collection_step();
    EXPECT_EQ(c->request_preparations(), 2u);
    EXPECT_EQ(c->name_resolutions(), 2u);
    EXPECT_EQ(rig.db->writes.back().ids, (std::vector<std::int64_t>{12, 10}));
    EXPECT_EQ(rig.drain().back().at(0).tag, "T2");
}

// A cycle that leaves samples out moves the later ones down: each must still carry its own tag
// and id, in that cycle and in the complete cycles after it.
TEST(TagTable, ACycleWithSamplesLeftOutKeepsNamesAndIdsRight) {
    Rig rig;
    for (int i = 0; i < 5; ++i) {
        rig.db->add_tag("T" + std::to_string(i), 10 + i);
    }
    const TagTableRef table = make_tag_table(numbered_tags("T", 5));
    auto o = rig.options();
    o.get_tag_table_func = [table] { return table; };
    o.batch_size = 2;
    auto c = rig.make(std::move(o));
    c->connect_source();
    c->collection_step();
    rig.opc->records_per_read = 1;
    c->collection_step();
    rig.opc->records_per_read.reset();
    c->collection_step();
    c->collection_step();

    const auto queued = rig.drain();
    ASSERT_EQ(queued.size(), 4u);
    const auto names = [](const CycleResults& cycle) {
        std::vector<std::string> out;
        for (const auto& s : cycle) {
            out.push_back(s.tag);
        }
        return out;
    };
    EXPECT_EQ(names(queued[1]), (std::vector<std::string>{"T0", "T2", "T4"}));
    EXPECT_EQ(names(queued[2]), numbered_tags("T", 5));
    EXPECT_EQ(names(queued[3]), numbered_tags("T", 5));
    ASSERT_EQ(rig.db->writes.size(), 4u);
    EXPECT_EQ(rig.db->writes[1].ids, (std::vector<std::int64_t>{10, 12, 14}));
    EXPECT_EQ(rig.db->writes[3].ids, (std::vector<std::int64_t>{10, 11, 12, 13, 14}));
    EXPECT_EQ(rig.db->calls["lookup_tags"], 1);
}

TEST(BatchRead, FewerRecordsThanRequestsDropsTheRestOfThatBatch) {
    Rig rig;
    rig.tags = numbered_tags("T", 5);
    rig.opc->records_per_read = 1;
    auto o = rig.options();
    o.batch_size = 2;
    auto c = rig.make(std::move(o));
    c->connect_source();
    c->collection_step();
    auto cycle = rig.drain().at(0);
    ASSERT_EQ(cycle.size(), 3u);
    EXPECT_EQ(cycle[0].tag, "T0");
    EXPECT_EQ(cycle[1].tag, "T2");
    EXPECT_EQ(cycle[2].tag, "T4");
    EXPECT_EQ(c->consecutive_errors, 0);
}

TEST(BatchRead, ValuesAndTimestampsPassThroughUnchanged) {
    Rig rig;
    rig.tags = {"a", "b"};
    const auto when = std::chrono::system_clock::time_point(std::chrono::seconds(1'700'000'000));
    rig.opc->record_for = [&](const OpcTagRequest& r) {
        if (r.tag_name == "a") {
            return OpcValueRecord{Value(std::numeric_limits<double>::quiet_NaN()), 0x100, when};
        }
        return OpcValueRecord{Value(std::string("text")), 0x300, std::nullopt};
    };
    auto c = rig.make();
    c->connect_source();
    c->collection_step();
    auto cycle = rig.drain().at(0);
    EXPECT_TRUE(std::isnan(std::get<double>(cycle[0].value)));
    EXPECT_EQ(cycle[0].timestamp, when);
    EXPECT_EQ(cycle[1].value, Value(std::string("text")));
    EXPECT_EQ(cycle[1].quality, "Uncertain");
}

TEST(ReadStatus, AllBadMarksTheSourceForReconnectAndSkipsTheCycle) {
    Rig rig;
    rig.opc->record_for = [](const OpcTagRequest&) { return record(0.0, 0x200); };
    auto c = rig.make();
    c->connect_source();
    c->collection_step();
    EXPECT_FALSE(c->opc_status);
    EXPECT_EQ(c->consecutive_errors, 1);
    EXPECT_EQ(rig.status.texts().back(), "All 25 tags read failed. Waiting for next cycle...");
    EXPECT_TRUE(rig.drain().empty());
    EXPECT_TRUE(rig.db->writes.empty());

    // The next cycle tears down the handle and source and builds both anew.
    rig.status.clear();
    rig.opc->record_for = [](const OpcTagRequest&) { return record(1.0, 0x100); };
    c->collection_step();
    EXPECT_EQ(rig.opc->libraries_destroyed, 1);
    EXPECT_EQ(rig.opc->libraries_created, 2);
    EXPECT_EQ(rig.status.texts(),
              (std::vector<std::string>{"DA source disconnected", "Read 25 tags, 0 bad."}));
    EXPECT_TRUE(c->opc_status);
    EXPECT_EQ(c->consecutive_errors, 0);
}

TEST(ReadStatus, SomeBadStillHandsOnEverySample) {
    Rig rig;
    rig.opc->record_for = [](const OpcTagRequest& r) {
        const bool odd =
            r.tag_name == "Demo.Tag3" || r.tag_name == "Demo.Tag7" || r.tag_name == "Demo.Tag11";
        return record(1.0, odd ? 0x300 : 0x100);
    };
    auto c = rig.make();
    c->connect_source();
    for (int i = 0; i < 3; ++i) {
        c->opc_error("an earlier failure");  // the count is the collector's own
    }
    c->collection_step();
    EXPECT_EQ(rig.status.texts().back(), "Read 25 tags, 3 bad.");
    EXPECT_EQ(rig.drain().at(0).size(), 25u);
    EXPECT_EQ(c->consecutive_errors, 0);
}

TEST(ReadStatus, ZeroRecordsIsAGoodEmptyCycle) {
    Rig rig;
    rig.opc->records_per_read = 0;
    auto c = rig.make();
    c->connect_source();
    c->collection_step();
    EXPECT_TRUE(c->opc_status);
    EXPECT_EQ(rig.status.texts().back(), "Read 0 tags, 0 bad.");
    auto queued = rig.drain();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_TRUE(queued[0].empty());
    EXPECT_TRUE(rig.db_status.calls().empty());  // nothing to write, nothing reported
}

TEST(ReadStatus, AnEmptyTagListChangesNothing) {
    Rig rig;
    rig.tags.clear();
    auto c = rig.make();
    c->connect_source();
    for (int i = 0; i < 2; ++i) {
        c->opc_error("an earlier failure");  // the count is the collector's own
    }
    rig.status.clear();
    c->collection_step();
    EXPECT_TRUE(rig.opc->reads.empty());
    EXPECT_TRUE(rig.status.texts().empty());
    EXPECT_EQ(c->consecutive_errors, 2);
}

TEST(ReadErrors, BecomeReadErrorsWithoutReconnect) {
    Rig rig;
    rig.opc->read_error = "socket closed";
    auto c = rig.make();
    c->connect_source();
    c->collection_step();
    EXPECT_EQ(rig.status.texts().back(), "Read DA error: socket closed");
    EXPECT_EQ(c->consecutive_errors, 1);
    EXPECT_TRUE(c->opc_status);  // the next cycle reads again without reconnecting
    EXPECT_TRUE(rig.drain().empty());

    // More records than requests is a read error too.
    rig.opc->read_error.clear();
    rig.opc->extra_records = 1;
    c->collection_step();
    EXPECT_EQ(c->consecutive_errors, 2);
    EXPECT_EQ(rig.status.texts().back(), "Read DA error: library returned 26 records for 25 tags");
}

TEST(ReadErrors, ZeroBatchSizeFailsEachCycle) {
    Rig rig;
    auto o = rig.options();
    o.batch_size = 0;
    auto c = rig.make(std::move(o));
    c->connect_source();
    c->collection_step();
    EXPECT_EQ(c->consecutive_errors, 1);
    EXPECT_TRUE(rig.status.texts().back().starts_with("Read DA error: "));
    EXPECT_TRUE(rig.opc->reads.empty());
}

}  // namespace
}  // namespace korrin_test
