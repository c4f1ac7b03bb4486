// The console's lifecycle: construction, the run loop, the collector's start and stop, the
// queue drain, the status line, the callbacks and the single-step mode.
#include "pellumar/pellumar.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <exception>
#include <system_error>
#include <thread>

#include "console_log.h"
#include "korrin/tag_list.h"
#include "lumvane/logging.h"
#include "service_notify.h"

namespace vantrel::pellumar {

using namespace detail;

namespace {

double wall_clock_seconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Set by the SIGINT handler that run() puts in place around its loop when it pauses on its
// own. An atomic rather than a volatile flag: the signal may land on any thread of the process
// (the collector's, the one that sent it) while the loop's thread reads it.
std::atomic<bool> g_keyboard_interrupt{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");

extern "C" void on_keyboard_interrupt(int) {
    g_keyboard_interrupt.store(true);
}

// Catches SIGINT while it exists and puts back what it found. A handler that is already
// there (a host program's own) stays in charge: it is never replaced, and the loop then
// pauses as if there were none.
class KeyboardInterruptCatcher {
  public:
    KeyboardInterruptCatcher() {
        struct sigaction current {};
        if (::sigaction(SIGINT, nullptr, &current) != 0 || (current.sa_flags & SA_SIGINFO) != 0 ||
            current.sa_handler != SIG_DFL) {
            return;
        }
        struct sigaction action {};
        action.sa_handler = on_keyboard_interrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        g_keyboard_interrupt.store(false);
        installed_ = ::sigaction(SIGINT, &action, &previous_) == 0;
    }
    ~KeyboardInterruptCatcher() {
        if (installed_) {
            ::sigaction(SIGINT, &previous_, nullptr);
            // A Ctrl+C that came as the loop ended belongs to this run, not to the next one.
            g_keyboard_interrupt.store(false);
        }
    }
    KeyboardInterruptCatcher(const KeyboardInterruptCatcher&) = delete;
    KeyboardInterruptCatcher& operator=(const KeyboardInterruptCatcher&) = delete;

  private:
    struct sigaction previous_ {};
    bool installed_ = false;
};

// The loop's pause when no wait was given. It sleeps in short slices so that Ctrl+C ends the
// run within a twentieth of a second rather than after the whole pause.
std::optional<int> own_pause(std::chrono::milliseconds timeout) {
    constexpr auto kSlice = std::chrono::milliseconds(50);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (g_keyboard_interrupt.exchange(false)) {
            throw KeyboardInterrupt{};
        }
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, kSlice));
    }
}

std::filesystem::path resolve_base_dir(const std::optional<std::filesystem::path>& given) {
    if (!given) {
        return Pellumar::default_base_dir();
    }
    return std::filesystem::weakly_canonical(std::filesystem::absolute(*given));
}

}  // namespace

std::filesystem::path Pellumar::default_base_dir() {
    std::error_code ec;
    const auto exe = std::filesystem::canonical("/proc/self/exe", ec);
    if (ec) {
        throw std::runtime_error("cannot find the console's own executable: " + ec.message());
    }
    return exe.parent_path().parent_path();
}

Pellumar::Pellumar(std::optional<std::filesystem::path> base, PellumarDeps deps)
    : deps_(std::move(deps)),
      base_dir_(resolve_base_dir(base)),
      tags_(std::move(deps_.tags)),
      tag_lines_(std::move(deps_.tag_lines)),
      settings_(deps_.settings),
      // The console shows only counts: its own queue keeps no samples.
      data_deque(deps_.data_deque ? deps_.data_deque
                                  : std::make_shared<korrin::CycleQueue>(
                                        korrin::CycleQueue::kDefaultLength, false)) {
    lumvane::setup_logging_from_ini((base_dir_ / "config.ini").string());
    if (!deps_.now) {
        deps_.now = wall_clock_seconds;
    }
    if (!deps_.wait) {
        deps_.wait = own_pause;
        own_pause_ = true;
    }
    last_status_time_ = deps_.now();
    tags_changed();
}

struct Pellumar::StartupOutcome {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool ok = false;
    std::exception_ptr error;
};

