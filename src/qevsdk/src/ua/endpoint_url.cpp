// `opc.tcp://host[:port][/path]` as written in a source schema.
#include "endpoint_url.h"

namespace qevsdk::ua {

std::optional<EndpointAddress> parse_endpoint_url(std::string_view text) {
    constexpr std::string_view prefix = "opc.tcp://";
    if (text.substr(0, prefix.size()) != prefix) {
        return std::nullopt;
    }
    std::string_view rest = text.substr(prefix.size());
    const std::size_t slash = rest.find('/');
    const std::string_view authority = rest.substr(0, slash);
    std::string_view host;
    std::string_view port_text;
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        host = authority.substr(1, close - 1);
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') {
                return std::nullopt;
            }
            port_text = after.substr(1);
            if (port_text.empty()) {
                return std::nullopt;
            }
        }
    } else {
        const std::size_t colon = authority.rfind(':');
        host = authority.substr(0, colon);
        if (colon != std::string_view::npos) {
            port_text = authority.substr(colon + 1);
            if (port_text.empty()) {
                return std::nullopt;
            }
        }
    }
    const bool bracketed = !authority.empty() && authority.front() == '[';
    if (host.empty() || (!bracketed && host.find(':') != std::string_view::npos)) {
        return std::nullopt;
    }
    EndpointAddress a;
    a.host = std::string(host);
    if (!port_text.empty()) {
        if (port_text.size() > 5) {
            return std::nullopt;
        }
        unsigned v = 0;
        for (char c : port_text) {
            if (c < '0' || c > '9') {
                return std::nullopt;
            }
            v = v * 10 + static_cast<unsigned>(c - '0');
        }
        if (v == 0 || v > 65535) {
            return std::nullopt;
        }
        a.port = static_cast<std::uint16_t>(v);
    }
    a.url = std::string(text);
    return a;
}

EndpointAddress make_endpoint(std::string_view host, std::uint16_t port) {
    EndpointAddress a;
    a.host = host.empty() ? std::string("localhost") : std::string(host);
    a.port = port == 0 ? kDefaultPort : port;
    const bool v6 = a.host.find(':') != std::string::npos;
    a.url = "opc.tcp://" + (v6 ? "[" + a.host + "]" : a.host) + ":" + std::to_string(a.port);
    return a;
}

}  // namespace qevsdk::ua
