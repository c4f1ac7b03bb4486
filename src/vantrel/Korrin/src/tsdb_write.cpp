// Writing one cycle to the TSDB: screening of good floating values, tag ids looked up once and
// cached, one write per cycle, and a single recovery attempt after a failure.
#include <cctype>
#include <cmath>
#include <exception>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

#include "korrin/opc_collector.h"
#include "log.h"

namespace vantrel::korrin {

namespace {

// The database stores single precision; beyond this the value is stored as an infinity. The
// limit is 3.4e38 itself, slightly below the largest float.
constexpr double kFloatLimit = 3.4e38;

bool is_space(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// "good" in any letter case, with surrounding white space ignored.
bool is_good(std::string_view q) {
    while (!q.empty() && is_space(q.front())) {
        q.remove_prefix(1);
    }
    while (!q.empty() && is_space(q.back())) {
        q.remove_suffix(1);
    }
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

}  // namespace

void OPCCollector::_handle_write_tsdb(const CycleResults& results) {
    if (!tsdb_conn) {
        _handle_db_error();
        return;
    }
    row_ids_.clear();
    row_values_.clear();
    row_qualities_.clear();

    try {
        for (const Sample& sample : results) {
            Value value = sample.value;
            if (auto* number = std::get_if<double>(&value); number && is_good(sample.quality)) {
                if (std::isnan(*number)) {
                    log().warn("Skipping NaN value for tag {}", sample.tag);
                    continue;
                }
                if (*number > kFloatLimit) {
                    *number = std::numeric_limits<double>::infinity();
                } else if (*number < -kFloatLimit) {
                    *number = -std::numeric_limits<double>::infinity();
                }
            }
            std::int64_t tag_id = 0;
            if (auto it = _db_tagname_map.find(sample.tag); it != _db_tagname_map.end()) {
                tag_id = it->second;
            } else {
                const auto tag = tsdb_client_->get_tag(*tsdb_conn, sample.tag);
                if (!tag || !tag->tag_id) {
                    // Not cached: registered later, the tag is written from then on.
                    log().error("Tag '{}' not found in TSDB", sample.tag);
                    continue;
                }
                tag_id = *tag->tag_id;
                _db_tagname_map.emplace(sample.tag, tag_id);
            }
            row_ids_.push_back(tag_id);
            row_values_.push_back(std::move(value));
            row_qualities_.push_back(sample.quality);
        }
    } catch (const std::exception& e) {
        // A lookup that fails is the database failing, not the OPC read: recover the database
        // side and leave the OPC side alone.
        log().error("Write DB failed: {}", e.what());
        _handle_db_error();
        if (db_status_notify) {
            db_status_notify(false, 0);
        }
        return;
    }

    if (row_ids_.empty()) {
        if (db_status_notify && !results.empty()) {
            db_status_notify(true, 0);
        }
        return;
    }

    try {
        const auto [success, count] =
            tsdb_client_->write_tsdata(*tsdb_conn, row_ids_, row_values_, row_qualities_);
        if (db_status_notify) {
            db_status_notify(success, success ? static_cast<std::int64_t>(count) : 0);
        }
    } catch (const std::exception& e) {
        log().error("Write DB failed: {}", e.what());
        _handle_db_error();
        if (db_status_notify) {
            db_status_notify(false, 0);
        }
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
        if (auto conn = tsdb_client_->get_conn(*tsdb_cfg)) {
            tsdb_conn = std::move(conn);
            _db_tagname_map.clear();
            log().info("Database reconnection successful");
        } else {
            log().error("Database reconnection failed");
        }
    } catch (const std::exception& e) {
        log().error("Database error handling failed: {}", e.what());
    }
}

}  // namespace vantrel::korrin
