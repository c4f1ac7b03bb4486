// The collector both front ends run: queues every good cycle for its front end and writes the
// samples of registered tags to the TSDB, with a ping and a single reconnect after a failure.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "korrin/base_collector.h"
#include "korrin/sample_buffer.h"
#include "korrin/tsdb_client.h"
#include "korrin/types.h"

namespace vantrel::korrin {

using DbStatusNotify = std::function<void(bool, std::int64_t)>;

class OPCCollector : public BaseQevCollectorThread {
    // As in the base class: a leading underscore marks the collector's documented steps and
    // state (such as _db_tagname_map); what only this implementation needs has ordinary names.
  public:
    // Every member has a default, so callers name only what they set.
    struct Options {
        std::string opc_schema{};
        TagSupplier get_tags_func{};
        DataDeque* data_deque = nullptr;       // required; owned by the front end
        std::mutex* deque_lock = nullptr;      // held around each append when given
        std::optional<TsdbConfig> tsdb_cfg{};  // nothing: no database writing
        double sample_interval = 1.0;
        int batch_size = 100;
        StatusNotify status_notify{};
        DbStatusNotify db_status_notify{};
        bool sync = true;
        // Injection; empty means the real qevsdk and chronq bindings, the steady clock and the
        // stop-aware sleep.
        OpcLibraryFactory opc_library_factory{};
        std::shared_ptr<TsdbClient> tsdb_client{};
        SecondsClock clock{};
        Sleeper sleeper{};
        // What time a stored row carries, and where samples wait while the TSDB cannot take
        // them (an empty folder: they are lost, as without a buffer).
        TimestampMode timestamp_mode = TimestampMode::gather;
        std::filesystem::path buffer_dir{};
        std::uint64_t buffer_max_bytes = 512ull << 20;
    };

    // Validates the schema first; with settings, opens the TSDB connection here (an error from
    // that fails the construction). Throws std::invalid_argument for a bad schema, a missing
    // tag supplier or a missing data_deque.
    explicit OPCCollector(Options options);
    ~OPCCollector() override;

    // Queues the cycle, then writes it when there are settings.
    void handle_data(const CycleResults& results) override;

    // One cycle on the calling thread: reconnect if needed, read, queue, write. No back-off and
    // no sampling sleep.
    void collection_step();

    // Asks the thread to end; the thread closes its TSDB connection on its way out. Without a
    // running thread (single-step use) the connection is closed here.
    void stop() override;

    bool has_tsdb_connection() const noexcept { return tsdb_conn != nullptr; }

    // Samples waiting in the disk buffer for the TSDB. Safe to read from any thread.
    std::uint64_t buffered_sample_count() const noexcept { return buffered_count_.load(); }

    // How many distinct tags of the last written cycle had no TSDB id (not registered, or a
    // name the database refused). Safe to read from any thread.
    std::size_t unregistered_tag_count() const noexcept { return unregistered_count_.load(); }

    DataDeque* const data_deque;
    std::mutex* const deque_lock;
    const std::optional<TsdbConfig> tsdb_cfg;
    const DbStatusNotify db_status_notify;

  protected:
    void _handle_write_tsdb(const CycleResults& results);
    void _handle_db_error();
    void on_thread_exit() override;
    void interrupt_waits() noexcept override;

    std::shared_ptr<TsdbClient> tsdb_client_;
    std::unique_ptr<TsdbConnection> tsdb_conn;
    std::unordered_map<std::string, std::int64_t> _db_tagname_map;
    // Names the database refused to look up; skipped without asking again until a reconnect.
    std::unordered_set<std::string> refused_tags_;
    // Unregistered tags already named in the log: a tag that never gets registered would
    // otherwise write its line every cycle. Forgotten when the tag is found or on a reconnect.
    std::unordered_set<std::string> unregistered_logged_;

  private:
    void close_connection_() noexcept;
    std::unique_ptr<TsdbConnection> open_connection_();
    // Looks up the ids of the cycle's tags that are neither cached nor refused; false when the
    // cycle ends there: a stop cut the lookups short, or they failed and were handled as a
    // database failure.
    bool look_up_tag_ids_(const CycleResults& results);
    // Looks up and caches the ids of `names`, remembering the names the database refused;
    // false when a stop cut it short. Throws what the client throws.
    bool look_up_names_(const std::vector<std::string>& names);
    // Fills the row buffers with the cycle's samples of known tags, naming unregistered ones.
    void build_rows_(const CycleResults& results);
    // Tells the front end how a write went, when it asked to know.
    void report_write_(bool ok, std::uint64_t rows);
    // Requested by stop(): cancels a database statement in flight.
    std::stop_source db_stop_;
    // Row buffers kept between cycles so that a cycle allocates nothing for them.
    std::vector<std::int64_t> row_ids_;
    std::vector<Value> row_values_;
    std::vector<std::string> row_qualities_;

    // Store and forward (store_forward.cpp).
    void open_buffer_(const std::filesystem::path& dir, std::uint64_t max_bytes);
    TimePoint row_time_(const Sample& sample) const;
    // False for a sample whose source time has not moved since the last one stored.
    bool is_new_sample_(const Sample& sample);
    // Puts the rows built for this cycle (or, without them, the cycle's samples) in the buffer.
    void store_rows_();
    void store_cycle_(const CycleResults& results);
    void store_(std::span<const BufferedRow> rows, std::int64_t seq);
    // Writes the rows built for this cycle, by way of the buffer while it holds a backlog.
    void write_rows_();
    // Writes buffered records, oldest first, for at most a part of the interval. Throws what
    // the client throws.
    std::uint64_t replay_backlog_();
    struct ReplayTally;
    // One round: the records in one statement, or each on its own when the TSDB refuses them
    // together; counted in the tally.
    void replay_records_(const std::vector<BufferedRecord>& records, ReplayTally& tally);
    bool write_records_(std::span<const BufferedRecord> records, ReplayTally& tally);
    void report_replay_(const ReplayTally& tally);
    void note_buffer_state_();
    TimestampMode timestamp_mode_;
    std::unique_ptr<SampleBuffer> buffer_;
    std::atomic<std::uint64_t> buffered_count_{0};
    std::unordered_map<std::string, TimePoint> last_source_time_;
    std::vector<TimePoint> row_times_;
    std::vector<const std::string*> row_tags_;
    std::int64_t row_seq_ = 0;
    bool mark_checked_ = false;  // buffered records the TSDB already holds were skipped
    std::optional<TimePoint> outage_began_;
    std::uint64_t outage_buffered_ = 0;
    std::uint64_t dropped_unreported_ = 0;
    TimePoint dropped_since_{};
    std::optional<std::chrono::steady_clock::time_point> dropped_logged_at_;
    std::atomic<std::size_t> unregistered_count_{0};
};

}  // namespace vantrel::korrin

// Every std::unique_ptr<OPCCollector> stops and joins the thread before destroying the
// collector, and survives being reset from one of the collector's own callbacks.
template <>
struct std::default_delete<vantrel::korrin::OPCCollector> : vantrel::korrin::CollectorDeleter {
    constexpr default_delete() noexcept = default;
    template <class U>
    requires std::is_convertible_v<U*, vantrel::korrin::OPCCollector*> default_delete(
        const std::default_delete<U>&)
    noexcept {}
};
