// What both front ends do before collecting: the tag list, and the source and tag records. Nothing
// is logged here: each front end words its own log lines.
#include "korrin/front_end.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "common/csv.h"
#include "common/text_decode.h"
#include "common/unicode_space.h"

namespace vantrel::korrin {

namespace {

std::string read_bytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot open '" + path.string() + "': " + std::strerror(errno));
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        throw std::runtime_error("cannot read '" + path.string() + "': " + std::strerror(errno));
    }
    return bytes;
}

// Spreadsheet exports pad cells with no-break and full-width spaces, not only ASCII blanks.
std::string trim(const std::string& text) {
    return std::string(common::trim_unicode_space(text));
}

// The 1-based number of the first line that `valid` refuses, or nothing.
template <class Valid>
std::optional<std::size_t> first_bad_line(std::string_view bytes, Valid valid) {
    std::size_t start = 0;
    for (std::size_t line = 1; start < bytes.size(); ++line) {
        std::size_t end = bytes.find('\n', start);
        end = end == std::string_view::npos ? bytes.size() : end + 1;
        if (!valid(bytes.substr(start, end - start))) {
            return line;
        }
        start = end;
    }
    return std::nullopt;
}

// Which lines keep a file from decoding, for the operator who has to mend it.
std::string undecodable_lines(std::string_view bytes) {
    const auto utf8 =
        first_bad_line(bytes, [](std::string_view line) { return common::is_valid_utf8(line); });
    const auto gbk = first_bad_line(bytes, [](std::string_view line) {
        try {
            common::gbk_to_utf8(line);
            return true;
        } catch (const common::DecodeError&) {
            return false;
        }
    });
    std::string out;
    if (utf8) {
        out += "line " + std::to_string(*utf8) + " is not UTF-8";
    }
    if (gbk) {
        out += (out.empty() ? "line " : " and line ") + std::to_string(*gbk) + " is not GBK";
    }
    return out.empty() ? std::string("it starts with a UTF-8 byte-order mark but is not UTF-8")
                       : out;
}

std::string header_text(const std::vector<std::string>& header) {
    std::string out;
    for (const auto& name : header) {
        if (!out.empty()) {
            out += ", ";
        }
        out += name;
    }
    return shown_text(out, 200);
}

std::string encoding_label(const common::DecodedText& decoded) {
    if (decoded.encoding == common::TextEncoding::utf8 && decoded.bom_removed) {
        return "utf-8-sig";
    }
    return std::string(common::encoding_name(decoded.encoding));
}

}  // namespace

LoadedTagList load_tag_list(const std::filesystem::path& path,
                            const std::function<void(const std::string&)>& on_decoded) {
    const auto bytes = read_bytes(path);
    common::DecodedText decoded;
    try {
        decoded = common::decode_text(bytes);
    } catch (const common::DecodeError&) {
        const std::string lines = undecodable_lines(bytes);
        throw TagListDecodeError("'" + path.string() + "' is neither UTF-8 nor GBK text: " + lines +
                                     "; save it as UTF-8",
                                 lines);
    }
    LoadedTagList loaded;
    loaded.encoding = encoding_label(decoded);
    if (on_decoded) {
        on_decoded(loaded.encoding);
    }

    const auto table = common::parse_csv(decoded.text);
    if (!table.has_column("FullTagName") || !table.has_column("Description")) {
        const std::string header = header_text(table.header);
        throw TagListColumnsError("'" + path.string() +
                                      "' lacks the column FullTagName or Description (header "
                                      "found: " +
                                      header + ")",
                                  header);
    }
    for (std::size_t r = 0; r < table.rows.size(); ++r) {
        const auto& row = table.rows[r];
        auto name = trim(row.at("FullTagName"));
        if (!name.empty()) {
            loaded.tags.emplace_back(std::move(name), trim(row.at("Description")));
            loaded.lines.push_back(table.row_lines[r]);
        }
    }
    return loaded;
}

std::vector<DuplicateTag> duplicate_tags(const TagList& tags,
                                         const std::vector<std::size_t>& lines) {
    std::vector<DuplicateTag> entries;  // every name once, in order of first appearance
    std::unordered_map<std::string_view, std::size_t> index;
    for (std::size_t i = 0; i < tags.size(); ++i) {
        const auto [it, inserted] = index.emplace(tags[i].first, entries.size());
        if (inserted) {
            entries.push_back({tags[i].first, {}});
        }
        entries[it->second].lines.push_back(i < lines.size() ? lines[i] : i + 1);
    }
    std::vector<DuplicateTag> duplicates;
    for (auto& entry : entries) {
        if (entry.lines.size() > 1) {
            duplicates.push_back(std::move(entry));
        }
    }
    return duplicates;
}

std::vector<std::string> distinct_tag_names(const TagList& tags) {
    std::vector<std::string> names;
    names.reserve(tags.size());
    std::unordered_set<std::string_view> seen;
    seen.reserve(tags.size());
    for (const auto& tag : tags) {
        if (seen.insert(tag.first).second) {
            names.push_back(tag.first);
        }
    }
    return names;
}

std::string duplicate_tag_warning(const DuplicateTag& duplicate) {
    std::string lines;
    for (const std::size_t line : duplicate.lines) {
        lines += (lines.empty() ? "" : ", ") + std::to_string(line);
    }
    // Registration updates the tag once per row, so the last row's description is the one kept.
    return "Tag '" + shown_text(duplicate.name) + "' is listed " +
           std::to_string(duplicate.lines.size()) + " times in the tag file (CSV lines " + lines +
           "); it is collected once per cycle, with the description of line " +
           std::to_string(duplicate.lines.back());
}

std::string shown_text(std::string_view text, std::size_t max_bytes) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    std::size_t i = 0;
    for (; i < text.size() && out.size() < max_bytes; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0xF];
        } else {
            out += static_cast<char>(c);
        }
    }
    if (i < text.size()) {
        // Cut at a character boundary, so that the log line stays valid UTF-8.
        std::size_t start = out.size();
        while (start > 0 && (static_cast<unsigned char>(out[start - 1]) & 0xC0) == 0x80) {
            --start;
        }
        if (start > 0) {
            const auto lead = static_cast<unsigned char>(out[start - 1]);
            const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
            if (out.size() - (start - 1) < length) {
                out.resize(start - 1);
            }
        }
        out += "... (" + std::to_string(text.size()) + " bytes)";
    }
    return out;
}

std::optional<std::string> tag_name_problem(std::string_view name) {
    if (name.find('\0') != std::string_view::npos) {
        return std::string("the name holds a NUL byte, which the database cannot store");
    }
    if (name.size() > kMaxTagNameBytes) {
        return "the name is " + std::to_string(name.size()) + " bytes long; the database takes " +
               std::to_string(kMaxTagNameBytes) + " at most";
    }
    if (!common::is_valid_utf8(name)) {
        return std::string("the name is not valid UTF-8");
    }
    return std::nullopt;
}

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

}  // namespace vantrel::korrin
