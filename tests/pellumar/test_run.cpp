// The run loop, its exits, the statistics and the single-step mode, with fake OPC and TSDB.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>

#include "console_test_support.h"
#include "fakes.h"
#include "http_client.h"
#include "pellumar/pellumar.h"
#include "pellumar/signal_handover.h"

namespace {

using namespace pellumar_test;
using vantrel::pellumar::KeyboardInterrupt;
using vantrel::pellumar::Pellumar;
using vantrel::pellumar::PellumarDeps;
using vantrel::pellumar::ProcessExit;
using Lines = std::vector<std::string>;

Lines without_debug(const Lines& lines) {
    Lines out;
    for (const auto& l : lines) {
        if (l.rfind("DEBUG - ", 0) != 0) {
            out.push_back(l);
        }
    }
    return out;
}

class RunLoop : public ::testing::Test {
  protected:
    void SetUp() override {
        log_dir();
        write_file(dir / "tags.csv",
                   "FullTagName,Description\nDemo.Tag1,one\nDemo.Tag2,two\nDemo.Tag3,\n");
        write_config("opc.da://localhost/Vantrel.Simulation.1");
    }

    void write_config(const std::string& schema) {
        write_file(dir / "config.ini", "[TSDBConnection]\nhost = db\n[Vantrel]\ntag_csv_path = " +
                                           (dir / "tags.csv").string() +
                                           "\nopc_schema = " + schema +
                                           "\nopc_type = OPC DA\ncollection_interval = 0.02\n"
                                           "batch_size = 2\n");
    }

    std::unique_ptr<Pellumar> console(PellumarDeps deps = {}) {
        deps.tsdb_client = client;
        deps.opc_library_factory = fake_opc_factory(fail_create);
        return std::make_unique<Pellumar>(dir.path(), std::move(deps));
    }

    // A loop wait that lets the collector work for a while, then acts like a signal.
    static PellumarDeps signal_after(int passes, int signum) {
        PellumarDeps deps;
        auto count = std::make_shared<int>(0);
        deps.wait = [count, passes, signum](std::chrono::milliseconds) -> std::optional<int> {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            if (++*count >= passes) {
                return signum;
            }
            return std::nullopt;
        };
        return deps;
    }

