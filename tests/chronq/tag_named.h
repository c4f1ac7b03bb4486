// Tag records for the chronq tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "chronq/types.h"

namespace chronq_test {

// A tag record as registration builds it: its own name as source tag name.
inline chronq::TagInfo tag_named(const std::string& name,
                                 std::optional<std::int64_t> source_id = std::nullopt,
                                 chronq::Description description = {}) {
    chronq::TagInfo tag;
    tag.tag_name = name;
    tag.source_id = source_id;
    tag.source_tagname = name;
    tag.description = std::move(description);
    return tag;
}

}  // namespace chronq_test
