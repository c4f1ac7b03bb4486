// Plain records that travel between the collector and its front ends: samples, one cycle's
// results, the bounded queue they are handed over in, and the TSDB connection settings.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace vantrel::korrin {

// A value as the OPC library delivers it; the engine passes it through unchanged.
using Value = std::variant<std::monostate, bool, std::int64_t, double, std::string>;
using Timestamp = std::optional<std::chrono::system_clock::time_point>;

struct Sample {
    std::string tag{};      // the tag text as the supplier listed it (UA: with its "ns:" prefix)
    Value value{};          // unchanged: not clamped, NaN kept
    std::string quality{};  // "Good", "Bad", "Uncertain" or "Invalid"
    Timestamp timestamp{};  // unchanged

    // Not part of the queued record: the times a stored row may carry. When the collector
    // read the value (its batch's request time), and the OPC UA source and server times.
    std::chrono::system_clock::time_point read_time{};
    Timestamp source_time{};
    Timestamp server_time{};

    // The queued record is the four fields above; the row times do not make two samples differ.
    friend bool operator==(const Sample& a, const Sample& b) {
        return a.tag == b.tag && a.value == b.value && a.quality == b.quality &&
               a.timestamp == b.timestamp;
    }
};

// One cycle's samples in tag-list order; one entry of the front end's queue.
using CycleResults = std::vector<Sample>;

// A double-ended queue that keeps the newest `maxlen` entries: appending to a full queue
// drops the oldest. Not locked inside: CycleQueue (korrin/cycle_queue.h) guards the one that
// carries cycles to the front ends.
template <class T>
class BoundedDeque {
  public:
    explicit BoundedDeque(std::size_t maxlen) : maxlen_(maxlen) {
        if (maxlen == 0) {
            throw std::invalid_argument("BoundedDeque needs a maxlen of at least 1");
        }
    }

    void push_back(T item) {
        if (items_.size() == maxlen_) {
            items_.pop_front();
        }
        items_.push_back(std::move(item));
    }

    // The oldest entry, or nothing when empty.
    std::optional<T> pop_front() {
        if (items_.empty()) {
            return std::nullopt;
        }
        std::optional<T> front(std::move(items_.front()));
        items_.pop_front();
        return front;
    }

    std::size_t size() const noexcept { return items_.size(); }
    bool empty() const noexcept { return items_.empty(); }
    std::size_t maxlen() const noexcept { return maxlen_; }
    void clear() noexcept { items_.clear(); }

  private:
    std::size_t maxlen_;
    std::deque<T> items_;
};

using DataDeque = BoundedDeque<CycleResults>;

// Settings of one TSDB connection (the [TSDBConnection] section); passed whole to the client.
struct TsdbConfig {
    std::string host{};
    int port = 5432;
    std::string user = "postgres";
    std::string password{};
    std::string dbname = "tsdb_default";
    bool autocommit = false;
    // Longest wait for one statement, in seconds: writes, and lookups (also ping). A statement
    // that takes longer is cancelled and counts as a lost connection.
    double write_timeout = 5.0;
    double lookup_timeout = 2.0;
    // Days of samples to keep: older days are dropped once a day by a collector. 0 keeps all.
    int retention_days = 0;

    friend bool operator==(const TsdbConfig&, const TsdbConfig&) = default;
};

}  // namespace vantrel::korrin