Pellumar::~Pellumar() {
    // A set-up step left behind after a signal still uses this object.
    startup_stop_.request_stop();
    if (startup_worker_.joinable()) {
        startup_worker_.join();
    }
    // The collector's callbacks reach into this object, which is destroyed before it would be.
    collector_.reset();
}

void Pellumar::check_signal() {
    if (deps_.poll_signal) {
        if (auto signum = deps_.poll_signal()) {
            signal_handler(*signum);
        }
    }
}

bool Pellumar::wait_startup_step(std::chrono::milliseconds timeout) {
    auto outcome = startup_outcome_;
    std::unique_lock<std::mutex> lock(outcome->mutex);
    return outcome->finished.wait_for(lock, timeout, [&] { return outcome->done; });
}

bool Pellumar::startup_step_running() const {
    if (!startup_outcome_) {
        return false;
    }
    std::lock_guard<std::mutex> lock(startup_outcome_->mutex);
    return !startup_outcome_->done;
}

bool Pellumar::run_startup_step(bool (Pellumar::*step)()) {
    check_signal();
    if (!deps_.poll_signal) {
        return (this->*step)();
    }
    auto outcome = std::make_shared<StartupOutcome>();
    startup_outcome_ = outcome;
    startup_worker_ = std::thread([this, step, outcome] {
        bool ok = false;
        std::exception_ptr error;
        try {
            ok = (this->*step)();
        } catch (...) {
            error = std::current_exception();
        }
        std::lock_guard<std::mutex> lock(outcome->mutex);
        outcome->done = true;
        outcome->ok = ok;
        outcome->error = error;
        outcome->finished.notify_all();
    });
    // A short poll keeps a signal's latency far below a second at no measurable cost.
    while (!wait_startup_step(std::chrono::milliseconds(20))) {
        const auto signum = deps_.poll_signal();
        if (!signum) {
            continue;
        }
        log_info("Received signal " + std::to_string(*signum) + ", shutting down...");
        // Database calls of the step end once asked; a step that cannot be cut short is left
        // to the process exit (the caller sees startup_step_running()).
        startup_stop_.request_stop();
        if (wait_startup_step(deps_.startup_cancel_grace)) {
            startup_worker_.join();
            // The step may have got as far as starting the collector.
            stop();
        }
        throw ProcessExit{0};
    }
    startup_worker_.join();
    if (outcome->error) {
        std::rethrow_exception(outcome->error);
    }
    return outcome->ok;
}

bool Pellumar::run() {
    log_info("Starting Pellumar...");
    if (!run_startup_step(&Pellumar::load_config)) {
        log_error("Failed to load configuration");
        return false;
    }
    if (!run_startup_step(&Pellumar::load_tags_from_csv)) {
        log_error("Failed to load tags from CSV");
        return false;
    }
    register_later_ = false;
    if (!run_startup_step(&Pellumar::setup_database_objects)) {
        if (!settings_.store.start_without_database || !database_unreachable_) {
            log_error("Failed to setup database objects");
            return false;
        }
        log_warning(
            "The database cannot be reached: collecting into the buffer until it answers, then "
            "registering the source and the tags (start_without_database = true)");
        if (settings_.store.buffer_dir.empty()) {
            log_warning("No buffer_dir is set: samples are lost until the database answers");
        }
        register_later_ = true;
    }
    if (!run_startup_step(&Pellumar::start_collection)) {
        log_error("Failed to start data collection");
        return false;
    }

    try {
        // Only around the loop: during the set-up Ctrl+C still ends the process at once, and
        // a second one while the collector stops below is not swallowed.
        std::optional<KeyboardInterruptCatcher> catcher;
        if (own_pause_) {
            catcher.emplace();
        }
        try {
            log_info("Data collection is running. Press Ctrl+C to stop.");
            notify_service("READY=1");
            while (running_.load()) {
                if (auto signum = deps_.wait(std::chrono::milliseconds(1000))) {
                    signal_handler(*signum);
                }
                process_data_queue();
                print_status();
                pet_watchdog();
            }
        } catch (const KeyboardInterrupt&) {
            log_info("Received keyboard interrupt");
        } catch (const std::exception& e) {
            log_error(std::string("Unexpected error in main loop: ") + e.what());
        }
    } catch (...) {
        // A process exit in progress: the collector is still stopped on the way out.
        stop();
        throw;
    }
    stop();
    log_info("Pellumar stopped");
    return true;
}

