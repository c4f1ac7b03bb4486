// Writing one cycle to the TSDB: screening of good floating values, tag ids looked up once and
// cached, one write per cycle, and a single recovery attempt after a failure. What the TSDB
// does not take goes to the store, which writes its backlog back through this writer.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/shown_text.h"
#include "common/text.h"
#include "korrin/memory.h"
#include "korrin/tsdb_writer.h"
#include "log.h"
#include "write_rules.h"

namespace vantrel::korrin {

namespace {

// The database stores double precision, but values beyond a float's range are stored as
// infinities, as stored data and its readers already expect. The limit is 3.4e38 itself,
// slightly below the largest float.
constexpr double kFloatLimit = 3.4e38;

// "good" in any letter case, with surrounding white space ignored.
bool is_good(std::string_view q) {
    if (q == "Good") {
        return true;  // what the read step gives; the rest is for texts from elsewhere
    }
    q = common::strip(q);
    constexpr std::string_view kGood = "good";
    if (q.size() != kGood.size()) {
        return false;
    }
    for (std::size_t i = 0; i < q.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(q[i])) != kGood[i]) {
            return false;
        }
    }
    return true;
}

// Screens a sample for writing: false when it is skipped (a good NaN); a good floating value
// beyond the float range becomes an infinity in `value`.
bool screen(const Sample& sample, Value& value, bool warn) {
    auto* number = std::get_if<double>(&value);
    if (number == nullptr || !is_good(sample.quality)) {
        return true;
    }
    if (std::isnan(*number)) {
        if (warn) {
            log().warn("Skipping NaN value for tag {}", common::shown_text(sample.tag));
        }
        return false;
    }
    if (*number > kFloatLimit) {
        *number = std::numeric_limits<double>::infinity();
    } else if (*number < -kFloatLimit) {
        *number = -std::numeric_limits<double>::infinity();
    }
    return true;
}

// Names per lookup statement: a plant's whole tag list in a few round trips, so that the first
// cycle after a (re)connect costs about what every other cycle costs, while the answers of one
// statement stay a small share of the collector's memory (a whole list at once was its largest
// heap). A stop does not wait for it: the statement in flight is cancelled, and a stop is looked
// at between statements. The bound also keeps one statement well inside the lookup time-out on a
// busy server.
constexpr std::size_t kLookupChunk = 1'000;

}  // namespace

bool screen_for_write(const Sample& sample, Value& value) {
    return screen(sample, value, false);
}

TsdbWriter::TsdbWriter(Options options)
    : client_(std::move(options.client)),
      cfg_(std::move(options.cfg)),
      db_status_notify_(std::move(options.db_status_notify)),
      timestamp_mode_(options.timestamp_mode),
      stopping_(std::move(options.stopping)),
      registration_(std::move(options.registration)),
      clock_(std::move(options.clock)),
      metrics_(std::move(options.metrics)) {
    if (!cfg_) {
        return;
    }
    if (!client_) {
        client_ = default_tsdb_client();
    }
    if (registration_) {
        return;  // the first cycle connects
    }
    conn_ = open_connection_();
    if (metrics_) {
        metrics_->has_database.set(1.0);
    }
    note_connection_();
}

void TsdbWriter::note_connection_() noexcept {
    if (metrics_) {
        metrics_->note_database(conn_ != nullptr, unix_now());
    }
}

bool TsdbWriter::connect_and_register_() {
    const auto now = [this] {
        return clock_ ? clock_()
                      : std::chrono::duration<double>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    };
    if ((next_attempt_ && now() < *next_attempt_) || db_stop_.stop_requested()) {
        return false;
    }
    const auto wait_longer = [&](const std::string& why) {
        close();
        log().warn("The database still cannot be used ({}); trying again in {} s", why,
                   attempt_pause_);
        next_attempt_ = now() + attempt_pause_;
        // A database down for hours is asked once a minute, not once a cycle.
        attempt_pause_ = std::min(attempt_pause_ * 2, 60.0);
    };
    // Both front ends build a late-registering writer only after their own connection failed,
    // so each attempt here connects again, as one after a lost connection does.
    if (metrics_) {
        metrics_->db_reconnects.add();
    }
    try {
        conn_ = open_connection_();
        if (!conn_) {
            wait_longer("no connection");
            return false;
        }
        log().info("The database answers: registering the source and the tags");
        registration_(*client_, *conn_);
    } catch (const std::exception& e) {
        if (db_stop_.stop_requested()) {
            close();
            return false;
        }
        wait_longer(e.what());
        return false;
    }
    registration_ = nullptr;
    log().info("Database reconnection successful");
    return true;
}

