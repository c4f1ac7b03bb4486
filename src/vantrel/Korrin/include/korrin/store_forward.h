// Store and forward: cycles the TSDB cannot take for now wait in the disk buffer, and the
// backlog is written back oldest first, a part of each interval at a time. Every write of a
// collector with a buffer carries a write mark, so that no row is stored twice.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "korrin/folder_lock.h"
#include "korrin/metrics.h"
#include "korrin/sample_buffer.h"
#include "korrin/tsdb_client.h"

namespace vantrel::korrin {

// Where a replay writes to: the TSDB side, narrowed to what a replay needs.
class RowSink {
  public:
    virtual ~RowSink() = default;
    // A running collector was asked to stop: the replay ends early.
    virtual bool stopping() const = 0;
    // The mark the TSDB holds for `writer`, 0 when none. Throws what the client throws.
    virtual std::int64_t read_mark(const std::string& writer) = 0;
    // Looks up the ids of the records' tags not known yet; false when a stop cut it short.
    // Throws what the client throws.
    virtual bool look_up(std::span<const BufferedRecord> records) = 0;
    virtual std::optional<std::int64_t> tag_id(const std::string& tag) const = 0;
    // One statement with the rows and the mark: (taken, rows written). Throws what the client
    // throws.
    virtual std::pair<bool, std::size_t> write(std::span<const TimePoint> times,
                                               std::span<const std::int64_t> ids,
                                               std::span<const Value> values,
                                               std::span<const std::string> qualities,
                                               const WriteMark& mark) = 0;
};

class StoreForward {
  public:
    // Opens the buffer in `dir`; nothing (the reason logged) when it cannot be used, and the
    // collector then runs without one. Records left from an earlier run count as an outage.
    // Throws FolderInUse when another collector holds the folder. `metrics`, when given, gets
    // the buffer's figures.
    static std::unique_ptr<StoreForward> open(const std::filesystem::path& dir,
                                              std::uint64_t max_bytes, double sample_interval,
                                              std::shared_ptr<EngineMetrics> metrics = nullptr);

    bool has_backlog() const { return !buffer_->empty() || !held_.empty(); }
    // Samples waiting for the TSDB. Safe to read from any thread.
    std::uint64_t buffered_count() const noexcept { return buffered_count_.load(); }

    // Keeps rows the TSDB did not take; `seq` is the number reserved for them, 0 for a new
    // one. Logs the start of an outage. Rows the buffer cannot take (its folder unwritable, the
    // disk full) are held in memory, in order, up to an eighth of the buffer's size.
    void store(std::span<const BufferedRow> rows, std::int64_t seq);
    // The mark a direct write carries: its rows are stored under that number if its outcome
    // stays unknown.
    WriteMark reserve_mark();
    // A write's outcome is unknown: the next replay first reads back what the TSDB holds.
    void mark_unchecked() noexcept { mark_checked_ = false; }

    // Writes buffered records, oldest first, for at most half the sampling interval; the rows
    // the TSDB took. Throws what the sink throws, except for refused statements.
    std::uint64_t replay(RowSink& sink);

  private:
    StoreForward(std::unique_ptr<FolderLock> lock, std::unique_ptr<SampleBuffer> buffer,
                 std::uint64_t max_bytes, double sample_interval,
                 std::shared_ptr<EngineMetrics> metrics);
    struct Tally;
    bool flush_held_();
    void hold_(std::span<const BufferedRow> rows, std::int64_t seq, const std::string& why);
    void replay_held_(RowSink& sink, Tally& tally, std::chrono::steady_clock::time_point started,
                      std::chrono::duration<double> budget);
    void drop_held_through_(std::int64_t seq);
    // Forgets the oldest held record, with its share of the counts.
    void pop_held_();
    void replay_records_(RowSink& sink, const std::vector<BufferedRecord>& records, Tally& tally);
    bool write_records_(RowSink& sink, std::span<const BufferedRecord> records, Tally& tally);
    void report_replay_(const Tally& tally);
    // `front_changed`: records left the front of the buffer, so its oldest sample may differ.
    void note_buffer_state_(bool front_changed);
    void note_figures_(bool front_changed);

    // Held until the buffer is closed.
    std::unique_ptr<FolderLock> lock_;
    std::unique_ptr<SampleBuffer> buffer_;
    // Records the buffer would not take, oldest first; all newer than what it holds, and new
    // records queue behind them until it takes them again or the TSDB does.
    std::deque<BufferedRecord> held_;
    std::uint64_t held_rows_ = 0;
    std::uint64_t held_bytes_ = 0;
    const std::uint64_t held_max_bytes_;
    const double sample_interval_;
    const std::shared_ptr<EngineMetrics> metrics_;
    std::atomic<std::uint64_t> buffered_count_{0};
    bool mark_checked_ = false;  // buffered records the TSDB already holds were skipped
    std::optional<TimePoint> outage_began_;
    std::uint64_t outage_buffered_ = 0;
    std::uint64_t dropped_unreported_ = 0;
    TimePoint dropped_since_{};
    std::optional<std::chrono::steady_clock::time_point> dropped_logged_at_;
};

}  // namespace vantrel::korrin
