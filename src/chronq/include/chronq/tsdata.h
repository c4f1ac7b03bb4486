// chronq: time-series writes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "chronq/conn.h"

namespace chronq {

// Writes one row per index, stamped with the time of the write, in one round trip.
// Returns (success, rows written). Sequences of unequal length throw std::invalid_argument.
std::pair<bool, std::size_t> write_tsdata(Connection& conn, std::span<const std::int64_t> tag_ids,
                                          std::span<const TsValue> values,
                                          std::span<const std::string> qualities);

using TimePoint = std::chrono::system_clock::time_point;

// How far a writer's numbered batches have been committed. Written in the same statement as
// the rows it covers, so a writer that dies between the commit and its own bookkeeping can
// tell afterwards which of its batches are in the database.
struct WriteMark {
    std::string writer;    // a name of the writer's own choosing
    std::int64_t seq = 0;  // the highest batch number the write covers; the mark never goes down
};

// Like write_tsdata, but each row carries its own time (the time its value was read). With a
// mark, the rows and the mark are committed together or not at all.
// A failure that a later try can cure (the connection lost, the server going away or short of
// resources, a time-out, a read-only standby) throws ConnectionError; a refused statement is
// logged and gives (false, 0). Sequences of unequal length throw std::invalid_argument.
std::pair<bool, std::size_t> write_tsdata_at(Connection& conn, std::span<const TimePoint> times,
                                             std::span<const std::int64_t> tag_ids,
                                             std::span<const TsValue> values,
                                             std::span<const std::string> qualities,
                                             const WriteMark* mark = nullptr);

// The writer's committed mark (its seq), or 0 when it has none.
std::int64_t write_mark(Connection& conn, const std::string& writer);

}  // namespace chronq
