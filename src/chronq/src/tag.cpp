// chronq: the tag registry.
#include "chronq/tag.h"

#include "pg.h"

namespace chronq {

namespace {

// Tag rows come back with one row per description entry; see read_tags.
constexpr const char* kSelectTag = R"SQL(
SELECT t.tag_id, t.tag_name, t.source_id, t.source_tagname, d.key, d.value
  FROM chronq.tags t
  LEFT JOIN LATERAL json_each_text(t.description) WITH ORDINALITY AS d(key, value, ord) ON true
 WHERE t.tag_name = $1
 ORDER BY d.ord
)SQL";

// ON CONFLICT DO NOTHING: a name already taken, also by a concurrent writer, is a refusal
// rather than an error.
constexpr const char* kInsertTag = R"SQL(
WITH ins AS (
    INSERT INTO chronq.tags (tag_name, description, source_id, source_tagname)
    VALUES ($1, $2::text::json, $3, $4)
    ON CONFLICT (tag_name) DO NOTHING
    RETURNING tag_id, tag_name, source_id, source_tagname, description
)
SELECT ins.tag_id, ins.tag_name, ins.source_id, ins.source_tagname, d.key, d.value
  FROM ins
  LEFT JOIN LATERAL json_each_text(ins.description) WITH ORDINALITY AS d(key, value, ord) ON true
 ORDER BY d.ord
)SQL";

constexpr const char* kUpdateTag = R"SQL(
UPDATE chronq.tags
   SET source_id      = CASE WHEN $2 THEN $3 ELSE source_id END,
       source_tagname = CASE WHEN $4 THEN $5 ELSE source_tagname END,
       description    = CASE WHEN $6 THEN $7::text::json ELSE description END,
       updated_at     = now()
 WHERE tag_name = $1
RETURNING tag_id
)SQL";

std::optional<TagInfo> read_tag(const detail::Result& res) {
    if (res.rows() == 0) {
        return std::nullopt;
    }
    TagInfo tag;
    tag.tag_id = res.int64(0, 0);
    tag.tag_name = res.text(0, 1);
    if (!res.is_null(0, 2)) {
        tag.source_id = res.int64(0, 2);
    }
    tag.source_tagname = res.text(0, 3);
    for (int row = 0; row < res.rows(); ++row) {
        if (!res.is_null(row, 4)) {
            tag.description.emplace_back(res.text(row, 4), res.text(row, 5));
        }
    }
    return tag;
}

}  // namespace

std::optional<TagInfo> get_tag(Connection& conn, const std::string& tag_name) {
    detail::check_text("the tag name", tag_name);
    detail::Params params;
    params.text(tag_name);
    return read_tag(detail::exec(conn, kSelectTag, params));
}

OperationResult insert_new_tag(Connection& conn, const TagInfo& tag) {
    detail::check_text("the tag name", tag.tag_name);
    detail::check_text("the source tag name", tag.source_tagname);
    detail::Params params;
    params.text(tag.tag_name).text(detail::to_json(tag.description));
    if (tag.source_id) {
        params.int64(*tag.source_id);
    } else {
        params.null();
    }
    params.text(tag.source_tagname);

    OperationResult result;
    auto res = detail::exec_allow_refusal(conn, kInsertTag, params, detail::Limit::write);
    if (!res.succeeded()) {
        result.message = detail::error_text(detail::impl_of(conn).pg, res.get(), conn.settings());
        detail::log()->error("Inserting tag '{}' failed: {}", detail::shown_name(tag.tag_name),
                             result.message);
        return result;
    }
    result.data = read_tag(res);
    if (!result.data) {
        result.message = "a tag named '" + detail::shown_name(tag.tag_name) + "' already exists";
        detail::log()->warn("Inserting tag failed: {}", result.message);
        return result;
    }
    result.ok = true;
    return result;
}

OperationResult update_tag_fields(Connection& conn, const std::string& tag_name,
                                  const TagFields& fields) {
    detail::check_text("the tag name", tag_name);
    detail::Params params;
    params.text(tag_name);
    params.boolean(fields.source_id.has_value());
    if (fields.source_id) {
        params.int64(*fields.source_id);
    } else {
        params.null();
    }
    params.boolean(fields.source_tagname.has_value());
    if (fields.source_tagname) {
        detail::check_text("the source tag name", *fields.source_tagname);
        params.text(*fields.source_tagname);
    } else {
        params.null();
    }
    params.boolean(fields.description.has_value());
    if (fields.description) {
        params.text(detail::to_json(*fields.description));
    } else {
        params.null();
    }

    OperationResult result;
    auto res = detail::exec_allow_refusal(conn, kUpdateTag, params, detail::Limit::write);
    if (!res.succeeded()) {
        result.message = detail::error_text(detail::impl_of(conn).pg, res.get(), conn.settings());
        detail::log()->error("Updating tag '{}' failed: {}", detail::shown_name(tag_name),
                             result.message);
        return result;
    }
    if (res.rows() == 0) {
        result.message = "no tag named '" + detail::shown_name(tag_name) + "'";
        detail::log()->warn("Updating tag failed: {}", result.message);
        return result;
    }
    result.ok = true;
    return result;
}

}  // namespace chronq
