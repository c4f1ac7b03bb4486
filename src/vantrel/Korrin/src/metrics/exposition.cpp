// The figures as a monitoring system reads them: Prometheus' text format, and the health check's
// verdict with its short JSON answer.
#include <algorithm>
#include <cmath>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "korrin/metrics.h"

namespace vantrel::korrin {

namespace {

class Exposition {
  public:
    void family(std::string_view name, std::string_view type, std::string_view help) {
        fmt::format_to(std::back_inserter(out_), "# HELP vantrel_{} {}\n# TYPE vantrel_{} {}\n",
                       name, help, name, type);
    }
    void sample(std::string_view name, double value, std::string_view labels = {}) {
        out_ += "vantrel_";
        out_ += name;
        if (!labels.empty()) {
            out_ += '{';
            out_ += labels;
            out_ += '}';
        }
        out_ += ' ';
        number(value);
        out_ += '\n';
    }
    void counter(std::string_view name, std::string_view help, const Counter& c) {
        family(name, "counter", help);
        sample(name, static_cast<double>(c.value()));
    }
    void gauge(std::string_view name, std::string_view help, const Gauge& g) {
        family(name, "gauge", help);
        sample(name, g.value());
    }
    void histogram(std::string_view name, std::string_view help, const Histogram& h) {
        family(name, "histogram", help);
        const Histogram::Snapshot s = h.snapshot();
        const std::string bucket = std::string(name) + "_bucket";
        for (std::size_t i = 0; i < Histogram::kBounds.size(); ++i) {
            sample(bucket, static_cast<double>(s.cumulative[i]),
                   fmt::format("le=\"{}\"", Histogram::kBounds[i]));
        }
        sample(bucket, static_cast<double>(s.count()), "le=\"+Inf\"");
        sample(std::string(name) + "_sum", s.sum);
        sample(std::string(name) + "_count", static_cast<double>(s.count()));
    }
    std::string take() { return std::move(out_); }

