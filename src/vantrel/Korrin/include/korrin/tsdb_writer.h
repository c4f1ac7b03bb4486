// The collector's TSDB side: its connection, the cache of tag ids, the rows of a cycle, one
// write per cycle, and a single recovery attempt after a failure. What the TSDB cannot take
// goes to the store and forward part, when there is one.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "korrin/metrics.h"
#include "korrin/sample_buffer.h"
#include "korrin/store_forward.h"
#include "korrin/tag_table.h"
#include "korrin/tsdb_client.h"
#include "korrin/types.h"

namespace vantrel::korrin {

using DbStatusNotify = std::function<void(bool, std::int64_t)>;

class TsdbWriter final : private RowSink {
  public:
    struct Options {
        std::shared_ptr<TsdbClient> client{};  // empty: the real chronq binding
        std::optional<TsdbConfig> cfg{};       // nothing: no connection, and none to reopen
        DbStatusNotify db_status_notify{};
        TimestampMode timestamp_mode = TimestampMode::gather;
        // A running collector was asked to stop: long work ends early and nothing reopens
        // the connection. Empty: never.
        std::function<bool()> stopping{};
        // For a collector started while its database could not be reached: the writer then
        // opens no connection at construction but tries from its first cycle on, with a growing
        // pause, and runs this on the first connection before anything is written (registering
        // the source and the tags). Until it has succeeded every cycle goes to the store.
        std::function<void(TsdbClient&, TsdbConnection&)> registration{};
        // Monotonic seconds for that pause; empty: the steady clock.
        std::function<double()> clock{};
        // Where the writer's figures go; empty: none are kept.
        std::shared_ptr<EngineMetrics> metrics{};
    };

    // Opens the connection when there are settings; an error from that passes to the caller.
    explicit TsdbWriter(Options options);
    ~TsdbWriter() override;
    TsdbWriter(const TsdbWriter&) = delete;
    TsdbWriter& operator=(const TsdbWriter&) = delete;

    // Where rows wait while the TSDB cannot take them; nothing: they are lost.
    void use_store(StoreForward* store) noexcept { store_ = store; }

    // Writes one cycle's samples of known tags, the buffered backlog first; a failure is
    // logged, reported through db_status_notify and handled by handle_db_error(). `table`, when
    // given, is the table whose names the samples carry one by one in its order: a cycle of the
    // table last resolved then takes its ids by position without comparing a name.
    void write_cycle(const CycleResults& results, const TagTable* table = nullptr);
    // After a failure: a ping, and when that fails too a single reconnect.
    void handle_db_error();
    // Cancels a statement in flight; from any thread.
    void cancel() noexcept { db_stop_.request_stop(); }
    // Closes the connection; only from the thread that writes.
    void close() noexcept;

    bool connected() const noexcept { return conn_ != nullptr; }
    // Distinct tags of the last written cycle without an id. Safe to read from any thread.
    std::size_t unregistered_count() const noexcept { return unregistered_count_.load(); }
    // Tag name to TSDB id, as looked up since the last (re)connect.
    std::unordered_map<std::string, std::int64_t>& tag_ids() noexcept { return tag_ids_; }
    // How many cycles had their tag names resolved against the id cache: the first, one whose
    // tag list differs from the last, one after a reconnect, and one with a tag still missing.
    // A cycle of an unchanged, fully known list takes its ids by position and is not counted.
    std::uint64_t name_resolutions() const noexcept { return name_resolutions_; }

  private:
    bool stopping() const override { return stopping_ && stopping_(); }
    std::int64_t read_mark(const std::string& writer) override;
    bool look_up(std::span<const BufferedRecord> records) override;
    std::optional<std::int64_t> tag_id(const std::string& tag) const override;
    std::pair<bool, std::size_t> write(std::span<const TimePoint> times,
                                       std::span<const std::int64_t> ids,
                                       std::span<const Value> values,
                                       std::span<const std::string> qualities,
                                       const WriteMark& mark) override;