    TempDir dir;
    std::shared_ptr<FakeTsdbClient> client = std::make_shared<FakeTsdbClient>();
    bool fail_create = false;
};

TEST_F(RunLoop, SignalGivesTheExactLogOrderAndNoStoppedLine) {
    LogCapture log;
    auto c = console(signal_after(4, 15));
    try {
        c->run();
        FAIL() << "a signal ends the run with a process exit";
    } catch (const ProcessExit& exit) {
        EXPECT_EQ(exit.status, 0);
    }
    EXPECT_EQ(without_debug(log.lines()),
              (Lines{"INFO - Starting Pellumar...", "INFO - CSV file loaded with encoding: utf-8",
                     "INFO - Loaded 3 tags from CSV file", "INFO - Created new source with ID: 1",
                     "INFO - Database setup complete: 3 tags created, 0 tags updated",
                     "INFO - Starting OPC data collection from: "
                     "opc.da://localhost/Vantrel.Simulation.1",
                     "INFO - Sample interval: 0.02s, Batch size: 2",
                     "INFO - Data collection started successfully",
                     "INFO - Data collection is running. Press Ctrl+C to stop.",
                     "INFO - Received signal 15, shutting down...",
                     "INFO - Stopping data collection...", "INFO - Data collection stopped"}));
    EXPECT_FALSE(c->running());
    EXPECT_FALSE(c->collector_alive());
    const auto stats = c->get_collection_statistics();
    EXPECT_EQ(stats.total_tags, 3);
    EXPECT_GT(stats.total_collected, 0);
    EXPECT_EQ(stats.total_written, static_cast<std::int64_t>(client->row_count()));
    EXPECT_TRUE(log.contains("DEBUG - Successfully wrote 3 records to database"));
}

TEST_F(RunLoop, KeyboardInterruptAndLoopErrorsStopAndReturnTrue) {
    {
        PellumarDeps deps;
        deps.wait = [](std::chrono::milliseconds) -> std::optional<int> {
            throw KeyboardInterrupt{};
        };
        LogCapture log;
        EXPECT_TRUE(console(deps)->run());
        const auto lines = without_debug(log.lines());
        EXPECT_EQ(Lines(lines.end() - 4, lines.end()),
                  (Lines{"INFO - Received keyboard interrupt", "INFO - Stopping data collection...",
                         "INFO - Data collection stopped", "INFO - Pellumar stopped"}));
    }
    {
        PellumarDeps deps;
        deps.wait = [](std::chrono::milliseconds) -> std::optional<int> {
            throw std::runtime_error("clock went backwards");
        };
        LogCapture log;
        EXPECT_TRUE(console(deps)->run());
        const auto lines = without_debug(log.lines());
        EXPECT_EQ(Lines(lines.end() - 4, lines.end()),
                  (Lines{"ERROR - Unexpected error in main loop: clock went backwards",
                         "INFO - Stopping data collection...", "INFO - Data collection stopped",
                         "INFO - Pellumar stopped"}));
    }
}

// Run without the program's signal hand-over: the loop owns Ctrl+C unless a handler is
// already there, and leaves SIGINT as it found it.
class CtrlCWithoutHandOver : public RunLoop {
  protected:
    void SetUp() override {
        RunLoop::SetUp();
        ASSERT_EQ(::sigaction(SIGINT, nullptr, &saved_), 0);
        set_handler(SIG_DFL);
    }
    void TearDown() override { ::sigaction(SIGINT, &saved_, nullptr); }

    static void set_handler(void (*handler)(int)) {
        struct sigaction action {};
        action.sa_handler = handler;
        sigemptyset(&action.sa_mask);
        ASSERT_EQ(::sigaction(SIGINT, &action, nullptr), 0);
    }
    static void (*current_handler())(int) {
        struct sigaction now {};
        ::sigaction(SIGINT, nullptr, &now);
        return now.sa_handler;
    }
    static bool wait_until(const std::function<bool()>& condition) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    // Runs a console with its own pause; `during` acts once the loop is running. Should the
    // run not end by itself, the loop is ended from outside so that the test fails, not hangs.
    bool run_with(const std::function<void(Pellumar&)>& during) {
        auto c = console();
        const LogCapture since_start;
        std::atomic<bool> returned{false};
        std::thread helper([&] {
            if (wait_until([&] { return returned.load() || since_start.contains(kRunning); }) &&
                !returned.load()) {
                during(*c);
            }
            if (!wait_until([&] { return returned.load(); })) {
                c->request_stop();
            }
        });
        const bool ok = c->run();
        returned.store(true);
        helper.join();
        return ok;
    }