  private:
    void number(double value) {
        if (std::isnan(value)) {
            out_ += "NaN";
        } else if (std::isinf(value)) {
            out_ += value > 0 ? "+Inf" : "-Inf";
        } else {
            fmt::format_to(std::back_inserter(out_), "{}", value);
        }
    }
    std::string out_;
};

// A label value with the three characters the format escapes.
std::string label_value(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

// A cycle that has not completed for this long means the loop is stuck, whatever else the
// figures say; a long interval gets three of its own.
double stale_after(const EngineMetrics& m) {
    return std::max(3.0 * m.interval_seconds.value(), 30.0);
}

// How long the database may be away while the buffer keeps the samples before the check
// reports it: long enough that one failed write and its reconnect go unnoticed.
double outage_grace(const EngineMetrics& m) {
    return std::max(3.0 * m.interval_seconds.value(), 10.0);
}

std::string seconds_text(double s) {
    return fmt::format("{:.0f}", std::max(0.0, s));
}

std::string json_text(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            fmt::format_to(std::back_inserter(out), "\\u{:04x}", static_cast<int>(c));
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace

std::string render_prometheus(const EngineMetrics& m) {
    Exposition e;
    e.family("build_info", "gauge", "The collector's build; the value is always 1.");
    e.sample("build_info", 1.0, "version=\"" + label_value(build_version()) + "\"");
    e.gauge("collection_interval_seconds", "The sampling interval the collector keeps.",
            m.interval_seconds);
    e.gauge("collector_start_time_seconds", "When the collector started, in seconds since 1970.",
            m.started_at);

    e.counter("cycles_total", "Collection cycles the loop has run.", m.cycles);
    e.counter("cycles_late_total",
              "Cycles that started more than half an interval after they were due.", m.cycles_late);
    e.histogram("cycle_read_duration_seconds", "Time to read every tag of one cycle.",
                m.read_seconds);
    e.histogram("cycle_write_duration_seconds",
                "Time the database side of one cycle took: lookups, write or buffer, replay.",
                m.write_seconds);
    e.gauge("last_cycle_timestamp_seconds",
            "When the last cycle's read completed, in seconds since 1970 (0: none yet).",
            m.last_cycle_at);
    e.family("samples_read_total", "counter",
             "Samples read, by quality (bad includes codes of no known quality).");
    e.sample("samples_read_total", static_cast<double>(m.samples_good.value()), "quality=\"good\"");
    e.sample("samples_read_total", static_cast<double>(m.samples_uncertain.value()),
             "quality=\"uncertain\"");
    e.sample("samples_read_total", static_cast<double>(m.samples_bad.value()), "quality=\"bad\"");

    e.counter("samples_stored_total", "Samples the database took as their cycle was written.",
              m.samples_stored);
    e.counter("samples_buffered_total",
              "Samples kept in the disk buffer because the database could not take them.",
              m.samples_buffered);
    e.counter("samples_replayed_total", "Samples the database took from the disk buffer.",
              m.samples_replayed);
    e.counter("samples_dropped_total",
              "Samples given up: no buffer or a failed one, a full buffer, or refused by the "
              "database.",
              m.samples_dropped);
    e.gauge("buffer_samples", "Samples waiting in the disk buffer.", m.buffered_samples);
    e.gauge("buffer_bytes", "Size of the disk buffer's files.", m.buffer_bytes);
    e.gauge("buffer_limit_bytes", "Largest size of the disk buffer (0: no buffer).",
            m.buffer_limit_bytes);
    e.gauge("buffer_oldest_sample_timestamp_seconds",
            "Time of the oldest sample waiting in the buffer, in seconds since 1970 (0: none).",
            m.oldest_buffered_at);

    e.gauge("opc_connected", "1 while the OPC server is connected.", m.opc_connected);
    e.gauge("database_connected", "1 while the database connection is open.", m.db_connected);
    e.counter("opc_reconnects_total", "Attempts to connect to the OPC server again.",
              m.opc_reconnects);
    e.counter("database_reconnects_total", "Attempts to connect to the database again.",
              m.db_reconnects);
    e.gauge("unregistered_tags", "Tags of the last written cycle without a database record.",
            m.unregistered_tags);
    if (m.subscription_items_live.value() >= 0.0) {
        e.gauge("subscription_items_live", "Subscribed items the server reports on.",
                m.subscription_items_live);
    }
    e.gauge("last_write_timestamp_seconds",
            "When a write to the database last succeeded, in seconds since 1970 (0: never).",
            m.last_write_at);
    return e.take();
}

Health evaluate_health(const EngineMetrics& m, double now) {
    const auto failing = [](std::string reason) {
        return Health{.ok = false, .status = "failing", .reason = std::move(reason)};
    };
    if (m.opc_connected.value() == 0.0) {
        return failing(m.cycles.value() == 0 ? "starting: not connected to the OPC server yet"
                                             : "not connected to the OPC server");
    }
    std::optional<Health> buffering;
    if (m.has_database.value() != 0.0 && m.db_connected.value() == 0.0) {
        const double limit = m.buffer_limit_bytes.value();
        if (limit <= 0.0) {
            return failing("database not connected and no buffer: samples are lost");
        }
        const double away = now - m.db_away_since.value();
        if (m.buffer_bytes.value() >= limit * 0.95) {
            return failing("database not connected for " + seconds_text(away) +
                           " s and the buffer is full: the oldest samples are dropped");
        }
        const std::string buffered =
            fmt::format("{:.0f} samples buffered", m.buffered_samples.value());
        if (m.db_away_since.value() > 0.0 && away > outage_grace(m)) {
            return failing("database not connected for " + seconds_text(away) + " s; " + buffered);
        }
        buffering = Health{
            .ok = true, .status = "buffering", .reason = "database not connected; " + buffered};
    }
    const double last_cycle = std::max(m.last_cycle_at.value(), m.started_at.value());
    if (last_cycle > 0.0 && now - last_cycle > stale_after(m)) {
        return failing(m.last_cycle_at.value() > 0.0
                           ? "no collection cycle completed for " + seconds_text(now - last_cycle) +
                                 " s"
                           : "no collection cycle completed since the start " +
                                 seconds_text(now - last_cycle) + " s ago");
    }
    if (buffering) {
        return *buffering;
    }
    if (m.buffered_samples.value() > 0.0) {
        return {.ok = true, .status = "replaying", .reason = ""};
    }
    return {.ok = true, .status = "ok", .reason = ""};
}

std::string health_json(const Health& h, const EngineMetrics& m, double now) {
    const double last = m.last_cycle_at.value();
    return fmt::format(
        "{{\"status\":{},\"reason\":{},\"cycles\":{},\"buffered_samples\":{:.0f},"
        "\"last_cycle_age_seconds\":{}}}\n",
        json_text(h.status), json_text(h.reason), m.cycles.value(), m.buffered_samples.value(),
        last > 0.0 ? fmt::format("{:.3f}", std::max(0.0, now - last)) : "null");
}

}  // namespace vantrel::korrin
