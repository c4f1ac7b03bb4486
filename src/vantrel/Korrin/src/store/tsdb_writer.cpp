// Writing one cycle to the TSDB: screening of good floating values, tag ids looked up once and
// cached, one write per cycle, and a single recovery attempt after a failure.
#include <algorithm>
#include <cctype>
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
#include "korrin/opc_collector.h"
#include "log.h"
#include "store_forward.h"

namespace vantrel::korrin {

namespace {

// The database stores double precision, but values beyond a float's range are stored as
// infinities, as stored data and its readers already expect. The limit is 3.4e38 itself,
// slightly below the largest float.
constexpr double kFloatLimit = 3.4e38;

// "good" in any letter case, with surrounding white space ignored.
bool is_good(std::string_view q) {
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

// Names per lookup statement: a plant's whole tag list in one round trip, so that the first
// cycle after a (re)connect costs about what every other cycle costs. A stop does not wait for
// it: the statement in flight is cancelled, and a stop is looked at between statements. The
// bound keeps one statement well inside the lookup time-out on a busy server.
constexpr std::size_t kLookupChunk = 10'000;

}  // namespace

bool screen_for_write(const Sample& sample, Value& value) {
    return screen(sample, value, false);
}

void OPCCollector::_handle_write_tsdb(const CycleResults& results) {
    if (!tsdb_conn) {
        store_cycle_(results);
        _handle_db_error();
        return;
    }
    if (!look_up_tag_ids_(results)) {
        return;
    }
    build_rows_(results);
    if (row_ids_.empty() && (!buffer_ || buffer_->empty())) {
        // Nothing to write, but the TSDB side is working: the front end's status says so.
        if (!results.empty()) {
            report_write_(true, 0);
        }
        return;
    }
    write_rows_();
}

bool OPCCollector::look_up_tag_ids_(const CycleResults& results) {
    MissingNames missing(_db_tagname_map, refused_tags_);
    for (const Sample& sample : results) {
        Value value = sample.value;
        if (screen(sample, value, false)) {
            missing.add(sample.tag);
        }
    }
    try {
        return look_up_names_(missing.names());  // false: a stopping collector writes nothing more
    } catch (const std::exception& e) {
        if (stopping()) {
            return false;  // the lookup was cancelled by stop(): no failure to report or recover
        }
        // A lookup that fails is the database failing, not the OPC read: recover the database
        // side and leave the OPC side alone.
        log().error("Write DB failed: {}", e.what());
        store_cycle_(results);
        _handle_db_error();
        report_write_(false, 0);
        return false;
    }
}

bool OPCCollector::look_up_names_(const std::vector<std::string>& names) {
    for (std::size_t at = 0; at < names.size(); at += kLookupChunk) {
        if (at > 0 && stopping()) {
            return false;
        }
        const std::vector<std::string> chunk(
            names.begin() + static_cast<std::ptrdiff_t>(at),
            names.begin() + static_cast<std::ptrdiff_t>(std::min(at + kLookupChunk, names.size())));
        const auto found = tsdb_client_->lookup_tags(*tsdb_conn, chunk);
        if (found.size() != chunk.size()) {
            throw std::runtime_error("tag lookup gave " + std::to_string(found.size()) +
                                     " results for " + std::to_string(chunk.size()) + " names");
        }
        for (std::size_t i = 0; i < chunk.size(); ++i) {
            if (found[i].tag && found[i].tag->tag_id) {
                _db_tagname_map.emplace(chunk[i], *found[i].tag->tag_id);
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

void OPCCollector::build_rows_(const CycleResults& results) {
    row_ids_.clear();
    row_values_.clear();
    row_qualities_.clear();
    row_times_.clear();
    row_tags_.clear();
    std::unordered_set<std::string_view> unregistered;  // allocates only when a tag is missing
    for (const Sample& sample : results) {
        Value value = sample.value;
        if (!screen(sample, value, true) || !is_new_sample_(sample)) {
            continue;
        }
        const auto it = _db_tagname_map.find(sample.tag);
        if (it == _db_tagname_map.end()) {
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
        row_ids_.push_back(it->second);
        row_values_.push_back(std::move(value));
        row_qualities_.push_back(sample.quality);
        row_times_.push_back(row_time_(sample));
        row_tags_.push_back(&sample.tag);
    }
    unregistered_count_.store(unregistered.size());
}

void OPCCollector::report_write_(bool ok, std::uint64_t rows) {
    if (db_status_notify) {
        db_status_notify(ok, ok ? static_cast<std::int64_t>(rows) : 0);
    }
}

void OPCCollector::_handle_db_error() {
    try {
        if (tsdb_conn) {
            log().info("Database write failed, trying to ping database...");
            bool alive = false;
            try {
                alive = tsdb_client_->ping(*tsdb_conn);
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
        close_connection_();
        if (!tsdb_cfg || !tsdb_client_) {
            log().error("tsdb_cfg not provided; cannot perform database reconnection");
            return;
        }
        if (!_running()) {
            // Nothing may reopen what stop() asked to be released.
            log().info("Collector stopping; not reconnecting to the database");
            return;
        }
        if (auto conn = open_connection_()) {
            tsdb_conn = std::move(conn);
            _db_tagname_map.clear();
            refused_tags_.clear();
            unregistered_logged_.clear();
            log().info("Database reconnection successful");
        } else {
            log().error("Database reconnection failed");
        }
    } catch (const std::exception& e) {
        log().error("Database error handling failed: {}", e.what());
    }
}

}  // namespace vantrel::korrin
