// Text from outside made safe for a log line.
#include "common/shown_text.h"

namespace vantrel::common {

std::string shown_text(std::string_view text, std::size_t max_bytes) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    std::size_t i = 0;
    for (; i < text.size() && out.size() < max_bytes; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0xF];
        } else {
            out += static_cast<char>(c);
        }
    }
    if (i < text.size()) {
        // Cut at a character boundary, so that the log line stays valid UTF-8.
        std::size_t start = out.size();
        while (start > 0 && (static_cast<unsigned char>(out[start - 1]) & 0xC0) == 0x80) {
            --start;
        }
        if (start > 0) {
            const auto lead = static_cast<unsigned char>(out[start - 1]);
            const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
            if (out.size() - (start - 1) < length) {
                out.resize(start - 1);
            }
        }
        out += "... (" + std::to_string(text.size()) + " bytes)";
    }
    return out;
}
}  // namespace vantrel::common
