// Small text rules that every part of Vantrel (and the OPC tools beside it) must apply the same
// way: ASCII white space, digits, decimal integers, and how a UA tag text names its namespace.
// Header-only, so that programs which do not link Lumvane can use it through vantrel::text.
#pragma once

#include <charconv>
#include <concepts>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

namespace vantrel::common {

// ASCII white space only (space, \t, \n, \v, \f, \r): the classic C set, without locale.
// Text typed into spreadsheets needs common/unicode_space.h instead.
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

// A UA tag text "NS:ID" as the engine reads it: the text before the first ':' is the
// namespace index when it is a decimal integer (parse_int's rules); otherwise, or without a
// ':', the whole text is the identifier in namespace 0. The identifier keeps any further ':'.
inline std::pair<int, std::string> split_ua_tag(std::string_view tag) {
    const auto colon = tag.find(':');
    if (colon != std::string_view::npos) {
        if (const auto ns = parse_int<int>(tag.substr(0, colon))) {
            return {*ns, std::string(tag.substr(colon + 1))};
        }
    }
    return {0, std::string(tag)};
}

}  // namespace vantrel::common
