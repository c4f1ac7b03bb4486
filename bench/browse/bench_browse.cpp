// bench_browse: qev-browse walks a node-opcua test server holding 50,000 Double variables three
// folder levels down (Objects/Tree/A<i>/B<j>/V<k>) and writes the tag list CSV. Prints the wall
// time and qev-browse's CPU time against the server's over the same browse, with the targets:
// under 30 s of wall time, and the client at most 0.2 of the server's CPU.
//
//   bench_browse [VARIABLES]   (default 50000; BENCH_BROWSE_VARIABLES does the same)
//
// One browse first warms both sides up (the server's JIT most of all); the second is measured.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "opcua_test_server.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kTargetSeconds = 30.0;
constexpr double kTargetRatio = 0.2;

struct Browse {
    int status = -1;
    std::chrono::nanoseconds wall{};
    std::chrono::nanoseconds cpu{};  // qev-browse's user plus system time
};

std::chrono::nanoseconds cpu_of(const rusage& usage) {
    const auto ns = [](const timeval& tv) {
        return std::chrono::seconds(tv.tv_sec) + std::chrono::microseconds(tv.tv_usec);
    };
    return ns(usage.ru_utime) + ns(usage.ru_stime);
}

Browse run_browse(const std::string& endpoint, const std::filesystem::path& csv,
                  const std::filesystem::path& log) {
    std::vector<std::string> args{
        QEV_BROWSE,
        endpoint,
        "--from",
        std::string("nsu=") + vantrel::test::OpcUaTestServer::kNamespaceUri + ";s=Tree",
        "--namespace-uris",
        "-o",
        csv.string()};
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    Browse b;
    const auto start = Clock::now();
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, QEV_BROWSE, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        throw std::runtime_error(std::string("cannot start ") + QEV_BROWSE);
    }
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid) {
        throw std::runtime_error("lost qev-browse");
    }
    b.wall = Clock::now() - start;
    b.cpu = cpu_of(usage);
    b.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return b;
}

long data_lines(const std::filesystem::path& csv) {
    std::ifstream in(csv);
    long n = -1;  // the header
    for (std::string line; std::getline(in, line);) {
        ++n;
    }
    return n;
}

double seconds(std::chrono::nanoseconds t) {
    return std::chrono::duration<double>(t).count();
}

int bench(int variables) {
    vantrel::test::OpcUaTestServer server(
        {.browse_tree_nodes = variables, .start_timeout = std::chrono::minutes(5)});
    const auto started = Clock::now();
    server.start();
    const double start_seconds = seconds(Clock::now() - started);
    const auto csv = server.work_dir() / "tags.csv";
    const auto log = server.work_dir() / "qev-browse.err";

    const Browse warm = run_browse(server.endpoint(), csv, log);
    if (warm.status != 0) {
        std::fprintf(stderr, "bench_browse: qev-browse failed (%d)\n", warm.status);
        return 1;
    }
    const auto server_before = server.cpu_time();
    const Browse b = run_browse(server.endpoint(), csv, log);
    const auto server_cpu = server.cpu_time() - server_before;
    if (b.status != 0) {
        std::fprintf(stderr, "bench_browse: qev-browse failed (%d)\n", b.status);
        return 1;
    }
    const long listed = data_lines(csv);
    const double wall = seconds(b.wall);
    const double ratio = server_cpu.count() > 0 ? seconds(b.cpu) / seconds(server_cpu) : 0.0;
    std::printf(
        "OPC UA browse: %d variables three folder levels down into a tag list CSV "
        "(qev-browse --namespace-uris), test server\n",
        variables);
    std::printf("  server start              %.1f s\n", start_seconds);
    std::printf("  first browse (warm-up)    %.2f s wall, %.2f s client CPU\n", seconds(warm.wall),
                seconds(warm.cpu));
    std::printf("  wall time                 %.2f s (target < %.0f s: %s)\n", wall, kTargetSeconds,
                wall < kTargetSeconds ? "met" : "NOT MET");
    std::printf("  variables per second      %.0f\n", listed / wall);
    std::printf("  client CPU                %.2f s\n", seconds(b.cpu));
    std::printf("  server CPU                %.2f s\n", seconds(server_cpu));
    std::printf("  client / server ratio     %.3f (target <= %.1f: %s)\n", ratio, kTargetRatio,
                ratio <= kTargetRatio ? "met" : "NOT MET");
    std::printf("  tags listed               %ld (of %d)\n", listed, variables);
    return listed == variables ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    int variables = 50'000;
    if (const char* env = std::getenv("BENCH_BROWSE_VARIABLES")) {
        variables = std::atoi(env);
    }
    if (argc > 1) {
        variables = std::atoi(argv[1]);
    }
    if (variables <= 0) {
        std::fprintf(stderr, "usage: bench_browse [VARIABLES]  (VARIABLES > 0)\n");
        return 2;
    }
    try {
        // The server's npm packages, wherever this program runs from.
        vantrel::test::OpcUaTestServer::install();
        return bench(variables);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_browse: %s\n", e.what());
        return 1;
    }
}
