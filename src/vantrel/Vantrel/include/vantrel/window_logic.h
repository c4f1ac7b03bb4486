// The decisions behind the main window's slots, free of widgets so that tests check them
// directly: status colours, the database choice, port text, settings write-back, and merging
// a cycle's samples into the table rows.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <QString>
#include <QVariant>

#include "korrin/metrics.h"
#include "korrin/types.h"
#include "vantrel/table_model.h"

namespace vantrel::desktop {

inline constexpr const char* kStyleIdle = "color: gray";
inline constexpr const char* kStyleBusy = "color: orange";
inline constexpr const char* kStyleGood = "color: green";
inline constexpr const char* kStyleBad = "color: red";

// The style sheet of the OPC status line for a status text, by the first keyword it holds
// (any letter case): "disconnected" red, "connected"/"success" green, "failed"/"error" red,
// "collect"/"reconnect"/"retry" orange, else gray.
QString status_style_sheet(const QString& status);

// Which database the window opens at start-up: the configured name, else "tsdb_default",
// else the first offered; nothing when none is offered.
std::optional<int> choose_database_index(const std::vector<std::string>& available,
                                         const std::string& configured);

// The discovery port typed in the port field: its number when it is all decimal digits (and
// fits a port), else 0.
int port_from_text(const QString& text);

// What the window writes back to config.ini when collection starts.
struct CollectionConfig {
    std::string dbname;
    std::string opc_host;
    std::string opc_schema;
    std::string opc_type;
    std::string opc_port;                     // as typed
    std::optional<std::string> tag_csv_path;  // only after an import
};

// Updates those keys in the file (created when missing) and keeps every other line: comments,
// blank lines and order stay. The file is replaced atomically. Throws common::IniError for an
// unreadable or malformed file, std::filesystem::filesystem_error when it cannot be written.
void save_collection_config(const std::filesystem::path& ini_path, const CollectionConfig& cfg);

// A sample value as the table shows it: numbers and text unchanged, an empty value as empty
// text.
QVariant table_value(const korrin::Value& value);

// The read and write histograms' totals at the last refresh of the figures, so that each
// refresh shows the mean time of the cycles since the one before.
struct FigureMarks {
    std::uint64_t reads = 0;
    double read_seconds = 0.0;
    std::uint64_t writes = 0;
    double write_seconds = 0.0;
    QString read_text = QStringLiteral("-");
    QString write_text = QStringLiteral("-");
};

// The collector's figures as the status bar's tooltip shows them, one per line: cycles and late
// cycles, the mean read and write time since the last refresh (the last known when no cycle
// came between), buffered samples, and the last error ("none" when empty). Moves `marks` on.
QString figures_text(const korrin::EngineMetrics& metrics, FigureMarks& marks,
                     const QString& last_error);

// Writes each row's value and quality from the cycle's samples, by tag name (the last sample
// of a name wins); a row whose tag is missing gets NaN and "uncertain".
void merge_results(const korrin::CycleResults& results, TableRows& rows);

}  // namespace vantrel::desktop
