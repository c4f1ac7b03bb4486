// chronq: tag registry.
#pragma once

#include <optional>
#include <string>

#include "chronq/conn.h"

namespace chronq {

std::optional<TagInfo> get_tag(Connection& conn, const std::string& tag_name);

// On ok, data holds the stored record with its tag_id.
OperationResult insert_new_tag(Connection& conn, const TagInfo& tag);

// ok is false when no tag has that name.
OperationResult update_tag_fields(Connection& conn, const std::string& tag_name,
                                  const TagFields& fields);

}  // namespace chronq
