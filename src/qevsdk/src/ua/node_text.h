// Tag names as the engine gives them, turned into NodeIds on the wire.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "codec.h"

namespace qevsdk::ua {

// `i=123`, `s=text`, `g=<guid>` and `b=<base64>` name the identifier's kind; anything else,
// including a malformed `i=`, `g=` or `b=` form, is a string identifier taken whole.
// A namespace index outside 0..65535 encodes the null NodeId, which every server answers
// with a Bad status for that node alone.
void encode_tag_node_id(Writer& w, int namespace_index, std::string_view tag_name,
                        std::vector<std::uint8_t>& scratch);

// Parsers behind it, exposed for tests.
std::optional<std::uint32_t> parse_numeric_id(std::string_view text);
std::optional<std::array<std::uint8_t, 16>> parse_guid(std::string_view text);
bool decode_base64(std::string_view text, std::vector<std::uint8_t>& out);

}  // namespace qevsdk::ua
