// The figures' HTTP endpoint over libmicrohttpd. The listening socket is made here rather than
// by the library, so that a port in use or an address this machine does not have is reported
// with its cause; the library's one internal thread polls every connection, and its limits and
// time-outs keep slow or numerous clients to themselves.
#include "korrin/metrics_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include "common/text.h"
#include "log.h"

namespace vantrel::korrin {

namespace {

constexpr const char* kKey = "[Vantrel] metrics_listen";

[[noreturn]] void bad_listen(std::string_view text, const std::string& why) {
    throw std::invalid_argument(std::string(kKey) + " must be host:port (for example " +
                                "127.0.0.1:9100, or [::1]:9100), not '" + std::string(text) +
                                "': " + why);
}

// "host:port", with an IPv6 host in brackets. Appended piece by piece: GCC 12 at -O3 warns
// falsely (-Wrestrict) about "[" + std::string.
std::string host_port(std::string_view host, std::uint16_t port) {
    const bool v6 = host.find(':') != std::string_view::npos;
    std::string out;
    if (v6) {
        out += '[';
    }
    out += host;
    if (v6) {
        out += ']';
    }
    out += ':';
    out += std::to_string(port);
    return out;
}

std::string address_text(const sockaddr* addr) {
    char host[INET6_ADDRSTRLEN] = {};
    if (addr->sa_family == AF_INET6) {
        const auto* a6 = reinterpret_cast<const sockaddr_in6*>(addr);
        ::inet_ntop(AF_INET6, &a6->sin6_addr, host, sizeof host);
        return host_port(host, ntohs(a6->sin6_port));
    }
    const auto* a4 = reinterpret_cast<const sockaddr_in*>(addr);
    ::inet_ntop(AF_INET, &a4->sin_addr, host, sizeof host);
    return host_port(host, ntohs(a4->sin_port));
}

// What to do about a bind that failed, in the operator's words.
std::string bind_advice(int error, const std::string& where) {
    switch (error) {
        case EADDRINUSE:
            return where + " is already in use by another program: choose another port in " + kKey +
                   ", or stop the program that listens there";
        case EADDRNOTAVAIL:
            return where +
                   " is not an address of this machine: give one of its own addresses "
                   "(or 127.0.0.1) in " +
                   kKey;
        case EACCES:
            return where +
                   " needs privileges this process does not have: choose a port above "
                   "1023 in " +
                   kKey;
        default:
            return where + ": " + std::strerror(error);
    }
}

// Binds and listens on the first of the host's addresses that takes it.
int open_listener(const MetricsListen& listen, std::string& bound) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(listen.port);
    const int rc = ::getaddrinfo(listen.host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) {
        throw MetricsServerError("Cannot serve metrics on " + listen.text() + ": the host '" +
                                 listen.host + "' is not known (" + ::gai_strerror(rc) +
                                 "); give an address or a name of this machine in " + kKey);
    }
    std::string failure;
    int fd = -1;
    for (const addrinfo* ai = found; ai != nullptr && fd < 0; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) {
            continue;
        }
        const int s = ::socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0) {
            failure = address_text(ai->ai_addr) + ": " + std::strerror(errno);
            continue;
        }
        const int on = 1;
        // A restart may find the last run's connections in TIME_WAIT; another listener on the
        // port still makes the bind fail.
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (ai->ai_family == AF_INET6) {
            // "::" means the IPv6 addresses as asked, not the IPv4 ones as well.
            ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        }
        if (::bind(s, ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(s, 64) != 0) {
            failure = bind_advice(errno, address_text(ai->ai_addr));
            ::close(s);
            continue;
        }
        sockaddr_storage local{};
        socklen_t len = sizeof local;
        ::getsockname(s, reinterpret_cast<sockaddr*>(&local), &len);
        bound = address_text(reinterpret_cast<sockaddr*>(&local));
        fd = s;
    }
    ::freeaddrinfo(found);
    if (fd < 0) {
        throw MetricsServerError("Cannot serve metrics on " + listen.text() + ": " +
                                 (failure.empty() ? "no IPv4 or IPv6 address" : failure));
    }
    return fd;
}

void library_log(void*, const char* format, va_list args) {
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    log().debug("metrics endpoint: {}", text);
}

MHD_Result answer(MHD_Connection* connection, unsigned status, const std::string& body,
                  const char* content_type, bool allow_get = false) {
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        return MHD_NO;  // out of memory: the library closes the connection
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, content_type);
    if (allow_get) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, MHD_HTTP_METHOD_GET);
    }
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

}  // namespace

std::string MetricsListen::text() const {
    return host_port(host, port);
}

