// A service manager's notify socket for the tests: a datagram socket bound in a test folder and
// named in NOTIFY_SOCKET while it exists, as systemd does for a Type=notify service.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace pellumar_test {

class NotifySocket {
  public:
    explicit NotifySocket(const std::filesystem::path& path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const std::string name = path.string();
        if (fd_ < 0 || name.size() >= sizeof addr.sun_path) {
            throw std::runtime_error("cannot make a notify socket at " + name);
        }
        name.copy(addr.sun_path, name.size());
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            throw std::runtime_error("cannot bind " + name);
        }
        ::setenv("NOTIFY_SOCKET", name.c_str(), 1);
    }
    ~NotifySocket() {
        ::unsetenv("NOTIFY_SOCKET");
        ::close(fd_);
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    // Every message that arrived since the last call; waits up to `timeout` for the first.
    std::vector<std::string> take(
        std::chrono::milliseconds timeout = std::chrono::milliseconds(0)) {
        std::vector<std::string> got;
        pollfd pfd{fd_, POLLIN, 0};
        if (timeout.count() > 0 && ::poll(&pfd, 1, static_cast<int>(timeout.count())) != 1) {
            return got;
        }
        char buf[4096];
        for (;;) {
            const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0) {
                return got;
            }
            got.emplace_back(buf, static_cast<std::size_t>(n));
        }
    }

  private:
    int fd_ = -1;
};

}  // namespace pellumar_test