TsdbWriter::~TsdbWriter() {
    close();
}

std::unique_ptr<TsdbConnection> TsdbWriter::open_connection_() {
    return client_->get_conn_stoppable(*cfg_, db_stop_.get_token());
}

void TsdbWriter::close() noexcept {
    if (!conn_) {
        return;
    }
    try {
        conn_->close();
    } catch (const std::exception& e) {
        log().warn("Closing the database connection failed: {}", e.what());
    }
    conn_.reset();
    note_connection_();
}

void TsdbWriter::write_cycle(const CycleResults& results, const TagTable* table) {
    if (table != nullptr && table->names.size() != results.size()) {
        table = nullptr;  // not this cycle's table: go by the names
    }
    if (!conn_) {
        store_cycle_(results);
        handle_db_error();
        return;
    }
    if (!look_up_tag_ids_(results, table)) {
        return;
    }
    build_rows_(results);
    if (row_ids_.empty() && (store_ == nullptr || !store_->has_backlog())) {
        // Nothing to write, but the TSDB side is working: the front end's status says so.
        if (!results.empty()) {
            report_write_(true, 0);
        }
        return;
    }
    write_rows_();
    apply_retention_();
}

void TsdbWriter::apply_retention_() {
    if (!conn_ || !cfg_ || cfg_->retention_days <= 0 || stopping()) {
        return;
    }
    const auto today = std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now())
                           .time_since_epoch()
                           .count();
    if (today == retention_day_) {
        return;
    }
    try {
        // The client logs each day it drops.
        client_->drop_old_days(*conn_, cfg_->retention_days);
        retention_day_ = today;
    } catch (const TsdbError& e) {
        // A lost connection shows at the next write; a refusal is not retried before tomorrow.
        log().warn("Dropping samples older than {} days failed: {}", cfg_->retention_days,
                   e.what());
        if (e.kind() != TsdbErrorKind::connection) {
            retention_day_ = today;
        }
    }
}

bool TsdbWriter::look_up_tag_ids_(const CycleResults& results, const TagTable* table) {
    if (resolved_missing_ == 0 && same_tag_list_(results, table)) {
        return true;  // every id is known by position: no name needs hashing
    }
    std::size_t looked_up = 0;
    try {
        MissingNames missing(tag_ids_, refused_tags_);
        for (const Sample& sample : results) {
            Value value = sample.value;
            if (screen(sample, value, false)) {
                missing.add(sample.tag);
            }
        }
        looked_up = missing.names().size();
        if (!look_up_names_(missing.names())) {
            return false;  // a stopping collector writes nothing more
        }
    } catch (const std::exception& e) {
        if (stopping()) {
            return false;  // the lookup was cancelled by stop(): no failure to report or recover
        }
        // A lookup that fails is the database failing, not the OPC read: recover the database
        // side and leave the OPC side alone.
        log().error("Write DB failed: {}", e.what());
        store_cycle_(results);
        handle_db_error();
        report_write_(false, 0);
        return false;
    }
    resolve_tag_list_(results, table);
    if (looked_up > kLookupChunk) {
        // The answers for a whole list are gone again; without this their pages would stay
        // with this thread's allocator for the rest of the run.
        release_free_memory();
    }
    return true;
}

bool TsdbWriter::same_tag_list_(const CycleResults& results, const TagTable* table) const {
    if (results.size() != resolved_names_.size() || tag_ids_.size() != resolved_cache_size_ ||
        refused_tags_.size() != resolved_refused_size_) {
        return false;
    }
    if (table != nullptr && table->generation == resolved_generation_) {
        return true;  // the same table, so the same names in the same order
    }
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (results[i].tag != resolved_names_[i]) {
            return false;
        }
    }
    return true;
}

