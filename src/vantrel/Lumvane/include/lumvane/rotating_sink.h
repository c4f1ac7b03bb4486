// SequencedDailyRotatingSink: one log file per local day and sequence number
// ({prefix}-{mm-dd}.{seq:03d}.log), rotated by size after the record that reaches the limit,
// continued numbering after a restart the same day, and retention of old files.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::lumvane {

inline constexpr const char* DATE_FMT = "%m-%d";

struct LogFileName {
    std::string prefix;
    int mm = 0;
    int dd = 0;
    int seq = 0;
};
// Parses a file name "<prefix>-<mm>-<dd>.<seq>.log": the prefix may hold hyphens, the sequence
// has three digits or more (files past 999 in one day count and expire like the rest).
// Nothing when the name has another form.
std::optional<LogFileName> parse_log_file_name(std::string_view name);

class SequencedDailyRotatingSink {
  public:
    using WallClock = std::function<std::chrono::system_clock::time_point()>;

    // Creates log_dir and opens the first free sequence of today. Throws
    // std::filesystem::filesystem_error when the directory or file cannot be created.
    SequencedDailyRotatingSink(std::string log_dir, std::string prefix, std::int64_t max_bytes,
                               int retention_days, WallClock clock = {});
    ~SequencedDailyRotatingSink();

    SequencedDailyRotatingSink(const SequencedDailyRotatingSink&) = delete;
    SequencedDailyRotatingSink& operator=(const SequencedDailyRotatingSink&) = delete;

    // Appends one complete record (with its line end). Throws std::filesystem::filesystem_error
    // when it cannot be written (a full disk, a folder that cannot be made again); the next
    // record tries again.
    void write(std::string_view message);
    void flush() noexcept;
    void close() noexcept;

    const std::string& log_dir() const noexcept { return log_dir_; }
    const std::string& prefix() const noexcept { return prefix_; }
    std::int64_t max_bytes() const noexcept { return max_bytes_; }
    int retention_days() const noexcept { return retention_days_; }
    std::filesystem::path current_path() const;
    int current_seq() const;
    std::string current_date() const;

    // Today's local date of `t` in DATE_FMT.
    static std::string format_date(std::chrono::system_clock::time_point t);

    // Internal steps, public so tests can drive them.
    std::filesystem::path _build_path(const std::string& date_str, int seq) const;
    int _init_seq_for_today();
    bool _should_rollover();
    void _rollover();
    void _new_day();
    void _cleanup_expired();

  private:
    std::FILE* _open_new_file(const std::string& date_str, int seq);
    // Starts the file again when it has been deleted under the sink (checked once a second).
    void reopen_if_deleted();
    std::chrono::system_clock::time_point now() const;

    std::string log_dir_;
    std::string prefix_;
    std::int64_t max_bytes_;
    int retention_days_;
    WallClock clock_;

    mutable std::recursive_mutex _lock;
    std::string _current_date;
    int _seq = 1;
    std::FILE* _file = nullptr;
    std::int64_t _bytes = 0;  // size of the open file: what it held when opened plus our writes
    std::optional<std::chrono::system_clock::time_point> _last_link_check;
    std::optional<std::chrono::system_clock::time_point> _last_cleanup;  // none: never ran
};

}  // namespace vantrel::lumvane
