// The figures' arithmetic: histogram buckets, late cycles, and the database's outage time.
#include "korrin/metrics.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace vantrel::korrin {

void Histogram::observe(double seconds) noexcept {
    if (!(seconds >= 0.0)) {
        seconds = 0.0;  // a clock that stepped back, or NaN: the figure must stay countable
    }
    const auto bound = std::lower_bound(kBounds.begin(), kBounds.end(), seconds);
    buckets_[static_cast<std::size_t>(bound - kBounds.begin())].fetch_add(
        1, std::memory_order_relaxed);
    const double ns = std::min(seconds * 1e9, 1e18);
    sum_ns_.fetch_add(static_cast<std::uint64_t>(std::llround(ns)), std::memory_order_relaxed);
}

Histogram::Snapshot Histogram::snapshot() const noexcept {
    Snapshot s;
    std::uint64_t running = 0;
    for (std::size_t i = 0; i < buckets_.size(); ++i) {
        running += buckets_[i].load(std::memory_order_relaxed);
        s.cumulative[i] = running;
    }
    s.sum = static_cast<double>(sum_ns_.load(std::memory_order_relaxed)) / 1e9;
    return s;
}

bool CycleSchedule::start(double now) noexcept {
    const bool late = due_ && now - *due_ > interval_ / 2.0;
    due_ = now + interval_;
    return late;
}

void EngineMetrics::note_database(bool connected, double now) noexcept {
    db_connected.set(connected ? 1.0 : 0.0);
    if (connected) {
        db_away_since.set(0.0);
    } else if (db_away_since.value() == 0.0) {
        db_away_since.set(now);
    }
}

double unix_now() noexcept {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

const char* build_version() noexcept {
    return VANTREL_VERSION;
}

}  // namespace vantrel::korrin
