// Strict decoding: UTF-8 (byte-order mark removed) first, GBK through glibc iconv second.
#include "common/text_decode.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "text_util.h"

namespace vantrel::common {

std::string_view encoding_name(TextEncoding encoding) noexcept {
    switch (encoding) {
        case TextEncoding::utf8:
            return "utf-8";
        case TextEncoding::gbk:
            return "gbk";
    }
    return "unknown";
}

bool is_valid_utf8(std::string_view bytes) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len = 0;
        unsigned char lo = 0x80;
        unsigned char hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) {
                lo = 0xA0;  // no overlong forms
            } else if (c == 0xED) {
                hi = 0x9F;  // no surrogates
            }
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) {
                lo = 0x90;
            } else if (c == 0xF4) {
                hi = 0x8F;  // nothing past U+10FFFF
            }
        } else {
            return false;
        }
        if (n - i < len) {
            return false;
        }
        if (s[i + 1] < lo || s[i + 1] > hi) {
            return false;
        }
        for (std::size_t k = 2; k < len; ++k) {
            if (s[i + k] < 0x80 || s[i + k] > 0xBF) {
                return false;
            }
        }
        i += len;
    }
    return true;
}

std::string gbk_to_utf8(std::string_view bytes) {
    iconv_t cd = ::iconv_open("UTF-8", "GBK");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        throw DecodeError(std::string("GBK decoding is not available: ") + std::strerror(errno));
    }
    std::string out;
    out.resize(bytes.size() * 2 + 16);  // GBK's two bytes become at most three in UTF-8
    char* in = const_cast<char*>(bytes.data());
    std::size_t in_left = bytes.size();
    char* dst = out.data();
    std::size_t out_left = out.size();
    while (in_left > 0) {
        const std::size_t r = ::iconv(cd, &in, &in_left, &dst, &out_left);
        if (r != static_cast<std::size_t>(-1)) {
            break;
        }
        if (errno == E2BIG) {
            const std::size_t used = static_cast<std::size_t>(dst - out.data());
            out.resize(out.size() * 2);
            dst = out.data() + used;
            out_left = out.size() - used;
            continue;
        }
        const std::size_t offset = bytes.size() - in_left;
        ::iconv_close(cd);
        throw DecodeError((errno == EINVAL ? "incomplete GBK sequence at the end, byte "
                                           : "invalid GBK sequence at byte ") +
                          std::to_string(offset));
    }
    out.resize(static_cast<std::size_t>(dst - out.data()));
    ::iconv_close(cd);
    return out;
}

DecodedText decode_text(std::string_view bytes) {
    DecodedText result;
    std::string_view body = bytes;
    if (body.starts_with(detail::kUtf8Bom)) {
        body.remove_prefix(detail::kUtf8Bom.size());
        result.bom_removed = true;
    }
    if (is_valid_utf8(body)) {
        result.text.assign(body);
        result.encoding = TextEncoding::utf8;
        return result;
    }
    if (result.bom_removed) {
        // A byte-order mark promises UTF-8; don't guess another encoding behind it.
        throw DecodeError("the text starts with a UTF-8 byte-order mark but is not valid UTF-8");
    }
    try {
        result.text = gbk_to_utf8(bytes);
    } catch (const DecodeError& e) {
        throw DecodeError(std::string("the text is neither UTF-8 nor GBK (") + e.what() +
                          "); save it as UTF-8");
    }
    result.encoding = TextEncoding::gbk;
    return result;
}

}  // namespace vantrel::common
