// chronq: the tag registry in batches. Each batch is one statement over unnest()ed parameter
// arrays; a statement the server refuses as a whole (one tag's text or source) is retried one
// tag at a time, so that every tag still gets its own exact outcome.
#include <map>
#include <string_view>

#include "chronq/tag.h"
#include "pg.h"

namespace chronq {

namespace {

constexpr const char* kSelectTags = R"SQL(
SELECT n.ord, t.tag_id, t.tag_name, t.source_id, t.source_tagname, d.key, d.value
  FROM unnest($1::text[]) WITH ORDINALITY AS n(tag_name, ord)
  JOIN chronq.tags t ON t.tag_name = n.tag_name
  LEFT JOIN LATERAL json_each_text(t.description) WITH ORDINALITY AS d(key, value, ord) ON true
 ORDER BY n.ord, d.ord
)SQL";

// Rows go in list order, so that of two rows with one name the first is stored and the second
// skipped by ON CONFLICT, as two single inserts would have it.
constexpr const char* kInsertTags = R"SQL(
WITH ins AS (
    INSERT INTO chronq.tags (tag_name, description, source_id, source_tagname)
    SELECT i.tag_name, i.description::json, CASE WHEN i.has_source THEN i.source_id END,
           i.source_tagname
      FROM unnest($1::text[], $2::text[], $3::bool[], $4::int8[], $5::text[])
           WITH ORDINALITY AS i(tag_name, description, has_source, source_id, source_tagname, ord)
     ORDER BY i.ord
    ON CONFLICT (tag_name) DO NOTHING
    RETURNING tag_id, tag_name, source_id, source_tagname, description
)
SELECT ins.tag_id, ins.tag_name, ins.source_id, ins.source_tagname, d.key, d.value
  FROM ins
  LEFT JOIN LATERAL json_each_text(ins.description) WITH ORDINALITY AS d(key, value, ord) ON true
 ORDER BY ins.tag_id, d.ord
)SQL";

// An UPDATE changes a row once however many input rows match it, so callers send each name at
// most once per statement.
constexpr const char* kUpdateTags = R"SQL(
UPDATE chronq.tags t
   SET source_id      = CASE WHEN u.set_source_id THEN u.source_id ELSE t.source_id END,
       source_tagname = CASE WHEN u.set_source_tagname THEN u.source_tagname
                             ELSE t.source_tagname END,
       description    = CASE WHEN u.set_description THEN u.description::json
                             ELSE t.description END,
       updated_at     = now()
  FROM unnest($1::text[], $2::bool[], $3::int8[], $4::bool[], $5::text[], $6::bool[], $7::text[])
       WITH ORDINALITY AS u(tag_name, set_source_id, source_id, set_source_tagname,
                            source_tagname, set_description, description, ord)
 WHERE t.tag_name = u.tag_name
RETURNING u.ord
)SQL";

std::string int8_array(const std::vector<std::int64_t>& values) {
    std::string out;
    out.reserve(20 + values.size() * 12);
    detail::array_header(out, values.size(), false, detail::kInt8Oid);
    for (const auto v : values) {
        detail::put_be32(out, 8);
        detail::put_be64(out, static_cast<std::uint64_t>(v));
    }
    return out;
}

std::string bool_array(const std::vector<char>& values) {
    std::string out;
    out.reserve(20 + values.size() * 5);
    detail::array_header(out, values.size(), false, detail::kBoolOid);
    for (const char v : values) {
        detail::put_be32(out, 1);
        out.push_back(v != 0 ? '\1' : '\0');
    }
    return out;
}

// Tag rows of a result: one row per description entry (or one with NULL key), each tag's rows
// together. `first_col` is where tag_id is; tag_name, source_id, source_tagname, key and value
// follow it. Calls `take(first_row, tag)` once per tag.
template <class Take>
void read_tags(const detail::Result& res, int first_col, Take take) {
    int row = 0;
    while (row < res.rows()) {
        const int first = row;
        TagInfo tag;
        tag.tag_id = res.int64(row, first_col);
        tag.tag_name = res.text(row, first_col + 1);
        if (!res.is_null(row, first_col + 2)) {
            tag.source_id = res.int64(row, first_col + 2);
        }
        tag.source_tagname = res.text(row, first_col + 3);
        const auto same_tag = [&](int r) {
            return res.text(r, first_col) == res.text(first, first_col) &&
                   (first_col == 0 || res.text(r, 0) == res.text(first, 0));
        };
        for (; row < res.rows() && same_tag(row); ++row) {
            if (!res.is_null(row, first_col + 4)) {
                tag.description.emplace_back(res.text(row, first_col + 4),
                                             res.text(row, first_col + 5));
            }
        }
        take(first, std::move(tag));
    }
}

OperationResult refusal(std::string message) {
    OperationResult result;
    result.message = std::move(message);
    return result;
}

}  // namespace

