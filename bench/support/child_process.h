// A program a benchmark starts (the console, a Node.js peer): its output goes to a file, it is
// stopped on every path out of the benchmark, and it is sent SIGTERM by the kernel should the
// benchmark itself die first, so that no run leaves a collector writing behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::bench {

// Set by SIGINT or SIGTERM once catch_stop_signals() ran: the benchmark's waits then throw, so
// that it unwinds and cleans up instead of dying with its children and scratch data left over.
bool stop_requested();
void catch_stop_signals();
// Sleeps, but throws std::runtime_error("interrupted") once a stop was requested.
void sleep_unless_stopped(std::chrono::milliseconds duration);

class ChildProcess {
  public:
    // Runs argv[0] (looked up in PATH) in folder `dir`, its standard output and error written
    // to `output`, with the environment of this process plus `extra_env` ("NAME=value").
    // Throws std::runtime_error when it cannot be started.
    ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& dir,
                 const std::filesystem::path& output,
                 const std::vector<std::string>& extra_env = {});
    // Stops it with stop() when still running.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // False once it has ended (it is reaped then, and its exit status kept).
    bool running();
    // SIGTERM, then SIGKILL after `grace`; waits for it. The exit status, or 128 + the signal
    // that ended it.
    int stop(std::chrono::milliseconds grace = std::chrono::seconds(10));
    std::optional<int> exit_status() const { return status_; }

    // What it wrote so far.
    std::string output() const;
    // Polls the output until it holds `text`; false when the process ends or `timeout` passes.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout);

  private:
    std::filesystem::path output_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

}  // namespace vantrel::bench