    static constexpr const char* kRunning =
        "INFO - Data collection is running. Press Ctrl+C to stop.";
    struct sigaction saved_ {};
};

std::atomic<int> g_host_signals{0};
extern "C" void host_sigint_handler(int) {
    ++g_host_signals;
}

TEST_F(CtrlCWithoutHandOver, SigintEndsTheRunCleanlyAndTheDefaultComesBack) {
    LogCapture log;
    std::atomic<bool> ours_while_running{false};
    EXPECT_TRUE(run_with([&](Pellumar&) {
        ours_while_running.store(current_handler() != SIG_DFL);
        ::kill(::getpid(), SIGINT);
    }));
    EXPECT_TRUE(ours_while_running.load());
    const auto lines = without_debug(log.lines());
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(
        Lines(lines.end() - 5, lines.end()),
        (Lines{kRunning, "INFO - Received keyboard interrupt", "INFO - Stopping data collection...",
               "INFO - Data collection stopped", "INFO - Pellumar stopped"}));
    EXPECT_EQ(current_handler(), SIG_DFL);
}

TEST_F(CtrlCWithoutHandOver, HostsOwnHandlerStaysInChargeAndGetsTheSignal) {
    set_handler(host_sigint_handler);
    g_host_signals.store(0);
    LogCapture log;
    std::atomic<bool> host_while_running{false};
    bool host_got_it = false;
    // The host's handler takes the signal and the run goes on until the host ends it.
    EXPECT_TRUE(run_with([&](Pellumar& c) {
        host_while_running.store(current_handler() == host_sigint_handler);
        ::kill(::getpid(), SIGINT);
        host_got_it = wait_until([] { return g_host_signals.load() == 1; });
        c.request_stop();
    }));
    EXPECT_TRUE(host_while_running.load());
    EXPECT_TRUE(host_got_it);
    EXPECT_FALSE(log.contains("INFO - Received keyboard interrupt"));
    EXPECT_EQ(current_handler(), host_sigint_handler);
}

TEST_F(RunLoop, EachFailedStepEndsTheRunWithItsLine) {
    {
        client->connect_error = "connection refused";
        LogCapture log;
        EXPECT_FALSE(console()->run());
        EXPECT_EQ(log.lines().back(), "ERROR - Failed to setup database objects");
        client->connect_error.reset();
    }
    {
        // A schema typo is refused with the configuration, before the database is touched.
        write_config("opc.tcp//plc:4840");
        client = std::make_shared<FakeTsdbClient>();
        LogCapture log;
        EXPECT_FALSE(console()->run());
        EXPECT_EQ(log.lines(),
                  (Lines{"INFO - Starting Pellumar...",
                         "ERROR - Error loading config: Invalid OPC schema format: "
                         "opc.tcp//plc:4840. Must start with 'opc.da://' or 'opc.tcp://'",
                         "ERROR - Failed to load configuration"}));
        EXPECT_EQ(client->locked([&] { return client->calls.size(); }), 0u);
        write_config("opc.da://localhost/Vantrel.Simulation.1");
    }
    {
        write_file(dir / "tags.csv", "Tag,Description\nT1,x\n");
        LogCapture log;
        EXPECT_FALSE(console()->run());
        EXPECT_EQ(log.lines().back(), "ERROR - Failed to load tags from CSV");
    }
    {
        write_file(dir / "config.ini", "[Vantrel]\n");
        LogCapture log;
        EXPECT_FALSE(console()->run());
        EXPECT_EQ(log.lines(), (Lines{"INFO - Starting Pellumar...",
                                      "ERROR - Missing [TSDBConnection] section in config file",
                                      "ERROR - Failed to load configuration"}));
    }
}

// start_without_database: a database away at start is waited for, and what was collected
// meanwhile reaches it; a login it refuses still ends the start, as without the setting.
TEST_F(RunLoop, StartWithoutDatabaseKeepsEveryCycleUntilTheDatabaseAnswers) {
    write_file(
        dir / "config.ini",
        "[TSDBConnection]\nhost = db\n[Vantrel]\ntag_csv_path = " + (dir / "tags.csv").string() +
            "\nopc_schema = opc.da://localhost/Vantrel.Simulation.1\nopc_type = OPC DA\n"
            "collection_interval = 0.02\nstart_without_database = true\nbuffer_dir = " +
            (dir / "buffer").string() + "\n");
    {
        client->connect_error =
            "connection to server at \"db\", port 5432 failed: FATAL:  password authentication "
            "failed for user \"postgres\"";
        LogCapture log;
        EXPECT_FALSE(console()->run());
        EXPECT_EQ(log.lines().back(), "ERROR - Failed to setup database objects");
    }
    client = std::make_shared<FakeTsdbClient>();
    client->connect_error = "connection to server at \"db\", port 5432 failed: Connection refused";
    PellumarDeps deps;
    deps.wait = [this, passes = 0](std::chrono::milliseconds) mutable -> std::optional<int> {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (++passes == 5) {
            client->locked([&] { client->connect_error.reset(); });
        }
        // Ends once the cycles of the outage are written, and a few more after them.
        const bool done = client->locked([&] { return client->writes.size() >= 4; });
        return done || passes > 3000 ? std::optional<int>(15) : std::nullopt;
    };
    LogCapture log;
    auto c = console(std::move(deps));
    EXPECT_THROW(c->run(), ProcessExit);
    const auto lines = log.lines();
    const auto at = [&](const std::string& text) {
        return std::find(lines.begin(), lines.end(), text) - lines.begin();
    };
    const auto waiting =
        at("WARNING - The database cannot be reached: collecting into the buffer until it answers, "
           "then registering the source and the tags (start_without_database = true)");
    ASSERT_LT(waiting, static_cast<long>(lines.size()));
    EXPECT_LT(at("ERROR - Failed to setup database objects: connection to server at \"db\", "
                 "port 5432 failed: Connection refused"),
              waiting)
        << "the reason comes first";
    const auto created = at("INFO - Created new source with ID: 1");
    EXPECT_LT(created, static_cast<long>(lines.size()));
    EXPECT_GT(created, waiting);
    EXPECT_LT(at("INFO - Database setup complete: 3 tags created, 0 tags updated"),
              static_cast<long>(lines.size()));
    // Every collected sample is stored or still waits in the buffer, but for the cycle a stop
    // may have cut short between its queue and its write.
    c->process_data_queue();
    const auto collected =
        static_cast<std::uint64_t>(c->get_collection_statistics().total_collected);
    const auto kept = client->row_count() + c->collector()->buffered_sample_count();
    EXPECT_LE(kept, collected);
    EXPECT_GE(kept + 3, collected);
    EXPECT_GT(client->row_count(), 3u * 2) << "the cycles of the outage are written";
}

TEST_F(RunLoop, SignalDuringSetUpEndsBeforeAnythingStarts) {
    PellumarDeps deps;
    deps.poll_signal = [] { return std::optional<int>(2); };
    LogCapture log;
    auto c = console(deps);
    EXPECT_THROW(c->run(), ProcessExit);
    EXPECT_EQ(log.lines(),
              (Lines{"INFO - Starting Pellumar...", "INFO - Received signal 2, shutting down..."}));
    EXPECT_EQ(client->opened, 0);
}

// A database that accepts the connection and then never answers. Asked through
// get_conn_stoppable it gives up once stop is requested, as chronq does; `stubborn` makes it
// ignore the request until `release`.
class SilentTsdbClient : public FakeTsdbClient {
  public:
    std::unique_ptr<korrin::TsdbConnection> get_conn(const korrin::TsdbConfig& cfg) override {
        return get_conn_stoppable(cfg, {});
    }
    std::unique_ptr<korrin::TsdbConnection> get_conn_stoppable(const korrin::TsdbConfig&,
                                                               std::stop_token stop) override {
        entered = true;
        std::unique_lock lock(gate_mutex_);
        std::condition_variable_any gate;
        if (stubborn) {
            gate_.wait(lock, [&] { return released_; });
            throw korrin::TsdbConnectionError("released");
        }
        gate.wait(lock, stop, [] { return false; });
        cancelled = true;
        throw korrin::TsdbConnectionError("connecting: cancelled");
    }
    void release() {
        std::lock_guard lock(gate_mutex_);
        released_ = true;
        gate_.notify_all();
    }

