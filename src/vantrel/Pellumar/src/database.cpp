// The console's TSDB side: a connection check, and the source and tag records it needs before
// collecting, on a connection of its own that is closed again.
#include <exception>
#include <memory>
#include <string>

#include "console_log.h"
#include "pellumar/pellumar.h"

namespace vantrel::pellumar {

using namespace detail;

namespace {

constexpr const char* kSourceName = "console_vantrel";
constexpr const char* kCreatedBy = "Pellumar";

korrin::Description tag_description(const std::string& description) {
    if (description.empty()) {
        return {};
    }
    return {{"desc", description}};
}

std::shared_ptr<korrin::TsdbClient> client_or_default(
    const std::shared_ptr<korrin::TsdbClient>& injected) {
    return injected ? injected : korrin::default_tsdb_client();
}

// Closes the connection when the guarded steps are done; a failing close reaches the caller,
// so it is called explicitly rather than from a destructor.
void close_connection(std::unique_ptr<korrin::TsdbConnection>& conn) {
    if (conn) {
        auto owned = std::move(conn);
        owned->close();
    }
}

}  // namespace

bool Pellumar::setup_database_objects() {
    auto client = client_or_default(deps_.tsdb_client);
    std::unique_ptr<korrin::TsdbConnection> conn;
    bool result = false;
    try {
        conn = client->get_conn(tsdb_cfg);
        if (!conn) {
            log_error("Failed to connect to TSDB");
            return false;
        }

        korrin::SourceInfo record;
        record.source_name = kSourceName;
        record.endpoint = opc_schema;
        record.status = korrin::SourceStatus::ACTIVE;
        record.protocol =
            opc_type == "OPC UA" ? korrin::SourceProtocol::OPC_UA : korrin::SourceProtocol::OPC_DA;
        record.interval_msec = 1000;
        record.description = {
            {"created_by", kCreatedBy}, {"endpoint", opc_schema}, {"protocol", opc_type}};

        korrin::SourceFilter filter;
        filter.names = {record.source_name};
        filter.status = {record.status};
        filter.protocol = {record.protocol};
        const auto sources = client->get_sources(*conn, filter);

        std::optional<std::int64_t> source_id;
        for (const auto& source : sources) {
            if (source.endpoint == record.endpoint && source.source_id) {
                source_id = source.source_id;
                log_info("Found existing source with ID: " + std::to_string(*source_id));
                break;
            }
        }

        if (!source_id) {
            const auto inserted = client->insert_new_source(*conn, record);
            if (!inserted.ok || !record.source_id) {
                log_error("Failed to create data source");
                close_connection(conn);
                return false;
            }
            source_id = record.source_id;
            log_info("Created new source with ID: " + std::to_string(*source_id));
        }

        int created = 0;
        int updated = 0;
        for (const auto& [name, description] : tags_list) {
            const auto existing = client->get_tag(*conn, name);
            if (existing) {
                korrin::TagFields fields;
                fields.source_id = source_id;
                fields.source_tagname = name;
                fields.description = tag_description(description);
                if (client->update_tag_fields(*conn, name, fields).ok) {
                    ++updated;
                    log_debug("Updated tag: " + name);
                } else {
                    log_warning("Failed to update tag: " + name);
                }
            } else {
                korrin::TagInfo tag;
                tag.tag_name = name;
                tag.description = tag_description(description);
                tag.source_id = source_id;
                tag.source_tagname = name;
                if (client->insert_new_tag(*conn, tag).ok) {
                    ++created;
                    log_debug("Created tag: " + name);
                } else {
                    log_warning("Failed to create tag: " + name);
                }
            }
        }
        log_info("Database setup complete: " + std::to_string(created) + " tags created, " +
                 std::to_string(updated) + " tags updated");
        result = true;
    } catch (const std::exception& e) {
        log_error(std::string("Failed to setup database objects: ") + e.what());
        result = false;
    }
    close_connection(conn);
    return result;
}

bool Pellumar::test_connect_tsdb() {
    auto client = client_or_default(deps_.tsdb_client);
    std::unique_ptr<korrin::TsdbConnection> conn;
    bool result = false;
    try {
        conn = client->get_conn(tsdb_cfg);
        if (!conn) {
            log_error("Failed to connect to TSDB");
            return false;
        }
        log_info("Test Connect to TSDB database: " + tsdb_cfg.host + ":" +
                 std::to_string(tsdb_cfg.port) + "/" + tsdb_cfg.dbname + " Successful.");
        result = true;
    } catch (const std::exception& e) {
        log_error(std::string("Failed to connect to TSDB: ") + e.what());
        result = false;
    }
    close_connection(conn);
    return result;
}

}  // namespace vantrel::pellumar
