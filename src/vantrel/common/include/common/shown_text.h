// Text from outside (tag names, CSV headers) made safe to put into a log line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vantrel::common {

// Text for a log line: control characters written as \xNN, cut after about `max_bytes` with
// the full length noted, so that a hostile or binary name cannot spoil the log.
std::string shown_text(std::string_view text, std::size_t max_bytes = 120);

}  // namespace vantrel::common
