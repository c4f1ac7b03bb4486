// store = changes: the rows of a cycle are the changes the server reported since the last one,
// not the cycle's one value per tag.
#include <chrono>
#include <string>

#include "korrin/opc_collector.h"
#include "korrin/quality.h"

namespace vantrel::korrin {

namespace {

void key_of(int ns, const std::string& name, std::string& key) {
    key.assign(std::to_string(ns));
    key.push_back('\n');
    key.append(name);
}

}  // namespace

const CycleResults& OPCCollector::reported_changes(const CycleResults& cycle) {
    change_rows_.clear();
    if (!qev || source == QEV_INVALID_HANDLE) {
        return change_rows_;
    }
    std::vector<OpcChange> changes = qev->read_changes(source);
    std::string key;
    const auto rebuild = [&] {
        tag_texts_.clear();
        std::string listed;  // not `key`: the change being looked up still needs it
        for (const Sample& s : cycle) {
            const auto [ns, name] = parse_ua_tag(s.tag);
            key_of(ns, name, listed);
            tag_texts_.emplace(listed, s.tag);
        }
    };
    for (auto& change : changes) {
        key_of(change.request.namespace_index, change.request.tag_name, key);
        auto text = tag_texts_.find(key);
        if (text == tag_texts_.end()) {
            rebuild();  // the tag list changed since the names were last taken
            text = tag_texts_.find(key);
            if (text == tag_texts_.end()) {
                continue;  // no longer listed
            }
        }
        const OpcValueRecord& r = change.record;
        // The change's own time: its source time, else the server's, else its arrival.
        const std::chrono::system_clock::time_point when =
            r.timestamp.value_or(std::chrono::system_clock::now());
        auto [last, first] = last_change_time_.try_emplace(text->second, when);
        if (!first) {
            if (when <= last->second) {
                continue;  // reported again (after a republish or transfer): stored once
            }
            last->second = when;
        }
        Sample row;
        row.tag = text->second;
        row.value = r.value;
        row.quality = quality_to_str(r.quality);
        row.timestamp = r.timestamp;
        row.read_time = when;
        row.source_time = r.source_time;
        row.server_time = r.server_time;
        change_rows_.push_back(std::move(row));
    }
    return change_rows_;
}

}  // namespace vantrel::korrin
