// Process-wide logging set-up from config.ini, and module loggers sharing its sinks.
#include "lumvane/logging.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <vector>

#include <spdlog/spdlog.h>

#include "common/ini.h"
#include "sinks.h"
#include "spdlog_support/named_logger.h"

namespace vantrel::lumvane {

namespace {

struct State {
    std::mutex mutex;
    bool ready = false;
    bool exit_hook = false;
    std::vector<spdlog::sink_ptr> sinks;
    // What every logger holds; `sinks` are its targets.
    std::shared_ptr<detail::SwitchSink> switch_sink = std::make_shared<detail::SwitchSink>();
    std::shared_ptr<detail::QueuedSink> file;
    std::shared_ptr<SequencedDailyRotatingSink> file_target;  // what `file` writes to
    spdlog::level::level_enum level = spdlog::level::info;
};

// Never destroyed: loggers may still write during static destruction.
State& state() {
    static State* s = new State;
    return *s;
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    });
    return text;
}

// Gives every registered logger, and the default one, the sinks and level of the moment. The
// sinks change behind the switch sink; a logger's own list is set only when it does not hold
// the switch sink yet (a logger made elsewhere), which happens before other threads log.
void apply_sinks(State& s, const std::vector<spdlog::sink_ptr>& sinks,
                 spdlog::level::level_enum level) {
    s.switch_sink->set_targets(sinks);
    const std::vector<spdlog::sink_ptr> held{s.switch_sink};
    const auto give = [&](const std::shared_ptr<spdlog::logger>& l) {
        if (l->sinks() != held) {
            l->sinks() = held;
        }
        l->set_level(level);
    };
    spdlog::apply_all(give);
    give(spdlog::default_logger());
}

// Before the set-up, records go to standard error; the default logger is named "vantrel" so
// that `{name}` is never empty.
void install_initial_locked(State& s) {
    if (!s.sinks.empty()) {
        return;
    }
    s.sinks.push_back(std::make_shared<detail::ConsoleSink>(stderr));
    auto logger = std::make_shared<spdlog::logger>("vantrel", s.switch_sink);
    logger->set_level(s.level);
    spdlog::set_default_logger(logger);
    apply_sinks(s, s.sinks, s.level);
}

const bool initial_installed = [] {
    State& s = state();
    std::lock_guard lock(s.mutex);
    install_initial_locked(s);
    return true;
}();

}  // namespace

ConfigFileNotFound::ConfigFileNotFound(const std::string& ini_path)
    : std::runtime_error("无法读取配置文件：" + ini_path), path_(ini_path) {}

spdlog::level::level_enum parse_level_name(const std::string& name) {
    const std::string u = upper(name);
    if (u == "TRACE")
        return spdlog::level::trace;
    if (u == "DEBUG")
        return spdlog::level::debug;
    if (u == "INFO")
        return spdlog::level::info;
    if (u == "WARNING")
        return spdlog::level::warn;
    if (u == "ERROR")
        return spdlog::level::err;
    if (u == "CRITICAL")
        return spdlog::level::critical;
    throw std::invalid_argument("unknown log level '" + name +
                                "' (use DEBUG, INFO, WARNING or ERROR)");
}

const char* level_display_name(spdlog::level::level_enum level) noexcept {
    switch (level) {
        case spdlog::level::trace:
            return "TRACE";
        case spdlog::level::debug:
            return "DEBUG";
        case spdlog::level::info:
            return "INFO";
        case spdlog::level::warn:
            return "WARNING";
        case spdlog::level::err:
            return "ERROR";
        case spdlog::level::critical:
            return "CRITICAL";
        default:
            return "OFF";
    }
}

bool _is_absolute_path(const std::string& p) {
    return std::filesystem::path(p).is_absolute();
}

std::string _resolve_log_dir(const std::string& raw_dir) {
    if (_is_absolute_path(raw_dir)) {
        return raw_dir;
    }
    return (std::filesystem::current_path() / raw_dir).string();
}

bool _logging_ready() noexcept {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.ready;
}

LoggingSettings read_logging_settings(const common::IniFile& ini, const std::string& section) {
    LoggingSettings settings;
    settings.log_dir = ini.get(section, "log_dir", settings.log_dir);
    settings.prefix = ini.get(section, "prefix", settings.prefix);
    const std::string level_name = upper(ini.get(section, "level", "INFO"));
    settings.max_bytes_mb = ini.get_real(section, "max_bytes_mb", settings.max_bytes_mb);
    settings.retention_days = ini.get_int(section, "retention_days", settings.retention_days);
    settings.console = ini.get_bool(section, "console", settings.console);
    settings.level = parse_level_name(level_name);
    // A limit of no bytes would start a new file for every record, thousands a minute.
    if (!(settings.max_bytes_mb * 1024.0 * 1024.0 >= 1.0)) {
        throw std::invalid_argument("[" + section + "] max_bytes_mb must be above 0, not " +
                                    ini.get(section, "max_bytes_mb", "") +
                                    " (the size of one log file in MiB, e.g. 2)");
    }
    return settings;
}

