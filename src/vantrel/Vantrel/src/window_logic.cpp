#include "vantrel/window_logic.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>
#include <unordered_map>

#include "common/ini_edit.h"

namespace vantrel::desktop {

QString status_style_sheet(const QString& status) {
    const QString lower = status.toLower();
    const auto has = [&lower](const char* word) { return lower.contains(QLatin1String(word)); };
    if (has("disconnected")) {
        return kStyleBad;
    }
    if (has("connected") || has("success")) {
        return kStyleGood;
    }
    if (has("failed") || has("error")) {
        return kStyleBad;
    }
    if (has("collect") || has("reconnect") || has("retry")) {
        return kStyleBusy;
    }
    return kStyleIdle;
}

std::optional<int> choose_database_index(const std::vector<std::string>& available,
                                         const std::string& configured) {
    const auto find = [&available](const std::string& name) -> std::optional<int> {
        for (std::size_t i = 0; i < available.size(); ++i) {
            if (available[i] == name) {
                return static_cast<int>(i);
            }
        }
        return std::nullopt;
    };
    if (auto idx = find(configured)) {
        return idx;
    }
    if (auto idx = find("tsdb_default")) {
        return idx;
    }
    if (!available.empty()) {
        return 0;
    }
    return std::nullopt;
}

int port_from_text(const QString& text) {
    if (text.isEmpty()) {
        return 0;
    }
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            return 0;
        }
    }
    bool ok = false;
    const uint port = text.toUInt(&ok);
    // A number too large for a port can never be reached; asking for it only fails later.
    return ok && port <= 65535 ? static_cast<int>(port) : 0;
}

namespace {

// Values are stored raw and read with %(key)s interpolation: a percent sign must be doubled
// to read back as itself.
std::string ini_literal(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        out += c;
        if (c == '%') {
            out += '%';
        }
    }
    return out;
}

std::string trimmed(const std::string& text) {
    return QString::fromStdString(text).trimmed().toStdString();
}

}  // namespace

void save_collection_config(const std::filesystem::path& ini_path, const CollectionConfig& cfg) {
    const std::string dbname = cfg.dbname.empty() ? "tsdb_default" : cfg.dbname;
    std::vector<common::IniValue> values = {
        {"TSDBConnection", "dbname", ini_literal(trimmed(dbname))},
        {"Vantrel", "opc_host", ini_literal(cfg.opc_host)},
        {"Vantrel", "opc_schema", ini_literal(cfg.opc_schema)},
        {"Vantrel", "opc_type", ini_literal(cfg.opc_type)},
        {"Vantrel", "opc_port", ini_literal(cfg.opc_port)},
    };
    if (cfg.tag_csv_path) {
        values.push_back({"Vantrel", "tag_csv_path", ini_literal(*cfg.tag_csv_path)});
    }
    // In place: the operator's comments, blank lines and order stay.
    common::update_ini_file(ini_path, values);
}

QVariant table_value(const korrin::Value& value) {
    struct Visitor {
        QVariant operator()(std::monostate) const { return QString(); }
        QVariant operator()(bool v) const { return v; }
        QVariant operator()(std::int64_t v) const { return static_cast<qlonglong>(v); }
        QVariant operator()(double v) const { return v; }
        QVariant operator()(const std::string& v) const { return QString::fromStdString(v); }
    };
    return std::visit(Visitor{}, value);
}

void merge_results(const korrin::CycleResults& results, TableRows& rows) {
    std::unordered_map<std::string_view, const korrin::Sample*> by_tag;
    by_tag.reserve(results.size());
    for (const auto& sample : results) {
        by_tag[sample.tag] = &sample;  // a later sample of the same tag wins
    }
    const QVariant missing_value(std::numeric_limits<double>::quiet_NaN());
    const QVariant missing_quality(QStringLiteral("uncertain"));
    for (auto& row : rows) {
        if (row.size() < 5) {
            row.resize(5);
        }
        const std::string name = row[1].toString().toStdString();
        const auto found = by_tag.find(name);
        if (found == by_tag.end()) {
            row[3] = missing_value;
            row[4] = missing_quality;
        } else {
            row[3] = table_value(found->second->value);
            row[4] = QString::fromStdString(found->second->quality);
        }
    }
}

QString figures_text(const korrin::EngineMetrics& metrics, FigureMarks& marks,
                     const QString& last_error) {
    const auto mean_ms = [](std::uint64_t count, double seconds, std::uint64_t& mark_count,
                            double& mark_seconds, QString& shown) {
        if (count > mark_count) {
            const double ms = (seconds - mark_seconds) * 1000.0 / double(count - mark_count);
            shown = QStringLiteral("%1 ms").arg(ms, 0, 'f', 1);
        }
        mark_count = count;
        mark_seconds = seconds;
        return shown;
    };
    const auto read = metrics.read_seconds.snapshot();
    const auto write = metrics.write_seconds.snapshot();
    const QString read_text =
        mean_ms(read.count(), read.sum, marks.reads, marks.read_seconds, marks.read_text);
    const QString write_text =
        mean_ms(write.count(), write.sum, marks.writes, marks.write_seconds, marks.write_text);
    return QStringLiteral(
               "Cycles: %1 (%2 late)\nRead time: %3\nWrite time: %4\n"
               "Buffered samples: %5\nLast error: %6")
        .arg(metrics.cycles.value())
        .arg(metrics.cycles_late.value())
        .arg(read_text, write_text)
        .arg(static_cast<qulonglong>(metrics.buffered_samples.value()))
        .arg(last_error.isEmpty() ? QStringLiteral("none") : last_error);
}

}  // namespace vantrel::desktop