void TsdbWriter::resolve_tag_list_(const CycleResults& results, const TagTable* table) {
    ++name_resolutions_;
    park_source_times_();
    resolved_generation_ = table != nullptr ? table->generation : 0;
    resolved_names_.resize(results.size());
    resolved_ids_.resize(results.size());
    resolved_missing_ = 0;
    for (std::size_t i = 0; i < results.size(); ++i) {
        const std::string& tag = results[i].tag;
        resolved_names_[i].assign(tag);
        const auto it = tag_ids_.find(tag);
        if (it != tag_ids_.end()) {
            resolved_ids_[i] = it->second;
        } else {
            resolved_ids_[i].reset();
            if (refused_tags_.count(tag) == 0) {
                ++resolved_missing_;
            }
        }
    }
    resolved_cache_size_ = tag_ids_.size();
    resolved_refused_size_ = refused_tags_.size();
    if (timestamp_mode_ == TimestampMode::source) {
        // Kept by position only where a position means one tag.
        std::unordered_set<std::string_view> seen;
        seen.reserve(resolved_names_.size());
        resolved_distinct_ =
            std::all_of(resolved_names_.begin(), resolved_names_.end(),
                        [&](const std::string& n) { return seen.insert(n).second; });
        load_source_times_();
    }
}

void TsdbWriter::load_source_times_() {
    if (source_times_by_pos_ || !resolved_distinct_) {
        return;
    }
    source_time_by_pos_.assign(resolved_names_.size(), std::nullopt);
    for (std::size_t i = 0; i < resolved_names_.size(); ++i) {
        const auto it = last_source_time_.find(resolved_names_[i]);
        if (it != last_source_time_.end()) {
            source_time_by_pos_[i] = it->second;
        }
    }
    source_times_by_pos_ = true;
}

void TsdbWriter::park_source_times_() {
    if (!source_times_by_pos_) {
        return;
    }
    source_times_by_pos_ = false;
    for (std::size_t i = 0; i < source_time_by_pos_.size(); ++i) {
        if (source_time_by_pos_[i]) {
            last_source_time_.insert_or_assign(resolved_names_[i], *source_time_by_pos_[i]);
        }
    }
}

bool TsdbWriter::look_up_names_(const std::vector<std::string>& names) {
    for (std::size_t at = 0; at < names.size(); at += kLookupChunk) {
        if (at > 0 && stopping()) {
            return false;
        }
        const std::vector<std::string> chunk(
            names.begin() + static_cast<std::ptrdiff_t>(at),
            names.begin() + static_cast<std::ptrdiff_t>(std::min(at + kLookupChunk, names.size())));
        const auto found = client_->lookup_tags(*conn_, chunk);
        if (found.size() != chunk.size()) {
            throw std::runtime_error("tag lookup gave " + std::to_string(found.size()) +
                                     " results for " + std::to_string(chunk.size()) + " names");
        }
        for (std::size_t i = 0; i < chunk.size(); ++i) {
            if (found[i].tag && found[i].tag->tag_id) {
                tag_ids_.emplace(chunk[i], *found[i].tag->tag_id);
            } else if (!found[i].refused.empty()) {
                // The database will not take this name; asking every cycle would only repeat
                // the same refusal in the log.
                refused_tags_.insert(chunk[i]);
                log().error("Tag '{}' skipped: the TSDB refused its name ({})",
                            common::shown_text(chunk[i]), found[i].refused);
            }
        }
    }
    return true;
}

void TsdbWriter::build_rows_(const CycleResults& results) {
    row_ids_.clear();
    row_values_.clear();
    row_qualities_.clear();
    row_times_.clear();
    row_tags_.clear();
    // Sized once for a whole cycle rather than grown by doubling: the rows stay allocated from
    // cycle to cycle, and a doubled capacity would hold room for over half as many again.
    row_ids_.reserve(results.size());
    row_values_.reserve(results.size());
    row_qualities_.reserve(results.size());
    row_times_.reserve(results.size());
    row_tags_.reserve(results.size());
    std::unordered_set<std::string_view> unregistered;  // allocates only when a tag is missing
    if (timestamp_mode_ == TimestampMode::source) {
        load_source_times_();  // once after a cycle that went by names
    }
    // Resolved for exactly this cycle's list just before: the ids go by position.
    for (std::size_t i = 0; i < results.size(); ++i) {
        const Sample& sample = results[i];
        Value value = sample.value;
        if (!screen(sample, value, true) || !is_new_sample_(sample, i)) {
            continue;
        }
        const std::optional<std::int64_t>& id = resolved_ids_[i];
        if (!id) {
            unregistered.insert(sample.tag);
            // Still looked up every cycle, so a tag registered later is written from then on;
            // but named once, or a plant's unregistered tags fill the disk with this line.
            if (refused_tags_.count(sample.tag) == 0 &&
                unregistered_logged_.insert(sample.tag).second) {
                log().error("Tag '{}' not found in TSDB", common::shown_text(sample.tag));
            }
            continue;
        }
        if (!unregistered_logged_.empty()) {
            unregistered_logged_.erase(sample.tag);
        }
        row_ids_.push_back(*id);
        row_values_.push_back(std::move(value));
        row_qualities_.push_back(sample.quality);
        row_times_.push_back(row_time_(sample));
        row_tags_.push_back(&sample.tag);
    }
    unregistered_count_.store(unregistered.size());
    if (metrics_) {
        metrics_->unregistered_tags.set(static_cast<double>(unregistered.size()));
    }
}

