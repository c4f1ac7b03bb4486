// The disk buffer on its own (files cut or damaged as a crash or a bad disk leaves them, the
// size limit, the settings), and the collector's store-and-forward path against the fakes:
// what a retry can cure waits in order, what it cannot is not retried.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "korrin/sample_buffer.h"
#include "korrin/settings.h"
#include "support/rig.h"
#include "support/scratch_dir.h"

namespace korrin_test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::vector<BufferedRow> cycle(int n, double base) {
    std::vector<BufferedRow> rows;
    const TimePoint t = TimePoint(std::chrono::seconds(1'765'000'000)) +
                        std::chrono::seconds(static_cast<int>(base));
    for (int i = 0; i < n; ++i) {
        rows.push_back({"2:Tag." + std::to_string(i), Value(base + i), "Good", t});
    }
    return rows;
}

std::vector<fs::path> segments(const fs::path& dir) {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (e.path().extension() == ".seg") {
            out.push_back(e.path());
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

TEST(SampleBuffer, RecordsComeBackInOrderAfterAReopenAndLeaveNoFileOnceWritten) {
    ScratchDir dir;
    std::vector<std::int64_t> seqs;
    {
        SampleBuffer buf(dir.path, 1 << 20);
        buf.append(cycle(3, 1));
        buf.append(
            std::vector<BufferedRow>{{"s", Value(std::string("text")), "Bad", TimePoint{}},
                                     {"b", Value(true), "Good", TimePoint{}},
                                     {"i", Value(std::int64_t{-5}), "Uncertain", TimePoint{}},
                                     {"n", Value(), "Invalid", TimePoint{}}});
        buf.append(cycle(3, 3));
        EXPECT_EQ(buf.pending_rows(), 10u);
    }
    SampleBuffer buf(dir.path, 1 << 20);
    ASSERT_EQ(buf.pending_rows(), 10u);
    const auto recs = buf.peek(100);
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_LT(recs[0].seq, recs[1].seq);
    EXPECT_LT(recs[1].seq, recs[2].seq);
    EXPECT_EQ(recs[0].rows, cycle(3, 1));
    EXPECT_EQ(std::get<std::string>(recs[1].rows[0].value), "text");
    EXPECT_EQ(std::get<std::int64_t>(recs[1].rows[2].value), -5);
    EXPECT_EQ(recs[2].rows, cycle(3, 3));
    // A new record after a reopen numbers on from the old ones.
    buf.append(cycle(1, 9));
    EXPECT_GT(buf.peek(100).back().seq, recs[2].seq);

    buf.consume_through(recs[1].seq);
    EXPECT_EQ(buf.pending_rows(), 4u);
    EXPECT_EQ(buf.peek(100).front().seq, recs[2].seq);
    buf.consume_through(buf.peek(100).back().seq);
    EXPECT_TRUE(buf.empty());
    EXPECT_TRUE(segments(dir.path).empty());
}

TEST(SampleBuffer, ATornOrDamagedTailIsCutAtTheLastGoodRecord) {
    for (const bool flip : {false, true}) {
        SCOPED_TRACE(flip ? "flipped byte" : "cut in the middle of a record");
        ScratchDir dir;
        {
            SampleBuffer buf(dir.path, 1 << 20);
            for (int i = 0; i < 3; ++i) {
                buf.append(cycle(4, i * 10));
            }
        }
        const fs::path file = segments(dir.path).at(0);
        const auto size = fs::file_size(file);
        const std::uintmax_t record = (size - 40) / 3;  // three records of equal size
        if (flip) {
            std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(static_cast<std::streamoff>(40 + record + record / 2));
            f.put('\x5a');
        } else {
            fs::resize_file(file, size - record / 2);
        }
        SampleBuffer buf(dir.path, 1 << 20);
        // Flipped: the second record is bad, so the third goes with it.
        const std::size_t kept = flip ? 1 : 2;
        EXPECT_EQ(buf.pending_rows(), kept * 4);
        EXPECT_EQ(fs::file_size(file), 40 + kept * record);
        const auto recs = buf.peek(100);
        ASSERT_EQ(recs.size(), kept);
        EXPECT_EQ(recs[0].rows, cycle(4, 0));
        // The file goes on from the good prefix.
        buf.append(cycle(4, 99));
        SampleBuffer again(dir.path, 1 << 20);
        EXPECT_EQ(again.pending_rows(), kept * 4 + 4);
        EXPECT_EQ(again.peek(100).back().rows, cycle(4, 99));
    }
}

TEST(SampleBuffer, GarbageInTheFolderIsSetAsideNotTrusted) {
    ScratchDir dir;
    std::ofstream(dir.path / "00000000000000000001.seg") << "not a buffer file at all";
    SampleBuffer buf(dir.path, 1 << 20);
    EXPECT_TRUE(buf.empty());
    buf.append(cycle(2, 0));
    EXPECT_EQ(SampleBuffer(dir.path, 1 << 20).pending_rows(), 2u);
}

TEST(SampleBuffer, AFullBufferDropsTheOldestAndSaysHowMany) {
    ScratchDir dir;
    const std::uint64_t limit = 256 * 1024;
    SampleBuffer buf(dir.path, limit);
    std::uint64_t appended = 0;
    for (int i = 0; i < 400; ++i) {
        buf.append(cycle(50, i));
        appended += 50;
        EXPECT_LE(buf.size_bytes(), limit);
    }
    const auto dropped = buf.take_dropped();
    ASSERT_TRUE(dropped);
    EXPECT_EQ(dropped->samples + buf.pending_rows(), appended);
    EXPECT_FALSE(buf.take_dropped());  // reported once
    const auto recs = buf.peek(1'000'000);
    EXPECT_EQ(recs.back().rows, cycle(50, 399));  // the newest are kept
    EXPECT_NE(recs.front().rows, cycle(50, 0));
    std::uint64_t on_disk = 0;
    for (const auto& f : segments(dir.path)) {
        on_disk += fs::file_size(f);
    }
    EXPECT_LE(on_disk, limit);
}

TEST(StoreSettings, DefaultsAndValues) {
    const auto defaults =
        read_store_settings(vantrel::common::IniFile::read_text("[Vantrel]\n"), "/plant");
    EXPECT_EQ(defaults.timestamp, TimestampMode::gather);
    EXPECT_EQ(defaults.buffer_dir, fs::path("/plant/buffer"));
    EXPECT_EQ(defaults.buffer_max_bytes, 512ull << 20);
    const auto set =
        read_store_settings(vantrel::common::IniFile::read_text(
                                "[Vantrel]\ntimestamp = source\nbuffer_dir =\nbuffer_max_mb = 3\n"),
                            "/plant");
    EXPECT_EQ(set.timestamp, TimestampMode::source);
    EXPECT_TRUE(set.buffer_dir.empty());
    EXPECT_EQ(set.buffer_max_bytes, 3ull << 20);
    EXPECT_THROW(read_store_settings(
                     vantrel::common::IniFile::read_text("[Vantrel]\ntimestamp = local\n"), "/"),
                 std::invalid_argument);
    EXPECT_THROW(read_store_settings(
                     vantrel::common::IniFile::read_text("[Vantrel]\nbuffer_max_mb = 0\n"), "/"),
                 std::invalid_argument);
}

Sample sample(std::string tag, double v) {
    return Sample{std::move(tag), Value(v), "Good", std::nullopt};
}

struct StoreForward : ::testing::Test {
    ScratchDir dir;
    Rig rig;
    Rig::CollectorPtr c;
    void SetUp() override {
        rig.db->add_tag("a", 1);
        rig.db->add_tag("b", 2);
        auto o = rig.options();
        o.buffer_dir = dir.path / "buffer";
        c = rig.make(std::move(o));
    }
    std::vector<double> written_values() {
        std::vector<double> out;
        for (const auto& w : rig.db->writes) {
            for (const auto& v : w.values) {
                out.push_back(std::get<double>(v));
            }
        }
        return out;
    }
};

TEST_F(StoreForward, CyclesOfAnOutageWaitOnDiskAndAreWrittenInOrderBeforeNewOnes) {
    c->handle_data({sample("a", 1), sample("b", 2)});
    rig.db->write_error = "server closed the connection unexpectedly";
    c->handle_data({sample("a", 3), sample("b", 4)});
    c->handle_data({sample("a", 5), sample("b", 6)});
    EXPECT_EQ(c->buffered_sample_count(), 4u);
    EXPECT_EQ(rig.db_status.calls().back(), std::make_pair(false, std::int64_t{0}));

    rig.db->write_error.reset();
    rig.db->writes.clear();
    c->handle_data({sample("a", 7), sample("b", 8)});
    EXPECT_EQ(written_values(), (std::vector<double>{3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(c->buffered_sample_count(), 0u);
    EXPECT_EQ(rig.db_status.calls().back(), std::make_pair(true, std::int64_t{6}));

    rig.db->writes.clear();
    c->handle_data({sample("a", 9), sample("b", 10)});
    EXPECT_EQ(written_values(), (std::vector<double>{9, 10}));
}

TEST_F(StoreForward, CyclesWithoutAConnectionWaitByTagNameUntilAReconnect) {
    rig.db->write_error = "server closed the connection unexpectedly";
    rig.db->ping_result = false;
    rig.db->connect_error = "connection refused";
    c->handle_data({sample("a", 1), sample("b", 2)});  // fails; the reconnect fails too
    c->handle_data({sample("a", 3), sample("b", 4)});  // no connection at all
    EXPECT_EQ(c->buffered_sample_count(), 4u);
    rig.db->write_error.reset();
    rig.db->connect_error.reset();
    c->handle_data({sample("a", 5), sample("b", 6)});  // reconnects; ids looked up afresh
    rig.db->writes.clear();
    c->handle_data({sample("a", 7), sample("b", 8)});
    EXPECT_EQ(written_values(), (std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(c->buffered_sample_count(), 0u);
}

TEST_F(StoreForward, ARefusedWriteIsNotRetried) {
    rig.db->write_result = std::make_pair(false, std::size_t{0});
    c->handle_data({sample("a", 1), sample("b", 2)});
    EXPECT_EQ(c->buffered_sample_count(), 0u);
    rig.db->write_result.reset();
    rig.db->writes.clear();
    c->handle_data({sample("a", 3), sample("b", 4)});
    EXPECT_EQ(written_values(), (std::vector<double>{3, 4}));
}

TEST_F(StoreForward, ABacklogRecordTheTsdbRefusesCostsOnlyItselfAndUnknownTagsAreDropped) {
    rig.db->add_tag("bad", 9);
    rig.db->write_error = "server closed the connection unexpectedly";
    rig.db->ping_result = false;
    rig.db->connect_error = "connection refused";
    c->handle_data({sample("a", 1), sample("b", 2)});    // fails; the reconnect fails too
    c->handle_data({sample("a", 3), sample("z", 4)});    // kept by name: z is not registered
    c->handle_data({sample("a", 5), sample("bad", 6)});  // the record the TSDB will refuse
    EXPECT_EQ(c->buffered_sample_count(), 6u);
    rig.db->write_error.reset();
    rig.db->connect_error.reset();
    rig.db->refuse_write_ids = {9};
    c->handle_data({sample("a", 7), sample("b", 8)});  // reconnects
    rig.db->writes.clear();
    c->handle_data({sample("a", 9), sample("b", 10)});
    EXPECT_EQ(written_values(), (std::vector<double>{1, 2, 3, 7, 8, 9, 10}));
    EXPECT_EQ(rig.db_status.calls().back(), std::make_pair(true, std::int64_t{7}));
    EXPECT_EQ(c->buffered_sample_count(), 0u) << "what was refused or unknown is not kept";
}

TEST(StoreForwardSourceTime, ASourceTimeThatHasNotMovedIsTheSameSample) {
    Rig rig;
    rig.db->add_tag("a", 1);
    auto o = rig.options();
    o.timestamp_mode = TimestampMode::source;
    auto c = rig.make(std::move(o));
    const TimePoint t0 = TimePoint(std::chrono::seconds(1'765'000'000));
    auto at = [](double v, TimePoint t) {
        Sample s{"a", Value(v), "Good", t};
        s.source_time = t;
        return s;
    };
    c->handle_data({at(1, t0)});
    c->handle_data({at(1, t0)});
    c->handle_data({at(2, t0 + 1s)});
    ASSERT_EQ(rig.db->writes.size(), 2u);
    EXPECT_EQ(std::get<double>(rig.db->writes[1].values.at(0)), 2.0);
}

// Kept by position while the list stays the same, a tag's last source time still follows the
// tag when the list is reordered.
TEST(StoreForwardSourceTime, TheLastSourceTimeFollowsItsTagThroughAReorderedList) {
    Rig rig;
    rig.db->add_tag("a", 1);
    rig.db->add_tag("b", 2);
    auto o = rig.options();
    o.timestamp_mode = TimestampMode::source;
    auto c = rig.make(std::move(o));
    const TimePoint t0 = TimePoint(std::chrono::seconds(1'765'000'000));
    auto at = [](const std::string& tag, double v, TimePoint t) {
        Sample s{tag, Value(v), "Good", t};
        s.source_time = t;
        return s;
    };
    c->handle_data({at("a", 1, t0), at("b", 1, t0)});
    c->handle_data({at("a", 2, t0), at("b", 2, t0 + 1s)});
    c->handle_data({at("b", 3, t0 + 1s), at("a", 3, t0)});  // neither has moved
    c->handle_data({at("b", 4, t0 + 2s), at("a", 4, t0 + 1s)});
    ASSERT_EQ(rig.db->writes.size(), 3u);
    EXPECT_EQ(rig.db->writes[1].ids, (std::vector<std::int64_t>{2}));
    EXPECT_EQ(rig.db->writes[2].ids, (std::vector<std::int64_t>{2, 1}));
}

}  // namespace
}  // namespace korrin_test
