// Small text rules that every part of the project must apply the same way, the OPC library and
// its tools included: ASCII white space, digits and decimal integers, without locale.
// Header-only and free of everything else, so that the libraries at the bottom can use it.
#pragma once

#include <charconv>
#include <concepts>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace text_rules {

// ASCII white space only (space, \t, \n, \v, \f, \r): the classic C set, without locale.
constexpr bool is_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

constexpr std::string_view rstrip(std::string_view s) noexcept {
    while (!s.empty() && is_space(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

constexpr std::string_view strip(std::string_view s) noexcept {
    while (!s.empty() && is_space(s.front())) {
        s.remove_prefix(1);
    }
    return rstrip(s);
}

// At least one character, and only 0-9.
constexpr bool all_digits(std::string_view s) noexcept {
    if (s.empty()) {
        return false;
    }
    for (const char c : s) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
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

// A decimal integer with at most one sign, surrounding white space ignored, nothing else:
// "+-1", "1.0", "0x1A" and a value that does not fit T give nullopt.
template <std::integral T>
std::optional<T> parse_int(std::string_view text) noexcept {
    text = strip(text);
    if (text.starts_with('+')) {
        text.remove_prefix(1);
        if (text.empty() || text.front() < '0' || text.front() > '9') {
            return std::nullopt;  // from_chars would take the sign of "+-1"
        }
    }
    if (text.empty()) {
        return std::nullopt;
    }
    T value{};
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end) {
        return std::nullopt;
    }
    return value;
}

}  // namespace text_rules
