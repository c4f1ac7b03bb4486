// Byte vectors written as hex text in tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qevsdk::ua::test {

// "4d 53 47" and "4d5347" both give {0x4d, 0x53, 0x47}; quoted text "..." is taken as ASCII.
inline std::vector<std::uint8_t> hex(std::string_view text) {
    std::vector<std::uint8_t> out;
    int pending = -1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            const std::size_t end = text.find('"', i + 1);
            out.insert(out.end(), text.begin() + static_cast<std::ptrdiff_t>(i + 1),
                       text.begin() + static_cast<std::ptrdiff_t>(end));
            i = end;
            continue;
        }
        int d = -1;
        if (c >= '0' && c <= '9')
            d = c - '0';
        if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        if (d < 0)
            continue;
        if (pending < 0) {
            pending = d;
        } else {
            out.push_back(static_cast<std::uint8_t>(pending * 16 + d));
            pending = -1;
        }
    }
    return out;
}

inline std::string to_hex(const std::uint8_t* p, std::size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        if (i)
            s += ' ';
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

inline std::string to_hex(const std::vector<std::uint8_t>& v) {
    return to_hex(v.data(), v.size());
}

}  // namespace qevsdk::ua::test
