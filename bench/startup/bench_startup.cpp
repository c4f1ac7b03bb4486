// bench_startup: how long the console takes from launch to "Data collection started
// successfully" and to its first stored rows, for 1,000 and 10,000 tags of the built-in DA
// simulation (Demo.Bulk.*), on a fresh database and on a restart (source and tags already
// there). It also times the first interval: from the first cycle's rows to the second's, which
// is the sampling interval unless the first cycle overran it.
//
// The server comes from the libpq environment (PGHOST, PGPORT, PGUSER, PGPASSWORD,
// PGDATABASE); the benchmark works in a scratch database of its own that it drops again. The
// console is the one built beside this program, or VANTREL_PELLUMAR. BENCH_STARTUP_RUNS sets
// the runs per case (default 5); the cases take turns run by run, so that load from elsewhere
// weighs on each alike. Each figure is the median with the lowest and highest run.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "console_prefix.h"
#include "pg_session.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr double kInterval = 1.0;  // the console's collection_interval, in seconds
constexpr double kGiveUp = 30.0;   // seconds before a run counts as failed

std::string env(const char* name, const char* fallback = "") {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : fallback;
}

double since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// The console's settings for `tags` points of the DA simulation.
vantrel::bench::ConsoleSettings settings(int tags) {
    vantrel::bench::ConsoleSettings out;
    out.collection_interval = kInterval;
    out.batch_size = 200;
    for (int i = 0; i < tags; ++i) {
        out.tags.push_back("Demo.Bulk." + std::to_string(i));
    }
    return out;
}

struct Times {
    double started = -1;         // the "Data collection started successfully" line
    double first_rows = -1;      // the first cycle's rows are in the database
    double first_interval = -1;  // first cycle's rows to the second cycle's
};

// One launch: watches the console's log for the start line and the database for the rows of
// the first two cycles, then stops the console with SIGTERM.
Times launch(const vantrel::bench::ConsolePrefix& prefix, vantrel::test::PgSession& watch,
             int tags) {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);
    const std::string program = prefix.program().string();
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};

    const auto t0 = Clock::now();
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe_fds[1]);
    if (spawned != 0) {
        ::close(pipe_fds[0]);
        throw std::runtime_error("cannot start " + program);
    }

    Times times;
    std::string log, line_buffer;
    bool table = false;
    bool eof = false;
    double first_seen = -1;
    while (times.first_interval < 0 && since(t0) < kGiveUp) {
        pollfd p{pipe_fds[0], POLLIN, 0};
        if (!eof && ::poll(&p, 1, 5) > 0) {
            char buf[4096];
            const ssize_t n = ::read(pipe_fds[0], buf, sizeof buf);
            if (n <= 0) {
                eof = true;
            } else {
                line_buffer.append(buf, static_cast<std::size_t>(n));
                log.append(buf, static_cast<std::size_t>(n));
                if (times.started < 0 &&
                    line_buffer.find("Data collection started successfully") != std::string::npos) {
                    times.started = since(t0);
                }
                line_buffer.erase(0, line_buffer.rfind('\n') == std::string::npos
                                         ? 0
                                         : line_buffer.rfind('\n') + 1);
            }
        } else if (eof) {
            ::usleep(5000);
        }
        int dead_status = 0;
        if (::waitpid(pid, &dead_status, WNOHANG) == pid) {
            ::close(pipe_fds[0]);
            throw std::runtime_error("the console ended early; its log:\n" + log);
        }
        if (!table) {
            table = watch.scalar("SELECT to_regclass('chronq.tsdata') IS NOT NULL") == "t";
            continue;
        }
        const long rows = std::stol(watch.scalar("SELECT count(*) FROM chronq.tsdata"));
        if (rows > 0 && times.first_rows < 0) {
            times.first_rows = since(t0);
            first_seen = times.first_rows;
        }
        if (rows > tags) {
            times.first_interval = since(t0) - first_seen;
        }
    }
    ::kill(pid, SIGTERM);
    char buf[4096];
    while (::read(pipe_fds[0], buf, sizeof buf) > 0) {
    }
    ::close(pipe_fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (times.first_interval < 0) {
        throw std::runtime_error("no rows from two cycles within " + std::to_string(kGiveUp) +
                                 " s; the console's log:\n" + log);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("the console did not stop cleanly; its log:\n" + log);
    }
    return times;
}

struct Spread {
    double median, low, high;
};

Spread spread(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    const double median = n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
    return {median, v.front(), v.back()};
}

}  // namespace

int main() {
    if (!vantrel::test::pg_environment_given("bench_startup")) {
        return 1;
    }
    const fs::path pellumar = vantrel::bench::console_program("bench_startup");
    if (pellumar.empty()) {
        return 1;
    }
    const int runs = std::max(1, std::atoi(env("BENCH_STARTUP_RUNS", "5").c_str()));
    int status = 0;
    try {
        vantrel::test::ScratchDatabase scratch("bench_startup");
        vantrel::bench::ConsolePrefix prefix(pellumar, scratch.name(), "bench_startup");
        const std::vector<int> sizes = {1000, 10000};
        const std::vector<std::string> kinds = {"fresh", "restart"};
        std::map<std::string, std::vector<double>> figures;
        const auto key = [](const std::string& kind, int tags, const char* what) {
            return kind + "_" + std::to_string(tags) + "_" + what;
        };
        for (int run = 0; run < runs; ++run) {
            for (const int tags : sizes) {
                prefix.lay_out(settings(tags));
                for (const auto& kind : kinds) {
                    if (kind == "fresh") {
                        scratch.recreate();
                    }
                    vantrel::test::PgSession watch(scratch.name());
                    if (kind == "restart") {
                        // The tags stay; only the rows of the run before go.
                        watch.exec("TRUNCATE chronq.tsdata");
                    }
                    const Times t = launch(prefix, watch, tags);
                    figures[key(kind, tags, "started_s")].push_back(t.started);
                    figures[key(kind, tags, "first_rows_s")].push_back(t.first_rows);
                    figures[key(kind, tags, "first_interval_s")].push_back(t.first_interval);
                }
            }
        }
        std::printf("runs per case: %d; collection_interval %.1f s\n", runs, kInterval);
        for (const int tags : sizes) {
            for (const auto& kind : kinds) {
                for (const char* what : {"started_s", "first_rows_s", "first_interval_s"}) {
                    const auto s = spread(figures[key(kind, tags, what)]);
                    std::printf("%s: %.3f (%.3f to %.3f)", key(kind, tags, what).c_str(), s.median,
                                s.low, s.high);
                    // What a plant of 10,000 tags may expect of a launch.
                    if (tags == 10000 && std::string(what) == "first_rows_s") {
                        const double target = kind == "fresh" ? 2.0 : 1.5;
                        std::printf(" (target <= %.1f: %s)", target,
                                    s.median <= target ? "met" : "NOT met");
                    }
                    std::printf("\n");
                }
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_startup: %s\n", e.what());
        status = 1;
    }
    return status;
}
