// The TSDB client's batch operations by default: one single call per entry, so that a client
// that knows only the single calls still serves every caller. Likewise timed writes and write
// marks: a client without them writes at the server's time and knows no mark.
#include "korrin/tsdb_client.h"

namespace vantrel::korrin {

std::vector<std::optional<TagInfo>> TsdbClient::get_tags(TsdbConnection& conn,
                                                         const std::vector<std::string>& names) {
    std::vector<std::optional<TagInfo>> out;
    out.reserve(names.size());
    for (const auto& name : names) {
        out.push_back(get_tag(conn, name));
    }
    return out;
}

std::unique_ptr<TsdbConnection> TsdbClient::get_conn_stoppable(const TsdbConfig& cfg,
                                                               std::stop_token) {
    return get_conn(cfg);
}

std::vector<TagLookup> TsdbClient::lookup_tags(TsdbConnection& conn,
                                               const std::vector<std::string>& names) {
    std::vector<TagLookup> out(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        try {
            out[i].tag = get_tag(conn, names[i]);
        } catch (const TsdbError& e) {
            if (e.kind() != TsdbErrorKind::statement) {
                throw;
            }
            out[i].refused = e.what();
        }
    }
    return out;
}

std::vector<OperationResult> TsdbClient::insert_new_tags(TsdbConnection& conn,
                                                         const std::vector<TagInfo>& tags) {
    std::vector<OperationResult> out;
    out.reserve(tags.size());
    for (const auto& tag : tags) {
        out.push_back(insert_new_tag(conn, tag));
    }
    return out;
}

std::vector<OperationResult> TsdbClient::update_tags_fields(
    TsdbConnection& conn, const std::vector<std::pair<std::string, TagFields>>& updates) {
    std::vector<OperationResult> out;
    out.reserve(updates.size());
    for (const auto& [name, fields] : updates) {
        out.push_back(update_tag_fields(conn, name, fields));
    }
    return out;
}

std::pair<bool, std::size_t> TsdbClient::write_tsdata_at(
    TsdbConnection& conn, std::span<const std::chrono::system_clock::time_point> times,
    std::span<const std::int64_t> tag_ids, std::span<const Value> values,
    std::span<const std::string> qualities, const WriteMark* mark) {
    static_cast<void>(times);
    static_cast<void>(mark);
    return write_tsdata(conn, tag_ids, values, qualities);
}

std::int64_t TsdbClient::write_mark(TsdbConnection& conn, const std::string& writer) {
    static_cast<void>(conn);
    static_cast<void>(writer);
    return 0;
}

std::size_t TsdbClient::drop_old_days(TsdbConnection& conn, int keep_days) {
    static_cast<void>(conn);
    static_cast<void>(keep_days);
    return 0;
}

std::vector<StoredSample> TsdbClient::read_history(TsdbConnection& conn,
                                                   const HistoryQuery& query) {
    static_cast<void>(conn);
    static_cast<void>(query);
    return {};
}

}  // namespace vantrel::korrin
