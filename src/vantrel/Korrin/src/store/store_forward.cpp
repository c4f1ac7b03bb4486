// Store and forward: rows carry the time their value was read; a cycle the TSDB cannot take for
// now waits in the disk buffer, and the backlog is written back oldest first, a part of each
// interval at a time, while new cycles queue behind it so that each tag's rows stay in order.
//
// No row is stored twice: every write of a collector with a buffer carries the number of its
// last record as the writer's mark, committed in the same statement as the rows. After a
// failure, and on a start with records left over, the mark is read back and the records it
// covers are skipped. A unique key on (tag, time) would do the same only where two samples of
// a tag never share a time, which a server's source times do not promise.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <exception>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "korrin/opc_collector.h"
#include "log.h"
#include "store_forward.h"

namespace vantrel::korrin {

namespace {

// Rows per replayed statement: large enough to write fast, small enough to stay well inside
// the write time limit.
constexpr std::size_t kReplayRows = 5000;
constexpr auto kDropWarningEvery = std::chrono::minutes(1);

std::string local_time_text(TimePoint t) {
    const std::time_t secs = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    localtime_r(&secs, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

// A failure that retrying the same rows cannot cure.
bool permanent(const std::exception& e) {
    return dynamic_cast<const TsdbQueryError*>(&e) != nullptr ||
           dynamic_cast<const std::invalid_argument*>(&e) != nullptr;
}

}  // namespace

std::pair<bool, std::size_t> TsdbClient::write_tsdata_at(
    TsdbConnection& conn, std::span<const std::chrono::system_clock::time_point> times,
    std::span<const std::int64_t> tag_ids, std::span<const Value> values,
    std::span<const std::string> qualities, const WriteMark* mark) {
    static_cast<void>(times);
    static_cast<void>(mark);
    return write_tsdata(conn, tag_ids, values, qualities);
}

std::int64_t TsdbClient::write_mark(TsdbConnection& conn, const std::string& writer) {
    static_cast<void>(conn);
    static_cast<void>(writer);
    return 0;
}

void OPCCollector::open_buffer_(const std::filesystem::path& dir, std::uint64_t max_bytes) {
    try {
        buffer_ = std::make_unique<SampleBuffer>(dir, max_bytes);
    } catch (const std::exception& e) {
        // Collecting without a buffer loses only what an outage would; not collecting loses
        // everything.
        log().error(
            "Sample buffer in {} cannot be used, samples are lost while the TSDB is "
            "away: {}",
            dir.string(), e.what());
        return;
    }
    note_buffer_state_();
    if (!buffer_->empty()) {
        log().warn("Sample buffer in {} holds {} samples from an earlier run; writing them first",
                   dir.string(), buffer_->pending_rows());
        outage_began_ = std::chrono::system_clock::now();
        outage_buffered_ = buffer_->pending_rows();
    }
}

TimePoint OPCCollector::row_time_(const Sample& sample) const {
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

bool OPCCollector::is_new_sample_(const Sample& sample) {
    if (timestamp_mode_ != TimestampMode::source || !sample.source_time) {
        return true;
    }
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

void OPCCollector::store_cycle_(const CycleResults& results) {
    if (!buffer_) {
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
    store_(rows, 0);
}

void OPCCollector::store_rows_() {
    if (!buffer_) {
        return;
    }
    std::vector<BufferedRow> rows;
    rows.reserve(row_ids_.size());
    for (std::size_t i = 0; i < row_ids_.size(); ++i) {
        rows.push_back(
            BufferedRow{*row_tags_[i], row_values_[i], row_qualities_[i], row_times_[i]});
    }
    store_(rows, row_seq_);
}

void OPCCollector::store_(std::span<const BufferedRow> rows, std::int64_t seq) {
    if (rows.empty()) {
        return;
    }
    try {
        buffer_->append(rows, seq);
    } catch (const std::exception& e) {
        log().error("Could not buffer the {} samples of this cycle, they are lost: {}", rows.size(),
                    e.what());
        return;
    }
    if (!outage_began_) {
        outage_began_ = std::chrono::system_clock::now();
        log().warn("TSDB unavailable since {}: keeping samples in the buffer until it takes them",
                   local_time_text(*outage_began_));
    }
    outage_buffered_ += rows.size();
    note_buffer_state_();
}

void OPCCollector::note_buffer_state_() {
    if (!buffer_) {
        return;
    }
    buffered_count_.store(buffer_->pending_rows());
    if (auto dropped = buffer_->take_dropped()) {
        if (dropped_unreported_ == 0) {
            dropped_since_ = dropped->since;
        }
        dropped_unreported_ += dropped->samples;
    }
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

void OPCCollector::write_rows_() {
    const auto refused = [this] {
        log().error("The TSDB refused the {} samples of this cycle; they are not written again",
                    row_ids_.size());
    };
    if (buffer_ && !buffer_->empty()) {
        // The backlog goes first: this cycle waits behind it, so no tag's rows get out of order.
        row_seq_ = 0;
        store_rows_();
        try {
            report_write_(true, replay_backlog_());
        } catch (const std::exception& e) {
            log().error("Write DB failed: {}", e.what());
            mark_checked_ = false;
            _handle_db_error();
            report_write_(false, 0);
        }
        return;
    }
    row_seq_ = buffer_ ? buffer_->reserve_seq() : 0;
    const WriteMark mark{buffer_ ? buffer_->writer() : std::string(), row_seq_};
    try {
        const auto [success, count] =
            tsdb_client_->write_tsdata_at(*tsdb_conn, row_times_, row_ids_, row_values_,
                                          row_qualities_, buffer_ ? &mark : nullptr);
        report_write_(success, count);
        if (!success) {
            refused();
        }
    } catch (const std::exception& e) {
        log().error("Write DB failed: {}", e.what());
        if (permanent(e)) {
            _handle_db_error();
            report_write_(false, 0);
            refused();
            return;
        }
        // The outcome is unknown (the answer may be what got lost): the mark tells later.
        store_rows_();
        mark_checked_ = false;
        _handle_db_error();
        report_write_(false, 0);
    }
}

// What one replay did, in rows. Rows of tags without an id are dropped (rows - mapped); rows
// of records the TSDB refused are dropped too (mapped - sent).
struct OPCCollector::ReplayTally {
    std::uint64_t rows = 0;     // taken from the buffer
    std::uint64_t mapped = 0;   // of them, rows of tags with an id
    std::uint64_t sent = 0;     // of those, rows in statements the TSDB took
    std::uint64_t written = 0;  // rows the TSDB reports written
};

std::uint64_t OPCCollector::replay_backlog_() {
    if (!tsdb_conn || stopping()) {
        return 0;
    }
    const auto started = std::chrono::steady_clock::now();
    // Half the interval at most, so that the next cycle still reads on time.
    const auto budget = std::chrono::duration<double>(std::max(0.05, sample_interval * 0.5));
    if (!mark_checked_) {
        // Records whose write had an unknown outcome may be in the TSDB: the mark says which.
        buffer_->consume_through(tsdb_client_->write_mark(*tsdb_conn, buffer_->writer()));
        mark_checked_ = true;
    }
    ReplayTally tally;
    while (!buffer_->empty() && std::chrono::steady_clock::now() - started < budget &&
           !stopping()) {
        const std::vector<BufferedRecord> records = buffer_->peek(kReplayRows);
        MissingNames missing(_db_tagname_map, refused_tags_);
        for (const auto& record : records) {
            for (const auto& row : record.rows) {
                missing.add(row.tag);
            }
        }
        if (!look_up_names_(missing.names())) {
            break;  // cut short by a stop: the records stay buffered
        }
        replay_records_(records, tally);
        buffer_->consume_through(records.back().seq);
    }
    report_replay_(tally);
    return tally.written;
}

void OPCCollector::replay_records_(const std::vector<BufferedRecord>& records, ReplayTally& tally) {
    if (!write_records_(records, tally) && records.size() > 1) {
        // One bad record must not take its neighbours with it: each on its own.
        for (std::size_t r = 0; r < records.size(); ++r) {
            write_records_(std::span(records).subspan(r, 1), tally);
        }
    }
    for (const auto& record : records) {
        tally.rows += record.rows.size();
        for (const auto& row : record.rows) {
            tally.mapped += _db_tagname_map.count(row.tag);
        }
    }
}

// Writes the records in one statement that carries the last one's number as the mark; false
// when the TSDB refused them.
bool OPCCollector::write_records_(std::span<const BufferedRecord> records, ReplayTally& tally) {
    std::vector<std::int64_t> ids;
    std::vector<Value> values;
    std::vector<std::string> qualities;
    std::vector<TimePoint> times;
    for (const BufferedRecord& record : records) {
        for (const BufferedRow& row : record.rows) {
            const auto it = _db_tagname_map.find(row.tag);
            if (it == _db_tagname_map.end()) {
                continue;
            }
            ids.push_back(it->second);
            values.push_back(row.value);
            qualities.push_back(row.quality);
            times.push_back(row.time);
        }
    }
    const WriteMark mark{buffer_->writer(), records.back().seq};
    try {
        const auto [ok, count] =
            tsdb_client_->write_tsdata_at(*tsdb_conn, times, ids, values, qualities, &mark);
        if (ok) {
            tally.written += count;
            tally.sent += ids.size();
        }
        return ok;
    } catch (const std::exception& e) {
        if (!permanent(e)) {
            throw;
        }
        log().error("Writing buffered samples failed: {}", e.what());
        return false;
    }
}

void OPCCollector::report_replay_(const ReplayTally& tally) {
    if (const auto unknown = tally.rows - tally.mapped; unknown > 0) {
        log().warn("{} buffered samples of tags not found in TSDB were dropped", unknown);
    }
    if (const auto refused = tally.mapped - std::min(tally.mapped, tally.sent); refused > 0) {
        log().error("The TSDB refused {} buffered samples; they are not written again", refused);
    }
    note_buffer_state_();
    if (buffer_->empty() && outage_began_) {
        log().info("Buffered backlog written: {} samples kept since {} are in the TSDB",
                   outage_buffered_, local_time_text(*outage_began_));
        outage_began_.reset();
        outage_buffered_ = 0;
    }
}

}  // namespace vantrel::korrin
