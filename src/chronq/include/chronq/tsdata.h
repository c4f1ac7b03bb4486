// chronq: time-series writes.
#pragma once

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

}  // namespace chronq