    bool stubborn = false;
    std::atomic<bool> entered{false};
    std::atomic<bool> cancelled{false};

  private:
    std::mutex gate_mutex_;
    std::condition_variable gate_;
    bool released_ = false;
};

class SignalDuringSetUp : public RunLoop {
  protected:
    // Raises `signum` once the database call of the set-up is under way.
    PellumarDeps signal_when_connecting(int signum) {
        PellumarDeps deps;
        deps.tsdb_client = silent;
        deps.opc_library_factory = fake_opc_factory();
        deps.poll_signal = [this, signum]() -> std::optional<int> {
            if (silent->entered) {
                return signum;
            }
            return std::nullopt;
        };
        return deps;
    }

    std::shared_ptr<SilentTsdbClient> silent = std::make_shared<SilentTsdbClient>();
};

TEST_F(SignalDuringSetUp, CancelsTheDatabaseCallAndEndsPromptlyWithTheSignalsLine) {
    auto c = std::make_unique<Pellumar>(dir.path(), signal_when_connecting(2));
    LogCapture log;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(c->run(), ProcessExit);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    EXPECT_TRUE(silent->cancelled);
    EXPECT_FALSE(c->startup_step_running());
    // No failure lines: the cancelled connection is the signal's doing, not an error.
    EXPECT_EQ(log.lines(),
              (Lines{"INFO - Starting Pellumar...", "INFO - CSV file loaded with encoding: utf-8",
                     "INFO - Loaded 3 tags from CSV file",
                     "INFO - Received signal 2, shutting down..."}));
}

TEST_F(SignalDuringSetUp, StepThatCannotBeCutShortIsLeftBehindForTheExit) {
    silent->stubborn = true;
    auto deps = signal_when_connecting(15);
    deps.startup_cancel_grace = std::chrono::milliseconds(100);
    auto c = std::make_unique<Pellumar>(dir.path(), deps);
    LogCapture log;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(c->run(), ProcessExit);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    // The program leaves with std::_Exit in this state; here the step is released and joined.
    EXPECT_TRUE(c->startup_step_running());
    EXPECT_EQ(log.lines().back(), "INFO - Received signal 15, shutting down...");
    silent->release();
    c.reset();
}

TEST_F(SignalDuringSetUp, WithoutASignalTheStepsRunOnTheWorkerAsBefore) {
    PellumarDeps deps = signal_after(3, 15);
    deps.poll_signal = [] { return std::optional<int>(); };
    LogCapture log;
    auto c = console(deps);
    EXPECT_THROW(c->run(), ProcessExit);
    const auto lines = without_debug(log.lines());
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + 9),
              (Lines{"INFO - Starting Pellumar...", "INFO - CSV file loaded with encoding: utf-8",
                     "INFO - Loaded 3 tags from CSV file", "INFO - Created new source with ID: 1",
                     "INFO - Database setup complete: 3 tags created, 0 tags updated",
                     "INFO - Starting OPC data collection from: "
                     "opc.da://localhost/Vantrel.Simulation.1",
                     "INFO - Sample interval: 0.02s, Batch size: 2",
                     "INFO - Data collection started successfully",
                     "INFO - Data collection is running. Press Ctrl+C to stop."}));
    EXPECT_GT(client->row_count(), 0u);
}

