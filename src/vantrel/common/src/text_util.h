// Small text helpers shared by the INI, CSV and decoding code.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::common::detail {

inline bool is_blank(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

inline std::string_view strip(std::string_view s) noexcept {
    while (!s.empty() && is_blank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && is_blank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

inline std::string_view rstrip(std::string_view s) noexcept {
    while (!s.empty() && is_blank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

inline std::string to_lower_ascii(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

inline constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// Reads a whole file as bytes. On failure returns nothing and sets `error` to the reason.
inline std::optional<std::string> read_file_bytes(const std::filesystem::path& path,
                                                  std::string& error) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    std::string data;
    char buf[65536];
    for (;;) {
        const std::size_t n = std::fread(buf, 1, sizeof buf, f);
        data.append(buf, n);
        if (n < sizeof buf) {
            break;
        }
    }
    const bool failed = std::ferror(f) != 0;
    const int saved = errno;
    std::fclose(f);
    if (failed) {
        error = std::strerror(saved != 0 ? saved : EIO);
        return std::nullopt;
    }
    return data;
}

}  // namespace vantrel::common::detail
