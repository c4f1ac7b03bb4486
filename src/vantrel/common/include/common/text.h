// The text rules of text_rules/text_rules.h under the collector's own names. Text typed into
// spreadsheets needs common/unicode_space.h instead of is_space.
#pragma once

#include "text_rules/text_rules.h"

namespace vantrel::common {

using text_rules::all_digits;
using text_rules::is_space;
using text_rules::parse_int;
using text_rules::rstrip;
using text_rules::strip;
using text_rules::to_lower_ascii;

}  // namespace vantrel::common
