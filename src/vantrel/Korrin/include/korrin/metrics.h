// The engine's figures for monitoring: counters, gauges and duration histograms that the
// collector thread, its TSDB writer and its store and forward part keep, and that a front end or
// the HTTP endpoint reads at any time. Whoever owns the collector owns them and shares them with
// it. Keeping them costs the collector a relaxed atomic add or store per cycle, never a lock.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vantrel::korrin {

class Counter {
  public:
    void add(std::uint64_t n = 1) noexcept { value_.fetch_add(n, std::memory_order_relaxed); }
    std::uint64_t value() const noexcept { return value_.load(std::memory_order_relaxed); }

  private:
    std::atomic<std::uint64_t> value_{0};
};

class Gauge {
  public:
    Gauge() noexcept = default;
    explicit Gauge(double initial) noexcept : value_(initial) {}
    void set(double value) noexcept { value_.store(value, std::memory_order_relaxed); }
    double value() const noexcept { return value_.load(std::memory_order_relaxed); }

  private:
    std::atomic<double> value_{0.0};
};
static_assert(std::atomic<double>::is_always_lock_free, "gauges are written on the hot path");

// Durations in seconds into fixed buckets. A bound is an upper bound that includes itself, as
// Prometheus' "le" means it: 0.1 s counts in the 0.1 bucket.
class Histogram {
  public:
    // From a millisecond to half a minute: a read or write beyond the longest bound is already
    // a problem whatever its exact length.
    static constexpr std::array<double, 14> kBounds{0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                                                    0.25,  0.5,    1.0,   2.5,  5.0,   10.0, 30.0};

    void observe(double seconds) noexcept;

    struct Snapshot {
        // cumulative[i]: observations <= kBounds[i]; the last entry is every observation.
        std::array<std::uint64_t, kBounds.size() + 1> cumulative{};
        double sum = 0.0;
        std::uint64_t count() const noexcept { return cumulative.back(); }
    };
    Snapshot snapshot() const noexcept;

  private:
    // Each bucket alone (not cumulative), so an observation is a single add; the last one holds
    // what lies beyond every bound.
    std::array<std::atomic<std::uint64_t>, kBounds.size() + 1> buckets_{};
    std::atomic<std::uint64_t> sum_ns_{0};
};

// When each cycle of the loop was due, and whether it started late: more than half an interval
// after its time. A cycle is due one interval after the last one started.
class CycleSchedule {
  public:
    explicit CycleSchedule(double interval) noexcept : interval_(interval) {}
    // The loop starts a cycle at `now` (seconds of a monotonic clock); true when it is late.
    bool start(double now) noexcept;
    // The loop waited on purpose (a back-off after errors): the next cycle starts a new plan
    // rather than counting as late.
    void restart() noexcept { due_.reset(); }

  private:
    double interval_;
    std::optional<double> due_;
};

// Every figure of one collector. Times are seconds since 1970 (0: never); gauges of a state are
// 1 or 0. Written by the collector thread only, read from any thread.
struct EngineMetrics {
    // Set once before the collector starts.
    Gauge interval_seconds;
    Gauge has_database;        // 1: the collector writes to a TSDB
    Gauge buffer_limit_bytes;  // 0: no disk buffer
    Gauge started_at;

    Counter cycles;
    Counter cycles_late;
    Histogram read_seconds;   // the read of one whole cycle
    Histogram write_seconds;  // the TSDB side of one cycle: lookups, write or buffer, replay
    Counter samples_good;
    Counter samples_uncertain;
    Counter samples_bad;  // Bad, and codes of no known quality
    Gauge last_cycle_at;  // the last cycle whose read completed

    Counter samples_stored;    // rows the TSDB took from a cycle written directly
    Counter samples_buffered;  // rows put into the disk buffer
    Counter samples_replayed;  // rows the TSDB took from the buffer
    Counter samples_dropped;   // rows given up: no buffer, buffer failure, buffer full, refused
    Gauge buffered_samples;    // rows waiting in the buffer now
    Gauge buffer_bytes;
    Gauge oldest_buffered_at;  // the time of the oldest row waiting in the buffer

    Gauge opc_connected;
    Gauge db_connected;
    Gauge db_away_since;  // 0 while connected
    Counter opc_reconnects;
    Counter db_reconnects;
    Gauge unregistered_tags;
    Gauge subscription_items_live{-1.0};  // -1: reads, or not known yet
    Gauge last_write_at;

    void note_qualities(std::size_t good, std::size_t uncertain, std::size_t bad) noexcept {
        samples_good.add(good);
        samples_uncertain.add(uncertain);
        samples_bad.add(bad);
    }
    void note_database(bool connected, double now) noexcept;
};

// Seconds since 1970 now, as the figures' times are kept.
double unix_now() noexcept;

// The build's version, as the version metric reports it.
const char* build_version() noexcept;

// The figures in Prometheus' text exposition format (version 0.0.4).
std::string render_prometheus(const EngineMetrics& metrics);

// Whether the collector does its work, for a health check: collecting, and writing or buffering
// for a short outage with room left. `reason` says what is wrong when it is not.
struct Health {
    bool ok = false;
    std::string status;  // "ok", "replaying", "buffering", or "failing"
    std::string reason;
};
Health evaluate_health(const EngineMetrics& metrics, double now);
// A short JSON object: the status, the reason, and the figures that explain it.
std::string health_json(const Health& health, const EngineMetrics& metrics, double now);

}  // namespace vantrel::korrin
