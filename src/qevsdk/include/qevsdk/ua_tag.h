// How a UA tag text names its node, for every program that reads tags by text: the collector
// and the OPC tools split them alike, so that a tool reads what the collector would.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "text_rules/text_rules.h"

namespace qevsdk {

// A UA tag text "NS:ID": the text before the first ':' is the namespace index when it is a
// decimal integer (text_rules::parse_int's rules); otherwise, or without a ':', the whole text
// is the identifier in namespace 0. The identifier keeps any further ':'.
inline std::pair<int, std::string> split_ua_tag(std::string_view tag) {
    const auto colon = tag.find(':');
    if (colon != std::string_view::npos) {
        if (const auto ns = text_rules::parse_int<int>(tag.substr(0, colon))) {
            return {*ns, std::string(tag.substr(colon + 1))};
        }
    }
    return {0, std::string(tag)};
}

}  // namespace qevsdk
