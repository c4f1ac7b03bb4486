// The console front end: loads config.ini and the tag list, registers the source and tags in
// the TSDB, and runs one collector until a signal arrives, or steps it one cycle at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "korrin/cycle_queue.h"
#include "korrin/metrics.h"
#include "korrin/metrics_server.h"
#include "korrin/opc_collector.h"
#include "korrin/opc_library.h"
#include "korrin/settings.h"
#include "korrin/tag_table.h"
#include "korrin/tsdb_client.h"
#include "korrin/types.h"

namespace vantrel::pellumar {

// Thrown to end the process with a status while unwinding through run(), the way a signal
// ends the console: run() still stops the collector on the way out but logs nothing more.
struct ProcessExit {
    int status = 0;
};

// Thrown by the main loop's own pause (no PellumarDeps::wait given) when SIGINT arrived, so
// that a console run without the program's signal hand-over still ends cleanly on Ctrl+C; a
// substituted wait may throw it too.
struct KeyboardInterrupt {};

struct CollectionStatistics {
    std::int64_t total_tags = 0;
    std::int64_t total_collected = 0;
    std::int64_t total_written = 0;
    std::int64_t queue_size = 0;
};

// What tests and the program may substitute; empty members mean the real thing.
struct PellumarDeps {
    std::shared_ptr<korrin::TsdbClient> tsdb_client;
    // The queue the collector fills and the main loop drains; empty: a new one of 300 cycles.
    std::shared_ptr<korrin::CycleQueue> data_deque;
    korrin::OpcLibraryFactory opc_library_factory;
    // Wall-clock seconds, for the status line.
    std::function<double()> now;
    // The main loop's one-second pause. It returns a signal number when one arrived meanwhile.
    // Without it, run() catches SIGINT itself (when nothing else handles it) and ends on it.
    std::function<std::optional<int>(std::chrono::milliseconds)> wait;
    // Polls for a signal without waiting. When given, run() performs each set-up step on a
    // worker thread and polls while it works, so that a signal during set-up (a long tag file,
    // a database that does not answer) is acted on within a fraction of a second.
    std::function<std::optional<int>()> poll_signal;
    // How long stop() waits for the collector thread.
    std::chrono::milliseconds stop_timeout{10000};
    // After a signal during set-up, how long the step in progress may take to give up its
    // database call; a step still busy then is left behind (see startup_step_running()).
    std::chrono::milliseconds startup_cancel_grace{500};
    // What load_config and load_tags_from_csv would set, for a run of a later step alone: the
    // settings load_config starts from, and a tag list with the CSV line of each tag (shorter
    // or empty: those tags are logged without a line).
    korrin::Settings settings;
    std::vector<std::pair<std::string, std::string>> tags;
    std::vector<std::size_t> tag_lines;
};

class Pellumar {
  public:
    using TagPair = std::pair<std::string, std::string>;

    // base_dir: where config.ini lives; by default the parent of the folder holding the
    // executable. Configures logging from that config.ini, which throws if it cannot be read.
    explicit Pellumar(std::optional<std::filesystem::path> base_dir = std::nullopt,
                      PellumarDeps deps = {});
    ~Pellumar();
    Pellumar(const Pellumar&) = delete;
    Pellumar& operator=(const Pellumar&) = delete;

    // The parent of the folder that holds the running executable.
    static std::filesystem::path default_base_dir();

    bool run();
    bool start_collection();
    void stop();
    void process_data_queue();
    void print_status();
    CollectionStatistics get_collection_statistics();
    std::vector<std::string> get_current_tags() const;
    void status_callback(const std::string& status);
    void db_status_callback(bool success, std::int64_t count);

    bool initialize_for_single_step();
    bool single_step_collection();
    void cleanup_single_step();

    bool load_config();
    bool load_tags_from_csv();
    bool setup_database_objects();
    bool test_connect_tsdb();

    // Logs the hand-over line, stops, and throws ProcessExit{0}.
    [[noreturn]] void signal_handler(int signum);

