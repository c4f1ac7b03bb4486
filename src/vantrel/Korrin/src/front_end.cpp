// What both front ends do before collecting: the TSDB settings, the tag list, and the source
// and tag records. Nothing is logged here: each front end words its own log lines.
#include "korrin/front_end.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

#include "common/csv.h"
#include "common/text_decode.h"

namespace vantrel::korrin {

namespace {

constexpr const char* kTsdbSection = "TSDBConnection";

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

std::string trim(const std::string& text) {
    constexpr const char* kBlanks = " \t\r\n\f\v";
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

std::string encoding_label(const common::DecodedText& decoded) {
    if (decoded.encoding == common::TextEncoding::utf8 && decoded.bom_removed) {
        return "utf-8-sig";
    }
    return std::string(common::encoding_name(decoded.encoding));
}

}  // namespace

std::string local_host_name() {
    char name[256] = {};
    if (::gethostname(name, sizeof(name) - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    return name;
}

TsdbConfig read_tsdb_config(const common::IniFile& ini) {
    TsdbConfig cfg;
    cfg.host = ini.get(kTsdbSection, "host", local_host_name());
    const auto port = ini.get_int(kTsdbSection, "port", 5432);
    // libpq would only say it could not connect; name the real mistake instead.
    if (port < 1 || port > 65535) {
        throw std::invalid_argument("[TSDBConnection] port must be between 1 and 65535, not " +
                                    std::to_string(port));
    }
    cfg.port = static_cast<int>(port);
    cfg.user = ini.get(kTsdbSection, "user", "postgres");
    cfg.password = ini.get(kTsdbSection, "password", "");
    cfg.dbname = ini.get(kTsdbSection, "dbname", "tsdb_default");
    cfg.autocommit = ini.get_bool(kTsdbSection, "autocommit", false);
    return cfg;
}

LoadedTagList load_tag_list(const std::filesystem::path& path,
                            const std::function<void(const std::string&)>& on_decoded) {
    const auto bytes = read_bytes(path);
    common::DecodedText decoded;
    try {
        decoded = common::decode_text(bytes);
    } catch (const common::DecodeError& e) {
        throw TagListDecodeError("'" + path.string() + "' is neither UTF-8 nor GBK text (" +
                                 e.what() + ")");
    }
    LoadedTagList loaded;
    loaded.encoding = encoding_label(decoded);
    if (on_decoded) {
        on_decoded(loaded.encoding);
    }

    const auto table = common::parse_csv(decoded.text);
    if (!table.has_column("FullTagName") || !table.has_column("Description")) {
        throw TagListColumnsError("'" + path.string() +
                                  "' lacks the column FullTagName or Description");
    }
    for (const auto& row : table.rows) {
        auto name = trim(row.at("FullTagName"));
        if (!name.empty()) {
            loaded.tags.emplace_back(std::move(name), trim(row.at("Description")));
        }
    }
    return loaded;
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

std::vector<TagOutcome> sync_tags(TsdbClient& client, TsdbConnection& conn, std::int64_t source_id,
                                  const TagList& tags) {
    std::vector<TagOutcome> outcomes;
    outcomes.reserve(tags.size());
    for (const auto& [name, description] : tags) {
        TagOutcome outcome;
        if (const auto existing = client.get_tag(conn, name)) {
            TagFields fields;
            fields.source_id = source_id;
            fields.source_tagname = name;
            fields.description = tag_description(description);
            const auto result = client.update_tag_fields(conn, name, fields);
            outcome.action = result.ok ? TagAction::updated : TagAction::update_failed;
            outcome.tag_id = existing->tag_id;
            outcome.message = result.message;
        } else {
            TagInfo tag;
            tag.tag_name = name;
            tag.description = tag_description(description);
            tag.source_id = source_id;
            tag.source_tagname = name;
            const auto result = client.insert_new_tag(conn, tag);
            const bool stored = result.ok && result.data && result.data->tag_id;
            outcome.action = stored ? TagAction::inserted : TagAction::insert_failed;
            outcome.message = result.message;
            if (stored) {
                outcome.tag_id = result.data->tag_id;
            } else if (result.ok) {
                outcome.message = "the TSDB did not return the new tag's id";
            }
        }
        outcomes.push_back(std::move(outcome));
    }
    return outcomes;
}

std::vector<std::optional<std::int64_t>> lookup_tag_ids(TsdbClient& client, TsdbConnection& conn,
                                                        const std::vector<std::string>& names) {
    std::vector<std::optional<std::int64_t>> ids;
    ids.reserve(names.size());
    for (const auto& name : names) {
        const auto tag = client.get_tag(conn, name);
        ids.push_back(tag ? tag->tag_id : std::nullopt);
    }
    return ids;
}

}  // namespace vantrel::korrin
