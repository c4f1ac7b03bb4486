// The small rule sets (quality texts, schemas, UA tag texts), the bounded queues and the
// collector's construction rules.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>

#include <korrin/cycle_queue.h>
#include <korrin/quality.h>
#include <korrin/schema.h>

#include "support/rig.h"

namespace korrin_test {
namespace {

TEST(QualityToStr, UsesOnlyTheSecondByte) {
    EXPECT_EQ(quality_to_str(256), "Good");
    EXPECT_EQ(quality_to_str(0x01C0), "Good");
    EXPECT_EQ(quality_to_str(512), "Bad");
    EXPECT_EQ(quality_to_str(768), "Uncertain");
    EXPECT_EQ(quality_to_str(0), "Invalid");
    EXPECT_EQ(quality_to_str(0x00C0), "Invalid");
    EXPECT_EQ(quality_to_str(1024), "Invalid");
    // Negative codes keep their two's-complement bits: -256 is 0x...FF00.
    EXPECT_EQ(quality_to_str(-256), "Invalid");
    EXPECT_EQ(quality_to_str(static_cast<int>(0xFFFF0100u)), "Good");
}

TEST(Schema, ProtocolAndValidation) {
    EXPECT_EQ(detect_protocol("opc.tcp://host:4840"), "UA");
    EXPECT_EQ(detect_protocol("opc.da://host/Prog.1"), "DA");
    EXPECT_EQ(detect_protocol("OPC.TCP://host:4840"), "DA");
    EXPECT_NO_THROW(validate_schema("opc.da://"));
    try {
        validate_schema("OPC.TCP://host:4840");
        FAIL() << "accepted an upper-case schema";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(),
                     "Invalid OPC schema format: OPC.TCP://host:4840. Must start with "
                     "'opc.da://' or 'opc.tcp://'");
    }
}

TEST(ParseUaTag, SplitsAtTheFirstColonWhenThePrefixIsAnInteger) {
    using P = std::pair<int, std::string>;
    auto parse = &BaseQevCollectorThread::parse_ua_tag;
    EXPECT_EQ(parse("2:Demo.Tag1"), P(2, "Demo.Tag1"));
    EXPECT_EQ(parse("Demo.Tag1"), P(0, "Demo.Tag1"));
    EXPECT_EQ(parse("2:a:b"), P(2, "a:b"));
    EXPECT_EQ(parse("2:"), P(2, ""));
    EXPECT_EQ(parse("x:y"), P(0, "x:y"));
    EXPECT_EQ(parse(":y"), P(0, ":y"));
    EXPECT_EQ(parse("ns=2;s=Pump"), P(0, "ns=2;s=Pump"));
    EXPECT_EQ(parse(" 3 :y"), P(3, "y"));
    EXPECT_EQ(parse("-1:y"), P(-1, "y"));
    EXPECT_EQ(parse("+4:y"), P(4, "y"));
    EXPECT_EQ(parse("2x:y"), P(0, "2x:y"));
    EXPECT_EQ(parse("99999999999:y"), P(0, "99999999999:y"));  // out of range: not a prefix
    EXPECT_EQ(parse("+-1:x"), P(0, "+-1:x"));                  // one sign at most
    EXPECT_EQ(parse("--1:x"), P(0, "--1:x"));
    EXPECT_EQ(parse("+:x"), P(0, "+:x"));
    EXPECT_EQ(parse("\t2\t:x"), P(2, "x"));  // every ASCII blank around the index goes
    EXPECT_EQ(parse("\v\f5\r\n:x"), P(5, "x"));
    EXPECT_EQ(parse("2: x "), P(2, " x "));  // the identifier is kept as written
}

TEST(BoundedDeque, KeepsTheNewest300Cycles) {
    DataDeque deque(300);
    for (int i = 0; i < 305; ++i) {
        deque.push_back({Sample{"t" + std::to_string(i), Value(1.0), "Good", std::nullopt}});
    }
    EXPECT_EQ(deque.size(), 300u);
    EXPECT_EQ(deque.pop_front()->front().tag, "t5");
    EXPECT_THROW(DataDeque(0), std::invalid_argument);
}

CycleResults numbered_cycle(int n) {
    return {Sample{std::to_string(n), Value(1.0), "Good", std::nullopt}};
}

TEST(CycleQueue, TheCollectorAppendsWhileTheFrontEndDrainsAndNothingIsLostOrReordered) {
    constexpr int kCycles = 5000;
    CycleQueue queue(kCycles);
    std::thread collector([&] {
        for (int i = 0; i < kCycles; ++i) {
            queue.push(numbered_cycle(i));
        }
    });
    int next = 0;
    while (next < kCycles) {
        for (const auto& cycle : queue.drain()) {
            ASSERT_EQ(cycle.front().tag, std::to_string(next));
            ++next;
        }
    }
    collector.join();
    EXPECT_TRUE(queue.empty());

    CycleQueue small(2);
    for (int i = 0; i < 3; ++i) {
        small.push(numbered_cycle(i));
    }
    EXPECT_EQ(small.size(), 2u);
    const auto kept = small.drain();
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].front().tag, "1") << "a full queue drops its oldest cycle";
    small.push(numbered_cycle(3));
    small.clear();
    EXPECT_TRUE(small.drain().empty());
    EXPECT_THROW(CycleQueue(0), std::invalid_argument);
}

