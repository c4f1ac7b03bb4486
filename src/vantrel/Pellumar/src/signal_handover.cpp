// Self-pipe signal hand-over: write(2) is async-signal-safe, logging and stopping are not.
#include "pellumar/signal_handover.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <string>

namespace vantrel::pellumar {

namespace {

std::atomic<int> g_write_fd{-1};

extern "C" void on_signal(int signum) {
    const int saved_errno = errno;
    const int fd = g_write_fd.load();
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signum);
        // A full pipe already holds a pending signal; dropping this one loses nothing.
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
    errno = saved_errno;
}

void install(int signum) {
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (::sigaction(signum, &action, nullptr) != 0) {
        throw std::runtime_error(std::string("cannot install the signal handler: ") +
                                 std::strerror(errno));
    }
}

void restore_default(int signum) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(signum, &action, nullptr);
}

}  // namespace

SignalHandover::SignalHandover() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error(std::string("cannot create the signal pipe: ") +
                                 std::strerror(errno));
    }
    read_fd_ = fds[0];
    write_fd_ = fds[1];
    int expected = -1;
    if (!g_write_fd.compare_exchange_strong(expected, write_fd_)) {
        ::close(read_fd_);
        ::close(write_fd_);
        throw std::logic_error("only one SignalHandover may exist at a time");
    }
    install(SIGINT);
    install(SIGTERM);
}

SignalHandover::~SignalHandover() {
    restore_default(SIGINT);
    restore_default(SIGTERM);
    g_write_fd.store(-1);
    ::close(read_fd_);
    ::close(write_fd_);
}

std::optional<int> SignalHandover::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        unsigned char byte = 0;
        const ssize_t n = ::read(read_fd_, &byte, 1);
        if (n == 1) {
            return static_cast<int>(byte);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pollfd pfd{read_fd_, POLLIN, 0};
        const int rc = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (rc < 0 && errno != EINTR) {
            throw std::runtime_error(std::string("waiting for signals failed: ") +
                                     std::strerror(errno));
        }
    }
}

}  // namespace vantrel::pellumar
