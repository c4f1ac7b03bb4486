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

void BaseQevCollectorThread::_read_and_process_data() {
    // Not guarded: a failing supplier ends the thread rather than counting as a read error.
    std::vector<std::string> tags = get_tags_func();
    if (tags.empty()) {
        return;
    }
    try {
        if (!requests_ready_ || tags != request_tags_) {
            requests_ready_ = false;
            _build_tag_objects(tags, request_buffer_);
            request_tags_ = std::move(tags);
            requests_ready_ = true;
            ++request_preparations_;
        }
        _batch_read_data(request_buffer_, request_tags_, cycle_buffer_);
        if (read_cut_short_) {
            // Cut short between batches: a partial cycle would look like missing tags.
            log().info("Collection cycle abandoned: the collector is stopping");
            return;
        }
        _update_read_status(cycle_buffer_);
        if (opc_status) {
            handle_data(cycle_buffer_);
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
    if (tag_objs.size() != tags.size()) {
        throw std::invalid_argument("tag requests and tag texts differ in number");
    }
    all_results.clear();
    read_cut_short_ = false;
    if (batch_size < 0) {
        return;  // a negative size reads nothing
    }
    if (batch_size == 0) {
        throw std::invalid_argument("batch size must be a positive integer, not 0");
    }
    all_results.reserve(tag_objs.size());
    const std::size_t step = static_cast<std::size_t>(batch_size);
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
        const std::size_t first_new = all_results.size();
        _process_batch_results(records, tags, i, all_results);
        for (std::size_t k = first_new; k < all_results.size(); ++k) {
            all_results[k].read_time = read_at;
        }
    }
}

void BaseQevCollectorThread::_process_batch_results(std::vector<OpcValueRecord>& batch_value_objs,
                                                    const std::vector<std::string>& tags,
                                                    std::size_t batch_start_idx,
                                                    CycleResults& out) const {
    if (batch_start_idx + batch_value_objs.size() > tags.size()) {
        throw std::out_of_range("more value records than tags left in the list");
    }
    for (std::size_t idx = 0; idx < batch_value_objs.size(); ++idx) {
        OpcValueRecord& record = batch_value_objs[idx];
        out.push_back(Sample{tags[batch_start_idx + idx],
                             std::move(record.value),
                             quality_to_str(record.quality),
                             record.timestamp,
                             {},
                             record.source_time,
                             record.server_time});
    }
}

void BaseQevCollectorThread::_update_read_status(const CycleResults& all_results) {
    const std::size_t n = all_results.size();
    const auto bad_count = static_cast<std::size_t>(
        std::count_if(all_results.begin(), all_results.end(),
                      [](const Sample& s) { return s.quality != "Good"; }));
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