TEST_F(RunLoop, StatusLineComesEveryThirtySecondsOfWallClock) {
    auto now = std::make_shared<double>(1000.0);
    PellumarDeps deps;
    deps.now = [now] { return *now; };
    deps.tags = {{"A", ""}, {"B", ""}};
    deps.data_deque = std::make_shared<korrin::CycleQueue>();
    deps.data_deque->push(korrin::CycleResults(12));
    auto c = console(deps);
    c->process_data_queue();
    c->db_status_callback(true, 10);
    LogCapture log;
    *now = 1029.9;
    c->print_status();
    EXPECT_TRUE(log.lines().empty());
    *now = 1030.0;
    c->print_status();
    *now = 1059.0;
    c->print_status();
    *now = 1060.0;
    c->print_status();
    EXPECT_EQ(log.lines(), (Lines{"INFO - Status - Tags: 2, Collected: 12, Written: 10",
                                  "INFO - Status - Tags: 2, Collected: 12, Written: 10"}));
}

TEST_F(RunLoop, QueueDrainAndDatabaseCallbacksKeepTheCounters) {
    PellumarDeps deps;
    deps.data_deque = std::make_shared<korrin::CycleQueue>();
    auto queue = deps.data_deque;
    auto c = console(std::move(deps));
    queue->push(korrin::CycleResults(4));
    queue->push(korrin::CycleResults{});
    queue->push(korrin::CycleResults(3));
    EXPECT_EQ(c->get_collection_statistics().queue_size, 3);
    c->process_data_queue();
    EXPECT_EQ(c->get_collection_statistics().total_collected, 7);
    EXPECT_EQ(c->get_collection_statistics().queue_size, 0);

    LogCapture log;
    c->db_status_callback(true, 25);
    c->db_status_callback(false, 7);
    c->status_callback("DA source connected");
    EXPECT_EQ(c->get_collection_statistics().total_written, 25);
    EXPECT_EQ(log.lines(), (Lines{"DEBUG - Successfully wrote 25 records to database",
                                  "WARNING - Failed to write data to database",
                                  "DEBUG - OPC Status: DA source connected"}));
}