korrin::OPCCollector::Options Pellumar::collector_options() {
    korrin::OPCCollector::Options options{
        .opc_schema = settings_.opc.opc_schema,
        .data_deque = data_deque,
        .tsdb_cfg = settings_.tsdb,
        .sample_interval = settings_.opc.collection_interval,
        .batch_size = settings_.opc.batch_size,
        .status_notify = [this](const std::string& status) { status_callback(status); },
        .db_status_notify = [this](bool success,
                                   std::int64_t count) { db_status_callback(success, count); },
    };
    if (deps_.opc_library_factory) {
        options.opc_library_factory = deps_.opc_library_factory;
    }
    if (deps_.tsdb_client) {
        options.tsdb_client = deps_.tsdb_client;
    }
    options.timestamp_mode = settings_.store.timestamp;
    options.subscribe = settings_.acquisition.subscribed();
    options.every_change = settings_.acquisition.every_change();
    options.buffer_dir = settings_.store.buffer_dir;
    options.buffer_max_bytes = settings_.store.buffer_max_bytes;
    options.mark_outages = settings_.store.mark_outages;
    if (register_later_) {
        options.registration = later_registration();
    }
    options.metrics = metrics_;
    // The table as loaded, by value: the collector thread never reads this object's tag list,
    // and a cycle of an unchanged list costs no name work.
    options.get_tag_table_func = [table = tag_table_] { return table; };
    return options;
}

bool Pellumar::start_metrics_server() {
    if (!settings_.metrics_listen.enabled() || metrics_server_) {
        return true;
    }
    try {
        metrics_server_ =
            std::make_unique<korrin::MetricsServer>(settings_.metrics_listen, metrics_);
    } catch (const std::exception& e) {
        log_error(e.what());
        return false;
    }
    log_info("Serving metrics on http://" + metrics_server_->address() +
             "/metrics and the health check on /health");
    return true;
}

bool Pellumar::start_collection() {
    // Before the collector: a port in use stops the start while nothing runs yet.
    if (!start_metrics_server()) {
        return false;
    }
    try {
        log_info("Starting OPC data collection from: " + settings_.opc.opc_schema);
        log_info("Sample interval: " + real_text(settings_.opc.collection_interval) +
                 "s, Batch size: " + std::to_string(settings_.opc.batch_size));
        collector_ = std::make_unique<korrin::OPCCollector>(collector_options());
        stop_done_ = false;
        collector_->start();
        running_.store(true);
        log_info("Data collection started successfully");
        return true;
    } catch (const std::exception& e) {
        // After a signal the failure is the cancellation itself, not worth a line.
        if (!startup_stop_.stop_requested()) {
            log_error(std::string("Failed to start data collection: ") + e.what());
        }
        return false;
    }
}

bool Pellumar::collector_alive() const {
    return collector_ && collector_->is_alive();
}

void Pellumar::request_stop() {
    running_.store(false);
}

void Pellumar::pet_watchdog() {
    // Only a cycle that came back since the last pet counts: a collector stuck in a read, a
    // write or a lock goes silent, and the service manager restarts it. This thread pets, so a
    // hung main loop is caught as well.
    const std::uint64_t completed = collector_ ? collector_->cycles_completed.load() : 0;
    if (completed != cycles_petted_) {
        cycles_petted_ = completed;
        notify_service("WATCHDOG=1");
    }
}

void Pellumar::stop() {
    running_.store(false);
    // A collector that already had its stop and its wait is not waited for again: the signal
    // handler's stop and the one on the way out of run() would otherwise double the wait.
    if (collector_alive() && !stop_done_) {
        notify_service("STOPPING=1");
        log_info("Stopping data collection...");
        collector_->stop();
        collector_->join(deps_.stop_timeout);
        stop_done_ = true;
        if (collector_->is_alive()) {
            log_warning("Collector thread did not stop gracefully");
        } else {
            log_info("Data collection stopped");
        }
    }
}

