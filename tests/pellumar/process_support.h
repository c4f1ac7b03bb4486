// Running the pellumar program as an operator does, for process-level tests: a prefix with
// bin/pellumar, its output captured, signals, exit statuses; and libpq checks of what it wrote.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "pg_session.h"

extern char** environ;

namespace pellumar_test {

namespace fs = std::filesystem;
using Rows = vantrel::test::PgRows;
// Checks of what the program wrote, on the test server (PG* environment).
using Db = vantrel::test::PgSession;

inline std::string env_or(const char* name, const std::string& fallback = "") {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : fallback;
}

// One pellumar process started in `prefix`, standard output and error going to `output`
// (a file path), or to a pipe whose read end the test holds when `output` is empty.
class ConsoleProcess {
  public:
    ConsoleProcess(const fs::path& prefix, const fs::path& output,
                   const std::vector<std::string>& args = {})
        : output_(output) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        int pipe_fds[2] = {-1, -1};
        if (output.empty()) {
            if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
                throw std::runtime_error("pipe failed");
            }
            posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
            posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);
        } else {
            posix_spawn_file_actions_addopen(&actions, 1, output.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
            posix_spawn_file_actions_adddup2(&actions, 1, 2);
        }
        posix_spawn_file_actions_addchdir_np(&actions, prefix.c_str());
        const std::string exe = (prefix / "bin" / "pellumar").string();
        std::vector<char*> argv{const_cast<char*>(exe.c_str())};
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (pipe_fds[1] >= 0) {
            ::close(pipe_fds[1]);
            read_fd_ = pipe_fds[0];
        }
        if (rc != 0) {
            throw std::runtime_error("cannot start " + exe);
        }
    }
    ~ConsoleProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        close_pipe();
    }
    ConsoleProcess(const ConsoleProcess&) = delete;
    ConsoleProcess& operator=(const ConsoleProcess&) = delete;

    void signal(int signum) { ::kill(pid_, signum); }
    pid_t pid() const { return pid_; }

    // The exit status (128 + signal when killed), or nothing while it still runs after
    // `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return std::nullopt;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    // Output captured to the file.
    std::string output() const {
        std::ifstream in(output_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // Polls the output file until it holds `text`, or `timeout` passes.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (output().find(text) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // With a pipe: reads until `lines` line breaks have arrived.
    std::string read_lines(int lines) {
        std::string text;
        char c = 0;
        while (lines > 0 && ::read(read_fd_, &c, 1) == 1) {
            text += c;
            lines -= c == '\n' ? 1 : 0;
        }
        return text;
    }
    // Closes the reading end, as `head` does once it has its lines.
    void close_pipe() {
        if (read_fd_ >= 0) {
            ::close(read_fd_);
            read_fd_ = -1;
        }
    }

  private:
    fs::path output_;
    pid_t pid_ = -1;
    int read_fd_ = -1;
};

// Every log file in `dir`, concatenated.
inline std::string log_files_text(const fs::path& dir) {
    std::string text;
    if (!fs::exists(dir)) {
        return text;
    }
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        text.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return text;
}

}  // namespace pellumar_test