// A listener of another program on a free port of 127.0.0.1, while the object lives.
struct PortHolder {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    std::uint16_t port = 0;
    PortHolder() {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(fd, 1) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            throw std::runtime_error("cannot hold a port");
        }
        port = ntohs(addr.sin_port);
    }
    ~PortHolder() { ::close(fd); }
};

TEST_F(RunLoop, MetricsListenServesTheRunsFiguresAndAPortInUseStopsTheStart) {
    std::uint16_t port = 0;
    const auto config_with_metrics = [&] {
        write_file(dir / "config.ini",
                   "[TSDBConnection]\nhost = db\n[Vantrel]\ntag_csv_path = " +
                       (dir / "tags.csv").string() +
                       "\nopc_schema = opc.da://localhost/Vantrel.Simulation.1\nopc_type = OPC "
                       "DA\ncollection_interval = 0.02\nmetrics_listen = 127.0.0.1:" +
                       std::to_string(port) + "\n");
    };
    {
        PortHolder other;
        port = other.port;
        config_with_metrics();
        LogCapture log;
        auto c = console();
        EXPECT_FALSE(c->run());
        const std::string where = "127.0.0.1:" + std::to_string(port);
        const Lines lines = without_debug(log.lines());
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2],
                  "ERROR - Cannot serve metrics on " + where + ": " + where +
                      " is already in use by another program: choose another port in "
                      "[Vantrel] metrics_listen, or stop the program that listens there");
        EXPECT_EQ(lines.back(), "ERROR - Failed to start data collection");
        EXPECT_EQ(c->collector(), nullptr) << "nothing collects without its endpoint";
    }
    // The port is free again: the run serves its figures while it collects.
    vantrel::test::HttpAnswer scraped;
    PellumarDeps deps;
    Pellumar* running = nullptr;
    auto passes = std::make_shared<int>(0);
    deps.wait = [&, passes](std::chrono::milliseconds) -> std::optional<int> {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        if (running->metrics()->samples_stored.value() == 0 && ++*passes < 1000) {
            return std::nullopt;
        }
        scraped = vantrel::test::http_get(port, "/metrics");
        return SIGTERM;
    };
    auto c = console(std::move(deps));
    running = c.get();
    LogCapture log;
    EXPECT_THROW(c->run(), ProcessExit);
    const Lines lines = without_debug(log.lines());
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "INFO - Serving metrics on http://127.0.0.1:" + std::to_string(port) +
                            "/metrics and the health check on /health"),
              lines.end());
    ASSERT_NE(c->metrics_server(), nullptr);
    EXPECT_EQ(scraped.status, 200);
    EXPECT_NE(scraped.body.find("vantrel_samples_stored_total "), std::string::npos);
    EXPECT_GT(c->metrics()->cycles.value(), 0u);
    EXPECT_GT(c->metrics()->samples_stored.value(), 0u);
}

