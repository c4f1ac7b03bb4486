// A bare HTTP/1.1 client over a socket for the metrics endpoint's tests: it sends exactly the
// bytes it is given, so a test can send what no well-behaved client would.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vantrel::test {

// A connected socket to 127.0.0.1:port, closed with the object; reads give up after `timeout`.
class HttpConnection {
  public:
    explicit HttpConnection(std::uint16_t port, int timeout_seconds = 20) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd_ < 0) {
            throw std::runtime_error("socket failed");
        }
        timeval tv{.tv_sec = timeout_seconds, .tv_usec = 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~HttpConnection() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    bool connected() const { return connected_; }
    // False when the peer has closed or the send failed.
    bool send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }
    // Everything until the peer closes (or the time-out).
    std::string read_all() {
        std::string out;
        char buf[4096];
        for (;;) {
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) {
                return out;
            }
            out.append(buf, static_cast<std::size_t>(n));
        }
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
};

struct HttpAnswer {
    int status = 0;  // 0: no answer
    std::string head;
    std::string body;
};

inline HttpAnswer parse_answer(const std::string& raw) {
    HttpAnswer a;
    const auto end = raw.find("\r\n\r\n");
    a.head = raw.substr(0, end);
    a.body = end == std::string::npos ? "" : raw.substr(end + 4);
    if (raw.rfind("HTTP/1.", 0) == 0 && raw.size() > 12) {
        a.status = std::stoi(raw.substr(9, 3));
    }
    return a;
}

inline HttpAnswer http_raw(std::uint16_t port, std::string_view request) {
    HttpConnection c(port);
    if (!c.connected() || !c.send(request)) {
        return {};
    }
    return parse_answer(c.read_all());
}

inline HttpAnswer http_get(std::uint16_t port, const std::string& path) {
    return http_raw(port,
                    "GET " + path + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
}

}  // namespace vantrel::test
