// chronq: the daily partitions of the time series, and dropping the old ones.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "chronq/conn.h"

namespace chronq {

// One partition that retention dropped.
struct DroppedPartition {
    std::string name;       // e.g. "chronq_partitions.tsdata_20261201"
    std::string first_day;  // its first UTC day, "YYYY-MM-DD"; empty for an open start
    std::string last_day;   // its last UTC day
    std::int64_t rows = 0;
    bool estimated = false;  // rows from the server's statistics, for a large partition
};

// Drops every partition of chronq.tsdata that ends `keep_days` days or more before now, never
// the one that holds now, and logs each with its days and rows. Nothing for keep_days below 1.
// A partition another session is using at the time is left for the next call. Takes the
// schema lock, so collectors doing this at once take turns.
std::vector<DroppedPartition> drop_partitions_older_than(Connection& conn, int keep_days);

}  // namespace chronq
