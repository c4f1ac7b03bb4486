// Store and forward: rows carry the time their value was read; a cycle the TSDB cannot take for
// now waits in the disk buffer, and the backlog is written back oldest first, a part of each
// interval at a time, while new cycles queue behind it so that each tag's rows stay in order.
//
// No row is stored twice: every write of a collector with a buffer carries the number of its
// last record as the writer's mark, committed in the same statement as the rows. After a
// failure that may have let the rows in, and on a start with records left over, the mark is
// read back and the records it covers are skipped. A unique key on (tag, time) would do the same
// only where two samples of a tag never share a time, which a server's source times do not promise.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <exception>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "korrin/store_forward.h"
#include "log.h"
#include "write_rules.h"

namespace vantrel::korrin {

namespace {

// Rows per replayed statement: large enough to write fast, small enough to stay well inside
// the write time limit.
constexpr std::size_t kReplayRows = 5000;
constexpr auto kDropWarningEvery = std::chrono::minutes(1);

// What a row takes in memory and on disk, near enough: its fixed part and its tag's name.
std::uint64_t row_bytes(const BufferedRow& row) {
    return 25 + row.tag.size();
}

std::string local_time_text(TimePoint t) {
    const std::time_t secs = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    localtime_r(&secs, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

}  // namespace

std::unique_ptr<StoreForward> StoreForward::open(const std::filesystem::path& dir,
                                                 std::uint64_t max_bytes, double sample_interval,
                                                 std::shared_ptr<EngineMetrics> metrics) {
    std::unique_ptr<FolderLock> lock;
    std::unique_ptr<SampleBuffer> buffer;
    try {
        lock = std::make_unique<FolderLock>(dir);
        buffer = std::make_unique<SampleBuffer>(dir, max_bytes);
    } catch (const FolderInUse&) {
        // Another collector writes there: this one must not start, not run without a buffer.
        throw;
    } catch (const std::exception& e) {
        // Collecting without a buffer loses only what an outage would; not collecting loses
        // everything.
        log().error(
            "Sample buffer in {} cannot be used, samples are lost while the TSDB is "
            "away: {}",
            dir.string(), e.what());
        return nullptr;
    }
    std::unique_ptr<StoreForward> store(new StoreForward(
        std::move(lock), std::move(buffer), max_bytes, sample_interval, std::move(metrics)));
    if (store->metrics_) {
        store->metrics_->buffer_limit_bytes.set(static_cast<double>(max_bytes));
    }
    store->note_buffer_state_(true);
    if (store->has_backlog()) {
        log().warn("Sample buffer in {} holds {} samples from an earlier run; writing them first",
                   dir.string(), store->buffer_->pending_rows());
        store->outage_began_ = std::chrono::system_clock::now();
        store->outage_buffered_ = store->buffer_->pending_rows();
    }
    return store;
}

StoreForward::StoreForward(std::unique_ptr<FolderLock> lock, std::unique_ptr<SampleBuffer> buffer,
                           std::uint64_t max_bytes, double sample_interval,
                           std::shared_ptr<EngineMetrics> metrics)
    : lock_(std::move(lock)),
      buffer_(std::move(buffer)),
      held_max_bytes_(std::max<std::uint64_t>(max_bytes / 8, 1)),
      sample_interval_(sample_interval),
      metrics_(std::move(metrics)) {}

void StoreForward::store(std::span<const BufferedRow> rows, std::int64_t seq) {
    if (rows.empty()) {
        return;
    }
    if (seq == 0) {
        // Numbered now, so that rows held in memory keep their place when they reach the disk.
        seq = buffer_->reserve_seq();
    }
    if (!flush_held_()) {
        hold_(rows, seq, "");
    } else {
        try {
            buffer_->append(rows, seq);
        } catch (const std::exception& e) {
            hold_(rows, seq, e.what());
        }
    }
    if (metrics_) {
        metrics_->samples_buffered.add(rows.size());
    }
    if (!outage_began_) {
        outage_began_ = std::chrono::system_clock::now();
        log().warn("TSDB unavailable since {}: keeping samples in the buffer until it takes them",
                   local_time_text(*outage_began_));
    }
    outage_buffered_ += rows.size();
    note_buffer_state_(false);
}

// Moves the records held in memory to the disk, oldest first; false when the buffer still
// refuses them, and the rest stay held.
bool StoreForward::flush_held_() {
    if (held_.empty()) {
        return true;
    }
    std::uint64_t moved = 0;
    while (!held_.empty()) {
        try {
            buffer_->append(held_.front().rows, held_.front().seq);
        } catch (const std::exception&) {
            return false;
        }
        moved += held_.front().rows.size();
        pop_held_();
    }
    log().info("The sample buffer takes samples again; the {} held in memory are in it", moved);
    return true;
}

void StoreForward::hold_(std::span<const BufferedRow> rows, std::int64_t seq,
                         const std::string& why) {
    if (held_.empty()) {
        log().error(
            "The sample buffer cannot take samples ({}); holding them in memory (at most {:.1f} "
            "MB) until it or the TSDB does. Make its folder writable, or free disk space.",
            why.empty() ? "it refused earlier ones" : why,
            static_cast<double>(held_max_bytes_) / (1 << 20));
    }
    BufferedRecord record{seq, std::vector<BufferedRow>(rows.begin(), rows.end())};
    for (const auto& row : record.rows) {
        held_bytes_ += row_bytes(row);
    }
    held_rows_ += record.rows.size();
    held_.push_back(std::move(record));
    // Over the limit the oldest go first, as on disk; the newest cycle is always kept.
    while (held_.size() > 1 && held_bytes_ > held_max_bytes_) {
        if (dropped_unreported_ == 0) {
            dropped_since_ = held_.front().rows.empty() ? std::chrono::system_clock::now()
                                                        : held_.front().rows.front().time;
        }
        dropped_unreported_ += held_.front().rows.size();
        if (metrics_) {
            metrics_->samples_dropped.add(held_.front().rows.size());
        }
        pop_held_();
    }
}

void StoreForward::pop_held_() {
    held_rows_ -= held_.front().rows.size();
    for (const auto& row : held_.front().rows) {
        held_bytes_ -= std::min(held_bytes_, row_bytes(row));
    }
    held_.pop_front();
}

void StoreForward::drop_held_through_(std::int64_t seq) {
    while (!held_.empty() && held_.front().seq <= seq) {
        pop_held_();
    }
}

WriteMark StoreForward::reserve_mark() {
    return {buffer_->writer(), buffer_->reserve_seq()};
}

void StoreForward::note_buffer_state_(bool front_changed) {
    buffered_count_.store(buffer_->pending_rows() + held_rows_);
    if (auto dropped = buffer_->take_dropped()) {
        if (dropped_unreported_ == 0) {
            dropped_since_ = dropped->since;
        }
        dropped_unreported_ += dropped->samples;
        if (metrics_) {
            metrics_->samples_dropped.add(dropped->samples);
        }
        front_changed = true;
    }
    note_figures_(front_changed);
    const auto now = std::chrono::steady_clock::now();
    if (dropped_unreported_ > 0 &&
        (!dropped_logged_at_ || now - *dropped_logged_at_ >= kDropWarningEvery)) {
        log().warn("Sample buffer full ({} MB): dropped the {} oldest samples since {}",
                   buffer_->size_bytes() >> 20, dropped_unreported_,
                   local_time_text(dropped_since_));
        dropped_unreported_ = 0;
        dropped_logged_at_ = now;
    }
}

void StoreForward::note_figures_(bool front_changed) {
    if (!metrics_) {
        return;
    }
    metrics_->buffered_samples.set(static_cast<double>(buffer_->pending_rows() + held_rows_));
    metrics_->buffer_bytes.set(static_cast<double>(buffer_->size_bytes()));
    if (buffer_->empty()) {
        metrics_->oldest_buffered_at.set(0.0);
        return;
    }
    if (!front_changed && metrics_->oldest_buffered_at.value() > 0.0) {
        return;  // appended behind the oldest: it stays
    }
    try {
        // One record read back: only while an outage fills the buffer or a replay drains it.
        const std::vector<BufferedRecord> first = buffer_->peek(1);
        if (first.empty() || first.front().rows.empty()) {
            return;
        }
        TimePoint oldest = first.front().rows.front().time;
        for (const BufferedRow& row : first.front().rows) {
            oldest = std::min(oldest, row.time);
        }
        metrics_->oldest_buffered_at.set(
            std::chrono::duration<double>(oldest.time_since_epoch()).count());
    } catch (const std::exception& e) {
        // The replay will meet the same problem and say so; a figure is not worth a warning.
        log().debug("oldest buffered sample unknown: {}", e.what());
    }
}

// What one replay did, in rows. Rows of tags without an id are dropped (rows - mapped); rows
// of records the TSDB refused are dropped too (mapped - sent).
struct StoreForward::Tally {
    std::uint64_t rows = 0;     // taken from the buffer
    std::uint64_t mapped = 0;   // of them, rows of tags with an id
    std::uint64_t sent = 0;     // of those, rows in statements the TSDB took
    std::uint64_t written = 0;  // rows the TSDB reports written
};

std::uint64_t StoreForward::replay(RowSink& sink) {
    if (sink.stopping()) {
        return 0;
    }
    const auto started = std::chrono::steady_clock::now();
    // Half the interval at most, so that the next cycle still reads on time.
    const auto budget = std::chrono::duration<double>(std::max(0.05, sample_interval_ * 0.5));
    flush_held_();
    if (!mark_checked_) {
        // Records whose write had an unknown outcome may be in the TSDB: the mark says which.
        const std::int64_t mark = sink.read_mark(buffer_->writer());
        buffer_->consume_through(mark);
        drop_held_through_(mark);
        mark_checked_ = true;
    }
    Tally tally;
    while (!buffer_->empty() && std::chrono::steady_clock::now() - started < budget &&
           !sink.stopping()) {
        const std::vector<BufferedRecord> records = buffer_->peek(kReplayRows);
        if (!sink.look_up(records)) {
            break;  // cut short by a stop: the records stay buffered
        }
        replay_records_(sink, records, tally);
        buffer_->consume_through(records.back().seq);
    }
    if (buffer_->empty()) {
        replay_held_(sink, tally, started, budget);
    }
    report_replay_(tally);
    if (metrics_) {
        metrics_->samples_replayed.add(tally.written);
    }
    return tally.written;
}

// Records the disk would not take go to the TSDB straight from memory once the disk's own are
// written: they are all newer.
void StoreForward::replay_held_(RowSink& sink, Tally& tally,
                                std::chrono::steady_clock::time_point started,
                                std::chrono::duration<double> budget) {
    while (!held_.empty() && std::chrono::steady_clock::now() - started < budget &&
           !sink.stopping()) {
        std::vector<BufferedRecord> records;
        std::size_t rows = 0;
        for (const auto& record : held_) {
            if (!records.empty() && rows + record.rows.size() > kReplayRows) {
                break;
            }
            rows += record.rows.size();
            records.push_back(record);
        }
        if (!sink.look_up(records)) {
            break;
        }
        replay_records_(sink, records, tally);
        drop_held_through_(records.back().seq);
    }
}

void StoreForward::replay_records_(RowSink& sink, const std::vector<BufferedRecord>& records,
                                   Tally& tally) {
    if (!write_records_(sink, records, tally) && records.size() > 1) {
        // One bad record must not take its neighbours with it: each on its own.
        for (std::size_t r = 0; r < records.size(); ++r) {
            write_records_(sink, std::span(records).subspan(r, 1), tally);
        }
    }
    for (const auto& record : records) {
        tally.rows += record.rows.size();
        for (const auto& row : record.rows) {
            tally.mapped += sink.tag_id(row.tag) ? 1 : 0;
        }
    }
}

// Writes the records in one statement that carries the last one's number as the mark; false
// when the TSDB refused them.
bool StoreForward::write_records_(RowSink& sink, std::span<const BufferedRecord> records,
                                  Tally& tally) {
    std::vector<std::int64_t> ids;
    std::vector<Value> values;
    std::vector<std::string> qualities;
    std::vector<TimePoint> times;
    for (const BufferedRecord& record : records) {
        for (const BufferedRow& row : record.rows) {
            const auto id = sink.tag_id(row.tag);
            if (!id) {
                continue;
            }
            ids.push_back(*id);
            values.push_back(row.value);
            qualities.push_back(row.quality);
            times.push_back(row.time);
        }
    }
    const WriteMark mark{buffer_->writer(), records.back().seq};
    try {
        const auto [ok, count] = sink.write(times, ids, values, qualities, mark);
        if (ok) {
            tally.written += count;
            tally.sent += ids.size();
        }
        return ok;
    } catch (const TsdbError& e) {
        if (e.kind() != TsdbErrorKind::statement) {
            throw;  // the caller reconnects; the records stay buffered
        }
        log().error("Writing buffered samples failed: {}", e.what());
        return false;
    } catch (const std::invalid_argument& e) {
        // Sequences of unequal length: the statement's fault, as a refusal is.
        log().error("Writing buffered samples failed: {}", e.what());
        return false;
    }
}

void StoreForward::report_replay_(const Tally& tally) {
    if (const auto unknown = tally.rows - tally.mapped; unknown > 0) {
        log().warn("{} buffered samples of tags not found in TSDB were dropped", unknown);
        if (metrics_) {
            metrics_->samples_dropped.add(unknown);
        }
    }
    if (const auto refused = tally.mapped - std::min(tally.mapped, tally.sent); refused > 0) {
        log().error("The TSDB refused {} buffered samples; they are not written again", refused);
        if (metrics_) {
            metrics_->samples_dropped.add(refused);
        }
    }
    note_buffer_state_(true);
    if (buffer_->empty() && held_.empty() && outage_began_) {
        log().info("Buffered backlog written: {} samples kept since {} are in the TSDB",
                   outage_buffered_, local_time_text(*outage_began_));
        outage_began_.reset();
        outage_buffered_ = 0;
    }
}

}  // namespace vantrel::korrin
