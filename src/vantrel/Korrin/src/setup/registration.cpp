// Source and tag records: finding or inserting a source, and making every listed tag exist and
// point at it. Nothing is logged here: each front end words its own log lines.
#include "korrin/registration.h"

#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "korrin/tag_list.h"

namespace vantrel::korrin {

SourceOutcome ensure_source(TsdbClient& client, TsdbConnection& conn, SourceInfo record) {
    SourceFilter filter;
    filter.names = {record.source_name};
    filter.status = {record.status};
    filter.protocol = {record.protocol};
    for (const auto& source : client.get_sources(conn, filter)) {
        if (source.endpoint == record.endpoint && source.source_id) {
            return {.source_id = source.source_id, .existing = true, .message = {}};
        }
    }

    record.source_id.reset();
    const auto inserted = client.insert_new_source(conn, record);
    if (!inserted.ok) {
        return {.source_id = std::nullopt, .existing = false, .message = inserted.message};
    }
    // A source we cannot refer to is as good as refused: its tags would point nowhere.
    if (!record.source_id) {
        return {.source_id = std::nullopt,
                .existing = false,
                .message = "the TSDB did not return the new source's id"};
    }
    return {.source_id = record.source_id, .existing = false, .message = {}};
}

Description tag_description(const std::string& description) {
    if (description.empty()) {
        return {};
    }
    return {{"desc", description}};
}

namespace {

template <class T>
void check_count(const std::vector<T>& results, std::size_t asked, const char* operation) {
    if (results.size() != asked) {
        throw TsdbError(std::string("the TSDB client's ") + operation + " gave " +
                        std::to_string(results.size()) + " results for " + std::to_string(asked) +
                        " tags");
    }
}

}  // namespace

// Three round trips instead of two per tag: look every name up, insert the missing ones, update
// the rest. A name listed twice ends as if registered twice in a row: inserted, then updated.
std::vector<TagOutcome> sync_tags(TsdbClient& client, TsdbConnection& conn, std::int64_t source_id,
                                  const TagList& tags) {
    // Names the database cannot take are refused here, each on its own, so that they never
    // reach the server and cannot spoil a batch for the others.
    std::vector<std::optional<std::string>> problems(tags.size());
    bool any_problem = false;
    for (std::size_t i = 0; i < tags.size(); ++i) {
        problems[i] = tag_name_problem(tags[i].first);
        any_problem = any_problem || problems[i].has_value();
    }
    if (any_problem) {
        TagList acceptable;
        std::vector<std::size_t> positions;
        for (std::size_t i = 0; i < tags.size(); ++i) {
            if (!problems[i]) {
                acceptable.push_back(tags[i]);
                positions.push_back(i);
            }
        }
        const auto synced = sync_tags(client, conn, source_id, acceptable);
        std::vector<TagOutcome> outcomes(tags.size());
        for (std::size_t i = 0; i < tags.size(); ++i) {
            if (problems[i]) {
                outcomes[i] = {.action = TagAction::insert_failed,
                               .tag_id = std::nullopt,
                               .message = *problems[i]};
            }
        }
        for (std::size_t k = 0; k < positions.size(); ++k) {
            outcomes[positions[k]] = synced[k];
        }
        return outcomes;
    }

    std::vector<std::string> names;  // each name once, in first-seen order
    std::map<std::string, std::size_t> name_index;
    for (const auto& tag : tags) {
        if (name_index.emplace(tag.first, names.size()).second) {
            names.push_back(tag.first);
        }
    }
    const auto found = client.get_tags(conn, names);
    check_count(found, names.size(), "get_tags");

    std::vector<TagOutcome> outcomes(tags.size());
    std::vector<TagInfo> inserts;
    std::vector<std::size_t> inserted_at;  // list index of each insert
    std::vector<char> pending(names.size(), 0);
    for (std::size_t i = 0; i < tags.size(); ++i) {
        const auto& [name, description] = tags[i];
        const std::size_t n = name_index.at(name);
        if (found[n] || pending[n] != 0) {
            continue;
        }
        pending[n] = 1;
        TagInfo tag;
        tag.tag_name = name;
        tag.description = tag_description(description);
        tag.source_id = source_id;
        tag.source_tagname = name;
        inserts.push_back(std::move(tag));
        inserted_at.push_back(i);
    }
    const auto inserted = client.insert_new_tags(conn, inserts);
    check_count(inserted, inserts.size(), "insert_new_tags");

    // The id of each name once the inserts are done; nothing where the insert failed.
    std::vector<std::optional<std::int64_t>> ids(names.size());
    std::vector<std::string> insert_errors(names.size());
    for (std::size_t n = 0; n < names.size(); ++n) {
        if (found[n]) {
            ids[n] = found[n]->tag_id;
        }
    }
    for (std::size_t k = 0; k < inserts.size(); ++k) {
        const auto& result = inserted[k];
        auto& outcome = outcomes[inserted_at[k]];
        const std::size_t n = name_index.at(inserts[k].tag_name);
        if (result.ok && result.data && result.data->tag_id) {
            outcome.action = TagAction::inserted;
            outcome.tag_id = ids[n] = result.data->tag_id;
        } else {
            outcome.action = TagAction::insert_failed;
            outcome.message =
                result.ok ? "the TSDB did not return the new tag's id" : result.message;
            insert_errors[n] = outcome.message;
        }
    }

    std::vector<std::pair<std::string, TagFields>> updates;
    std::vector<std::size_t> updated_at;
    std::vector<char> is_insert(tags.size(), 0);
    for (const std::size_t i : inserted_at) {
        is_insert[i] = 1;
    }
    for (std::size_t i = 0; i < tags.size(); ++i) {
        if (is_insert[i] != 0) {
            continue;
        }
        const auto& [name, description] = tags[i];
        const std::size_t n = name_index.at(name);
        if (!found[n] && !ids[n]) {
            // A repeat of a name whose insert failed: it would have failed the same way.
            outcomes[i].action = TagAction::insert_failed;
            outcomes[i].message = insert_errors[n];
            continue;
        }
        TagFields fields;
        fields.source_id = source_id;
        fields.source_tagname = name;
        fields.description = tag_description(description);
        updates.emplace_back(name, std::move(fields));
        updated_at.push_back(i);
    }
    const auto updated = client.update_tags_fields(conn, updates);
    check_count(updated, updates.size(), "update_tags_fields");
    for (std::size_t k = 0; k < updates.size(); ++k) {
        auto& outcome = outcomes[updated_at[k]];
        outcome.action = updated[k].ok ? TagAction::updated : TagAction::update_failed;
        outcome.tag_id = ids[name_index.at(updates[k].first)];
        outcome.message = updated[k].message;
    }
    return outcomes;
}

std::vector<std::optional<std::int64_t>> lookup_tag_ids(TsdbClient& client, TsdbConnection& conn,
                                                        const std::vector<std::string>& names) {
    const auto found = client.get_tags(conn, names);
    check_count(found, names.size(), "get_tags");
    std::vector<std::optional<std::int64_t>> ids;
    ids.reserve(names.size());
    for (const auto& tag : found) {
        ids.push_back(tag ? tag->tag_id : std::nullopt);
    }
    return ids;
}

bool database_unreachable(const TsdbError& error) {
    if (error.kind() != TsdbErrorKind::connection) {
        return false;  // a schema or statement error: the server answered
    }
    const std::string_view text = error.what();
    for (const std::string_view refusal :
         {"authentication failed", "no pg_hba.conf entry", "does not exist", "permission denied"}) {
        if (text.find(refusal) != std::string_view::npos) {
            return false;
        }
    }
    // The server's own refusals come as FATAL messages; those of a server that will take
    // connections soon are the exceptions.
    if (text.find("FATAL:") == std::string_view::npos) {
        return true;
    }
    for (const std::string_view passing :
         {"the database system is starting up", "the database system is shutting down",
          "the database system is in recovery mode", "the database system is not yet accepting",
          "too many clients", "remaining connection slots"}) {
        if (text.find(passing) != std::string_view::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace vantrel::korrin
