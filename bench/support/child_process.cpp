// Starts and stops benchmark children; see child_process.h.
#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace vantrel::bench {

namespace {

volatile std::sig_atomic_t g_stop = 0;

void on_stop_signal(int) {
    g_stop = 1;
}

int status_of(int wait_status) {
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
}

}  // namespace

bool stop_requested() {
    return g_stop != 0;
}

void catch_stop_signals() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

void sleep_unless_stopped(std::chrono::milliseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    while (true) {
        if (stop_requested()) {
            throw std::runtime_error("interrupted");
        }
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            return;
        }
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(50)));
    }
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& dir,
                           const std::filesystem::path& output,
                           const std::vector<std::string>& extra_env)
    : output_(output) {
    if (argv.empty()) {
        throw std::invalid_argument("ChildProcess: no program");
    }
    // Everything the child needs is made before fork: after it only async-signal-safe calls.
    std::vector<std::string> args = argv;
    std::vector<char*> arg_ptrs;
    for (auto& a : args) {
        arg_ptrs.push_back(a.data());
    }
    arg_ptrs.push_back(nullptr);
    // A name given in `extra_env` replaces the inherited one, so that it holds whatever libc
    // or Node.js makes of doubled names.
    const auto overridden = [&extra_env](const char* entry) {
        const char* eq = std::strchr(entry, '=');
        const std::size_t len = eq == nullptr ? std::strlen(entry) : eq - entry + 1;
        for (const auto& extra : extra_env) {
            if (extra.compare(0, len, entry, len) == 0) {
                return true;
            }
        }
        return false;
    };
    std::vector<std::string> env_strings;
    for (char** e = environ; *e != nullptr; ++e) {
        if (!overridden(*e)) {
            env_strings.emplace_back(*e);
        }
    }
    env_strings.insert(env_strings.end(), extra_env.begin(), extra_env.end());
    std::vector<char*> env_ptrs;
    for (auto& e : env_strings) {
        env_ptrs.push_back(e.data());
    }
    env_ptrs.push_back(nullptr);
    const std::string dir_text = dir.string();

    const int out_fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out_fd < 0) {
        throw std::runtime_error("cannot write " + output.string() + ": " + std::strerror(errno));
    }
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) {
        const int err = errno;
        ::close(out_fd);
        throw std::runtime_error(std::string("fork: ") + std::strerror(err));
    }
    if (child == 0) {
        // SIGTERM when the benchmark dies, even by SIGKILL; it may have died before this line.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) {
            ::_exit(125);
        }
        // Back to the default dispositions the benchmark may have changed.
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        const int null_fd = ::open("/dev/null", O_RDONLY);
        if (null_fd >= 0) {
            ::dup2(null_fd, STDIN_FILENO);
        }
        ::dup2(out_fd, STDOUT_FILENO);
        ::dup2(out_fd, STDERR_FILENO);
        ::syscall(SYS_close_range, 3U, ~0U, 0U);
        if (::chdir(dir_text.c_str()) != 0) {
            ::_exit(126);
        }
        ::execvpe(arg_ptrs[0], arg_ptrs.data(), env_ptrs.data());
        static const char msg[] = "cannot run the program\n";
        [[maybe_unused]] auto ignored = ::write(STDERR_FILENO, msg, sizeof msg - 1);
        ::_exit(127);
    }
    ::close(out_fd);
    pid_ = child;
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        stop(std::chrono::seconds(5));
    }
}

bool ChildProcess::running() {
    if (pid_ <= 0) {
        return false;
    }
    int wait_status = 0;
    if (::waitpid(pid_, &wait_status, WNOHANG) == pid_) {
        status_ = status_of(wait_status);
        pid_ = -1;
        return false;
    }
    return true;
}

int ChildProcess::stop(std::chrono::milliseconds grace) {
    if (!running()) {
        return status_.value_or(0);
    }
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + grace;
    int wait_status = 0;
    while (::waitpid(pid_, &wait_status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &wait_status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    status_ = status_of(wait_status);
    pid_ = -1;
    return *status_;
}

std::string ChildProcess::output() const {
    std::ifstream in(output_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool ChildProcess::wait_for_output(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (output().find(text) != std::string::npos) {
            return true;
        }
        if (!running()) {
            return output().find(text) != std::string::npos;
        }
        sleep_unless_stopped(std::chrono::milliseconds(50));
    }
    return false;
}

}  // namespace vantrel::bench
