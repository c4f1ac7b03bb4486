// Strict decoding of files from outside (tag lists): UTF-8 first, then GBK.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace vantrel::common {

enum class TextEncoding { utf8, gbk };

// "utf-8" or "gbk": the name reported in logs.
std::string_view encoding_name(TextEncoding encoding) noexcept;

class DecodeError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct DecodedText {
    std::string text;  // UTF-8
    TextEncoding encoding = TextEncoding::utf8;
    bool bom_removed = false;
};

// Most Chinese UTF-8 text also forms valid GBK, so UTF-8 is tried first (after removing a
// UTF-8 byte-order mark), and GBK only when the bytes are not UTF-8. Throws DecodeError when
// the bytes are valid in neither.
DecodedText decode_text(std::string_view bytes);

// Whether `bytes` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool is_valid_utf8(std::string_view bytes) noexcept;

// Strict GBK to UTF-8 through iconv; throws DecodeError naming the byte offset of the first
// invalid sequence.
std::string gbk_to_utf8(std::string_view bytes);

}  // namespace vantrel::common