TEST_F(RunLoop, StopWithoutACollectorIsSilent) {
    auto c = console();
    LogCapture log;
    c->stop();
    c->stop();
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(RunLoop, CollectorThatWillNotStopIsReportedAndLeftBehind) {
    auto gate = std::make_shared<ReadGate>();
    PellumarDeps deps;
    deps.tsdb_client = client;
    deps.opc_library_factory = fake_opc_factory(false, gate);
    deps.stop_timeout = std::chrono::milliseconds(200);
    auto c = std::make_unique<Pellumar>(dir.path(), deps);
    ASSERT_TRUE(c->load_config());
    ASSERT_TRUE(c->load_tags_from_csv());
    ASSERT_TRUE(c->start_collection());
    // Give the thread time to enter the held read.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    LogCapture log;
    c->stop();
    EXPECT_EQ(without_debug(log.lines()),
              (Lines{"INFO - Stopping data collection...",
                     "WARNING - Collector thread did not stop gracefully"}));
    EXPECT_TRUE(c->collector_alive());
    gate->open();
    c.reset();  // joins once the read returns
}

TEST_F(RunLoop, SignalWhileTheCollectorWillNotStopWaitsOnceAndWarnsOnce) {
    auto gate = std::make_shared<ReadGate>();
    PellumarDeps deps = signal_after(3, 2);
    deps.tsdb_client = client;
    deps.opc_library_factory = fake_opc_factory(false, gate);
    deps.stop_timeout = std::chrono::milliseconds(500);
    auto c = std::make_unique<Pellumar>(dir.path(), deps);
    LogCapture log;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(c->run(), ProcessExit);
    const auto took = std::chrono::steady_clock::now() - started;
    const auto lines = log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "INFO - Stopping data collection..."), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "WARNING - Collector thread did not stop gracefully"),
              1);
    // One wait of 500 ms; two would take more than a second.
    EXPECT_LT(took, std::chrono::milliseconds(1000));
    // A later stop() is silent too, and a new collection gets a stop of its own again.
    LogCapture after;
    c->stop();
    EXPECT_TRUE(after.lines().empty());
    gate->open();
    c.reset();
}

TEST(SignalHandover, SignalReachesTheWaitingThreadAsItsNumber) {
    vantrel::pellumar::SignalHandover handover;
    EXPECT_EQ(handover.wait(std::chrono::milliseconds(0)), std::nullopt);
    ::raise(SIGTERM);
    ::raise(SIGINT);
    EXPECT_EQ(handover.wait(std::chrono::milliseconds(1000)), SIGTERM);
    EXPECT_EQ(handover.wait(std::chrono::milliseconds(0)), SIGINT);
    EXPECT_EQ(handover.wait(std::chrono::milliseconds(10)), std::nullopt);
    EXPECT_THROW(vantrel::pellumar::SignalHandover second, std::logic_error);
}

class SingleStep : public RunLoop {};

TEST_F(SingleStep, ThreeCyclesOfNTagsGiveThreeTimesN) {
    auto c = console();
    LogCapture log;
    ASSERT_TRUE(c->initialize_for_single_step());
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(c->single_step_collection());
    }
    const auto stats = c->get_collection_statistics();
    EXPECT_EQ(stats.total_tags, 3);
    EXPECT_EQ(stats.total_collected, 9);
    EXPECT_EQ(stats.total_written, 9);
    EXPECT_EQ(stats.queue_size, 0);
    EXPECT_EQ(client->row_count(), 9u);
    EXPECT_FALSE(c->running());
    c->cleanup_single_step();
    const auto lines = without_debug(log.lines());
    EXPECT_EQ(lines.front(), "INFO - Initializing for single-step collection mode...");
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "INFO - Creating OPC collector for single-step mode: "
                        "opc.da://localhost/Vantrel.Simulation.1"),
              lines.end());
    EXPECT_EQ(lines[lines.size() - 2],
              "INFO - Single-step collection mode initialized successfully");
    EXPECT_EQ(lines.back(), "INFO - OPC connection closed");
    EXPECT_TRUE(log.contains("DEBUG - Single step collection completed"));
}

