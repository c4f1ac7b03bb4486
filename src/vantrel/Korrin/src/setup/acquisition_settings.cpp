// The [Vantrel] keys of subscribed acquisition.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "korrin/acquisition.h"

namespace vantrel::korrin {

namespace {

constexpr const char* kSection = "Vantrel";

// A whole decimal number, nothing after it; nullopt otherwise.
bool parse_number(const std::string& text, double& out) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    out = std::strtod(text.c_str(), &end);
    return errno == 0 && end == text.c_str() + text.size() && std::isfinite(out);
}

std::string trimmed(std::string s) {
    const auto first = s.find_first_not_of(" \t");
    const auto last = s.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : s.substr(first, last - first + 1);
}

}  // namespace

AcquisitionSettings read_acquisition_settings(const common::IniFile& ini) {
    AcquisitionSettings s;
    const std::string mode = trimmed(ini.get(kSection, "acquisition", "read"));
    if (mode == "read") {
        s.mode = AcquisitionSettings::Mode::read;
    } else if (mode == "subscribe") {
        s.mode = AcquisitionSettings::Mode::subscribe;
    } else {
        throw std::invalid_argument("[Vantrel] acquisition must be read or subscribe, not '" +
                                    mode + "'");
    }

    const std::string interval = trimmed(ini.get(kSection, "sampling_interval_ms", "0"));
    if (!parse_number(interval, s.sampling_interval_ms) || s.sampling_interval_ms < 0 ||
        s.sampling_interval_ms > 86'400'000) {
        throw std::invalid_argument(
            "[Vantrel] sampling_interval_ms must be milliseconds from 0 to 86400000, not '" +
            interval + "'");
    }

    const std::int64_t queue = ini.get_int(kSection, "queue_size", 1);
    if (queue < 1 || queue > 100'000) {
        throw std::invalid_argument("[Vantrel] queue_size must be from 1 to 100000, not " +
                                    std::to_string(queue));
    }
    s.queue_size = static_cast<std::uint32_t>(queue);

    const std::string deadband = trimmed(ini.get(kSection, "deadband", "none"));
    const auto colon = deadband.find(':');
    const std::string kind = trimmed(deadband.substr(0, colon));
    const std::string amount =
        colon == std::string::npos ? std::string() : trimmed(deadband.substr(colon + 1));
    const auto bad_deadband = [&] {
        return std::invalid_argument(
            "[Vantrel] deadband must be none, absolute:X or percent:X (X a number from 0, a "
            "percent at most 100), not '" +
            deadband + "'");
    };
    if (kind == "none" && colon == std::string::npos) {
        s.deadband = AcquisitionSettings::Deadband::none;
    } else if (kind == "absolute" || kind == "percent") {
        s.deadband = kind == "absolute" ? AcquisitionSettings::Deadband::absolute
                                        : AcquisitionSettings::Deadband::percent;
        if (!parse_number(amount, s.deadband_value) || s.deadband_value < 0 ||
            (kind == "percent" && s.deadband_value > 100)) {
            throw bad_deadband();
        }
    } else {
        throw bad_deadband();
    }

    const std::string store = trimmed(ini.get(kSection, "store", "latest"));
    if (store == "latest") {
        s.store = AcquisitionSettings::Store::latest;
    } else if (store == "changes") {
        s.store = AcquisitionSettings::Store::changes;
    } else {
        throw std::invalid_argument("[Vantrel] store must be latest or changes, not '" + store +
                                    "'");
    }
    return s;
}

}  // namespace vantrel::korrin
