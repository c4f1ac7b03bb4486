// The TSDB writer and the store-and-forward part on their own: the writer against the fake
// TSDB client, the store against a scripted sink. What they promise apart from the collector:
// a write mark keeps a row from being stored twice, a replay keeps to half an interval, a
// stop ends a replay and forbids a reconnect, and the writer names each missing tag once.
#include <gtest/gtest.h>
#include <signal.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <korrin/store_forward.h>
#include <korrin/tsdb_writer.h>
#include <lumvane/logging.h>

#include "fakes/fake_tsdb_client.h"
#include "fakes/recorders.h"
#include "support/scratch_dir.h"

namespace korrin_test {
namespace {

namespace fs = std::filesystem;
using namespace vantrel::korrin;
using namespace std::chrono_literals;
using vantrel::test_fakes::DbStatusLog;
using vantrel::test_fakes::FakeTsdbClient;

// The engine's log lines written while it lives.
class KorrinLog {
  public:
    KorrinLog() : logger_(vantrel::lumvane::get_logger("korrin")) {
        logger_->sinks().push_back(sink_);
    }
    ~KorrinLog() {
        auto& sinks = logger_->sinks();
        sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
    }
    std::size_t count(const std::string& text) const {
        logger_->flush();
        const auto lines = sink_->last_formatted();
        return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](auto& l) {
            return l.find(text) != std::string::npos;
        }));
    }

  private:
    std::shared_ptr<spdlog::logger> logger_;
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink_ =
        std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(256);
};

