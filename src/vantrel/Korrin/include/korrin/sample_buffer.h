// Samples kept on disk while the TSDB cannot take them: an append-only file of checksummed
// records (one per cycle), replayed oldest first, bounded in size by dropping the oldest.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "korrin/types.h"

namespace vantrel::korrin {

using TimePoint = std::chrono::system_clock::time_point;

// Which time a stored row carries.
enum class TimestampMode {
    gather,  // when the collector read the value
    source,  // the OPC UA source time, else the read time
    server,  // the OPC UA server time, else the read time
};

// The [Vantrel] keys of the store: timestamp, buffer_dir, buffer_max_mb (read by
// read_store_settings in korrin/settings.h).
struct StoreSettings {
    TimestampMode timestamp = TimestampMode::gather;
    std::filesystem::path buffer_dir;  // empty: no buffer
    std::uint64_t buffer_max_bytes = 512ull << 20;
    // A cycle that reads nothing from the server stores one row per tag at its time, quality
    // "Bad" and no value, once per outage: a trend then shows the gap as a gap.
    bool mark_outages = false;
    // A database that cannot be reached at start is waited for while collecting into the
    // buffer, instead of ending the start.
    bool start_without_database = false;
};

struct BufferedRow {
    std::string tag;
    Value value;
    std::string quality;
    TimePoint time;

    friend bool operator==(const BufferedRow&, const BufferedRow&) = default;
};

struct BufferedRecord {
    std::int64_t seq = 0;  // increasing; the write mark of the TSDB refers to it
    std::vector<BufferedRow> rows;
};

// Record payload codec, apart so that a fuzzer can feed it anything. decode_record gives
// nothing for bytes that are not exactly one record.
std::string encode_record(std::int64_t seq, std::span<const BufferedRow> rows);
std::optional<BufferedRecord> decode_record(std::string_view payload);

// What a scan of one segment file found: the length of its good prefix, and its records'
// sequence numbers and row counts. A bad record and everything after it lie beyond `good`.
struct SegmentScan {
    std::uint64_t good = 0;
    bool header_ok = false;
    std::string writer;
    std::vector<std::int64_t> seqs;
    std::vector<std::uint32_t> rows;
};
SegmentScan scan_segment(std::string_view bytes);

// Used by one thread at a time (the collector's).
class SampleBuffer {
  public:
    // Opens the directory (creating it), cuts a torn or corrupt tail off every segment at its
    // last good record (with a warning). Throws std::runtime_error when the directory cannot be
    // used.
    SampleBuffer(std::filesystem::path dir, std::uint64_t max_bytes);
    ~SampleBuffer();
    SampleBuffer(const SampleBuffer&) = delete;
    SampleBuffer& operator=(const SampleBuffer&) = delete;

    // The next sequence number, for a write that may end up here; append() takes it then.
    std::int64_t reserve_seq();
    // Appends one record and flushes it to the disk before returning; drops the oldest
    // records when over the limit. `seq` 0 takes a new number. Throws std::runtime_error on an
    // I/O error.
    void append(std::span<const BufferedRow> rows, std::int64_t seq = 0);

    // The oldest records not yet written, at least one when any, up to about `max_rows` rows.
    std::vector<BufferedRecord> peek(std::size_t max_rows);
    // The records up to `seq` are in the TSDB: their space is freed.
    void consume_through(std::int64_t seq);

    bool empty() const noexcept { return pending_rows_ == 0 && pending_records() == 0; }
    std::uint64_t pending_rows() const noexcept { return pending_rows_; }
    std::uint64_t size_bytes() const noexcept { return total_bytes_; }
    const std::string& writer() const noexcept { return writer_; }

    // Samples dropped for room since the last call, and when the first of them was dropped.
    struct Dropped {
        std::uint64_t samples = 0;
        TimePoint since{};
    };
    std::optional<Dropped> take_dropped();

  private:
    struct Segment {
        std::filesystem::path path;
        std::uint64_t bytes = 0;
        std::deque<std::int64_t> seqs;  // of records not yet consumed
        std::deque<std::uint32_t> rows;
        std::deque<std::uint64_t> offsets;  // where each record starts
    };
    std::size_t pending_records() const noexcept;
    void open_segment_for_append_();
    void drop_oldest_();
    void remove_segment_front_();

    std::filesystem::path dir_;
    std::uint64_t max_bytes_;
    std::uint64_t segment_bytes_;
    std::string writer_;
    std::deque<Segment> segments_;
    int append_fd_ = -1;
    std::int64_t last_seq_ = 0;
    std::uint64_t total_bytes_ = 0;
    std::uint64_t pending_rows_ = 0;
    std::uint64_t dropped_ = 0;
    TimePoint dropped_since_{};
};

}  // namespace vantrel::korrin