std::shared_ptr<spdlog::logger> setup_logging_from_ini(const std::string& ini_path,
                                                       const std::string& section) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    (void)initial_installed;
    install_initial_locked(s);
    if (s.ready) {
        return spdlog::default_logger();
    }

    common::IniFile ini;
    try {
        ini = common::IniFile::read_file(ini_path);
    } catch (const common::IniUnreadableError&) {
        throw ConfigFileNotFound(ini_path);
    }
    const LoggingSettings settings = read_logging_settings(ini, section);
    const std::string log_dir = _resolve_log_dir(settings.log_dir);
    const std::string& prefix = settings.prefix;
    const spdlog::level::level_enum level = settings.level;
    const std::int64_t retention = settings.retention_days;
    const bool console = settings.console;
    const auto max_bytes =
        static_cast<std::int64_t>(std::min(settings.max_bytes_mb * 1024.0 * 1024.0, 9.0e18));
    const int retention_days = static_cast<int>(std::clamp<std::int64_t>(retention, -1, 1'000'000));

    // The new sinks are built before the old ones are dropped, so a failure here (say, a log
    // directory that cannot be created) leaves logging as it was.
    auto file_target =
        std::make_shared<SequencedDailyRotatingSink>(log_dir, prefix, max_bytes, retention_days);
    auto file = std::make_shared<detail::QueuedSink>(
        std::make_shared<detail::RotatingFileSink>(file_target));
    file->set_level(level);
    std::vector<spdlog::sink_ptr> sinks{file};
    if (console) {
        auto console_sink = std::make_shared<detail::ConsoleSink>(stderr);
        console_sink->set_level(level);
        sinks.push_back(std::move(console_sink));
    }
    apply_sinks(s, sinks, level);
    spdlog::set_level(level);

    if (s.file) {
        s.file->shutdown();
        s.file_target->close();
    }
    s.file = std::move(file);
    s.file_target = std::move(file_target);
    s.sinks = std::move(sinks);
    s.level = level;
    s.ready = true;
    if (retention_days <= 0) {
        s.switch_sink->log(spdlog::details::log_msg(
            "lumvane", spdlog::level::info,
            fmt::format("retention_days is {}: old log files are never deleted", retention)));
    }
    if (!s.exit_hook) {
        s.exit_hook = true;
        // At exit only the worker is drained and stopped; the sinks stay in place, and any
        // record that comes later is written to the file at once by its own thread.
        std::atexit([] {
            State& st = state();
            std::lock_guard exit_lock(st.mutex);
            if (st.file) {
                st.file->shutdown();
                st.file_target->close();
            }
        });
    }
    return spdlog::default_logger();
}

std::shared_ptr<spdlog::logger> get_logger(const std::string& name) {
    if (auto existing = spdlog::get(name)) {
        return existing;
    }
    // Created under the set-up's lock, so that a logger made while the set-up runs copies the
    // default logger either before the new level is given to all or after.
    State& s = state();
    std::lock_guard lock(s.mutex);
    install_initial_locked(s);
    return spdlog_support::named_logger(name);
}

std::shared_ptr<SequencedDailyRotatingSink> detail::active_file_sink() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.file_target;
}

std::vector<spdlog::sink_ptr> detail::active_sinks() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.sinks;
}

std::vector<spdlog::sink_ptr> detail::sinks_behind(const std::shared_ptr<spdlog::logger>& l) {
    const auto& sinks = l->sinks();
    if (sinks.size() == 1) {
        if (auto sw = std::dynamic_pointer_cast<detail::SwitchSink>(sinks[0])) {
            return sw->targets();
        }
    }
    return sinks;
}

void flush_logging() noexcept {
    State& s = state();
    std::shared_ptr<detail::QueuedSink> file;
    {
        std::lock_guard lock(s.mutex);
        file = s.file;
    }
    if (file) {
        file->drain();
    }
}

void shutdown_logging() noexcept {
    State& s = state();
    std::lock_guard lock(s.mutex);
    // The sinks stay where they are: swapping them under a thread that logs would be a race,
    // and a record that comes during or after this call is appended to the file by its own
    // thread once the worker has stopped, never dropped. The next set-up switches them.
    if (s.file) {
        s.file->shutdown();
        s.file_target->close();
        s.file.reset();
    }
    s.ready = false;
}

}  // namespace vantrel::lumvane