void Pellumar::process_data_queue() {
    total_collected_ += static_cast<std::int64_t>(data_deque->drain_sample_count());
}

void Pellumar::print_status() {
    const double now = deps_.now();
    if (now - last_status_time_ >= 30.0) {
        log_info("Status - Tags: " + std::to_string(tags_.size()) +
                 ", Collected: " + std::to_string(total_collected_.load()) +
                 ", Written: " + std::to_string(total_written_.load()));
        if (settings_.acquisition.subscribed()) {
            const auto live = collector_ ? collector_->live_items() : std::nullopt;
            log_info("Acquisition: subscribed, " + std::to_string(live.value_or(0)) +
                     " items live");
        }
        const std::uint64_t buffered = collector_ ? collector_->buffered_sample_count() : 0;
        if (buffered > 0) {
            log_info(std::to_string(buffered) + " samples wait in the buffer for the TSDB");
        }
        // Each such tag was named once when first missed; this keeps the count in view.
        const std::size_t unregistered =
            tags_left_out_ + (collector_ ? collector_->unregistered_tag_count() : 0);
        if (unregistered > 0) {
            log_warning(std::to_string(unregistered) + " tags not registered");
        }
        last_status_time_ = now;
    }
}

CollectionStatistics Pellumar::get_collection_statistics() {
    CollectionStatistics stats;
    stats.total_tags = static_cast<std::int64_t>(tags_.size());
    stats.total_collected = total_collected_.load();
    stats.total_written = total_written_.load();
    stats.queue_size = static_cast<std::int64_t>(data_deque->size());
    return stats;
}

std::vector<std::string> Pellumar::get_current_tags() const {
    return tag_table_ ? tag_table_->names : std::vector<std::string>{};
}

void Pellumar::tags_changed() {
    // A name listed twice is still one tag: reading it twice would store two rows per cycle.
    tag_table_ = korrin::make_tag_table(korrin::distinct_tag_names(tags_));
}

void Pellumar::status_callback(const std::string& status) {
    log_debug("OPC Status: " + status);
}

void Pellumar::db_status_callback(bool success, std::int64_t count) {
    if (success) {
        total_written_ += count;
        log_debug("Successfully wrote " + std::to_string(count) + " records to database");
    } else {
        log_warning("Failed to write data to database");
    }
}

bool Pellumar::initialize_for_single_step() {
    try {
        log_info("Initializing for single-step collection mode...");
        if (!load_config()) {
            log_error("Failed to load configuration");
            return false;
        }
        if (!load_tags_from_csv()) {
            log_error("Failed to load tags from CSV");
            return false;
        }
        if (!setup_database_objects()) {
            log_error("Failed to setup database objects");
            return false;
        }
        log_info("Creating OPC collector for single-step mode: " + settings_.opc.opc_schema);
        collector_ = std::make_unique<korrin::OPCCollector>(collector_options());
        stop_done_ = false;
        collector_->connect_source();
        log_info("Single-step collection mode initialized successfully");
        return true;
    } catch (const std::exception& e) {
        log_error(std::string("Failed to initialize single-step collection mode: ") + e.what());
        return false;
    }
}

bool Pellumar::single_step_collection() {
    try {
        if (!collector_) {
            log_error("Collector not initialized. Call initialize_for_single_step() first.");
            return false;
        }
        collector_->collection_step();
        process_data_queue();
        log_debug("Single step collection completed");
        return true;
    } catch (const std::exception& e) {
        log_error(std::string("Error during single step collection: ") + e.what());
        return false;
    }
}

void Pellumar::cleanup_single_step() {
    if (!collector_) {
        return;
    }
    try {
        collector_->disconnect_source();
        log_info("OPC connection closed");
    } catch (const std::exception& e) {
        log_error(std::string("Error closing OPC connection: ") + e.what());
    }
}

void Pellumar::signal_handler(int signum) {
    log_info("Received signal " + std::to_string(signum) + ", shutting down...");
    stop();
    throw ProcessExit{0};
}

}  // namespace vantrel::pellumar
