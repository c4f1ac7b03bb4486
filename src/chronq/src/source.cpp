// chronq: the source registry.
#include "chronq/source.h"

#include "pg.h"

namespace chronq {

namespace {

// One row per description entry (or one row with NULLs for an empty description), in source
// order and then in the order the entries were stored.
constexpr const char* kSelectSources = R"SQL(
SELECT s.source_id, s.source_name, s.endpoint, s.status, s.protocol, s.source_type,
       s.interval_msec, d.key, d.value
  FROM chronq.sources s
  LEFT JOIN LATERAL json_each_text(s.description) WITH ORDINALITY AS d(key, value, ord) ON true
 WHERE (cardinality($1::text[]) = 0 OR s.source_name = ANY($1::text[]))
   AND (cardinality($2::text[]) = 0 OR s.status = ANY($2::text[]))
   AND (cardinality($3::text[]) = 0 OR s.protocol = ANY($3::text[]))
 ORDER BY s.source_id, d.ord
)SQL";

constexpr const char* kInsertSource = R"SQL(
INSERT INTO chronq.sources (source_name, endpoint, status, protocol, source_type, interval_msec,
                            description)
VALUES ($1, $2, $3, $4, $5, $6::bigint::integer, $7::text::json)
RETURNING source_id
)SQL";

SourceStatus status_from(const std::string& text) {
    return text == "ACTIVE" ? SourceStatus::ACTIVE : SourceStatus::INACTIVE;
}

SourceProtocol protocol_from(const std::string& text) {
    return text == "OPC_UA" ? SourceProtocol::OPC_UA : SourceProtocol::OPC_DA;
}

}  // namespace

std::vector<SourceInfo> get_sources(Connection& conn, const SourceFilter& flt) {
    for (const auto& name : flt.names) {
        detail::check_text("a source name", name);
    }
    std::vector<std::string> statuses;
    for (const auto s : flt.status) {
        statuses.emplace_back(value(s));
    }
    std::vector<std::string> protocols;
    for (const auto p : flt.protocol) {
        protocols.emplace_back(value(p));
    }
    detail::Params params;
    params.text_array(flt.names).text_array(statuses).text_array(protocols);
    auto res = detail::exec(conn, kSelectSources, params);

    std::vector<SourceInfo> sources;
    for (int row = 0; row < res.rows(); ++row) {
        const std::int64_t id = res.int64(row, 0);
        if (sources.empty() || sources.back().source_id != id) {
            SourceInfo info;
            info.source_id = id;
            info.source_name = res.text(row, 1);
            info.endpoint = res.text(row, 2);
            info.status = status_from(res.text(row, 3));
            info.protocol = protocol_from(res.text(row, 4));
            info.source_type = res.text(row, 5);
            info.interval_msec = static_cast<int>(res.int64(row, 6));
            sources.push_back(std::move(info));
        }
        if (!res.is_null(row, 7)) {
            // json_each_text gives NULL for a JSON null; it reads back as empty text.
            sources.back().description.emplace_back(res.text(row, 7), res.text(row, 8));
        }
    }
    return sources;
}

OperationResult insert_new_source(Connection& conn, SourceInfo& info) {
    detail::check_text("the source name", info.source_name);
    detail::check_text("the endpoint", info.endpoint);
    detail::check_text("the source type", info.source_type);
    detail::Params params;
    params.text(info.source_name)
        .text(info.endpoint)
        .text(value(info.status))
        .text(value(info.protocol))
        .text(info.source_type)
        .int64(info.interval_msec)
        .text(detail::to_json(info.description));
    auto res = detail::exec_allow_refusal(conn, kInsertSource, params, detail::Limit::write);
    OperationResult result;
    if (!res.succeeded()) {
        result.message = detail::error_text(detail::impl_of(conn).pg, res.get(), conn.settings());
        detail::log()->error("Inserting source '{}' failed: {}", info.source_name, result.message);
        return result;
    }
    info.source_id = res.int64(0, 0);
    result.ok = true;
    detail::log()->debug("Inserted source '{}' with id {}", info.source_name, *info.source_id);
    return result;
}

}  // namespace chronq
