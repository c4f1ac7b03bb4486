// The file and console sinks, and the line formats with upper-case level names.
#include "sinks.h"

#include <cstring>

#include <spdlog/details/os.h>
#include <spdlog/pattern_formatter.h>

#include "lumvane/logging.h"

namespace vantrel::lumvane::detail {

namespace {

constexpr const char* kGreen = "\033[32m";
constexpr const char* kCyan = "\033[36m";
constexpr const char* kReset = "\033[0m";

const char* level_colour(spdlog::level::level_enum level) {
    switch (level) {
        case spdlog::level::trace:
        case spdlog::level::debug:
            return "\033[34m\033[1m";
        case spdlog::level::info:
            return "\033[1m";
        case spdlog::level::warn:
            return "\033[33m\033[1m";
        case spdlog::level::err:
            return "\033[31m\033[1m";
        case spdlog::level::critical:
            return "\033[41m\033[1m";
        default:
            return "";
    }
}

void append(spdlog::memory_buf_t& dest, const char* text) {
    dest.append(text, text + std::strlen(text));
}

// %*: DEBUG, INFO, WARNING, ERROR (spdlog's own names are lower-case and say "warning"/"error"
// differently).
class LevelNameFlag final : public spdlog::custom_flag_formatter {
  public:
    void format(const spdlog::details::log_msg& msg, const std::tm&,
                spdlog::memory_buf_t& dest) override {
        append(dest, level_display_name(msg.level));
    }
    std::unique_ptr<custom_flag_formatter> clone() const override {
        return std::make_unique<LevelNameFlag>();
    }
};

// %G green, %K cyan, %Q the level's colour, %Z reset; nothing at all without colour.
class ColourFlag final : public spdlog::custom_flag_formatter {
  public:
    enum class Kind { green, cyan, level, reset };
    ColourFlag(Kind kind, bool enabled) : kind_(kind), enabled_(enabled) {}

    void format(const spdlog::details::log_msg& msg, const std::tm&,
                spdlog::memory_buf_t& dest) override {
        if (!enabled_) {
            return;
        }
        switch (kind_) {
            case Kind::green:
                append(dest, kGreen);
                break;
            case Kind::cyan:
                append(dest, kCyan);
                break;
            case Kind::level:
                append(dest, level_colour(msg.level));
                break;
            case Kind::reset:
                append(dest, kReset);
                break;
        }
    }
    std::unique_ptr<custom_flag_formatter> clone() const override {
        return std::make_unique<ColourFlag>(kind_, enabled_);
    }

