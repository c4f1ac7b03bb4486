// Source and tag records: finding or inserting a source, and making every listed tag exist and
// point at it. Nothing is logged here: each front end words its own log lines.
#include "korrin/registration.h"

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "korrin/memory.h"
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

namespace {

// Names whose insert failed in an earlier round, with the reason: a later listing of such a name
// fails the same way without being tried again, as it would within one round.
using FailedInserts = std::map<std::string, std::string, std::less<>>;

// One round of three statements over the tags at the list positions `at`: look every name up,
// insert the missing ones, update the rest. A name listed twice ends as if registered twice in a
// row: inserted, then updated.
void sync_round(TsdbClient& client, TsdbConnection& conn, std::int64_t source_id,
                const TagList& tags, const std::vector<std::size_t>& at,
                std::vector<TagOutcome>& outcomes, FailedInserts& failed) {
    std::vector<std::string> names;  // each name once, in first-seen order
    std::vector<std::size_t> name_of(at.size());
    {
        std::map<std::string_view, std::size_t> name_index;  // views into `tags`
        for (std::size_t k = 0; k < at.size(); ++k) {
            const std::string& name = tags[at[k]].first;
            const auto [it, fresh] = name_index.emplace(name, names.size());
            if (fresh) {
                names.push_back(name);
            }
            name_of[k] = it->second;
        }
    }
    const auto found = client.get_tags(conn, names);
    check_count(found, names.size(), "get_tags");

    std::vector<TagInfo> inserts;
    std::vector<std::size_t> inserted_at;  // round index of each insert
    {
        std::vector<char> pending(names.size(), 0);
        for (std::size_t k = 0; k < at.size(); ++k) {
            const std::size_t n = name_of[k];
            if (found[n] || pending[n] != 0) {
                continue;
            }
            pending[n] = 1;
            const auto& [name, description] = tags[at[k]];
            TagInfo tag;
            tag.tag_name = name;
            tag.description = tag_description(description);
            tag.source_id = source_id;
            tag.source_tagname = name;
            inserts.push_back(std::move(tag));
            inserted_at.push_back(k);
        }
    }
    const auto inserted = client.insert_new_tags(conn, inserts);
    check_count(inserted, inserts.size(), "insert_new_tags");
    inserts.clear();
    inserts.shrink_to_fit();

    // The id of each name once the inserts are done; nothing where the insert failed.
    std::vector<std::optional<std::int64_t>> ids(names.size());
    for (std::size_t n = 0; n < names.size(); ++n) {
        if (found[n]) {
            ids[n] = found[n]->tag_id;
        }
    }
    for (std::size_t j = 0; j < inserted_at.size(); ++j) {
        const auto& result = inserted[j];
        auto& outcome = outcomes[at[inserted_at[j]]];
        const std::size_t n = name_of[inserted_at[j]];
        if (result.ok && result.data && result.data->tag_id) {
            outcome.action = TagAction::inserted;
            outcome.tag_id = ids[n] = result.data->tag_id;
        } else {
            outcome.action = TagAction::insert_failed;
            outcome.message =
                result.ok ? "the TSDB did not return the new tag's id" : result.message;
            failed.emplace(names[n], outcome.message);
        }
    }

    std::vector<std::pair<std::string, TagFields>> updates;
    std::vector<std::size_t> updated_at;
    std::vector<char> is_insert(at.size(), 0);
    for (const std::size_t k : inserted_at) {
        is_insert[k] = 1;
    }
    for (std::size_t k = 0; k < at.size(); ++k) {
        if (is_insert[k] != 0) {
            continue;
        }
        const std::size_t n = name_of[k];
        if (!found[n] && !ids[n]) {
            // A repeat of a name whose insert failed: it would have failed the same way.
            outcomes[at[k]].action = TagAction::insert_failed;
            outcomes[at[k]].message = failed.at(names[n]);
            continue;
        }
        const auto& [name, description] = tags[at[k]];
        TagFields fields;
        fields.source_id = source_id;
        fields.source_tagname = name;
        fields.description = tag_description(description);
        updates.emplace_back(name, std::move(fields));
        updated_at.push_back(k);
    }
    const auto updated = client.update_tags_fields(conn, updates);
    check_count(updated, updates.size(), "update_tags_fields");
    for (std::size_t j = 0; j < updates.size(); ++j) {
        auto& outcome = outcomes[at[updated_at[j]]];
        outcome.action = updated[j].ok ? TagAction::updated : TagAction::update_failed;
        outcome.tag_id = ids[name_of[updated_at[j]]];
        outcome.message = updated[j].message;
    }
}

}  // namespace

// The list goes in rounds of a bounded number of tags, so that a plant's whole list never has
// its statements, their parameters and their answers in memory at once.
std::vector<TagOutcome> sync_tags(TsdbClient& client, TsdbConnection& conn, std::int64_t source_id,
                                  const TagList& tags) {
    std::vector<TagOutcome> outcomes(tags.size());
    {
        FailedInserts failed;
        std::vector<std::size_t> round;
        round.reserve(std::min(tags.size(), kTagsPerRegistrationRound));
        for (std::size_t i = 0; i < tags.size(); ++i) {
            const std::string& name = tags[i].first;
            // Names the database cannot take are refused here, each on its own, so that they
            // never reach the server and cannot spoil a statement for the others.
            if (auto problem = tag_name_problem(name)) {
                outcomes[i] = {.action = TagAction::insert_failed,
                               .tag_id = std::nullopt,
                               .message = std::move(*problem)};
                continue;
            }
            if (const auto it = failed.find(name); it != failed.end()) {
                outcomes[i] = {.action = TagAction::insert_failed,
                               .tag_id = std::nullopt,
                               .message = it->second};
                continue;
            }
            round.push_back(i);
            if (round.size() == kTagsPerRegistrationRound) {
                sync_round(client, conn, source_id, tags, round, outcomes, failed);
                round.clear();
            }
        }
        if (!round.empty()) {
            sync_round(client, conn, source_id, tags, round, outcomes, failed);
        }
    }
    // Registering a whole list is the largest heap the process ever has; what it freed would
    // otherwise stay with the thread's allocator for the rest of the run.
    release_free_memory();
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