std::vector<BufferedRow> rows(std::initializer_list<std::pair<const char*, double>> values) {
    std::vector<BufferedRow> out;
    for (const auto& [tag, v] : values) {
        out.push_back({tag, Value(v), "Good", TimePoint(std::chrono::seconds(1'765'000'000))});
    }
    return out;
}

// The TSDB as a replay sees it: known ids, a committed mark, and every statement recorded.
struct ScriptedSink : RowSink {
    std::map<std::string, std::int64_t> ids{{"a", 1}, {"b", 2}};
    std::int64_t mark = 0;
    int mark_reads = 0;
    bool stop = false;
    std::chrono::milliseconds write_delay{0};
    std::vector<std::vector<double>> writes;
    std::vector<std::int64_t> marks;

    bool stopping() const override { return stop; }
    std::int64_t read_mark(const std::string&) override {
        ++mark_reads;
        return mark;
    }
    bool look_up(std::span<const BufferedRecord>) override { return !stop; }
    std::optional<std::int64_t> tag_id(const std::string& tag) const override {
        const auto it = ids.find(tag);
        return it == ids.end() ? std::nullopt : std::optional(it->second);
    }
    std::pair<bool, std::size_t> write(std::span<const TimePoint>, std::span<const std::int64_t>,
                                       std::span<const Value> values, std::span<const std::string>,
                                       const WriteMark& m) override {
        std::this_thread::sleep_for(write_delay);
        std::vector<double> numbers;
        for (const auto& v : values) {
            numbers.push_back(std::get<double>(v));
        }
        writes.push_back(numbers);
        marks.push_back(m.seq);
        return {true, values.size()};
    }
    std::vector<double> written() const {
        std::vector<double> out;
        for (const auto& w : writes) {
            out.insert(out.end(), w.begin(), w.end());
        }
        return out;
    }
};

TEST(StoreForwardPart, TheMarkSkipsWhatTheTsdbAlreadyHoldsAndEveryReplayCarriesOne) {
    ScratchDir dir;
    auto store = StoreForward::open(dir.path, 1 << 20, 1.0);
    ASSERT_TRUE(store);
    EXPECT_FALSE(store->has_backlog());

    // A write whose answer was lost: its rows wait under the number it carried.
    const WriteMark lost = store->reserve_mark();
    store->store(rows({{"a", 1}, {"b", 2}}), lost.seq);
    store->mark_unchecked();
    store->store(rows({{"a", 3}, {"b", 4}}), 0);
    EXPECT_EQ(store->buffered_count(), 4u);

    ScriptedSink sink;
    sink.mark = lost.seq;  // the lost write did commit
    EXPECT_EQ(store->replay(sink), 2u);
    EXPECT_EQ(sink.written(), (std::vector<double>{3, 4})) << "nothing is stored twice";
    ASSERT_EQ(sink.marks.size(), 1u);
    EXPECT_GT(sink.marks[0], lost.seq);
    EXPECT_EQ(store->buffered_count(), 0u);
    EXPECT_FALSE(store->has_backlog());

    // Once checked, the mark is not read again until an outcome is unknown once more.
    store->store(rows({{"a", 5}}), 0);
    store->replay(sink);
    EXPECT_EQ(sink.mark_reads, 1);
    store->mark_unchecked();
    store->store(rows({{"a", 6}}), 0);
    store->replay(sink);
    EXPECT_EQ(sink.mark_reads, 2);
    EXPECT_EQ(sink.written(), (std::vector<double>{3, 4, 5, 6}));
}

TEST(StoreForwardPart, AReplayKeepsToHalfTheIntervalAndEndsOnAStop) {
    ScratchDir dir;
    // 0.1 s between cycles: at most 50 ms of replay per cycle.
    auto store = StoreForward::open(dir.path, 64 << 20, 0.1);
    ASSERT_TRUE(store);
    std::vector<BufferedRow> big;
    for (int i = 0; i < 5000; ++i) {
        big.push_back(rows({{"a", static_cast<double>(i)}})[0]);
    }
    store->store(big, 0);
    store->store(big, 0);
    store->store(big, 0);

    ScriptedSink sink;
    sink.write_delay = 60ms;  // one statement already spends the budget
    EXPECT_EQ(store->replay(sink), 5000u);
    EXPECT_EQ(store->buffered_count(), 10000u) << "the rest waits for the next cycles";

    sink.stop = true;
    EXPECT_EQ(store->replay(sink), 0u);
    EXPECT_EQ(store->buffered_count(), 10000u);
    EXPECT_EQ(sink.writes.size(), 1u);
}

TEST(StoreForwardPart, AnEarlierRunsRecordsAreABacklogAndAnUnusableFolderMeansNoStore) {
    ScratchDir dir;
    {
        auto store = StoreForward::open(dir.path / "buffer", 1 << 20, 1.0);
        ASSERT_TRUE(store);
        store->store(rows({{"a", 1}, {"b", 2}, {"z", 3}}), 0);
    }
    KorrinLog log;
    auto reopened = StoreForward::open(dir.path / "buffer", 1 << 20, 1.0);
    ASSERT_TRUE(reopened);
    EXPECT_TRUE(reopened->has_backlog());
    EXPECT_EQ(reopened->buffered_count(), 3u);
    EXPECT_EQ(log.count("holds 3 samples from an earlier run"), 1u);

    ScriptedSink sink;
    EXPECT_EQ(reopened->replay(sink), 2u);
    EXPECT_EQ(log.count("1 buffered samples of tags not found in TSDB were dropped"), 1u);
    EXPECT_EQ(log.count("Buffered backlog written: 3 samples kept since"), 1u);

    std::ofstream(dir.path / "file") << "not a folder";
    EXPECT_EQ(StoreForward::open(dir.path / "file", 1 << 20, 1.0), nullptr);
    EXPECT_EQ(log.count("cannot be used, samples are lost while the TSDB is away"), 1u);
}

// A buffer folder that turns unwritable while the TSDB is away (a full disk, a changed
// mode) must not cost the cycles: they wait in memory, in order, and reach the TSDB either
// through the folder once it takes files again or straight from memory.
TEST(StoreForwardPart, CyclesTheFolderRefusesWaitInMemoryInOrder) {
    ScratchDir dir;
    const fs::path folder = dir.path / "buffer";
    auto store = StoreForward::open(folder, 1 << 20, 1.0);
    ASSERT_TRUE(store);
    ScriptedSink sink;
    store->store(rows({{"a", 1}}), 0);
    store->replay(sink);  // written: the folder holds no file to append to any more
    ASSERT_FALSE(store->has_backlog());

    // Works as root too, which a read-only mode would not stop: no folder to create files in.
    const auto refuse = [&] {
        fs::rename(folder, dir.path / "aside");
        std::ofstream(folder) << "not a folder";
    };
    const auto restore = [&] {
        fs::remove(folder);
        fs::rename(dir.path / "aside", folder);
    };
    KorrinLog log;
    refuse();
    const WriteMark lost = store->reserve_mark();
    store->store(rows({{"a", 2}}), lost.seq);  // a write whose outcome is unknown
    store->mark_unchecked();
    store->store(rows({{"a", 3}, {"b", 4}}), 0);
    store->store(rows({{"a", 5}}), 0);
    EXPECT_TRUE(store->has_backlog());
    EXPECT_EQ(store->buffered_count(), 4u);
    EXPECT_EQ(log.count("holding them in memory"), 1u) << "said once per stretch";

    // The TSDB back, the folder still refusing: memory goes straight to it, minus what the
    // mark says it holds already.
    sink.mark = lost.seq;
    store->replay(sink);
    EXPECT_EQ(sink.written(), (std::vector<double>{1, 3, 4, 5}));
    EXPECT_FALSE(store->has_backlog());
    EXPECT_EQ(store->buffered_count(), 0u);

    // Held cycles go to the disk first once it takes them, ahead of newer ones.
    store->store(rows({{"a", 6}}), 0);
    restore();
    store->store(rows({{"a", 7}}), 0);
    EXPECT_EQ(log.count("the 1 held in memory are in it"), 1u);
    EXPECT_EQ(store->buffered_count(), 2u);
    store->replay(sink);
    EXPECT_EQ(sink.written(), (std::vector<double>{1, 3, 4, 5, 6, 7}));
    EXPECT_FALSE(store->has_backlog());
}

// Memory is bounded as the disk is: the oldest held cycles go first, and the drop is reported.
TEST(StoreForwardPart, MemoryHoldsAnEighthOfTheBufferAndDropsTheOldest) {
    ScratchDir dir;
    const fs::path folder = dir.path / "buffer";
    auto store = StoreForward::open(folder, 8 * 1024, 1.0);  // 1 KiB in memory
    ASSERT_TRUE(store);
    fs::rename(folder, dir.path / "aside");
    std::ofstream(folder) << "not a folder";
    KorrinLog log;
    for (int i = 0; i < 100; ++i) {
        store->store(rows({{"a", static_cast<double>(i)}}), 0);  // 26 bytes each
    }
    EXPECT_LT(store->buffered_count(), 100u);
    EXPECT_GT(store->buffered_count(), 30u);
    ScriptedSink sink;
    store->replay(sink);
    const auto written = sink.written();
    ASSERT_FALSE(written.empty());
    EXPECT_EQ(written.back(), 99) << "the newest are kept";
    EXPECT_TRUE(std::is_sorted(written.begin(), written.end()));
    EXPECT_EQ(log.count("dropped the"), 1u);
}

TEST(StoreForwardPart, OneStorePerFolderAndAFreedFolderOpensAgain) {
    ScratchDir dir;
    const fs::path folder = dir.path / "buffer";
    auto first = StoreForward::open(folder, 1 << 20, 1.0);
    ASSERT_TRUE(first);
    first->store(rows({{"a", 1}}), 0);
    const std::string pid = std::to_string(::getpid());
    try {
        StoreForward::open(folder, 1 << 20, 1.0);
        ADD_FAILURE() << "a second store opened the folder in use";
    } catch (const FolderInUse& e) {
        EXPECT_EQ(std::string(e.what()), "The buffer folder " + folder.string() +
                                             " is in use by another collector (process " + pid +
                                             "); give each collector its own buffer_dir.");
    }
    // The other store's records were not touched by the refused one.
    EXPECT_EQ(first->buffered_count(), 1u);
    first.reset();
    auto again = StoreForward::open(folder, 1 << 20, 1.0);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->buffered_count(), 1u);
}

TEST(StoreForwardPart, AKilledHoldersLockDoesNotBlockTheNextStart) {
    ScratchDir dir;
    const fs::path folder = dir.path / "buffer";
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Holds the folder until killed, as a collector would.
        try {
            FolderLock lock(folder);
            const char c = 'x';
            [[maybe_unused]] const auto n = ::write(ready[1], &c, 1);
            for (;;) {
                ::pause();
            }
        } catch (...) {
            ::_exit(3);
        }
    }
    ::close(ready[1]);
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);
    try {
        FolderLock held(folder);
        ADD_FAILURE() << "the folder was free while another process held it";
    } catch (const FolderInUse& e) {
        EXPECT_NE(std::string(e.what()).find("(process " + std::to_string(child) + ")"),
                  std::string::npos)
            << e.what();
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    // The lock file is still there, with the dead process's id in it; it does not matter.
    EXPECT_TRUE(fs::exists(folder / FolderLock::kFileName));
    auto store = StoreForward::open(folder, 1 << 20, 1.0);
    EXPECT_TRUE(store);
}

Sample good(std::string tag, double v) {
    return Sample{std::move(tag), Value(v), "Good", std::nullopt};
}

struct WriterTest : ::testing::Test {
    std::shared_ptr<FakeTsdbClient> db = std::make_shared<FakeTsdbClient>();
    DbStatusLog status;
    bool stopping = false;
    TsdbWriter::Options options() {
        return {.client = db,
                .cfg = TsdbConfig{.host = "db.example"},
                .db_status_notify = status.callback(),
                .timestamp_mode = TimestampMode::gather,
                .stopping = [this] { return stopping; }};
    }
};

// The fake TSDB with write marks kept as the real client keeps them, rows and mark committed
// together, and the next write's failure scripted.
struct MarkingClient : FakeTsdbClient {
    enum class Fail { none, before_sending, answer_lost, unequal, unrelated };
    Fail fail = Fail::none;
    std::map<std::string, std::int64_t> marks;
    int mark_reads = 0;
    std::vector<double> stored;

    std::pair<bool, std::size_t> write_tsdata_at(TsdbConnection&, std::span<const TimePoint>,
                                                 std::span<const std::int64_t> ids,
                                                 std::span<const Value> values,
                                                 std::span<const std::string>,
                                                 const WriteMark* mark) override {
        const Fail now = std::exchange(fail, Fail::none);
        if (now == Fail::before_sending) {
            throw TsdbConnectionError("no connection to the server", "", false);
        }
        if (now == Fail::unequal) {
            throw std::invalid_argument("sequences of unequal length");
        }
        if (now == Fail::unrelated) {
            throw std::runtime_error("out of memory");
        }
        for (const auto& v : values) {
            stored.push_back(std::get<double>(v));
        }
        if (mark != nullptr) {
            marks[mark->writer] = std::max(marks[mark->writer], mark->seq);
        }
        if (now == Fail::answer_lost) {
            throw TsdbConnectionError("server closed the connection unexpectedly", "", true);
        }
        return {true, ids.size()};
    }
    std::int64_t write_mark(TsdbConnection&, const std::string& writer) override {
        ++mark_reads;
        return marks.count(writer) != 0 ? marks.at(writer) : 0;
    }
};

struct MarkingWriterTest : WriterTest {
    ScratchDir dir;
    std::shared_ptr<MarkingClient> tsdb = std::make_shared<MarkingClient>();
    std::unique_ptr<StoreForward> store = StoreForward::open(dir.path, 1 << 20, 1.0);
    std::unique_ptr<TsdbWriter> writer;

    void SetUp() override {
        tsdb->add_tag("a", 1);
        auto o = options();
        o.client = tsdb;
        writer = std::make_unique<TsdbWriter>(std::move(o));
        writer->use_store(store.get());
    }
};

TEST_F(MarkingWriterTest, UnequalSequencesAreRefusedAndAnyOtherFailureIsAnUnknownOutcome) {
    KorrinLog log;
    tsdb->fail = MarkingClient::Fail::unequal;
    writer->write_cycle({good("a", 1)});
    EXPECT_EQ(log.count("The TSDB refused the 1 samples of this cycle"), 1u);
    EXPECT_EQ(store->buffered_count(), 0u) << "a refused write is not tried again";

    tsdb->fail = MarkingClient::Fail::unrelated;
    writer->write_cycle({good("a", 2)});
    EXPECT_EQ(log.count("Write DB failed: out of memory"), 1u);
    EXPECT_EQ(store->buffered_count(), 1u) << "any other failure leaves the outcome unknown";
    writer->write_cycle({good("a", 3)});
    EXPECT_EQ(tsdb->stored, (std::vector<double>{2, 3}));
    EXPECT_EQ(store->buffered_count(), 0u);
}

// Rows whose write may have landed are checked against the mark before they go again; rows
// whose write never reached the server are written again without a look. Either way each row
// is stored once, in order.
TEST_F(MarkingWriterTest, TheMarkIsReadBackOnlyWhenAWriteMayHaveLanded) {
    using Fail = MarkingClient::Fail;
    tsdb->fail = Fail::answer_lost;
    writer->write_cycle({good("a", 1)});
    EXPECT_EQ(store->buffered_count(), 1u);
    writer->write_cycle({good("a", 2)});
    EXPECT_EQ(tsdb->mark_reads, 1);

    tsdb->fail = Fail::before_sending;
    writer->write_cycle({good("a", 3)});
    EXPECT_EQ(store->buffered_count(), 1u);
    writer->write_cycle({good("a", 4)});
    EXPECT_EQ(tsdb->mark_reads, 1) << "a write that never went out leaves nothing to check";

    // The same while a backlog is written back.
    tsdb->fail = Fail::before_sending;
    writer->write_cycle({good("a", 5)});
    tsdb->fail = Fail::before_sending;
    writer->write_cycle({good("a", 6)});
    EXPECT_EQ(store->buffered_count(), 2u);
    tsdb->fail = Fail::answer_lost;
    writer->write_cycle({good("a", 7)});
    EXPECT_EQ(tsdb->mark_reads, 1);
    writer->write_cycle({good("a", 8)});
    EXPECT_EQ(tsdb->mark_reads, 2);

    EXPECT_EQ(tsdb->stored, (std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8}))
        << "nothing stored twice, nothing lost";
    EXPECT_EQ(store->buffered_count(), 0u);
}

TEST_F(WriterTest, AnUnregisteredTagIsNamedOnceAndCountedEachCycle) {
    db->add_tag("a", 1);
    TsdbWriter writer(options());
    KorrinLog log;
    writer.write_cycle({good("a", 1), good("ghost", 2)});
    writer.write_cycle({good("a", 3), good("ghost", 4)});
    EXPECT_EQ(log.count("Tag 'ghost' not found in TSDB"), 1u);
    EXPECT_EQ(writer.unregistered_count(), 1u);
    EXPECT_EQ(db->row_count(), 2u);

    db->add_tag("ghost", 2);  // registered later: written from then on
    writer.write_cycle({good("a", 5), good("ghost", 6)});
    EXPECT_EQ(writer.unregistered_count(), 0u);
    EXPECT_EQ(db->row_count(), 4u);
    EXPECT_EQ(writer.tag_ids().at("ghost"), 2);
}

TEST_F(WriterTest, ARefusedNameIsAskedOnceUntilAReconnect) {
    db->add_tag("a", 1);
    db->refuse_lookups = {"bad"};
    TsdbWriter writer(options());
    KorrinLog log;
    writer.write_cycle({good("a", 1), good("bad", 2)});
    writer.write_cycle({good("a", 3), good("bad", 4)});
    EXPECT_EQ(std::count(db->lookups.begin(), db->lookups.end(), "bad"), 1);
    EXPECT_EQ(log.count("Tag 'bad' skipped: the TSDB refused its name"), 1u);
    EXPECT_EQ(log.count("Tag 'bad' not found in TSDB"), 0u);

    db->ping_result = false;
    writer.handle_db_error();  // a new connection forgets what the old one refused
    writer.write_cycle({good("a", 5), good("bad", 6)});
    EXPECT_EQ(std::count(db->lookups.begin(), db->lookups.end(), "bad"), 2);
}

// A plant's list is the same every cycle: only a changed list, a reconnect or a tag still
// missing costs a resolution of its names; any other cycle takes its ids by position.
TEST_F(WriterTest, ACycleOfAnUnchangedTagListResolvesNoName) {
    db->add_tag("a", 1);
    db->add_tag("b", 2);
    TsdbWriter writer(options());
    KorrinLog log;
    writer.write_cycle({good("a", 1), good("b", 2)});
    for (int i = 0; i < 3; ++i) {
        writer.write_cycle({good("a", 3), good("b", 4)});
    }
    EXPECT_EQ(writer.name_resolutions(), 1u);
    EXPECT_EQ(db->calls["lookup_tags"], 1);
    EXPECT_EQ(db->writes.back().ids, (std::vector<std::int64_t>{1, 2}));

    // The ids follow the names, not the positions.
    writer.write_cycle({good("b", 5), good("a", 6)});
    EXPECT_EQ(db->writes.back().ids, (std::vector<std::int64_t>{2, 1}));
    writer.write_cycle({good("b", 5), good("ghost", 6)});
    EXPECT_EQ(db->writes.back().ids, (std::vector<std::int64_t>{2}));
    EXPECT_EQ(writer.name_resolutions(), 3u);

    // A missing tag is asked for each cycle until it is registered, and then no more.
    writer.write_cycle({good("b", 7), good("ghost", 8)});
    EXPECT_EQ(writer.name_resolutions(), 4u);
    db->add_tag("ghost", 9);
    writer.write_cycle({good("b", 7), good("ghost", 8)});
    writer.write_cycle({good("b", 7), good("ghost", 8)});
    EXPECT_EQ(writer.name_resolutions(), 5u);
    EXPECT_EQ(db->writes.back().ids, (std::vector<std::int64_t>{2, 9}));
    EXPECT_EQ(log.count("Tag 'ghost' not found in TSDB"), 1u);

    // A new connection knows no ids: the list is looked up and resolved again.
    const int lookups = db->calls["lookup_tags"];
    db->write_error = "server closed the connection";
    db->ping_throws = true;
    writer.write_cycle({good("b", 7), good("ghost", 8)});
    db->write_error.reset();
    writer.write_cycle({good("b", 7), good("ghost", 8)});
    EXPECT_EQ(db->calls["lookup_tags"], lookups + 1);
    EXPECT_EQ(writer.name_resolutions(), 6u);
    EXPECT_EQ(db->writes.back().ids, (std::vector<std::int64_t>{2, 9}));
}

TEST_F(WriterTest, WithoutAStoreAFailedCycleIsLostAndAfterCancelNothingReconnects) {
    db->add_tag("a", 1);
    TsdbWriter writer(options());
    ASSERT_TRUE(writer.connected());
    db->write_error = "server closed the connection unexpectedly";
    db->ping_result = false;
    writer.write_cycle({good("a", 1)});
    EXPECT_TRUE(writer.connected()) << "one reconnect after the failed ping";
    EXPECT_EQ(db->opened, 2);
    EXPECT_EQ(status.calls().back(), std::make_pair(false, std::int64_t{0}));

    writer.cancel();
    writer.write_cycle({good("a", 2)});
    EXPECT_FALSE(writer.connected()) << "what stop() released stays released";
    EXPECT_EQ(db->opened, 2);
    writer.close();
    EXPECT_EQ(db->closed, db->opened);
}

TEST_F(WriterTest, WithoutSettingsThereIsNoConnectionToOpenOrReopen) {
    auto o = options();
    o.cfg.reset();
    TsdbWriter writer(std::move(o));
    EXPECT_FALSE(writer.connected());
    writer.handle_db_error();
    EXPECT_EQ(db->opened, 0);
}

TEST_F(WriterTest, WithAStoreAnUnknownOutcomeWaitsAndIsWrittenFirstOnceTheTsdbIsBack) {
    ScratchDir dir;
    db->add_tag("a", 1);
    auto store = StoreForward::open(dir.path, 1 << 20, 1.0);
    TsdbWriter writer(options());
    writer.use_store(store.get());
    db->write_error = "server closed the connection unexpectedly";
    writer.write_cycle({good("a", 1)});
    EXPECT_EQ(store->buffered_count(), 1u);
    db->write_error.reset();
    db->writes.clear();
    writer.write_cycle({good("a", 2)});
    ASSERT_EQ(db->writes.size(), 1u) << "backlog and cycle in one statement";
    EXPECT_EQ(db->writes[0].values, (std::vector<Value>{Value(1.0), Value(2.0)}));
    EXPECT_EQ(store->buffered_count(), 0u);
    EXPECT_EQ(status.calls().back(), std::make_pair(true, std::int64_t{2}));
}

}  // namespace
}  // namespace korrin_test