MetricsListen parse_metrics_listen(std::string_view text) {
    const std::string_view value = common::strip(text);
    if (value.empty()) {
        return {};
    }
    const auto colon = value.rfind(':');
    if (colon == std::string_view::npos) {
        bad_listen(value, "the port is missing");
    }
    std::string_view host = value.substr(0, colon);
    const std::string_view port_text = value.substr(colon + 1);
    if (!host.empty() && host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') {
            bad_listen(value, "an IPv6 address goes in brackets, as [::1]:9100");
        }
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string_view::npos) {
        bad_listen(value, "an IPv6 address goes in brackets, as [::1]:9100");
    }
    if (host.empty()) {
        bad_listen(value, "the host is missing (write 0.0.0.0 to listen on every address)");
    }
    unsigned long port = 0;
    bool digits = !port_text.empty() && port_text.size() <= 5;
    for (const char c : port_text) {
        digits = digits && c >= '0' && c <= '9';
        port = port * 10 + static_cast<unsigned long>(c - '0');
    }
    if (!digits || port < 1 || port > 65535) {
        bad_listen(value, "the port must be a number from 1 to 65535");
    }
    return {std::string(host), static_cast<std::uint16_t>(port)};
}

struct MetricsServer::Impl {
    std::shared_ptr<const EngineMetrics> metrics;
    std::string address;
    std::uint16_t port = 0;
    MHD_Daemon* daemon = nullptr;

    static MHD_Result on_request(void* cls, MHD_Connection* connection, const char* url,
                                 const char* method, const char* version, const char*,
                                 size_t* upload_size, void** request) {
        auto* self = static_cast<Impl*>(cls);
        if (*request != nullptr) {
            // A body after the answer was queued: read and ignored.
            *upload_size = 0;
            return MHD_YES;
        }
        *request = self;
        if (std::strcmp(version, MHD_HTTP_VERSION_1_1) == 0 &&
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST) ==
                nullptr) {
            // HTTP/1.1 requires the header; a request without it is malformed.
            return answer(connection, MHD_HTTP_BAD_REQUEST, "bad request: no Host header\n",
                          "text/plain; charset=utf-8");
        }
        if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0) {
            return answer(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET is served\n",
                          "text/plain; charset=utf-8", true);
        }
        try {
            const std::string_view path = url;
            if (path == "/metrics") {
                return answer(connection, MHD_HTTP_OK, render_prometheus(*self->metrics),
                              "text/plain; version=0.0.4; charset=utf-8");
            }
            if (path == "/health") {
                const double now = unix_now();
                const Health health = evaluate_health(*self->metrics, now);
                return answer(connection, health.ok ? MHD_HTTP_OK : MHD_HTTP_SERVICE_UNAVAILABLE,
                              health_json(health, *self->metrics, now), "application/json");
            }
            return answer(connection, MHD_HTTP_NOT_FOUND, "not found: try /metrics or /health\n",
                          "text/plain; charset=utf-8");
        } catch (const std::exception& e) {
            // A failure to answer one request (memory) must never end the collector.
            log().warn("metrics endpoint: answering {} failed: {}", path_text(url), e.what());
            return MHD_NO;
        }
    }

    static std::string path_text(const char* url) {
        std::string text = url != nullptr ? url : "";
        if (text.size() > 80) {
            text.resize(80);
        }
        return text;
    }
};

MetricsServer::MetricsServer(const MetricsListen& listen,
                             std::shared_ptr<const EngineMetrics> metrics)
    : MetricsServer(listen, std::move(metrics), Limits{}) {}

MetricsServer::MetricsServer(const MetricsListen& listen,
                             std::shared_ptr<const EngineMetrics> metrics, Limits limits)
    : impl_(std::make_unique<Impl>()) {
    if (!metrics) {
        throw std::invalid_argument("the metrics endpoint needs the collector's figures");
    }
    impl_->metrics = std::move(metrics);
    const int fd = open_listener(listen, impl_->address);
    sockaddr_storage local{};
    socklen_t len = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
    impl_->port =
        ntohs(local.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&local)->sin6_port
                                          : reinterpret_cast<const sockaddr_in*>(&local)->sin_port);
    const unsigned flags = MHD_USE_AUTO_INTERNAL_THREAD | MHD_USE_ERROR_LOG |
                           (local.ss_family == AF_INET6 ? MHD_USE_IPv6 : 0);
    impl_->daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &Impl::on_request, impl_.get(), MHD_OPTION_EXTERNAL_LOGGER,
        &library_log, nullptr, MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT,
        limits.connections, MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits.connections_per_client,
        MHD_OPTION_CONNECTION_TIMEOUT, limits.idle_timeout_seconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits.request_bytes, MHD_OPTION_END);
    if (impl_->daemon == nullptr) {
        // The socket is left open: whether the library closed it on its way out is not said,
        // and closing another thread's new descriptor would be worse than one left to the exit.
        throw MetricsServerError("Cannot serve metrics on " + impl_->address +
                                 ": the HTTP server did not start (see the debug log)");
    }
}

MetricsServer::~MetricsServer() {
    if (impl_ && impl_->daemon != nullptr) {
        // Closes the listening socket and every connection, and ends the library's thread.
        MHD_stop_daemon(impl_->daemon);
    }
}

const std::string& MetricsServer::address() const noexcept {
    return impl_->address;
}

std::uint16_t MetricsServer::port() const noexcept {
    return impl_->port;
}

}  // namespace vantrel::korrin
