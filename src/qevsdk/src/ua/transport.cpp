// TCP transport with non-blocking sockets and poll(), so every wait has a deadline.
#include "transport.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "status.h"

namespace qevsdk::ua {

namespace {

int millis_until(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
        return 0;
    }
    return left.count() > 60'000 ? 60'000 : static_cast<int>(left.count());
}

// Waits for `events`; false on timeout.
bool wait_for(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int ms = millis_until(deadline);
        const int rc = ::poll(&p, 1, ms);
        if (rc > 0) {
            return true;
        }
        if (rc == 0) {
            if (Clock::now() >= deadline) {
                return false;
            }
            continue;
        }
        if (errno != EINTR) {
            throw UaError(status::BadCommunicationError,
                          std::string("waiting on the connection failed: ") + std::strerror(errno));
        }
    }
}

class TcpTransport final : public Transport {
  public:
    explicit TcpTransport(int fd) : fd_(fd) {}
    ~TcpTransport() override { close(); }

    void send(const std::uint8_t* data, std::size_t size, Clock::time_point deadline) override {
        while (size > 0) {
            check_open();
            const ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL);
            if (n > 0) {
                data += n;
                size -= static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (!wait_for(fd_, POLLOUT, deadline)) {
                    throw UaError(status::BadTimeout, "the server does not take data in time");
                }
                continue;
            }
            throw UaError(status::BadConnectionClosed,
                          std::string("the connection was lost: ") + std::strerror(errno));
        }
    }

    std::size_t receive(std::uint8_t* data, std::size_t size, Clock::time_point deadline) override {
        const std::size_t n = receive_some(data, size, deadline);
        if (n == 0) {
            throw UaError(status::BadTimeout, "the server did not answer in time");
        }
        return n;
    }

    std::size_t receive_some(std::uint8_t* data, std::size_t size,
                             Clock::time_point deadline) override {
        for (;;) {
            check_open();
            const ssize_t n = ::recv(fd_, data, size, 0);
            if (n > 0) {
                return static_cast<std::size_t>(n);
            }
            if (n == 0) {
                throw UaError(status::BadConnectionClosed, "the server closed the connection");
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (!wait_for(fd_, POLLIN, deadline)) {
                    return 0;
                }
                continue;
            }
            throw UaError(status::BadConnectionClosed,
                          std::string("the connection was lost: ") + std::strerror(errno));
        }
    }

    void close() override {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

  private:
    void check_open() const {
        if (fd_ < 0) {
            throw UaError(status::BadNotConnected, "the connection is closed");
        }
    }
    int fd_;
};

// Connects one address; returns the socket or -1 with `error` set.
int connect_one(const addrinfo* ai, Clock::time_point deadline, std::string& error) {
    const int fd =
        ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    int rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
    if (rc < 0 && errno == EINPROGRESS) {
        if (!wait_for(fd, POLLOUT, deadline)) {
            ::close(fd);
            error = "no answer in time";
            return -1;
        }
        int so_error = 0;
        socklen_t len = sizeof so_error;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len);
        if (so_error != 0) {
            errno = so_error;
            rc = -1;
        } else {
            rc = 0;
        }
    }
    if (rc < 0) {
        error = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

}  // namespace

std::size_t Transport::receive_some(std::uint8_t* data, std::size_t size,
                                    Clock::time_point deadline) {
    try {
        return receive(data, size, deadline);
    } catch (const UaError& e) {
        if ((e.code() & 0xFFFF0000) == status::BadTimeout) {
            return 0;
        }
        throw;
    }
}

std::unique_ptr<Transport> tcp_connect(const std::string& host, std::uint16_t port,
                                       Clock::time_point deadline) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0) {
        throw UaError(status::BadNotConnected,
                      "cannot resolve host '" + host + "': " + ::gai_strerror(rc));
    }
    std::string error = "no address";
    int fd = -1;
    for (const addrinfo* ai = list; ai && fd < 0; ai = ai->ai_next) {
        fd = connect_one(ai, deadline, error);
    }
    ::freeaddrinfo(list);
    if (fd < 0) {
        throw UaError(status::BadNotConnected,
                      "cannot connect to " + host + ":" + service + ": " + error);
    }
    return std::make_unique<TcpTransport>(fd);
}

}  // namespace qevsdk::ua
