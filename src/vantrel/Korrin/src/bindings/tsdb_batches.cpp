// The TSDB client's batch operations by default: one single call per entry, so that a client
// that knows only the single calls still serves every caller.
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
        } catch (const TsdbQueryError& e) {
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

}  // namespace vantrel::korrin
