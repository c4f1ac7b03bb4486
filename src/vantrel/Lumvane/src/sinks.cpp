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

QueuedFileSink::QueuedFileSink(std::shared_ptr<SequencedDailyRotatingSink> target,
                               std::size_t capacity)
    : spdlog::sinks::base_sink<std::mutex>(make_line_formatter(false, false)),
      target_(std::move(target)),
      capacity_(capacity == 0 ? 1 : capacity),
      worker_([this] { run(); }) {}

QueuedFileSink::~QueuedFileSink() {
    shutdown();
}

void QueuedFileSink::sink_it_(const spdlog::details::log_msg& msg) {
    spdlog::memory_buf_t formatted;
    formatter_->format(msg, formatted);
    std::string text(formatted.data(), formatted.size());
    std::unique_lock lock(queue_mutex_);
    if (stopped_) {
        lock.unlock();
        write_out(text);
        target_->flush();
        return;
    }
    space_or_idle_.wait(lock, [&] { return queue_.size() < capacity_ || stopped_; });
    if (stopped_) {
        lock.unlock();
        write_out(text);
        return;
    }
    queue_.push_back(std::move(text));
    work_ready_.notify_one();
}

void QueuedFileSink::flush_() {
    drain();
}

void QueuedFileSink::drain() noexcept {
    {
        std::unique_lock lock(queue_mutex_);
        space_or_idle_.wait(lock, [&] { return (queue_.empty() && !busy_) || stopped_; });
    }
    target_->flush();
}

void QueuedFileSink::shutdown() noexcept {
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
    target_->close();
}

void QueuedFileSink::run() {
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
        std::deque<std::string> batch;
        batch.swap(queue_);
        busy_ = true;
        space_or_idle_.notify_all();
        lock.unlock();
        for (const std::string& text : batch) {
            write_out(text);
        }
        lock.lock();
        busy_ = false;
        space_or_idle_.notify_all();
    }
}

void QueuedFileSink::write_out(const std::string& text) noexcept {
    try {
        target_->write(text);
    } catch (const std::exception& e) {
        // A full disk must not take the program down; say so on standard error, sparingly.
        if (write_errors_++ % 1000 == 0) {
            std::fprintf(stderr, "Logging: a record could not be written to the log file: %s\n",
                         e.what());
        }
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