    // Whether a collector thread is still running (after a stop that timed out, for example).
    bool collector_alive() const;
    // Whether a set-up step is still running on its worker after a signal cut the set-up
    // short: the process must then leave without destroying this object.
    bool startup_step_running() const;

    // Asks the main loop of run() to end after its current pause; safe from any thread, as a
    // host that keeps its own Ctrl+C handler needs.
    void request_stop();

    const std::filesystem::path& base_dir() const { return base_dir_; }
    // As load_config left them.
    const korrin::Settings& settings() const { return settings_; }
    const std::vector<TagPair>& tags() const { return tags_; }
    // Whether run()'s main loop is (still) going.
    bool running() const { return running_.load(); }
    // The collector of the run or of single-step mode; null until one is made.
    const korrin::OPCCollector* collector() const { return collector_.get(); }
    // The collector's figures, kept from construction on.
    const std::shared_ptr<korrin::EngineMetrics>& metrics() const { return metrics_; }
    // The endpoint serving them when metrics_listen is set, once collection has started.
    const korrin::MetricsServer* metrics_server() const { return metrics_server_.get(); }

  private:
    korrin::OPCCollector::Options collector_options();
    // Listens on metrics_listen when it is set; false (logged) when it cannot.
    bool start_metrics_server();
    // Makes tag_table_ from tags_ as they now are.
    void tags_changed();
    void check_signal();
    // Tells the service manager the collector is alive when a cycle completed since last time.
    void pet_watchdog();
    // The source and the tags as set-up registers them, on `conn`; false when the database
    // refused the source. TSDB errors pass to the caller.
    bool register_source_and_tags(korrin::TsdbClient& client, korrin::TsdbConnection& conn) const;
    // The same for a collector that starts without its database and registers once it answers.
    std::function<void(korrin::TsdbClient&, korrin::TsdbConnection&)> later_registration() const;
    // One step of the set-up, on a worker thread while signals are polled (see PellumarDeps).
    bool run_startup_step(bool (Pellumar::*step)());
    // Waits up to `timeout` for the step on the worker; true when it has finished.
    bool wait_startup_step(std::chrono::milliseconds timeout);

    PellumarDeps deps_;
    std::filesystem::path base_dir_;
    std::unique_ptr<korrin::OPCCollector> collector_;
    std::atomic<bool> running_{false};
    std::vector<TagPair> tags_;
    // tags_ as the collector reads them: each name once, worked out whenever tags_ is set.
    korrin::TagTableRef tag_table_;
    // The CSV line of each entry of tags_, for the log (may be shorter when given by the Deps).
    std::vector<std::size_t> tag_lines_;
    std::atomic<std::int64_t> total_collected_{0};
    std::atomic<std::int64_t> total_written_{0};
    double last_status_time_ = 0.0;
    std::uint64_t cycles_petted_ = 0;  // the collector's completed cycles at the last pet
    korrin::Settings settings_;        // set by load_config
    const std::shared_ptr<korrin::CycleQueue> data_deque;
    // No wait was given: the main loop pauses with its own sleep and owns Ctrl+C.
    bool own_pause_ = false;
    // Requested when a signal cuts the set-up short: database calls of the set-up then end.
    std::stop_source startup_stop_;
    struct StartupOutcome;
    std::shared_ptr<StartupOutcome> startup_outcome_;
    std::thread startup_worker_;
    // The collector already had its stop() and its wait: a second stop() stays silent.
    bool stop_done_ = false;
    // Tags of the file left out at load because the database cannot take their names.
    std::size_t tags_left_out_ = 0;
    // Set-up failed only because the database could not be reached (start_without_database
    // then starts anyway), and the collector of this run registers once it answers.
    bool database_unreachable_ = false;
    bool register_later_ = false;
    const std::shared_ptr<korrin::EngineMetrics> metrics_ =
        std::make_shared<korrin::EngineMetrics>();
    std::unique_ptr<korrin::MetricsServer> metrics_server_;
};

}  // namespace vantrel::pellumar
