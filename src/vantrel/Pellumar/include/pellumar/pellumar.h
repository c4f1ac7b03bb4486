// The console front end: loads config.ini and the tag list, registers the source and tags in
// the TSDB, and runs one collector until a signal arrives, or steps it one cycle at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "korrin/collector.h"
#include "korrin/opc_library.h"
#include "korrin/tsdb_client.h"
#include "korrin/types.h"

namespace vantrel::pellumar {

// Thrown to end the process with a status while unwinding through run(), the way a signal
// ends the console: run() still stops the collector on the way out but logs nothing more.
struct ProcessExit {
    int status = 0;
};

// Thrown by a loop wait that wants the behaviour of an interrupt from the keyboard.
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
    korrin::OpcLibraryFactory opc_library_factory;
    // Wall-clock seconds, for the status line.
    std::function<double()> now;
    // The main loop's one-second pause. It returns a signal number when one arrived meanwhile.
    std::function<std::optional<int>(std::chrono::milliseconds)> wait;
    // Called between the steps of run(), so that a signal during set-up is acted on promptly.
    std::function<std::optional<int>()> poll_signal;
    // How long stop() waits for the collector thread.
    std::chrono::milliseconds stop_timeout{10000};
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

    std::filesystem::path base_dir;
    std::unique_ptr<korrin::OPCCollector> collector_thread;
    std::atomic<bool> running{false};
    korrin::DataDeque data_deque{300};
    std::mutex deque_lock;
    std::vector<TagPair> tags_list;
    std::atomic<std::int64_t> total_collected{0};
    std::atomic<std::int64_t> total_written{0};
    double last_status_time = 0.0;

    // Set by load_config.
    korrin::TsdbConfig tsdb_cfg;
    std::string tag_csv_path;
    std::string opc_schema;
    std::string opc_type;
    double collection_interval = 1.0;
    int batch_size = 200;

  private:
    korrin::OPCCollector::Options collector_options();
    void check_signal();

    PellumarDeps deps_;
};

}  // namespace vantrel::pellumar