TEST(Construction, RejectsBadInputBeforeAnythingOpens) {
    Rig rig;
    auto bad_schema = rig.options("tcp://host:4840");
    try {
        rig.make(std::move(bad_schema));
        FAIL() << "accepted tcp://";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(),
                     "Invalid OPC schema format: tcp://host:4840. Must start with 'opc.da://' or "
                     "'opc.tcp://'");
    }
    auto no_supplier = rig.options();
    no_supplier.get_tags_func = nullptr;
    try {
        rig.make(std::move(no_supplier));
        FAIL() << "accepted a collector without tags";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Either 'get_tags_func' or 'tags' must be provided.");
    }
    auto no_deque = rig.options();
    no_deque.data_deque = nullptr;
    EXPECT_THROW(rig.make(std::move(no_deque)), std::invalid_argument);
    EXPECT_EQ(rig.db->opened, 0);
    EXPECT_EQ(rig.opc->libraries_created, 0);
}

TEST(Construction, OpensTheDatabaseOnlyWithSettings) {
    Rig rig;
    auto without = rig.options();
    without.tsdb_cfg.reset();
    auto collector = rig.make(std::move(without));
    EXPECT_FALSE(collector->has_tsdb_connection());
    collector->collection_step();
    EXPECT_EQ(rig.drain().size(), 1u);
    EXPECT_EQ(rig.db->opened, 0);
    EXPECT_TRUE(rig.db->writes.empty());

    auto with = rig.make();
    EXPECT_TRUE(with->has_tsdb_connection());

    rig.db->connect_error = "connection refused";
    EXPECT_THROW(rig.make(), TsdbConnectionError);
}

TEST(Construction, BaseTakesAFixedTagListAndAnySchema) {
    struct Plain : BaseQevCollectorThread {
        using BaseQevCollectorThread::_read_and_process_data;
        using BaseQevCollectorThread::BaseQevCollectorThread;
        void handle_data(const CycleResults& r) override { seen.push_back(r); }
        std::vector<CycleResults> seen;
    };
    auto opc = std::make_shared<FakeOpcScript>();
    auto tags = std::make_shared<std::vector<std::string>>();
    Plain plain({.server_schema = "OPC.TCP://host:4840",
                 .tags = tags,
                 .opc_library_factory = fake_factory(opc)});
    EXPECT_EQ(plain.protocol_type, "DA");
    plain.connect_source();
    plain._read_and_process_data();  // empty list: nothing read
    EXPECT_TRUE(opc->reads.empty());
    tags->push_back("Demo.Tag1");  // the caller's later change is seen
    plain._read_and_process_data();
    ASSERT_EQ(plain.seen.size(), 1u);
    EXPECT_EQ(plain.seen[0][0].tag, "Demo.Tag1");
    plain.disconnect_source();
}

TEST(ConnectSource, PassesTheIntervalInWholeMilliseconds) {
    for (auto [interval, msec] : {std::pair{0.5, 500}, {1.9999, 1999}, {0.0004, 0}}) {
        Rig rig;
        auto o = rig.options("opc.tcp://localhost:4840");
        o.sample_interval = interval;
        auto c = rig.make(std::move(o));
        c->connect_source();
        ASSERT_EQ(rig.opc->creates.size(), 1u);
        EXPECT_EQ(rig.opc->creates[0].sample_timespan_msec, msec) << interval;
        EXPECT_EQ(rig.opc->creates[0].source_type, QEV_RTSOURCE_UA);
        EXPECT_EQ(rig.opc->creates[0].schema, "opc.tcp://localhost:4840");
        EXPECT_EQ(rig.opc->creates[0].support_subscribe, 0);
        EXPECT_EQ(rig.opc->log_level_calls, 1);
    }
}

TEST(ConnectSource, RaisesWithTheLongProtocolName) {
    Rig rig;
    rig.opc->create_fails = true;
    auto ua = rig.make(rig.options("opc.tcp://localhost:4840"));
    try {
        ua->connect_source();
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Create OPC UA Source failed");
    }
    // The library's cause follows the fixed text, so that the operator sees what to fix.
    rig.opc->create_error = "cannot connect to OPC UA server opc.tcp://localhost:4840: refused";
    try {
        ua->connect_source();
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(),
                     "Create OPC UA Source failed: cannot connect to OPC UA server "
                     "opc.tcp://localhost:4840: refused");
    }
    rig.opc->create_fails = false;
    rig.opc->source_invalid = true;
    auto da = rig.make();
    try {
        da->connect_source();
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "OPC DA Source is invalid");
    }
    // The invalid source stays until the next disconnect releases it.
    EXPECT_EQ(rig.opc->sources_destroyed, 0);
    da->disconnect_source();
    EXPECT_EQ(rig.opc->sources_destroyed, 1);
    EXPECT_TRUE(rig.status.contains("DA source disconnected"));
}

}  // namespace
}  // namespace korrin_test