std::vector<std::optional<TagInfo>> get_tags(Connection& conn,
                                             const std::vector<std::string>& names) {
    std::vector<std::optional<TagInfo>> out(names.size());
    std::vector<std::string> sent;
    std::vector<std::size_t> sent_at;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i].find('\0') == std::string::npos) {  // no tag can hold a NUL byte
            sent.push_back(names[i]);
            sent_at.push_back(i);
        }
    }
    if (sent.empty()) {
        return out;
    }

    detail::Params params;
    params.text_array(sent);
    auto res = detail::exec_allow_refusal(conn, kSelectTags, params);
    if (res.succeeded()) {
        read_tags(res, 1, [&](int row, TagInfo tag) {
            const auto ord = static_cast<std::size_t>(res.int64(row, 0));
            out.at(sent_at.at(ord - 1)) = std::move(tag);
        });
        return out;
    }

    // Refused as a whole: some name is text the server will not take, so no tag has it. Ask
    // one name at a time; only when every name is refused is the statement itself at fault.
    const QueryError batch_error = detail::refused_statement(detail::impl_of(conn), res);
    std::size_t refused = 0;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        try {
            out[sent_at[i]] = get_tag(conn, sent[i]);
        } catch (const QueryError&) {
            ++refused;
        }
    }
    if (refused == sent.size()) {
        throw batch_error;
    }
    return out;
}

namespace {

// SQLSTATE class 22, data exception: the server refused a value we sent, not the statement.
bool refuses_a_value(const detail::Result& res) {
    return res.sqlstate().rfind("22", 0) == 0;
}

}  // namespace

std::vector<TagLookup> lookup_tags(Connection& conn, const std::vector<std::string>& names) {
    std::vector<TagLookup> out(names.size());
    std::vector<std::string> sent;
    std::vector<std::size_t> sent_at;
    for (std::size_t i = 0; i < names.size(); ++i) {
        try {
            detail::check_text("the tag name", names[i]);
        } catch (const QueryError& e) {
            out[i].refused = e.what();
            continue;
        }
        sent.push_back(names[i]);
        sent_at.push_back(i);
    }
    // One statement for a list; when the server refuses it for a value, the list is halved
    // until the refusal lands on the names that caused it. A few bad names in a plant's whole
    // list then cost a few dozen statements, not one per name.
    const auto select = [&](const std::vector<std::string>& list,
                            const std::vector<std::size_t>& at) {
        detail::Params params;
        params.text_array(list);
        auto res = detail::exec_allow_refusal(conn, kSelectTags, params);
        if (res.succeeded()) {
            read_tags(res, 1, [&](int row, TagInfo tag) {
                const auto ord = static_cast<std::size_t>(res.int64(row, 0));
                out.at(at.at(ord - 1)).tag = std::move(tag);
            });
            return std::string();
        }
        const QueryError error = detail::refused_statement(detail::impl_of(conn), res);
        if (!refuses_a_value(res)) {
            throw error;
        }
        const std::string why = error.what();
        return why.empty() ? std::string("refused by the server") : why;
    };
    const auto settle = [&](const auto& self, const std::vector<std::string>& list,
                            const std::vector<std::size_t>& at) -> void {
        std::string refused = select(list, at);
        if (refused.empty()) {
            return;
        }
        if (list.size() == 1) {
            out[at.front()].refused = std::move(refused);
            return;
        }
        const auto half = static_cast<std::ptrdiff_t>(list.size() / 2);
        self(self, std::vector<std::string>(list.begin(), list.begin() + half),
             std::vector<std::size_t>(at.begin(), at.begin() + half));
        self(self, std::vector<std::string>(list.begin() + half, list.end()),
             std::vector<std::size_t>(at.begin() + half, at.end()));
    };
    if (!sent.empty()) {
        settle(settle, sent, sent_at);
    }
    return out;
}

std::vector<OperationResult> insert_new_tags(Connection& conn, const std::vector<TagInfo>& tags) {
    std::vector<OperationResult> out(tags.size());
    std::vector<std::size_t> sent_at;
    std::vector<std::string> names;
    std::vector<std::string> descriptions;
    std::vector<char> has_source;
    std::vector<std::int64_t> source_ids;
    std::vector<std::string> source_tagnames;
    for (std::size_t i = 0; i < tags.size(); ++i) {
        const TagInfo& tag = tags[i];
        try {
            detail::check_text("the tag name", tag.tag_name);
            detail::check_text("the source tag name", tag.source_tagname);
            descriptions.push_back(detail::to_json(tag.description));
        } catch (const QueryError& e) {
            out[i] = refusal(e.what());
            detail::log()->warn("Inserting tag failed: {}", out[i].message);
            continue;
        }
        sent_at.push_back(i);
        names.push_back(tag.tag_name);
        has_source.push_back(tag.source_id.has_value() ? 1 : 0);
        source_ids.push_back(tag.source_id.value_or(0));
        source_tagnames.push_back(tag.source_tagname);
    }
    if (sent_at.empty()) {
        return out;
    }

    detail::Params params;
    params.text_array(names)
        .text_array(descriptions)
        .binary(bool_array(has_source), detail::kBoolArrayOid)
        .binary(int8_array(source_ids), detail::kInt8ArrayOid)
        .text_array(source_tagnames);
    auto res = detail::exec_allow_refusal(conn, kInsertTags, params, detail::Limit::write);
    if (!res.succeeded()) {
        detail::log()->debug(
            "Inserting {} tags at once failed ({}); inserting one at a time", sent_at.size(),
            detail::error_text(detail::impl_of(conn).pg, res.get(), conn.settings()));
        for (const std::size_t i : sent_at) {
            out[i] = insert_new_tag(conn, tags[i]);
        }
        return out;
    }

    // The stored row of a name belongs to its first occurrence in the list.
    std::map<std::string_view, std::vector<std::size_t>> waiting;
    for (auto it = sent_at.rbegin(); it != sent_at.rend(); ++it) {
        waiting[tags[*it].tag_name].push_back(*it);
    }
    read_tags(res, 0, [&](int, TagInfo tag) {
        auto& queue = waiting.at(tag.tag_name);
        const std::size_t i = queue.back();
        queue.pop_back();
        out[i].ok = true;
        out[i].data = std::move(tag);
    });
    for (auto& [name, left] : waiting) {
        for (const std::size_t i : left) {
            out[i] = refusal("a tag named '" + detail::shown_name(std::string(name)) +
                             "' already exists");
            detail::log()->warn("Inserting tag failed: {}", out[i].message);
        }
    }
    return out;
}