TimePoint TsdbWriter::row_time_(const Sample& sample) const {
    const TimePoint read =
        sample.read_time != TimePoint{} ? sample.read_time : std::chrono::system_clock::now();
    switch (timestamp_mode_) {
        case TimestampMode::source:
            return sample.source_time.value_or(read);
        case TimestampMode::server:
            return sample.server_time.value_or(read);
        case TimestampMode::gather:
            break;
    }
    return read;
}

bool TsdbWriter::is_new_sample_(const Sample& sample, std::optional<std::size_t> pos) {
    if (timestamp_mode_ != TimestampMode::source || !sample.source_time) {
        return true;
    }
    if (pos && source_times_by_pos_) {
        std::optional<TimePoint>& last = source_time_by_pos_[*pos];
        if (last == sample.source_time) {
            return false;  // the server has not sampled it again: the same sample
        }
        last = sample.source_time;
        return true;
    }
    park_source_times_();
    auto [it, inserted] = last_source_time_.try_emplace(sample.tag, *sample.source_time);
    if (inserted) {
        return true;
    }
    if (it->second == *sample.source_time) {
        return false;  // the server has not sampled it again: the same sample
    }
    it->second = *sample.source_time;
    return true;
}

void TsdbWriter::store_cycle_(const CycleResults& results) {
    if (store_ == nullptr) {
        if (metrics_) {
            std::uint64_t lost = 0;
            for (const Sample& sample : results) {
                Value value = sample.value;
                lost += screen_for_write(sample, value) ? 1 : 0;
            }
            metrics_->samples_dropped.add(lost);
        }
        return;
    }
    std::vector<BufferedRow> rows;
    rows.reserve(results.size());
    for (const Sample& sample : results) {
        Value value = sample.value;
        if (!screen_for_write(sample, value) || refused_tags_.count(sample.tag) != 0 ||
            !is_new_sample_(sample)) {
            continue;
        }
        rows.push_back(
            BufferedRow{sample.tag, std::move(value), sample.quality, row_time_(sample)});
    }
    store_->store(rows, 0);
}

void TsdbWriter::store_rows_(std::int64_t seq) {
    if (store_ == nullptr) {
        if (metrics_) {
            metrics_->samples_dropped.add(row_ids_.size());
        }
        return;
    }
    std::vector<BufferedRow> rows;
    rows.reserve(row_ids_.size());
    for (std::size_t i = 0; i < row_ids_.size(); ++i) {
        rows.push_back(
            BufferedRow{*row_tags_[i], row_values_[i], row_qualities_[i], row_times_[i]});
    }
    store_->store(rows, seq);
}

