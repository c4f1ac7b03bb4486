// spdlog sinks behind the process-wide logger: the file sink, handed to a background worker,
// and the console sink on standard error, written by the logging thread. Both keep their own
// line format even if someone calls spdlog::set_pattern().
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/formatter.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>

#include "lumvane/rotating_sink.h"

namespace vantrel::lumvane::detail {

// "%Y-%m-%d %H:%M:%S - %n - %* - %v": time, logger name, upper-case level, message. The console
// variant wraps time in green, name in cyan and level in the level's colour when `colour`.
std::unique_ptr<spdlog::formatter> make_line_formatter(bool console, bool colour);

// Formats on the caller's thread and queues the text; one worker writes it to the rotating
// sink. A full queue makes the caller wait rather than drop a record.
class QueuedFileSink final : public spdlog::sinks::base_sink<std::mutex> {
  public:
    explicit QueuedFileSink(std::shared_ptr<SequencedDailyRotatingSink> target,
                            std::size_t capacity = 8192);
    ~QueuedFileSink() override;

    // Writes out everything queued, stops the worker and closes the file. Records that still
    // arrive afterwards are written at once by the caller.
    void shutdown() noexcept;
    // Waits until everything queued so far is written, then flushes the file.
    void drain() noexcept;

    const std::shared_ptr<SequencedDailyRotatingSink>& target() const { return target_; }

  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override;
    void flush_() override;
    void set_pattern_(const std::string&) override {}
    void set_formatter_(std::unique_ptr<spdlog::formatter>) override {}

  private:
    void run();
    void write_out(const std::string& text) noexcept;

    std::shared_ptr<SequencedDailyRotatingSink> target_;
    const std::size_t capacity_;
    std::mutex queue_mutex_;
    std::condition_variable work_ready_;
    std::condition_variable space_or_idle_;
    std::deque<std::string> queue_;
    bool stopping_ = false;
    bool stopped_ = false;
    bool busy_ = false;
    std::atomic<std::size_t> write_errors_{0};
    std::thread worker_;
};

// The one sink every logger holds for the life of the process. It passes each record to the
// sinks of the moment, which the set-up and shutdown change under its own lock: a logger's
// sink list is never swapped while another thread may be logging through it.
class SwitchSink final : public spdlog::sinks::sink {
  public:
    SwitchSink();
    void log(const spdlog::details::log_msg& msg) override;
    void flush() override;
    void set_pattern(const std::string&) override {}
    void set_formatter(std::unique_ptr<spdlog::formatter>) override {}

    void set_targets(std::vector<spdlog::sink_ptr> targets);
    std::vector<spdlog::sink_ptr> targets() const;

  private:
    using Targets = std::shared_ptr<const std::vector<spdlog::sink_ptr>>;
    Targets current() const;

    mutable std::mutex mutex_;
    Targets targets_;
};

// Standard error, flushed per record; colour only when standard error is a colour terminal.
class ConsoleSink final : public spdlog::sinks::base_sink<std::mutex> {
  public:
    explicit ConsoleSink(std::FILE* stream = stderr);
    // Whether standard error is a terminal that shows colour.
    static bool should_color(std::FILE* stream);

  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override;
    void flush_() override;
    void set_pattern_(const std::string&) override {}
    void set_formatter_(std::unique_ptr<spdlog::formatter>) override {}

  private:
    std::FILE* stream_;
};

// The rotating sink behind the configured file sink, or null before the set-up (for tests).
std::shared_ptr<SequencedDailyRotatingSink> active_file_sink();
// The sinks every logger currently shares (for tests).
std::vector<spdlog::sink_ptr> active_sinks();
// The sinks a logger writes to: behind the switch sink when it holds that (for tests).
std::vector<spdlog::sink_ptr> sinks_behind(const std::shared_ptr<spdlog::logger>& logger);

}  // namespace vantrel::lumvane::detail
