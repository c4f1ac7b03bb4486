// The trend chart's logic: ranges, the history query, and lines with their gaps.
#include "vantrel/trend_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <type_traits>
#include <utility>
#include <variant>

namespace vantrel::desktop {

namespace {

using std::chrono::hours;
using std::chrono::minutes;
using std::chrono::seconds;

bool is_good(const std::string& quality) {
    return quality == "Good";
}

std::optional<double> number_of(const korrin::Value& value) {
    return std::visit(
        [](const auto& v) -> std::optional<double> {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, double>) {
                return v;
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return static_cast<double>(v);
            } else if constexpr (std::is_same_v<T, bool>) {
                return v ? 1.0 : 0.0;
            } else {
                return std::nullopt;  // text, or nothing read
            }
        },
        value);
}

// Only a Good sample with a finite number is drawn; anything else breaks the line.
std::optional<double> drawable(bool good, std::optional<double> value) {
    if (!good || !value || !std::isfinite(*value)) {
        return std::nullopt;
    }
    return value;
}

std::string shown_number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

// The widest step between two samples that still joins them: three times the usual (median)
// step, so that a late cycle or two is drawn through but an outage is not.
template <class Samples>
TrendClock::duration longest_step(const Samples& samples) {
    if (samples.size() < 3) {
        return TrendClock::duration::max();
    }
    std::vector<TrendClock::duration> steps;
    steps.reserve(samples.size() - 1);
    for (std::size_t k = 1; k < samples.size(); ++k) {
        steps.push_back(samples[k].time - samples[k - 1].time);
    }
    auto middle = steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2);
    std::nth_element(steps.begin(), middle, steps.end());
    return std::max(*middle * 3, TrendClock::duration(std::chrono::seconds(1)));
}

}  // namespace

const std::array<TrendRangeInfo, 4>& trend_ranges() {
    static const std::array<TrendRangeInfo, 4> ranges{{
        {TrendRange::minutes_10, "10 min", "Last 10 minutes", minutes(10), seconds(0)},
        {TrendRange::hour_1, "1 h", "Last hour", hours(1), seconds(0)},
        {TrendRange::hours_8, "8 h", "Last 8 hours", hours(8), minutes(1)},
        {TrendRange::hours_24, "24 h", "Last 24 hours", hours(24), minutes(1)},
    }};
    return ranges;
}

const TrendRangeInfo& trend_range_info(TrendRange range) {
    for (const auto& info : trend_ranges()) {
        if (info.range == range) {
            return info;
        }
    }
    return trend_ranges().front();
}

void TrendModel::restart() {
    samples_.assign(tags_.size(), {});
    ++generation_;
    ++revision_;
    loading_ = !tags_.empty();
    error_.clear();
}

std::uint64_t TrendModel::select(std::vector<std::string> tags) {
    tags_.clear();
    index_.clear();
    for (auto& tag : tags) {
        if (index_.emplace(tag, tags_.size()).second) {
            tags_.push_back(std::move(tag));
        }
    }
    restart();
    return generation_;
}

std::uint64_t TrendModel::set_range(TrendRange range) {
    range_ = range;
    restart();
    return generation_;
}

korrin::HistoryQuery TrendModel::history_query(TrendClock::time_point now) const {
    const auto& info = trend_range_info(range_);
    // The end lies just past now, so that a sample stamped this very moment is included.
    return {.tags = tags_, .from = now - info.span, .to = now + seconds(1), .bucket = info.bucket};
}

bool TrendModel::add_history(std::uint64_t generation,
                             const std::vector<korrin::StoredSample>& samples) {
    if (generation != generation_) {
        return false;
    }
    std::vector<std::vector<Stored>> loaded(tags_.size());
    for (const auto& sample : samples) {
        const auto found = index_.find(sample.tag);
        if (found == index_.end()) {
            continue;
        }
        const bool good = is_good(sample.quality);
        loaded[found->second].push_back(
            {sample.time, drawable(good, sample.value), good, sample.quality});
    }
    for (std::size_t i = 0; i < tags_.size(); ++i) {
        auto& history = loaded[i];
        std::stable_sort(history.begin(), history.end(),
                         [](const Stored& a, const Stored& b) { return a.time < b.time; });
        auto& live = samples_[i];
        // The live samples are the newer word: history stops where they begin.
        if (!live.empty()) {
            const auto first_live = live.front().time;
            history.erase(std::find_if(history.begin(), history.end(),
                                       [&](const Stored& s) { return s.time >= first_live; }),
                          history.end());
        }
        live.insert(live.begin(), std::make_move_iterator(history.begin()),
                    std::make_move_iterator(history.end()));
    }
    loading_ = false;
    error_.clear();
    ++revision_;
    return true;
}

