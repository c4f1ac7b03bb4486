// `opc.tcp://host[:port][/path]` as written in a source schema.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qevsdk::ua {

inline constexpr std::uint16_t kDefaultPort = 4840;

struct EndpointAddress {
    std::string host;  // without brackets for IPv6 literals
    std::uint16_t port = kDefaultPort;
    std::string url;  // what is sent to the server: the schema as given
};

// Nullopt when the text does not start with `opc.tcp://`, has no host, or has a port that
// is not a number in 1..65535. A missing port means 4840.
std::optional<EndpointAddress> parse_endpoint_url(std::string_view text);

// `opc.tcp://host:port` for discovery; port 0 means 4840, an empty host the local machine.
EndpointAddress make_endpoint(std::string_view host, std::uint16_t port);

}  // namespace qevsdk::ua
