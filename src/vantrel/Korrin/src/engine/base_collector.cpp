// The collector thread's lifecycle: construction rules, start/join/stop, and the waits that
// stop() cuts short.
#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "korrin/base_collector.h"
#include "korrin/schema.h"
#include "log.h"

namespace vantrel::korrin {

namespace {

TagSupplier choose_supplier(TagSupplier supplier,
                            std::shared_ptr<const std::vector<std::string>> tags,
                            const TagTableSupplier& table_supplier) {
    if (supplier) {
        return supplier;
    }
    if (tags) {
        // The caller's list as it is at each cycle, so later changes are seen.
        return [tags = std::move(tags)] { return *tags; };
    }
    if (table_supplier) {
        // The cycle reads the table itself; this serves whoever asks for the names.
        return [table_supplier] {
            const TagTableRef table = table_supplier();
            return table ? table->names : std::vector<std::string>{};
        };
    }
    throw std::invalid_argument("Either 'get_tags_func' or 'tags' must be provided.");
}

double steady_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

BaseQevCollectorThread::BaseQevCollectorThread(Options options)
    : server_schema(std::move(options.server_schema)),
      protocol_type(detect_protocol(server_schema)),
      sample_interval(options.sample_interval),
      batch_size(options.batch_size),
      status_notify(std::move(options.status_notify)),
      sync(options.sync),
      get_tags_func(choose_supplier(std::move(options.get_tags_func), std::move(options.tags),
                                    options.get_tag_table_func)),
      metrics_(std::move(options.metrics)),
      opc_library_factory_(options.opc_library_factory ? std::move(options.opc_library_factory)
                                                       : default_opc_library_factory()),
      clock_(std::move(options.clock)),
      sleeper_(std::move(options.sleeper)),
      subscribe_(options.subscribe),
      get_tag_table_func_(std::move(options.get_tag_table_func)) {
    if (metrics_) {
        metrics_->interval_seconds.set(sample_interval);
    }
}

BaseQevCollectorThread::~BaseQevCollectorThread() {
    stop_and_join();
    // Single-step users may leave the source open; the handle must not outlive its owner.
    if (qev) {
        try {
            if (source != QEV_INVALID_HANDLE) {
                qev->destroy_source(source);
            }
            qev->destroy();
        } catch (const std::exception& e) {
            log().warn("Releasing the OPC library failed: {}", e.what());
        }
    }
}

void BaseQevCollectorThread::start() {
    if (started_.exchange(true)) {
        throw std::runtime_error("threads can only be started once");
    }
    {
        std::lock_guard lock(alive_mutex_);
        alive_ = true;
    }
    thread_ = std::thread([this] { thread_main_(); });
}

void BaseQevCollectorThread::thread_main_() noexcept {
    try {
        run();
    } catch (const std::exception& e) {
        log().error("OPC collector thread ended by an error: {}", e.what());
    } catch (...) {
        log().error("OPC collector thread ended by an unknown error");
    }
    {
        std::lock_guard lock(alive_mutex_);
        alive_ = false;
        alive_cv_.notify_all();
    }
    if (delete_on_exit_) {
        // Released from one of its own callbacks: nothing else will touch the object now.
        thread_.detach();
        delete this;
    }
}

void CollectorDeleter::operator()(BaseQevCollectorThread* collector) const noexcept {
    if (collector == nullptr) {
        return;
    }
    if (collector->thread_.joinable() &&
        collector->thread_.get_id() == std::this_thread::get_id()) {
        collector->delete_on_exit_ = true;
        collector->request_stop_();
        return;
    }
    collector->stop_and_join();
    delete collector;
}

bool BaseQevCollectorThread::is_alive() const {
    std::lock_guard lock(alive_mutex_);
    return alive_;
}

void BaseQevCollectorThread::join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
}

bool BaseQevCollectorThread::join(std::chrono::milliseconds timeout) {
    {
        std::unique_lock lock(alive_mutex_);
        if (!alive_cv_.wait_for(lock, timeout, [this] { return !alive_; })) {
            return false;
        }
    }
    join();
    return true;
}

void BaseQevCollectorThread::stop() {
    log().info("Stopping OPC collector thread...");
    notify_status("Stopping OPC collector thread...");
    request_stop_();
}

void BaseQevCollectorThread::request_stop_() noexcept {
    {
        // Under the wait's mutex, so a waiter cannot miss the change between test and sleep.
        std::lock_guard lock(wake_mutex_);
        running_.store(false);
    }
    wake_cv_.notify_all();
    interrupt_waits();
}

void BaseQevCollectorThread::stop_and_join() noexcept {
    request_stop_();
    if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id()) {
        // Destroyed by its own thread without CollectorDeleter: joining itself is impossible,
        // and a joinable std::thread would end the process.
        log().warn("OPC collector destroyed by its own thread");
        thread_.detach();
        return;
    }
    join();
}

double BaseQevCollectorThread::now_seconds() const {
    return clock_ ? clock_() : steady_seconds();
}

void BaseQevCollectorThread::sleep_seconds(double seconds) {
    if (sleeper_) {
        sleeper_(seconds);
        return;
    }
    if (!(seconds > 0.0)) {
        return;
    }
    // Far beyond any interval in use, and safe from overflow when added to the clock.
    constexpr double kLongestWait = 1.0e7;
    seconds = std::min(seconds, kLongestWait);
    std::unique_lock lock(wake_mutex_);
    wake_cv_.wait_for(lock, std::chrono::duration<double>(seconds),
                      [this] { return !running_.load(); });
}

void BaseQevCollectorThread::notify_status(const std::string& text) const {
    if (status_notify) {
        status_notify(text);
    }
}

void BaseQevCollectorThread::opc_error(const std::string& message) {
    ++consecutive_errors;
    log().error("{}", message);
    notify_status(message);
}

}  // namespace vantrel::korrin
