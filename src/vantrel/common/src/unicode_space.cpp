// Trimming of UTF-8 text by code point rather than by byte.
#include "common/unicode_space.h"

#include <cstddef>
#include <optional>

namespace vantrel::common {

namespace {

struct Decoded {
    char32_t code_point;
    std::size_t length;
};

std::optional<Decoded> decode_at(std::string_view text, std::size_t pos) noexcept {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[pos + i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        return Decoded{lead, 1};
    }
    std::size_t length = 0;
    char32_t cp = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        cp = lead & 0x0F;
    } else {
        // Four-byte sequences hold no white space; neither do malformed bytes.
        return std::nullopt;
    }
    if (text.size() - pos < length) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return std::nullopt;
        }
        cp = (cp << 6) | (byte(i) & 0x3F);
    }
    if (length == 3 && cp < 0x800) {
        return std::nullopt;  // an overlong form is malformed, not a disguised blank
    }
    return Decoded{cp, length};
}

// The start of the code point that ends just before `end`, if it is well formed.
std::optional<Decoded> decode_before(std::string_view text, std::size_t end) noexcept {
    std::size_t start = end;
    for (std::size_t back = 0; back < 3 && start > 0; ++back) {
        --start;
        if ((static_cast<unsigned char>(text[start]) & 0xC0) != 0x80) {
            auto decoded = decode_at(text, start);
            if (decoded && start + decoded->length == end) {
                return decoded;
            }
            return std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace

bool is_unicode_space(char32_t c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0 ||
           c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
           c == 0x202F || c == 0x205F || c == 0x3000;
}

std::string_view trim_unicode_space(std::string_view text) noexcept {
    std::size_t begin = 0;
    while (begin < text.size()) {
        const auto decoded = decode_at(text, begin);
        if (!decoded || !is_unicode_space(decoded->code_point)) {
            break;
        }
        begin += decoded->length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        const auto decoded = decode_before(text, end);
        if (!decoded || !is_unicode_space(decoded->code_point)) {
            break;
        }
        end -= decoded->length;
    }
    return text.substr(begin, end - begin);
}

}  // namespace vantrel::common
