// The HTTP endpoint of a collector's figures: GET /metrics in Prometheus' text format and GET
// /health for a monitoring check, served by libmicrohttpd on a thread of its own, so that no
// client, however slow or hostile, holds up a cycle.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "korrin/metrics.h"

namespace vantrel::korrin {

// [Vantrel] metrics_listen: the one address the endpoint listens on. No host: off.
struct MetricsListen {
    std::string host;  // a name or an address; "0.0.0.0" or "::" only when written so
    std::uint16_t port = 0;
    bool enabled() const noexcept { return !host.empty(); }
    // "host:port", with an IPv6 address in brackets.
    std::string text() const;
};

// "host:port" or "[v6 address]:port"; empty (or only white space) is off. Throws
// std::invalid_argument naming the key and the expected form for anything else.
MetricsListen parse_metrics_listen(std::string_view text);

// The endpoint cannot listen; what() is the whole line for the operator, naming the address
// and what to do.
class MetricsServerError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class MetricsServer {
  public:
    // Guards against clients that would tie the endpoint up; none of them reaches the collector.
    struct Limits {
        unsigned connections = 64;
        unsigned connections_per_client = 16;
        unsigned idle_timeout_seconds = 10;
        std::size_t request_bytes = 16 * 1024;  // headers beyond this are refused
    };

    // Binds the address (every address its host name resolves to is tried, first that binds
    // wins) and serves from then on. Port 0 takes a free one (see port()). Throws
    // MetricsServerError.
    MetricsServer(const MetricsListen& listen, std::shared_ptr<const EngineMetrics> metrics);
    MetricsServer(const MetricsListen& listen, std::shared_ptr<const EngineMetrics> metrics,
                  Limits limits);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // The address and port it listens on, as bound: "127.0.0.1:9100", "[::1]:9100".
    const std::string& address() const noexcept;
    std::uint16_t port() const noexcept;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vantrel::korrin