bool TrendModel::history_failed(std::uint64_t generation, std::string error) {
    if (generation != generation_) {
        return false;
    }
    loading_ = false;
    error_ = std::move(error);
    ++revision_;
    return true;
}

void TrendModel::add_cycle(const korrin::CycleResults& cycle, TrendClock::time_point now) {
    if (tags_.empty()) {
        return;
    }
    bool changed = false;
    for (const auto& sample : cycle) {
        const auto found = index_.find(sample.tag);
        if (found == index_.end()) {
            continue;
        }
        const auto time = sample.read_time != TrendClock::time_point{} ? sample.read_time
                          : sample.timestamp                           ? *sample.timestamp
                                                                       : now;
        auto& line = samples_[found->second];
        if (!line.empty() && time <= line.back().time) {
            continue;
        }
        const bool good = is_good(sample.quality);
        line.push_back({time, drawable(good, number_of(sample.value)), good, sample.quality});
        changed = true;
    }
    if (changed) {
        ++revision_;
    }
}

void TrendModel::trim(TrendClock::time_point now) {
    const auto from = now - trend_range_info(range_).span;
    bool changed = false;
    for (auto& line : samples_) {
        while (!line.empty() && line.front().time < from) {
            line.pop_front();
            changed = true;
        }
    }
    if (changed) {
        ++revision_;
    }
}

std::vector<TrendSeries> TrendModel::series() const {
    std::vector<TrendSeries> out;
    out.reserve(tags_.size());
    for (std::size_t i = 0; i < tags_.size(); ++i) {
        TrendSeries line;
        line.tag = tags_[i];
        const auto hole = longest_step(samples_[i]);
        bool broken = true;
        std::optional<TrendClock::time_point> previous;
        for (const auto& s : samples_[i]) {
            if (!s.good) {
                line.not_good.push_back(s.time);
            }
            // A stretch without samples (collection stopped, the database away) is no line
            // either: drawn across, it would claim values nobody read.
            if (previous && s.time - *previous > hole) {
                broken = true;
            }
            previous = s.time;
            if (!s.value) {
                broken = true;
                continue;
            }
            if (broken) {
                line.segments.emplace_back();
                broken = false;
            }
            line.segments.back().push_back({s.time, *s.value});
        }
        if (!samples_[i].empty()) {
            line.last_value = samples_[i].back().value;
            line.last_quality = samples_[i].back().quality;
        }
        out.push_back(std::move(line));
    }
    return out;
}

std::string TrendModel::accessible_name() const {
    if (tags_.empty()) {
        return "Trend: no tag selected";
    }
    std::string name = "Trend: ";
    for (std::size_t i = 0; i < tags_.size(); ++i) {
        name += (i > 0 ? ", " : "") + tags_[i];
    }
    return name;
}

std::string TrendModel::accessible_description() const {
    std::string text = trend_range_info(range_).description;
    if (tags_.empty()) {
        return text + ". Select rows of the tag table to see their trend.";
    }
    if (loading_) {
        text += ", loading history";
    } else if (!error_.empty()) {
        text += ", history could not be read";
    }
    text += ".";
    for (std::size_t i = 0; i < tags_.size(); ++i) {
        text += " " + tags_[i] + ": ";
        const auto& line = samples_[i];
        if (line.empty()) {
            text += "no samples.";
        } else if (line.back().value) {
            text += shown_number(*line.back().value) + ".";
        } else {
            text += "no value (" + line.back().quality + ").";
        }
    }
    return text;
}

}  // namespace vantrel::desktop
