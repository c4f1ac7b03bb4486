// What the collector stores around an outage, with fakes: the rows that mark an OPC outage
// (once per outage, also through the buffer), and a collector that starts before its database
// and registers once it answers, keeping every cycle meanwhile.
#include <gtest/gtest.h>

#include <variant>

#include "korrin/registration.h"
#include "support/rig.h"
#include "support/scratch_dir.h"

namespace korrin_test {
namespace {

// Each write as "quality:value" per row ("Bad:-" for a row without a value).
std::vector<std::vector<std::string>> written(FakeTsdbClient& db) {
    std::lock_guard lock(db.mutex);
    std::vector<std::vector<std::string>> out;
    for (const auto& w : db.writes) {
        auto& rows = out.emplace_back();
        for (std::size_t i = 0; i < w.values.size(); ++i) {
            const auto* number = std::get_if<double>(&w.values[i]);
            const bool none = std::holds_alternative<std::monostate>(w.values[i]);
            rows.push_back(w.qualities[i] + ":" +
                           (none     ? "-"
                            : number ? std::to_string(static_cast<int>(*number))
                                     : "?"));
        }
    }
    return out;
}

using Writes = std::vector<std::vector<std::string>>;
const std::vector<std::string> kGood = {"Good:1", "Good:1"};
const std::vector<std::string> kMarks = {"Bad:-", "Bad:-"};

struct Outages : ::testing::Test {
    ScratchDir dir;
    Rig rig;
    void SetUp() override {
        rig.tags = {"a", "b"};
        rig.db->add_tag("a", 1);
        rig.db->add_tag("b", 2);
    }
    Rig::CollectorPtr make(bool mark) {
        auto o = rig.options();
        o.mark_outages = mark;
        o.buffer_dir = dir.path / "buffer";
        return rig.make(std::move(o));
    }
    void server(bool up) {
        rig.opc->locked([&] { rig.opc->read_error = up ? "" : "BadTimeout"; });
    }
};

TEST_F(Outages, OneBadRowPerTagWithoutAValueOncePerOutage) {
    auto c = make(true);
    c->collection_step();
    server(false);
    c->collection_step();
    c->collection_step();
    c->collection_step();
    server(true);
    c->collection_step();
    server(false);
    c->collection_step();
    EXPECT_EQ(written(*rig.db), (Writes{kGood, kMarks, kGood, kMarks}));
    // The front end's queue gets only what was read.
    EXPECT_EQ(rig.drain().size(), 2u);
}

TEST_F(Outages, EveryTagReadingBadIsAnOutageToo) {
    auto c = make(true);
    rig.opc->locked([&] {
        rig.opc->record_for = [](const OpcTagRequest&) {
            return OpcValueRecord{Value(1.0), 0x0200, std::nullopt};  // Bad
        };
    });
    c->collection_step();
    c->collection_step();
    EXPECT_EQ(written(*rig.db), (Writes{kMarks}));
}

TEST_F(Outages, WithoutTheSettingAnOutageStoresNothing) {
    auto c = make(false);
    c->collection_step();
    server(false);
    c->collection_step();
    c->collection_step();
    EXPECT_EQ(written(*rig.db), (Writes{kGood}));
}

TEST_F(Outages, MarksWaitInTheBufferWhileTheDatabaseIsAwayToo) {
    auto c = make(true);
    c->collection_step();
    rig.db->locked([&] {
        rig.db->write_error = "server closed the connection unexpectedly";
        rig.db->ping_result = false;
        rig.db->connect_error = "connection refused";
    });
    server(false);
    c->collection_step();  // the marks' write fails, the reconnect too: they wait on disk
    EXPECT_EQ(c->buffered_sample_count(), 2u);
    server(true);
    rig.db->locked([&] {
        rig.db->write_error.reset();
        rig.db->connect_error.reset();
        rig.db->ping_result = true;
    });
    c->collection_step();  // reconnects; this cycle waits in the buffer behind the marks
    c->collection_step();
    EXPECT_EQ(c->buffered_sample_count(), 0u);
    const auto writes = written(*rig.db);
    std::vector<std::string> rows;
    for (const auto& w : writes) {
        rows.insert(rows.end(), w.begin(), w.end());
    }
    // The good cycle before, the failed write of the marks, then the marks and both later
    // cycles in their order.
    EXPECT_EQ(rows, (std::vector<std::string>{"Good:1", "Good:1", "Bad:-", "Bad:-", "Bad:-",
                                              "Bad:-", "Good:1", "Good:1", "Good:1", "Good:1"}));
}

// --- A collector started before its database ---

struct StartWithoutDatabase : ::testing::Test {
    ScratchDir dir;
    Rig rig;
    int registrations = 0;
    void SetUp() override {
        rig.tags = {"a", "b"};
        rig.db->connect_error = "could not connect to server: Connection refused";
    }
    Rig::CollectorPtr make() {
        auto o = rig.options();
        o.buffer_dir = dir.path / "buffer";
        o.registration = [this](TsdbClient& client, TsdbConnection& conn) {
            ++registrations;
            for (const auto& tag : rig.tags) {
                ASSERT_TRUE(client.insert_new_tag(conn, TagInfo{.tag_name = tag}).ok);
            }
        };
        return rig.make(std::move(o));
    }
};

TEST_F(StartWithoutDatabase, CyclesWaitByNameAndAreWrittenOnceTheDatabaseAnswers) {
    auto c = make();  // no connection is opened here
    EXPECT_EQ(rig.db->opened, 0);
    c->collection_step();
    c->collection_step();
    EXPECT_EQ(c->buffered_sample_count(), 4u);
    EXPECT_EQ(registrations, 0);

    rig.db->locked([&] { rig.db->connect_error.reset(); });
    // The pause after the failed attempt still runs: the database is not asked yet.
    c->collection_step();
    EXPECT_EQ(registrations, 0);
    EXPECT_EQ(c->buffered_sample_count(), 6u);
    rig.time.advance(1.0);
    c->collection_step();  // connects and registers; this cycle is the buffer's last
    EXPECT_EQ(registrations, 1);
    c->collection_step();  // the backlog, then this cycle
    EXPECT_EQ(c->buffered_sample_count(), 0u);
    std::size_t rows = 0;
    for (const auto& w : written(*rig.db)) {
        rows += w.size();
    }
    EXPECT_EQ(rows, 5u * 2) << "every cycle from the first one on";
    c->collection_step();
    EXPECT_EQ(registrations, 1) << "registered once";
}

TEST_F(StartWithoutDatabase, TheDatabaseIsAskedLessOftenTheLongerItStaysAway) {
    auto c = make();
    std::vector<int> asked_at;  // cycle numbers of the connection attempts
    int attempts = 0;
    for (int cycle = 0; cycle < 40; ++cycle) {
        c->collection_step();
        const int now = rig.db->locked([&] { return rig.db->calls["get_conn"]; });
        if (now != attempts) {
            attempts = now;
            asked_at.push_back(cycle);
        }
        rig.time.advance(1.0);
    }
    // One-second cycles: pauses of 1, 2, 4, 8 and 16 s.
    EXPECT_EQ(asked_at, (std::vector<int>{0, 1, 3, 7, 15, 31}));
    EXPECT_EQ(c->buffered_sample_count(), 80u);
}

// Which failures at start mean "wait for it" rather than "mend the settings".
TEST(DatabaseUnreachable, TellsAServerAwayFromARefusal) {
    EXPECT_TRUE(database_unreachable(TsdbConnectionError(
        "connection to server at \"127.0.0.1\", port 5432 failed: Connection refused")));
    EXPECT_TRUE(database_unreachable(TsdbConnectionError("connecting: timeout expired")));
    EXPECT_TRUE(database_unreachable(TsdbConnectionError(
        "connection to server at \"db\", port 5432 failed: FATAL:  the database system is "
        "starting up")));
    EXPECT_FALSE(database_unreachable(TsdbConnectionError(
        "connection to server at \"db\", port 5432 failed: FATAL:  password authentication "
        "failed for user \"postgres\"")));
    EXPECT_FALSE(database_unreachable(
        TsdbConnectionError("connection to server failed: FATAL:  database \"x\" does not exist")));
    EXPECT_FALSE(database_unreachable(TsdbQueryError("relation chronq.tsdata has no column time")));
}

}  // namespace
}  // namespace korrin_test