// How many lines of the whole log (every module) contain `text`, and the longest of them.
std::pair<std::size_t, std::size_t> lines_with(const std::string& text) {
    const std::string all = all_log_text();
    std::size_t count = 0;
    std::size_t longest = 0;
    for (std::size_t pos = all.find(text); pos != std::string::npos;
         pos = all.find(text, pos + 1)) {
        const auto start = all.rfind('\n', pos);
        const auto end = all.find('\n', pos);
        ++count;
        longest = std::max(longest, end - (start == std::string::npos ? 0 : start + 1));
    }
    return {count, longest};
}

TEST_F(SingleStep, UnregisteredTagIsNamedOnceThenCountedInTheStatus) {
    const std::string long_name = "Ghost." + std::string(2000, 'g');
    write_file(dir / "tags.csv",
               "FullTagName,Description\nDemo.Tag1,one\nGhost.Short,\n" + long_name + ",\n");
    client->refuse_tags = {"Ghost.Short", long_name};
    PellumarDeps deps;
    deps.now = [t = std::make_shared<double>(0.0)] { return *t += 100.0; };  // always due
    auto c = console(deps);
    const auto before = lines_with("' not found in TSDB").first;
    LogCapture log;
    ASSERT_TRUE(c->initialize_for_single_step());
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(c->single_step_collection());
    }
    c->print_status();
    const auto [count, longest] = lines_with("' not found in TSDB");
    EXPECT_EQ(count - before, 2u);  // once per tag, not once per cycle
    EXPECT_LT(longest, 300u);       // the long name is cut, its length noted
    EXPECT_EQ(lines_with("... (2006 bytes)' not found in TSDB").first, 1u);
    EXPECT_EQ(client->row_count(), 5u);  // the registered tag is still written every cycle
    EXPECT_TRUE(log.contains("WARNING - 2 tags not registered"));
    c->cleanup_single_step();
}

TEST_F(SingleStep, TagListedTwiceIsWarnedOnceAndWrittenOncePerCycle) {
    write_file(dir / "tags.csv",
               "FullTagName,Description\nDemo.Tag1,first\nDemo.Tag2,two\nDemo.Tag1,second\n");
    auto c = console();
    LogCapture log;
    ASSERT_TRUE(c->initialize_for_single_step());
    EXPECT_EQ(c->tags().size(), 3u);  // every row of the file stays in the list
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(c->single_step_collection());
    }
    EXPECT_EQ(client->row_count(), 6u);
    const auto lines = log.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("WARNING - ", 0) == 0; }),
              1);
    EXPECT_TRUE(log.contains(
        "WARNING - Tag 'Demo.Tag1' is listed 2 times in the tag file (CSV lines 2, 4); it is "
        "collected once per cycle, with the description of line 4"));
    c->cleanup_single_step();
}

TEST_F(SingleStep, StepBeforeInitialisationIsRefused) {
    auto c = console();
    LogCapture log;
    EXPECT_FALSE(c->single_step_collection());
    c->cleanup_single_step();
    EXPECT_EQ(log.lines(), (Lines{"ERROR - Collector not initialized. Call "
                                  "initialize_for_single_step() first."}));
}

TEST_F(SingleStep, FailedConnectFailsTheInitialisation) {
    fail_create = true;
    auto c = console();
    LogCapture log;
    EXPECT_FALSE(c->initialize_for_single_step());
    const auto last = log.lines().back();
    EXPECT_EQ(last.rfind("ERROR - Failed to initialize single-step collection mode: ", 0), 0u)
        << last;
}

TEST_F(SingleStep, FailedSetUpGivesTheRunsLines) {
    client->refuse_source = true;
    auto c = console();
    LogCapture log;
    EXPECT_FALSE(c->initialize_for_single_step());
    EXPECT_EQ(log.lines().back(), "ERROR - Failed to setup database objects");
    EXPECT_EQ(c->collector(), nullptr);
}

}  // namespace