    std::unique_ptr<TsdbConnection> open_connection_();
    // The first connection of a writer with a registration: tried no sooner than the pause
    // allows, then registered; false while there is none.
    bool connect_and_register_();
    // Looks up the ids of the cycle's tags that are neither cached nor refused; false when the
    // cycle ends there: a stop cut the lookups short, or they failed and were handled as a
    // database failure.
    bool look_up_tag_ids_(const CycleResults& results, const TagTable* table);
    // True when the cycle lists the same tags, in the same order, as the last resolved one and
    // the id cache has not changed since: its ids are then known by position.
    bool same_tag_list_(const CycleResults& results, const TagTable* table) const;
    // Records each of the cycle's tags with its id (or none) by position.
    void resolve_tag_list_(const CycleResults& results, const TagTable* table);
    // Looks up and caches the ids of `names`, remembering the names the database refused;
    // false when a stop cut it short. Throws what the client throws.
    bool look_up_names_(const std::vector<std::string>& names);
    // Fills the row buffers with the cycle's samples of known tags, naming unregistered ones.
    void build_rows_(const CycleResults& results);
    // Writes the rows built for this cycle, by way of the store while it holds a backlog.
    void write_rows_();
    // Hands the rows built for this cycle (or, without them, the cycle's samples) to the store.
    void store_rows_(std::int64_t seq);
    void store_cycle_(const CycleResults& results);
    TimePoint row_time_(const Sample& sample) const;
    // False for a sample whose source time has not moved since the last one stored. `pos`:
    // the sample's position in the resolved list, when the cycle is that list.
    bool is_new_sample_(const Sample& sample, std::optional<std::size_t> pos = std::nullopt);
    // Moves the source times kept by position back to the by-name map, before the resolved
    // list changes or a cycle goes by names.
    void park_source_times_();
    // The reverse, for a resolved list without repeated names.
    void load_source_times_();
    // Tells the front end how a write went, when it asked to know.
    void report_write_(bool ok, std::uint64_t rows);
    void note_connection_() noexcept;
    // Once a UTC day, while connected: drops the days older than retention_days, when set.
    void apply_retention_();

    std::shared_ptr<TsdbClient> client_;
    const std::optional<TsdbConfig> cfg_;
    const DbStatusNotify db_status_notify_;
    const TimestampMode timestamp_mode_;
    const std::function<bool()> stopping_;
    // Pending until the first connection has run it (see Options::registration).
    std::function<void(TsdbClient&, TsdbConnection&)> registration_;
    const std::function<double()> clock_;
    std::optional<double> next_attempt_;  // monotonic seconds; none: at once
    double attempt_pause_ = 1.0;
    const std::shared_ptr<EngineMetrics> metrics_;
    StoreForward* store_ = nullptr;
    // Requested by cancel(): cancels a database statement in flight.
    std::stop_source db_stop_;
    std::unique_ptr<TsdbConnection> conn_;
    std::unordered_map<std::string, std::int64_t> tag_ids_;
    // Names the database refused to look up; skipped without asking again until a reconnect.
    std::unordered_set<std::string> refused_tags_;
    // Unregistered tags already named in the log: a tag that never gets registered would
    // otherwise write its line every cycle. Forgotten when the tag is found or on a reconnect.
    std::unordered_set<std::string> unregistered_logged_;
    std::atomic<std::size_t> unregistered_count_{0};
    // The last stored source time of each tag: by name, and for the resolved list by position
    // (taken from the map once per resolution), so that a cycle of the same list hashes no name.
    std::unordered_map<std::string, TimePoint> last_source_time_;
    std::vector<std::optional<TimePoint>> source_time_by_pos_;
    bool source_times_by_pos_ = false;  // source_time_by_pos_ holds the resolved list's
    bool resolved_distinct_ = false;    // no name stands twice in the resolved list
    // The last cycle's tag list resolved: its names, and by position each one's id, nothing for
    // a tag without one. Compared name by name, never hashed, so a cycle of the same list costs
    // no lookup; resolved again when the list, the id cache or the refusals change.
    std::vector<std::string> resolved_names_;
    std::vector<std::optional<std::int64_t>> resolved_ids_;
    // The generation of the table the resolved list came from, 0 for none: a cycle of that
    // table is known to be the same list without a look at its names.
    std::uint64_t resolved_generation_ = 0;
    std::size_t resolved_cache_size_ = 0;
    std::size_t resolved_refused_size_ = 0;
    // Tags of the resolved list with no id that the database did not refuse: while there are
    // any, each cycle asks for them again, so a tag registered later is written from then on.
    std::size_t resolved_missing_ = 0;
    std::uint64_t name_resolutions_ = 0;
    // The UTC day (days since 1970) of the last retention run; none yet.
    std::int64_t retention_day_ = -1;
    // Row buffers kept between cycles so that a cycle allocates nothing for them.
    std::vector<std::int64_t> row_ids_;
    std::vector<Value> row_values_;
    std::vector<std::string> row_qualities_;
    std::vector<TimePoint> row_times_;
    std::vector<const std::string*> row_tags_;
};

}  // namespace vantrel::korrin