void TsdbWriter::write_rows_() {
    const auto refused = [this] {
        log().error("The TSDB refused the {} samples of this cycle; they are not written again",
                    row_ids_.size());
        if (metrics_) {
            metrics_->samples_dropped.add(row_ids_.size());
        }
    };
    if (store_ != nullptr && store_->has_backlog()) {
        // The backlog goes first: this cycle waits behind it, so no tag's rows get out of order.
        store_rows_(0);
        const auto replay_failed = [this](const char* what, bool in_doubt) {
            log().error("Write DB failed: {}", what);
            if (in_doubt) {
                store_->mark_unchecked();
            }
            handle_db_error();
            report_write_(false, 0);
        };
        try {
            report_write_(true, store_->replay(*this));
        } catch (const TsdbError& e) {
            replay_failed(e.what(), e.in_doubt());
        } catch (const std::exception& e) {
            replay_failed(e.what(), true);
        }
        return;
    }
    const std::optional<WriteMark> mark =
        store_ != nullptr ? std::optional(store_->reserve_mark()) : std::nullopt;
    const auto failed = [&](const char* what, bool statement, bool in_doubt) {
        log().error("Write DB failed: {}", what);
        if (statement) {
            handle_db_error();
            report_write_(false, 0);
            refused();
            return;
        }
        // The rows wait under their mark. Only a write that may have landed (its answer is what
        // got lost) has the mark read back before they are written again.
        store_rows_(mark ? mark->seq : 0);
        if (store_ != nullptr && in_doubt) {
            store_->mark_unchecked();
        }
        handle_db_error();
        report_write_(false, 0);
    };
    try {
        const auto [success, count] = client_->write_tsdata_at(
            *conn_, row_times_, row_ids_, row_values_, row_qualities_, mark ? &*mark : nullptr);
        if (success && metrics_) {
            metrics_->samples_stored.add(count);
        }
        report_write_(success, count);
        if (!success) {
            refused();
        }
    } catch (const TsdbError& e) {
        failed(e.what(), e.kind() == TsdbErrorKind::statement, e.in_doubt());
    } catch (const std::invalid_argument& e) {
        failed(e.what(), true, false);  // sequences of unequal length: the statement's fault
    } catch (const std::exception& e) {
        failed(e.what(), false, true);  // no telling what it did
    }
}

std::int64_t TsdbWriter::read_mark(const std::string& writer) {
    return client_->write_mark(*conn_, writer);
}

bool TsdbWriter::look_up(std::span<const BufferedRecord> records) {
    MissingNames missing(tag_ids_, refused_tags_);
    for (const auto& record : records) {
        for (const auto& row : record.rows) {
            missing.add(row.tag);
        }
    }
    return look_up_names_(missing.names());
}

std::optional<std::int64_t> TsdbWriter::tag_id(const std::string& tag) const {
    const auto it = tag_ids_.find(tag);
    return it == tag_ids_.end() ? std::nullopt : std::optional(it->second);
}

std::pair<bool, std::size_t> TsdbWriter::write(std::span<const TimePoint> times,
                                               std::span<const std::int64_t> ids,
                                               std::span<const Value> values,
                                               std::span<const std::string> qualities,
                                               const WriteMark& mark) {
    return client_->write_tsdata_at(*conn_, times, ids, values, qualities, &mark);
}

void TsdbWriter::report_write_(bool ok, std::uint64_t rows) {
    if (ok && metrics_) {
        metrics_->last_write_at.set(unix_now());
    }
    if (db_status_notify_) {
        db_status_notify_(ok, ok ? static_cast<std::int64_t>(rows) : 0);
    }
}

void TsdbWriter::handle_db_error() {
    struct Noted {
        TsdbWriter& writer;
        ~Noted() { writer.note_connection_(); }
    } noted{*this};
    if (registration_) {
        connect_and_register_();
        return;
    }
    try {
        if (conn_) {
            log().info("Database write failed, trying to ping database...");
            bool alive = false;
            try {
                alive = client_->ping(*conn_);
            } catch (const std::exception&) {
                alive = false;  // a ping that raises is a failed ping
            }
            if (alive) {
                log().info(
                    "Database ping successful; not retrying write (likely business logic "
                    "issue)");
                return;
            }
        } else {
            log().warn("No database connection present; attempting to connect...");
        }
        log().warn("Database ping failed or connection missing, attempting single reconnect...");
        close();
        if (!cfg_ || !client_) {
            log().error("tsdb_cfg not provided; cannot perform database reconnection");
            return;
        }
        if (db_stop_.stop_requested()) {
            // Nothing may reopen what stop() asked to be released.
            log().info("Collector stopping; not reconnecting to the database");
            return;
        }
        if (metrics_) {
            metrics_->db_reconnects.add();
        }
        if (auto conn = open_connection_()) {
            conn_ = std::move(conn);
            tag_ids_.clear();
            refused_tags_.clear();
            unregistered_logged_.clear();
            park_source_times_();
            resolved_names_.clear();
            resolved_ids_.clear();
            resolved_generation_ = 0;
            resolved_distinct_ = false;
            resolved_missing_ = 0;
            log().info("Database reconnection successful");
        } else {
            log().error("Database reconnection failed");
        }
    } catch (const std::exception& e) {
        log().error("Database error handling failed: {}", e.what());
    }
}

}  // namespace vantrel::korrin
