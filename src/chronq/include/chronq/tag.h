// chronq: tag registry.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "chronq/conn.h"

namespace chronq {

std::optional<TagInfo> get_tag(Connection& conn, const std::string& tag_name);

// On ok, data holds the stored record with its tag_id.
OperationResult insert_new_tag(Connection& conn, const TagInfo& tag);

// ok is false when no tag has that name.
OperationResult update_tag_fields(Connection& conn, const std::string& tag_name,
                                  const TagFields& fields);

// Batches: a few statements for the whole list instead of one per tag, with one result per
// entry, in order, as if the entries were handled one after the other.

// Nothing for a name that no tag has, including names that no tag can have (a NUL byte, or
// text the server refuses as its encoding).
std::vector<std::optional<TagInfo>> get_tags(Connection& conn,
                                             const std::vector<std::string>& names);

// One name's outcome in lookup_tags: the stored tag, nothing (no tag has the name), or the
// reason why the name itself was refused.
struct TagLookup {
    std::optional<TagInfo> tag;
    std::string refused;  // empty unless refused
};

// Like get_tags, but a name that no tag can have (a NUL byte, text the server refuses as its
// encoding) comes back refused, with the reason, instead of as nothing. A refusal that is not
// about a name (the statement itself) throws QueryError; a broken session ConnectionError.
std::vector<TagLookup> lookup_tags(Connection& conn, const std::vector<std::string>& names);

// A tag whose name is taken (also earlier in the same list), whose source is unknown or whose
// text cannot be stored gives ok = false with the reason, for that tag alone.
std::vector<OperationResult> insert_new_tags(Connection& conn, const std::vector<TagInfo>& tags);

// A name listed twice is updated twice, in list order. A missing tag, an unknown source or text
// that cannot be stored gives ok = false with the reason, for that entry alone.
std::vector<OperationResult> update_tags_fields(
    Connection& conn, const std::vector<std::pair<std::string, TagFields>>& updates);

}  // namespace chronq
