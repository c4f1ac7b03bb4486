// spdlog sinks behind the process-wide logger: the rotating file, handed to a background
// worker, and the console sink on standard error, written by the logging thread. Both keep their
// own line format even if someone calls spdlog::set_pattern().
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/details/log_msg_buffer.h>
#include <spdlog/formatter.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>

#include "lumvane/rotating_sink.h"

namespace vantrel::lumvane::detail {

// "%Y-%m-%d %H:%M:%S - %n - %* - %v": time, logger name, upper-case level, message. The console
// variant wraps time in green, name in cyan and level in the level's colour when `colour`.
std::unique_ptr<spdlog::formatter> make_line_formatter(bool console, bool colour);

// The sequenced daily rotating file as an ordinary spdlog sink, in the file's line format.
// Errors of the file (a full disk) reach the caller of log().
class RotatingFileSink final : public spdlog::sinks::base_sink<std::mutex> {
  public:
    explicit RotatingFileSink(std::shared_ptr<SequencedDailyRotatingSink> file);
    const std::shared_ptr<SequencedDailyRotatingSink>& file() const { return file_; }

  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override;
    void flush_() override;
    void set_pattern_(const std::string&) override {}
    void set_formatter_(std::unique_ptr<spdlog::formatter>) override {}

  private:
    std::shared_ptr<SequencedDailyRotatingSink> file_;
};

// Records that a sink could not take, told on standard error: at the first loss, then at most
// once a minute while losses go on, and once more when records are taken again.
class LossReport {
  public:
    using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;
    explicit LossReport(SteadyClock clock = {}, std::FILE* stream = stderr);

    void lost(const char* why) noexcept;
    void written() noexcept {
        if (failing_.load(std::memory_order_relaxed)) {
            recovered();
        }
    }

  private:
    void recovered() noexcept;

    SteadyClock clock_;
    std::FILE* stream_;
    std::mutex mutex_;
    std::atomic<bool> failing_{false};
    std::size_t lost_ = 0;  // since the losses began
    std::optional<std::chrono::steady_clock::time_point> last_report_;
};

// Copies each record on the caller's thread and queues it; one worker hands the records to
// `target`, any sink, in order. A full queue makes the caller wait rather than drop a record.
// A record the target cannot take is counted and reported (LossReport), never raised.
class QueuedSink final : public spdlog::sinks::base_sink<std::mutex> {
  public:
    explicit QueuedSink(spdlog::sink_ptr target, std::size_t capacity = 8192,
                        LossReport::SteadyClock clock = {}, std::FILE* report_stream = stderr);
    ~QueuedSink() override;

    // Writes out everything queued, stops the worker and flushes the target. Records that
    // still arrive afterwards are handed to the target at once by the caller.
    void shutdown() noexcept;
    // Waits until everything queued so far is written, then flushes the target.
    void drain() noexcept;

    const spdlog::sink_ptr& target() const { return target_; }

  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override;
    void flush_() override;
    void set_pattern_(const std::string&) override {}
    void set_formatter_(std::unique_ptr<spdlog::formatter>) override {}

  private:
    void run();
    void write_out(const spdlog::details::log_msg& msg) noexcept;
    void flush_target() noexcept;

    spdlog::sink_ptr target_;
    const std::size_t capacity_;
    LossReport losses_;
    std::mutex queue_mutex_;
    std::condition_variable work_ready_;
    std::condition_variable space_or_idle_;
    std::deque<spdlog::details::log_msg_buffer> queue_;
    bool stopping_ = false;
    bool stopped_ = false;
    bool busy_ = false;
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
