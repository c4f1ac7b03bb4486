// Server schemas: which protocol a schema names, and which schemas a collector accepts.
#include <stdexcept>
#include <string>
#include <string_view>

#include "korrin/schema.h"

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

}  // namespace vantrel::korrin
