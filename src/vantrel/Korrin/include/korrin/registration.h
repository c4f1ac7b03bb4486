// Registering a source with its tags in the TSDB, one outcome per tag, so that each front end
// logs its own texts and uses its own source name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "korrin/tag_list.h"
#include "korrin/tsdb_client.h"

namespace vantrel::korrin {

struct SourceOutcome {
    std::optional<std::int64_t> source_id;  // nothing: the insertion was refused
    bool existing = false;                  // found rather than inserted
    std::string message;                    // the server's reason when refused
};

// Finds the source with record's name, status, protocol and endpoint, or inserts `record` as it
// is (the caller fills source_type, interval_msec and description for that case). TSDB errors
// pass to the caller.
SourceOutcome ensure_source(TsdbClient& client, TsdbConnection& conn, SourceInfo record);

enum class TagAction { inserted, insert_failed, updated, update_failed };

struct TagOutcome {
    TagAction action = TagAction::insert_failed;
    std::optional<std::int64_t> tag_id;  // the stored id; nothing only when insert_failed
    std::string message;                 // the server's reason on a failure
};

// The description map of a tag: {"desc": text}, or empty for an empty text.
Description tag_description(const std::string& description);

// How many tags sync_tags sends in one round of statements.
inline constexpr std::size_t kTagsPerRegistrationRound = 1000;

// Makes every tag exist and point at the source: a missing tag is inserted, an existing one
// gets source_id, source_tagname and description overwritten. One outcome per tag, in list
// order; a name with a tag_name_problem is insert_failed with that problem as its message and
// never sent. Goes in rounds of kTagsPerRegistrationRound tags; the outcomes are those of one
// round over the whole list. TSDB errors pass to the caller, with the earlier rounds done.
std::vector<TagOutcome> sync_tags(TsdbClient& client, TsdbConnection& conn, std::int64_t source_id,
                                  const TagList& tags);

// Whether a failure to open a connection means the database server cannot be reached yet
// (down, starting up, full, the network away), which waiting may cure, rather than a server
// that answered with a refusal (a wrong password, an unknown user or database) or a database
// whose schema cannot be used, which waiting never cures.
bool database_unreachable(const TsdbError& error);

// The stored id of each name (nothing for an unknown tag), in order.
std::vector<std::optional<std::int64_t>> lookup_tag_ids(TsdbClient& client, TsdbConnection& conn,
                                                        const std::vector<std::string>& names);

}  // namespace vantrel::korrin
