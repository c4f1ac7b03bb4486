// Server schemas and UA tag texts: which protocol a schema names, which schemas a collector
// accepts, and how "ns:identifier" splits.
#include <cctype>
#include <charconv>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "korrin/base_collector.h"
#include "korrin/quality.h"

namespace vantrel::korrin {

namespace {

constexpr std::string_view kUaPrefix = "opc.tcp://";
constexpr std::string_view kDaPrefix = "opc.da://";

bool is_space(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// A decimal integer with optional surrounding white space and sign, nothing else.
std::optional<int> parse_int(std::string_view text) {
    while (!text.empty() && is_space(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && is_space(text.back())) {
        text.remove_suffix(1);
    }
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
            return std::nullopt;
        }
    }
    if (text.empty()) {
        return std::nullopt;
    }
    int value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::string detect_protocol(std::string_view schema) {
    if (schema.starts_with(kUaPrefix)) {
        return "UA";
    }
    // Anything else is taken as DA here; only the concrete collector rejects it.
    return "DA";
}

void validate_schema(const std::string& schema) {
    std::string_view s(schema);
    if (!s.starts_with(kDaPrefix) && !s.starts_with(kUaPrefix)) {
        throw std::invalid_argument("Invalid OPC schema format: " + schema +
                                    ". Must start with 'opc.da://' or 'opc.tcp://'");
    }
}

std::pair<int, std::string> BaseQevCollectorThread::parse_ua_tag(const std::string& tag) {
    const auto colon = tag.find(':');
    if (colon == std::string::npos) {
        return {0, tag};
    }
    if (auto ns = parse_int(std::string_view(tag).substr(0, colon))) {
        return {*ns, tag.substr(colon + 1)};
    }
    return {0, tag};
}

}  // namespace vantrel::korrin
