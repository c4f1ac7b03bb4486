// Server schemas and UA tag texts: which protocol a schema names, which schemas a collector
// accepts, and how "ns:identifier" splits.
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "korrin/base_collector.h"
#include "korrin/schema.h"
#include "qevsdk/ua_tag.h"

namespace vantrel::korrin {

namespace {

constexpr std::string_view kUaPrefix = "opc.tcp://";
constexpr std::string_view kDaPrefix = "opc.da://";

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
    // qev-read applies the same rule, so that it reads what the collector would.
    return qevsdk::split_ua_tag(tag);
}

}  // namespace vantrel::korrin