  private:
    Kind kind_;
    bool enabled_;
};

}  // namespace

std::unique_ptr<spdlog::formatter> make_line_formatter(bool console, bool colour) {
    auto f = std::make_unique<spdlog::pattern_formatter>();
    f->add_flag<LevelNameFlag>('*');
    if (console) {
        using K = ColourFlag::Kind;
        f->add_flag<ColourFlag>('G', K::green, colour)
            .add_flag<ColourFlag>('K', K::cyan, colour)
            .add_flag<ColourFlag>('Q', K::level, colour)
            .add_flag<ColourFlag>('Z', K::reset, colour);
        f->set_pattern("%G%Y-%m-%d %H:%M:%S%Z - %K%n%Z - %Q%*%Z - %v");
    } else {
        f->set_pattern("%Y-%m-%d %H:%M:%S - %n - %* - %v");
    }
    return f;
}

RotatingFileSink::RotatingFileSink(std::shared_ptr<SequencedDailyRotatingSink> file)
    : spdlog::sinks::base_sink<std::mutex>(make_line_formatter(false, false)),
      file_(std::move(file)) {}

void RotatingFileSink::sink_it_(const spdlog::details::log_msg& msg) {
    spdlog::memory_buf_t formatted;
    formatter_->format(msg, formatted);
    file_->write(std::string_view(formatted.data(), formatted.size()));
}

void RotatingFileSink::flush_() {
    file_->flush();
}

LossReport::LossReport(SteadyClock clock, std::FILE* stream)
    : clock_(clock ? std::move(clock)
                   : SteadyClock([] { return std::chrono::steady_clock::now(); })),
      stream_(stream) {}

void LossReport::lost(const char* why) noexcept {
    std::lock_guard lock(mutex_);
    ++lost_;
    failing_.store(true, std::memory_order_relaxed);
    const auto now = clock_();
    if (last_report_ && now - *last_report_ < std::chrono::minutes(1)) {
        return;
    }
    last_report_ = now;
    // Collection itself never waits on the log; this line is all that tells records are gone.
    std::fprintf(stream_,
                 "Logging: %zu log record%s lost so far, the log file cannot be written: %s "
                 "(collection goes on)\n",
                 lost_, lost_ == 1 ? "" : "s", why);
    std::fflush(stream_);
}

void LossReport::recovered() noexcept {
    std::lock_guard lock(mutex_);
    if (!failing_.load(std::memory_order_relaxed)) {
        return;
    }
    std::fprintf(stream_, "Logging: the log file is written again; %zu log record%s lost\n", lost_,
                 lost_ == 1 ? " was" : "s were");
    std::fflush(stream_);
    failing_.store(false, std::memory_order_relaxed);
    lost_ = 0;
    last_report_.reset();
}

QueuedSink::QueuedSink(spdlog::sink_ptr target, std::size_t capacity, LossReport::SteadyClock clock,
                       std::FILE* report_stream)
    : spdlog::sinks::base_sink<std::mutex>(make_line_formatter(false, false)),
      target_(std::move(target)),
      capacity_(capacity == 0 ? 1 : capacity),
      losses_(std::move(clock), report_stream),
      worker_([this] { run(); }) {}

QueuedSink::~QueuedSink() {
    shutdown();
}

void QueuedSink::sink_it_(const spdlog::details::log_msg& msg) {
    std::unique_lock lock(queue_mutex_);
    space_or_idle_.wait(lock, [&] { return queue_.size() < capacity_ || stopped_; });
    if (stopped_) {
        lock.unlock();
        write_out(msg);
        flush_target();
        return;
    }
    queue_.emplace_back(msg);
    work_ready_.notify_one();
}

void QueuedSink::flush_() {
    drain();
}

void QueuedSink::drain() noexcept {
    {
        std::unique_lock lock(queue_mutex_);
        space_or_idle_.wait(lock, [&] { return (queue_.empty() && !busy_) || stopped_; });
    }
    flush_target();
}

void QueuedSink::shutdown() noexcept {
    {
        std::lock_guard lock(queue_mutex_);
        if (stopping_) {
            return;
        }
        stopping_ = true;
    }
    work_ready_.notify_all();
    if (worker_.joinable()) {
        worker_.join();
    }
    {
        std::lock_guard lock(queue_mutex_);
        stopped_ = true;
    }
    space_or_idle_.notify_all();
    flush_target();
}

void QueuedSink::run() {
    std::unique_lock lock(queue_mutex_);
    for (;;) {
        work_ready_.wait(lock, [&] { return !queue_.empty() || stopping_; });
        if (queue_.empty()) {
            // Stopping, and everything is written. Marked under the same lock that saw the
            // queue empty, so a record that comes later is written by its caller rather than
            // queued for a worker that is gone.
            stopped_ = true;
            space_or_idle_.notify_all();
            return;
        }
        std::deque<spdlog::details::log_msg_buffer> batch;
        batch.swap(queue_);
        busy_ = true;
        space_or_idle_.notify_all();
        lock.unlock();
        for (const auto& msg : batch) {
            write_out(msg);
        }
        // Once per batch rather than per record: a busy log costs one flush per wake-up.
        flush_target();
        lock.lock();
        busy_ = false;
        space_or_idle_.notify_all();
    }
}

void QueuedSink::write_out(const spdlog::details::log_msg& msg) noexcept {
    try {
        if (target_->should_log(msg.level)) {
            target_->log(msg);
        }
        losses_.written();
    } catch (const std::exception& e) {
        losses_.lost(e.what());
    } catch (...) {
        losses_.lost("unknown error");
    }
}

void QueuedSink::flush_target() noexcept {
    try {
        target_->flush();
    } catch (...) {
        // A flush that fails loses nothing the next write will not also report.
    }
}

SwitchSink::SwitchSink() : targets_(std::make_shared<const std::vector<spdlog::sink_ptr>>()) {
    set_level(spdlog::level::trace);  // the targets filter by their own levels
}

SwitchSink::Targets SwitchSink::current() const {
    std::lock_guard lock(mutex_);
    return targets_;
}

void SwitchSink::log(const spdlog::details::log_msg& msg) {
    // The copy keeps the targets alive while they write, even if they are switched meanwhile.
    const Targets targets = current();
    for (const auto& sink : *targets) {
        if (sink->should_log(msg.level)) {
            sink->log(msg);
        }
    }
}

void SwitchSink::flush() {
    const Targets targets = current();
    for (const auto& sink : *targets) {
        sink->flush();
    }
}

void SwitchSink::set_targets(std::vector<spdlog::sink_ptr> targets) {
    auto next = std::make_shared<const std::vector<spdlog::sink_ptr>>(std::move(targets));
    std::lock_guard lock(mutex_);
    targets_ = std::move(next);
}

std::vector<spdlog::sink_ptr> SwitchSink::targets() const {
    return *current();
}

ConsoleSink::ConsoleSink(std::FILE* stream)
    : spdlog::sinks::base_sink<std::mutex>(make_line_formatter(true, should_color(stream))),
      stream_(stream) {}

bool ConsoleSink::should_color(std::FILE* stream) {
    return spdlog::details::os::in_terminal(stream) && spdlog::details::os::is_color_terminal();
}

void ConsoleSink::sink_it_(const spdlog::details::log_msg& msg) {
    spdlog::memory_buf_t formatted;
    formatter_->format(msg, formatted);
    std::fwrite(formatted.data(), 1, formatted.size(), stream_);
    std::fflush(stream_);
}

void ConsoleSink::flush_() {
    std::fflush(stream_);
}

}  // namespace vantrel::lumvane::detail
