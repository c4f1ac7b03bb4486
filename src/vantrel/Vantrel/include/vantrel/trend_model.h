// What the trend chart shows, without any widget: the selected tags, the time range, the query
// that reads their history, and their lines built from that history and the live cycles. A
// sample that is not Good, or holds no number, breaks its line and is marked instead: the chart
// never draws a value the collector could not vouch for.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "korrin/tsdb_client.h"
#include "korrin/types.h"

namespace vantrel::desktop {

enum class TrendRange { minutes_10, hour_1, hours_8, hours_24 };

struct TrendRangeInfo {
    TrendRange range;
    const char* label;            // as the range chooser lists it
    const char* description;      // as a screen reader says it, "Last 10 minutes"
    std::chrono::seconds span;    // how far back the chart reaches
    std::chrono::seconds bucket;  // history in buckets of this length; 0: every sample
};

// The ranges in the chooser's order; ranges above an hour read one-minute buckets.
const std::array<TrendRangeInfo, 4>& trend_ranges();
const TrendRangeInfo& trend_range_info(TrendRange range);

using TrendClock = std::chrono::system_clock;

struct TrendPoint {
    TrendClock::time_point time;
    double value = 0;
};

// One tag's line: runs of drawable points, broken wherever a sample could not be drawn, and the
// times of the samples whose quality was not Good.
struct TrendSeries {
    std::string tag;
    std::vector<std::vector<TrendPoint>> segments;
    std::vector<TrendClock::time_point> not_good;
    // The newest sample: its value when drawable, and its quality.
    std::optional<double> last_value;
    std::string last_quality;
};

class TrendModel {
  public:
    // Starts over with these tags (duplicates dropped, order kept): empty lines until the
    // history arrives. Gives the generation that the history answer must carry.
    std::uint64_t select(std::vector<std::string> tags);
    // Starts over with the same tags over another range; the generation to load.
    std::uint64_t set_range(TrendRange range);

    const std::vector<std::string>& tags() const { return tags_; }
    TrendRange range() const { return range_; }
    std::uint64_t generation() const { return generation_; }
    // True from a selection until its history arrived or failed.
    bool loading() const { return loading_; }
    // The failure of the last history read, empty when it worked.
    const std::string& error() const { return error_; }

    // What to read for the current tags and range, ending at `now`.
    korrin::HistoryQuery history_query(TrendClock::time_point now) const;

    // The answer for a generation; an answer for an earlier one is dropped (false). Live
    // samples that came in meanwhile are kept; history fills in before them.
    bool add_history(std::uint64_t generation, const std::vector<korrin::StoredSample>& samples);
    bool history_failed(std::uint64_t generation, std::string error);

    // The samples of the selected tags from one cycle; others are ignored. A sample is placed
    // at its read time, else its source timestamp, else `now`; one no newer than its tag's
    // newest point is dropped.
    void add_cycle(const korrin::CycleResults& cycle, TrendClock::time_point now);
    // Forgets what lies before the range ending at `now`.
    void trim(TrendClock::time_point now);

    std::vector<TrendSeries> series() const;
    // Bumped by every change the chart must redraw for.
    std::uint64_t revision() const { return revision_; }

    // "Trend: " and the tag names, comma-separated: the chart's name for a screen reader.
    std::string accessible_name() const;
    // The range and each tag's newest value, for a screen reader.
    std::string accessible_description() const;

  private:
    struct Stored {
        TrendClock::time_point time;
        std::optional<double> value;  // drawable only when Good and finite
        bool good = false;
        std::string quality;
    };
    void restart();

    std::vector<std::string> tags_;
    std::unordered_map<std::string, std::size_t> index_;
    std::vector<std::deque<Stored>> samples_;
    TrendRange range_ = TrendRange::minutes_10;
    std::uint64_t generation_ = 0;
    std::uint64_t revision_ = 0;
    bool loading_ = false;
    std::string error_;
};

}  // namespace vantrel::desktop
