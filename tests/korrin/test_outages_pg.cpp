// Outages against the real PostgreSQL (the OPC side scripted, one cycle per step): the rows that
// mark an OPC outage as stored, and a collector started before its database.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <korrin/cycle_queue.h>
#include <korrin/opc_collector.h>
#include <korrin/registration.h>
#include <korrin/tsdb_client.h>

#include "fakes/fake_opc_library.h"
#include "fakes/recorders.h"
#include "pg_session.h"
#include "support/scratch_dir.h"

namespace korrin_test {
namespace {

using namespace vantrel::korrin;
using namespace vantrel::test_fakes;
using vantrel::test::PgInstance;
using vantrel::test::query_one;

std::vector<std::string> tag_names(const std::string& prefix) {
    return {prefix + "-a-" + std::to_string(::getpid()),
            prefix + "-b-" + std::to_string(::getpid())};
}

// The source and tags as a front end registers them.
void register_all(TsdbClient& client, TsdbConnection& conn, const std::vector<std::string>& tags) {
    const auto source = ensure_source(
        client, conn,
        SourceInfo{.source_name = "outage-test", .endpoint = "opc.da://localhost/Sim.1"});
    ASSERT_TRUE(source.source_id);
    TagList list;
    for (const auto& t : tags) {
        list.emplace_back(t, "");
    }
    for (const auto& outcome : sync_tags(client, conn, *source.source_id, list)) {
        ASSERT_TRUE(outcome.tag_id) << outcome.message;
    }
}

struct Scripted {
    std::shared_ptr<FakeOpcScript> opc = std::make_shared<FakeOpcScript>();
    FakeTime time;
    std::shared_ptr<CycleQueue> deque = std::make_shared<CycleQueue>();
    OPCCollector::Options options(const std::vector<std::string>& tags, const TsdbConfig& cfg,
                                  const std::filesystem::path& buffer) {
        return {.opc_schema = "opc.da://localhost/Sim.1",
                .get_tags_func = [tags] { return tags; },
                .data_deque = deque,
                .tsdb_cfg = cfg,
                .opc_library_factory = fake_factory(opc),
                .clock = time.clock(),
                .sleeper = time.sleeper(),
                .buffer_dir = buffer};
    }
    void server(bool up) {
        opc->locked([&] { opc->read_error = up ? "" : "BadTimeout"; });
    }
};

TEST(OutageMarksOnPostgres, OneBadRowWithoutAValuePerTagBetweenTheLastAndNextReadings) {
    PgInstance pg(false);
    if (!pg.ok()) {
        GTEST_SKIP() << "no PostgreSQL: " << pg.why();
    }
    const auto cfg = pg.settings<TsdbConfig>();
    const auto tags = tag_names("outage-mark");
    {
        auto client = default_tsdb_client();
        auto conn = client->get_conn(cfg);
        register_all(*client, *conn, tags);
    }
    ScratchDir dir;
    Scripted s;
    auto o = s.options(tags, cfg, dir.path);
    o.mark_outages = true;
    auto c = std::make_unique<OPCCollector>(std::move(o));
    c->collection_step();
    s.server(false);
    c->collection_step();
    c->collection_step();
    s.server(true);
    c->collection_step();
    c->stop();

    for (const auto& tag : tags) {
        SCOPED_TRACE(tag);
        const std::string rows =
            " FROM chronq.samples WHERE tag = '" + tag + "'";  // the view that names the tag
        EXPECT_EQ(query_one(pg.conninfo(),
                            "SELECT string_agg(quality || ':' || "
                            "coalesce(value::text, 'NULL'), ',' ORDER BY time)" +
                                rows),
                  "Good:1.5,Bad:NULL,Good:1.5");
    }
}

TEST(StartWithoutDatabaseOnPostgres, EverySampleFromTheFirstCycleIsStoredOnceItAnswers) {
    PgInstance pg(true);
    if (!pg.ok()) {
        GTEST_SKIP() << "no private PostgreSQL: " << pg.why();
    }
    const auto cfg = pg.settings<TsdbConfig>();
    const auto tags = tag_names("late-db");
    pg.stop();

    ScratchDir dir;
    Scripted s;
    auto o = s.options(tags, cfg, dir.path);
    o.registration = [&tags](TsdbClient& client, TsdbConnection& conn) {
        register_all(client, conn, tags);
    };
    auto c = std::make_unique<OPCCollector>(std::move(o));
    int cycles = 0;
    for (; cycles < 3; ++cycles) {
        c->collection_step();
        s.time.advance(1.0);
    }
    EXPECT_EQ(c->buffered_sample_count(), 3u * tags.size());

    pg.start();
    // The writer asks again after its pause (1, 2, 4 s): within a few cycles of one second.
    for (int i = 0; i < 8 && (cycles < 5 || c->buffered_sample_count() > 0); ++i, ++cycles) {
        c->collection_step();
        s.time.advance(1.0);
    }
    EXPECT_EQ(c->buffered_sample_count(), 0u);
    c->stop();

    for (const auto& tag : tags) {
        SCOPED_TRACE(tag);
        const std::string rows = " FROM chronq.samples WHERE tag = '" + tag + "'";
        EXPECT_EQ(query_one(pg.conninfo(), "SELECT count(*)" + rows), std::to_string(cycles));
        EXPECT_EQ(query_one(pg.conninfo(), "SELECT count(DISTINCT time)" + rows),
                  std::to_string(cycles));
    }
}

}  // namespace
}  // namespace korrin_test
