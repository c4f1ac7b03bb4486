// The read step of a cycle: tag texts to requests, requests to the library in batches, records
// to samples, and the read status that decides whether the next cycle reconnects.
#include <algorithm>
#include <chrono>
#include <exception>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>

#include "korrin/base_collector.h"
#include "korrin/quality.h"
#include "log.h"
#include "qevsdk/ua_tag.h"

namespace vantrel::korrin {

std::pair<int, std::string> BaseQevCollectorThread::parse_ua_tag(const std::string& tag) {
    // qev-read applies the same rule, so that it reads what the collector would.
    return qevsdk::split_ua_tag(tag);
}

TagTableRef BaseQevCollectorThread::current_tag_table_() {
    if (get_tag_table_func_) {
        return get_tag_table_func_();
    }
    std::vector<std::string> tags = get_tags_func();
    if (request_table_ && tags == request_table_->names) {
        return request_table_;  // the same list: its requests and positions hold
    }
    return make_tag_table(std::move(tags));
}

void BaseQevCollectorThread::_read_and_process_data() {
    // Not guarded: a failing supplier ends the thread rather than counting as a read error.
    const TagTableRef table = current_tag_table_();
    if (!table || table->names.empty()) {
        cycle_delivered_ = true;  // nothing to read is no outage
        return;
    }
    try {
        if (!requests_ready_ || table != request_table_) {
            requests_ready_ = false;
            _build_tag_objects(table->names, request_buffer_);
            request_table_ = table;
            requests_ready_ = true;
            ++request_preparations_;
        }
        const bool names_in_place = cycle_table_ == table;
        cycle_table_.reset();  // until this cycle is known complete
        const auto read_start =
            metrics_ ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
        read_batches_(request_buffer_, table->names, cycle_buffer_, names_in_place);
        if (read_cut_short_) {
            // Cut short between batches: a partial cycle would look like missing tags.
            log().info("Collection cycle abandoned: the collector is stopping");
            return;
        }
        if (metrics_) {
            metrics_->read_seconds.observe(
                std::chrono::duration<double>(std::chrono::steady_clock::now() - read_start)
                    .count());
        }
        if (cycle_buffer_.size() == table->names.size()) {
            cycle_table_ = table;  // no sample left out: every one stands at its tag's position
        }
        _update_read_status(cycle_buffer_);
        if (opc_status) {
            cycle_delivered_ = true;
            handle_data(cycle_buffer_);
        }
        if (metrics_) {
            metrics_->last_cycle_at.set(unix_now());
        }
    } catch (const std::exception& e) {
        opc_error("Read " + protocol_type + " error: " + e.what());
    }
}

std::vector<OpcTagRequest> BaseQevCollectorThread::_build_tag_objects(
    const std::vector<std::string>& tags) const {
    std::vector<OpcTagRequest> requests;
    _build_tag_objects(tags, requests);
    return requests;
}

void BaseQevCollectorThread::_build_tag_objects(const std::vector<std::string>& tags,
                                                std::vector<OpcTagRequest>& out) const {
    // Assigned in place: with the same tags as last cycle, no name needs new memory.
    out.resize(tags.size());
    const bool ua = protocol_type == "UA";
    for (std::size_t i = 0; i < tags.size(); ++i) {
        OpcTagRequest& request = out[i];
        request.data_type = QEV_DATATYPE_REAL;
        if (ua) {
            auto [ns, name] = parse_ua_tag(tags[i]);
            request.namespace_index = ns;
            request.tag_name.assign(name);
        } else {
            request.namespace_index = 0;
            request.tag_name.assign(tags[i]);
        }
    }
}

CycleResults BaseQevCollectorThread::_batch_read_data(const std::vector<OpcTagRequest>& tag_objs,
                                                      const std::vector<std::string>& tags) {
    CycleResults all_results;
    _batch_read_data(tag_objs, tags, all_results);
    return all_results;
}

void BaseQevCollectorThread::_batch_read_data(const std::vector<OpcTagRequest>& tag_objs,
                                              const std::vector<std::string>& tags,
                                              CycleResults& all_results) {
    read_batches_(tag_objs, tags, all_results, false);
}

void BaseQevCollectorThread::read_batches_(const std::vector<OpcTagRequest>& tag_objs,
                                           const std::vector<std::string>& tags,
                                           CycleResults& all_results, bool names_in_place) {
    if (tag_objs.size() != tags.size()) {
        throw std::invalid_argument("tag requests and tag texts differ in number");
    }
    read_cut_short_ = false;
    if (batch_size < 0) {
        all_results.clear();
        return;  // a negative size reads nothing
    }
    if (batch_size == 0) {
        all_results.clear();
        throw std::invalid_argument("batch size must be a positive integer, not 0");
    }
    // The samples are overwritten where they stand, so that a cycle reuses the last one's
    // memory; whatever way the read ends, the cycle holds exactly the samples filled.
    if (all_results.size() < tag_objs.size()) {
        all_results.resize(tag_objs.size());
    }
    std::size_t filled = 0;
    struct Trim {
        CycleResults& results;
        const std::size_t& filled;
        ~Trim() { results.resize(filled); }
    } trim{all_results, filled};
    // A subscribed UA source answers from what its server last reported and sends no Read, so
    // the batch size has nothing to limit there. The whole list goes in one call: the items of
    // a new list are made together and their first reports awaited once, not once per batch.
    // (OPC DA ignores subscribing and keeps its batches.)
    const std::size_t step = subscribe_ && protocol_type == "UA"
                                 ? std::max<std::size_t>(tag_objs.size(), 1)
                                 : static_cast<std::size_t>(batch_size);
    for (std::size_t i = 0; i < tag_objs.size(); i += step) {
        if (i > 0 && stopping()) {
            read_cut_short_ = true;  // a slow server must not hold a stop for a long cycle
            return;
        }
        const std::size_t count = std::min(step, tag_objs.size() - i);
        std::span<const OpcTagRequest> batch_objs(tag_objs.data() + i, count);
        const auto read_at = std::chrono::system_clock::now();
        auto [status, records] = qev->read_values(source, batch_objs);
        static_cast<void>(status);  // the library's own status; records say what was read
        if (records.size() > count) {
            throw std::runtime_error("library returned " + std::to_string(records.size()) +
                                     " records for " + std::to_string(count) + " tags");
        }
        _process_batch_results(records, tags, i, all_results, filled, names_in_place, read_at);
    }
}

void BaseQevCollectorThread::_process_batch_results(
    std::vector<OpcValueRecord>& batch_value_objs, const std::vector<std::string>& tags,
    std::size_t batch_start_idx, CycleResults& out, std::size_t& filled, bool names_in_place,
    std::chrono::system_clock::time_point read_at) const {
    if (batch_start_idx + batch_value_objs.size() > tags.size()) {
        throw std::out_of_range("more value records than tags left in the list");
    }
    for (std::size_t idx = 0; idx < batch_value_objs.size(); ++idx) {
        OpcValueRecord& record = batch_value_objs[idx];
        const std::size_t tag_idx = batch_start_idx + idx;
        Sample& sample = out[filled];
        // A sample still at its tag's position from the last cycle of this table keeps its
        // name; any other is given the name.
        if (!names_in_place || filled != tag_idx) {
            sample.tag.assign(tags[tag_idx]);
        }
        sample.value = std::move(record.value);
        sample.quality = quality_to_str(record.quality);
        sample.timestamp = record.timestamp;
        sample.read_time = read_at;
        sample.source_time = record.source_time;
        sample.server_time = record.server_time;
        ++filled;
    }
}

void BaseQevCollectorThread::_update_read_status(const CycleResults& all_results) {
    const std::size_t n = all_results.size();
    std::size_t good = 0;
    std::size_t uncertain = 0;
    for (const Sample& s : all_results) {
        if (s.quality == "Good") {
            ++good;
        } else if (s.quality == "Uncertain") {
            ++uncertain;
        }
    }
    const std::size_t bad_count = n - good;
    if (metrics_) {
        metrics_->note_qualities(good, uncertain, bad_count - uncertain);
    }
    if (n > 0 && bad_count == n) {
        opc_status = false;
        ++consecutive_errors;
        const std::string text =
            "All " + std::to_string(n) + " tags read failed. Waiting for next cycle...";
        log().error("{}", text);
        notify_status(text);
        return;
    }
    opc_status = true;
    consecutive_errors = 0;
    notify_status("Read " + std::to_string(n) + " tags, " + std::to_string(bad_count) + " bad.");
}

}  // namespace vantrel::korrin
