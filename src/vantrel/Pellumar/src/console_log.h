// The console's module logger and the number formatting its log lines use.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

#include <fmt/format.h>

#include "lumvane/logging.h"

namespace vantrel::pellumar::detail {

inline void log_debug(const std::string& text) {
    lumvane::get_logger("pellumar")->debug("{}", text);
}
inline void log_info(const std::string& text) {
    lumvane::get_logger("pellumar")->info("{}", text);
}
inline void log_warning(const std::string& text) {
    lumvane::get_logger("pellumar")->warn("{}", text);
}
inline void log_error(const std::string& text) {
    lumvane::get_logger("pellumar")->error("{}", text);
}

// A real in its ordinary text form: shortest round-trip digits, always with a decimal point
// or exponent, so 1 reads "1.0" and 0.25 reads "0.25".
inline std::string real_text(double value) {
    std::string text = fmt::format("{}", value);
    if (std::isfinite(value) && text.find_first_of(".eE") == std::string::npos) {
        text += ".0";
    }
    return text;
}

}  // namespace vantrel::pellumar::detail
