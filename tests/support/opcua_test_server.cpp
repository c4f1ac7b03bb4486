// Runs tests/opcua-server/server.js as a child process; see opcua_test_server.h.
#include "opcua_test_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "npm_packages.h"
#include "process_stats.h"

extern char** environ;

namespace vantrel::test {

namespace {

constexpr const char* kReadyLine = "VANTREL-OPCUA-TEST-SERVER READY";

int free_loopback_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error(std::string("OpcUaTestServer: socket: ") + std::strerror(errno));
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        const int err = errno;
        ::close(fd);
        throw std::runtime_error(std::string("OpcUaTestServer: no free port: ") +
                                 std::strerror(err));
    }
    ::close(fd);
    return ntohs(addr.sin_port);
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::filesystem::path fresh_work_dir() {
    static std::atomic<int> counter{0};
    const std::string name =
        "opcua-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    auto dir = std::filesystem::path(VANTREL_TEST_WORK_DIR) / name;
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    if (!std::filesystem::create_directories(dir, ec) && ec) {
        // A program run away from its build tree works in the temporary folder instead.
        dir = std::filesystem::temp_directory_path() / ("vantrel-" + name);
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    return dir;
}

bool holds_server(const std::filesystem::path& dir) {
    std::error_code ec;
    return !dir.empty() && std::filesystem::exists(dir / "server.js", ec);
}

// tests/opcua-server in `start` or in a folder above it.
std::filesystem::path search_upwards(std::filesystem::path start) {
    for (; !start.empty(); start = start.parent_path()) {
        if (holds_server(start / "tests" / "opcua-server")) {
            return start / "tests" / "opcua-server";
        }
        if (start == start.parent_path()) {
            break;
        }
    }
    return {};
}

}  // namespace

OpcUaTestServer::OpcUaTestServer(OpcUaTestServerOptions options)
    : options_(options), work_dir_(fresh_work_dir()), port_(options.port) {}

OpcUaTestServer::~OpcUaTestServer() {
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(work_dir_, ignored);
}

std::filesystem::path OpcUaTestServer::server_dir() {
    if (const char* given = std::getenv("VANTREL_OPCUA_SERVER_DIR");
        given != nullptr && *given != '\0') {
        return given;
    }
    if (holds_server(VANTREL_OPCUA_SERVER_DIR)) {
        return VANTREL_OPCUA_SERVER_DIR;
    }
    std::error_code ec;
    for (const auto& start : {std::filesystem::read_symlink("/proc/self/exe", ec).parent_path(),
                              std::filesystem::current_path(ec)}) {
        if (auto found = search_upwards(start); !found.empty()) {
            return found;
        }
    }
    return VANTREL_OPCUA_SERVER_DIR;  // named in the error that follows
}

bool OpcUaTestServer::installed() {
    return npm_package_installed(server_dir(), "node-opcua");
}

void OpcUaTestServer::install() {
    if (installed()) {
        return;
    }
    const auto dir = server_dir();
    if (!holds_server(dir)) {
        throw std::runtime_error(
            "OpcUaTestServer: no server.js in " + dir.string() +
            "; set VANTREL_OPCUA_SERVER_DIR to the tests/opcua-server folder of a Vantrel source "
            "tree");
    }
    try {
        install_npm_packages(dir, "node-opcua", "the OPC UA test server");
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(std::string("OpcUaTestServer: ") + e.what());
    }
}

std::string OpcUaTestServer::endpoint() const {
    return "opc.tcp://127.0.0.1:" + std::to_string(port_);
}

std::string OpcUaTestServer::log() const {
    return read_file(work_dir_ / "server.log");
}

void OpcUaTestServer::start() {
    if (running()) {
        return;
    }
    if (!installed()) {
        throw std::runtime_error("OpcUaTestServer: node-opcua is not installed in " +
                                 server_dir().string() + "; run scripts/test, or: cd " +
                                 shell_quoted(server_dir().string()) +
                                 " && npm install --no-audit --no-fund");
    }
    const bool pick_port = options_.port == 0 && port_ == 0;
    // A port picked as free may be taken by someone else before the server binds it.
    for (int attempt = 0;; ++attempt) {
        if (pick_port) {
            port_ = free_loopback_port();
        }
        spawn();
        const auto deadline = std::chrono::steady_clock::now() + options_.start_timeout;
        while (true) {
            const std::string out = log();
            if (out.find(kReadyLine) != std::string::npos) {
                return;
            }
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                ::close(stdin_fd_);
                stdin_fd_ = -1;
                if (pick_port && attempt < 4 && out.find("EADDRINUSE") != std::string::npos) {
                    break;
                }
                throw std::runtime_error("OpcUaTestServer: the server exited while starting:\n" +
                                         out);
            }
            if (std::chrono::steady_clock::now() > deadline) {
                stop();
                throw std::runtime_error(
                    "OpcUaTestServer: the server did not get ready in time:\n" + log());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
}

void OpcUaTestServer::spawn() {
    const std::filesystem::path log_path = work_dir_ / "server.log";
    std::vector<std::string> args = {
        "node",
        (server_dir() / "server.js").string(),
        "--exit-with-parent",
        "--pki",
        (work_dir_ / "pki").string(),
        "--port",
        std::to_string(port_),
        "--extra-nodes",
        std::to_string(options_.extra_nodes),
        "--max-nodes-per-read",
        std::to_string(options_.max_nodes_per_read),
        "--buffer-size",
        std::to_string(options_.buffer_size),
        "--max-message-size",
        std::to_string(options_.max_message_size),
        "--max-chunk-count",
        std::to_string(options_.max_chunk_count),
        "--token-lifetime",
        std::to_string(options_.token_lifetime_ms),
        "--max-sessions",
        std::to_string(options_.max_sessions),
        "--security",
        options_.security,
        "--users",
        options_.users,
    };
    if (!options_.allow_anonymous) {
        args.emplace_back("--no-anonymous");
    }
    if (options_.custom_types) {
        args.emplace_back("--custom-types");
    }
    if (options_.allow_anonymous_transfer) {
        args.emplace_back("--allow-anonymous-transfer");
    }
    // Only when asked for, so that every other test sees the server as it always was.
    const std::pair<const char*, int> browsing[] = {
        {"--browse-nodes", options_.browse_nodes},
        {"--max-references-per-node", options_.max_references_per_node},
        {"--max-nodes-per-browse", options_.max_nodes_per_browse},
        {"--max-browse-continuation-points", options_.max_browse_continuation_points},
        {"--browse-tree-nodes", options_.browse_tree_nodes},
        {"--leading-namespaces", options_.leading_namespaces},
        {"--max-monitored-items-per-call", options_.max_monitored_items_per_call},
        {"--max-monitored-items-per-subscription", options_.max_monitored_items_per_subscription},
        {"--max-publish-requests", options_.max_publish_requests},
    };
    for (const auto& [option, value] : browsing) {
        if (value > 0) {
            args.emplace_back(option);
            args.push_back(std::to_string(value));
        }
    }
    if (options_.changing_percent > 0) {
        args.emplace_back("--changing-percent");
        args.push_back(std::to_string(options_.changing_percent));
    }
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    // The child gets a home of its own, so that nothing lands in the user's.
    std::vector<std::string> env_strings;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "HOME=", 5) != 0) {
            env_strings.emplace_back(*e);
        }
    }
    env_strings.push_back("HOME=" + work_dir_.string());
    std::vector<char*> envp;
    for (auto& entry : env_strings) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    const int log_fd = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log_fd < 0) {
        throw std::runtime_error("OpcUaTestServer: cannot write " + log_path.string() + ": " +
                                 std::strerror(errno));
    }
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        ::close(log_fd);
        throw std::runtime_error(std::string("OpcUaTestServer: pipe: ") + std::strerror(errno));
    }
    const std::string dir = server_dir().string();
    const pid_t child = ::fork();
    if (child < 0) {
        const int err = errno;
        ::close(log_fd);
        ::close(pipe_fds[0]);
        ::close(pipe_fds[1]);
        throw std::runtime_error(std::string("OpcUaTestServer: fork: ") + std::strerror(err));
    }
    if (child == 0) {
        // Only async-signal-safe calls from here on.
        ::dup2(pipe_fds[0], STDIN_FILENO);
        ::dup2(log_fd, STDOUT_FILENO);
        ::dup2(log_fd, STDERR_FILENO);
        // Sockets of the test's own clients must not stay open in the server.
        ::syscall(SYS_close_range, 3U, ~0U, 0U);
        if (::chdir(dir.c_str()) != 0) {
            ::_exit(126);
        }
        ::execvpe("node", argv.data(), envp.data());
        static const char msg[] = "OpcUaTestServer: cannot run node (is Node.js installed?)\n";
        [[maybe_unused]] auto ignored = ::write(STDERR_FILENO, msg, sizeof msg - 1);
        ::_exit(127);
    }
    ::close(log_fd);
    ::close(pipe_fds[0]);
    stdin_fd_ = pipe_fds[1];
    pid_ = child;
}

void OpcUaTestServer::stop() {
    if (!running()) {
        return;
    }
    ::kill(pid_, SIGCONT);
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    ::close(stdin_fd_);
    stdin_fd_ = -1;
}

void OpcUaTestServer::restart() {
    stop();
    start();
}

void OpcUaTestServer::pause() {
    if (running()) {
        ::kill(pid_, SIGSTOP);
    }
}

void OpcUaTestServer::resume() {
    if (running()) {
        ::kill(pid_, SIGCONT);
    }
}

std::chrono::nanoseconds OpcUaTestServer::cpu_time() const {
    return running() ? process_cpu_time(pid_) : std::chrono::nanoseconds{};
}

}  // namespace vantrel::test
