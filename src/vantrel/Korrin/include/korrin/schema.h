// Server schemas: the protocol a schema names, and which schemas a collector accepts.
#pragma once

#include <string>
#include <string_view>

namespace vantrel::korrin {

// "UA" for "opc.tcp://…", otherwise "DA" (exact, case-sensitive prefixes).
std::string detect_protocol(std::string_view schema);

// Throws std::invalid_argument("Invalid OPC schema format: <schema>. Must start with
// 'opc.da://' or 'opc.tcp://'") unless the schema has one of those prefixes.
void validate_schema(const std::string& schema);

}  // namespace vantrel::korrin
