// File reading and the byte-order mark, shared by the INI, CSV and decoding code; the text
// rules themselves are common/text.h.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/text.h"

namespace vantrel::common::detail {

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
