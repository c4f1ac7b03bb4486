// White space as text means it, not only ASCII blanks: spreadsheet exports pad cells with
// no-break spaces (U+00A0) and, in Chinese, with the full-width space U+3000.
#pragma once

#include <string_view>

namespace vantrel::common {

// Whether the code point is white space: Unicode's White_Space set plus the ASCII
// information separators U+001C..U+001F, which common string libraries also strip.
bool is_unicode_space(char32_t code_point) noexcept;

// `text` (UTF-8) without leading and trailing white space. Bytes that are not well-formed
// UTF-8 are never white space, so malformed text is trimmed only up to them.
std::string_view trim_unicode_space(std::string_view text) noexcept;

}  // namespace vantrel::common