namespace {

// One statement for entries whose names are all different.
void update_round(Connection& conn, const std::vector<std::pair<std::string, TagFields>>& updates,
                  const std::vector<std::size_t>& round, std::vector<OperationResult>& out) {
    std::vector<std::size_t> sent_at;
    std::vector<std::string> names;
    std::vector<char> set_source_id;
    std::vector<std::int64_t> source_ids;
    std::vector<char> set_source_tagname;
    std::vector<std::string> source_tagnames;
    std::vector<char> set_description;
    std::vector<std::string> descriptions;
    for (const std::size_t i : round) {
        const auto& [name, fields] = updates[i];
        try {
            detail::check_text("the tag name", name);
            detail::check_text("the source tag name", fields.source_tagname.value_or(""));
            descriptions.push_back(fields.description ? detail::to_json(*fields.description) : "");
        } catch (const QueryError& e) {
            out[i] = refusal(e.what());
            detail::log()->warn("Updating tag failed: {}", out[i].message);
            continue;
        }
        sent_at.push_back(i);
        names.push_back(name);
        set_source_id.push_back(fields.source_id.has_value() ? 1 : 0);
        source_ids.push_back(fields.source_id.value_or(0));
        set_source_tagname.push_back(fields.source_tagname.has_value() ? 1 : 0);
        source_tagnames.push_back(fields.source_tagname.value_or(""));
        set_description.push_back(fields.description.has_value() ? 1 : 0);
    }
    if (sent_at.empty()) {
        return;
    }

    detail::Params params;
    params.text_array(names)
        .binary(bool_array(set_source_id), detail::kBoolArrayOid)
        .binary(int8_array(source_ids), detail::kInt8ArrayOid)
        .binary(bool_array(set_source_tagname), detail::kBoolArrayOid)
        .text_array(source_tagnames)
        .binary(bool_array(set_description), detail::kBoolArrayOid)
        .text_array(descriptions);
    auto res = detail::exec_allow_refusal(conn, kUpdateTags, params, detail::Limit::write);
    if (!res.succeeded()) {
        detail::log()->debug(
            "Updating {} tags at once failed ({}); updating one at a time", sent_at.size(),
            detail::error_text(detail::impl_of(conn).pg, res.get(), conn.settings()));
        for (const std::size_t i : sent_at) {
            out[i] = update_tag_fields(conn, updates[i].first, updates[i].second);
        }
        return;
    }
    std::vector<char> updated(sent_at.size(), 0);
    for (int row = 0; row < res.rows(); ++row) {
        updated.at(static_cast<std::size_t>(res.int64(row, 0)) - 1) = 1;
    }
    for (std::size_t k = 0; k < sent_at.size(); ++k) {
        auto& result = out[sent_at[k]];
        if (updated[k] != 0) {
            result.ok = true;
        } else {
            result = refusal("no tag named '" + names[k] + "'");
            detail::log()->warn("Updating tag failed: {}", result.message);
        }
    }
}

}  // namespace

std::vector<OperationResult> update_tags_fields(
    Connection& conn, const std::vector<std::pair<std::string, TagFields>>& updates) {
    std::vector<OperationResult> out(updates.size());
    // The k-th entry of a name goes into round k, so rounds run the entries in list order.
    std::vector<std::vector<std::size_t>> rounds;
    std::map<std::string_view, std::size_t> seen;
    for (std::size_t i = 0; i < updates.size(); ++i) {
        const std::size_t k = seen[updates[i].first]++;
        if (k == rounds.size()) {
            rounds.emplace_back();
        }
        rounds[k].push_back(i);
    }
    for (const auto& round : rounds) {
        update_round(conn, updates, round, out);
    }
    return out;
}

}  // namespace chronq
