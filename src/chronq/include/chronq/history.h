// chronq: reading stored samples back, by tag name, for a chart.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "chronq/conn.h"
#include "chronq/tsdata.h"

namespace chronq {

// One stored sample, or one time bucket of them.
struct StoredSample {
    std::string tag;
    TimePoint time;               // the sample's time, or the start of its bucket
    std::optional<double> value;  // none when nothing numeric was stored (text, no value)
    std::string quality;
};

// The samples of `tags` with from <= time < to, through chronq.samples, ordered by tag, then
// time. With a bucket, one row per tag and bucket (date_bin from 2000-01-01 UTC): the average of
// its Good samples that hold a number, quality "Good"; a bucket without one has no value and
// the quality of its newest sample that is not Good (else "Good": text, say), so that a bad
// stretch never reads as a plausible value.
std::vector<StoredSample> read_samples(Connection& conn, const std::vector<std::string>& tags,
                                       TimePoint from, TimePoint to,
                                       std::chrono::seconds bucket = std::chrono::seconds{0});

}  // namespace chronq
