// The process-wide logger: configured once from the logging section of config.ini, with a
// sequenced daily rotating file (written by a background worker) and an optional console
// sink on standard error. Module loggers share those sinks and supply `{name}`.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include <spdlog/logger.h>

namespace vantrel::common {
class IniFile;
}  // namespace vantrel::common

namespace vantrel::lumvane {

// The configuration file could not be read; what() is "无法读取配置文件：" + path.
class ConfigFileNotFound : public std::runtime_error {
  public:
    explicit ConfigFileNotFound(const std::string& ini_path);
    const std::string& path() const noexcept { return path_; }

  private:
    std::string path_;
};

// The logging section of config.ini as typed values, with its fallbacks: log_dir "log" (taken
// from the working directory when relative), prefix "default", level INFO, max_bytes_mb 2,
// retention_days 7, console true.
struct LoggingSettings {
    std::string log_dir = "log";  // as written
    std::string prefix = "default";
    spdlog::level::level_enum level = spdlog::level::info;
    double max_bytes_mb = 2.0;
    std::int64_t retention_days = 7;  // 0 or less: old files are never deleted
    bool console = true;
};

// Reads `section` of `ini`. Throws vantrel::common::IniError for a value of the wrong type,
// std::invalid_argument for an unknown level or a file size that is not above 0.
LoggingSettings read_logging_settings(const common::IniFile& ini,
                                      const std::string& section = "VantrelLogging");

// Configures the process-wide logger once (later calls return it at once and read nothing).
// Every logger in spdlog's registry, the default logger and later get_logger() loggers write
// to the new sinks. Throws ConfigFileNotFound, vantrel::common::IniError for a value of the
// wrong type, std::invalid_argument for an unknown level, std::filesystem::filesystem_error
// when the log directory or first file cannot be created; the set-up then stays undone.
std::shared_ptr<spdlog::logger> setup_logging_from_ini(
    const std::string& ini_path = "config.ini", const std::string& section = "VantrelLogging");

// The named module logger, sharing the process-wide sinks. Before the set-up it writes to
// standard error.
std::shared_ptr<spdlog::logger> get_logger(const std::string& name);

// Whether setup_logging_from_ini has succeeded (the module's ready flag).
bool _logging_ready() noexcept;

// Drains the file worker and closes the log file; a later set-up configures afresh. Safe while
// other threads log: the loggers keep their sinks, and every record logged before, during or
// after the call reaches the file (after the worker has stopped, written by the thread that
// logs). At exit the file worker is drained by itself (no record is lost), without this call.
void shutdown_logging() noexcept;

// Waits until every record handed to the file worker so far is written and flushed.
void flush_logging() noexcept;

// `raw_dir` if absolute, else the current working directory joined with it.
std::string _resolve_log_dir(const std::string& raw_dir);
bool _is_absolute_path(const std::string& p);

// Level names as configured ("DEBUG", "INFO", "WARNING", "ERROR", any letter case; also
// "TRACE", "CRITICAL"). Throws std::invalid_argument for anything else.
spdlog::level::level_enum parse_level_name(const std::string& name);
// The upper-case name printed in log lines: DEBUG, INFO, WARNING, ERROR (TRACE, CRITICAL).
const char* level_display_name(spdlog::level::level_enum level) noexcept;

}  // namespace vantrel::lumvane
