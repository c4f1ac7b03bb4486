// The console's TSDB side: a connection check, and the source and tag records it needs before
// collecting, on a connection of its own that is closed again.
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/shown_text.h"
#include "console_log.h"
#include "korrin/registration.h"
#include "pellumar/pellumar.h"

namespace vantrel::pellumar {

using namespace detail;

namespace {

constexpr const char* kSourceName = "console_vantrel";
constexpr const char* kCreatedBy = "Pellumar";

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

// The source record that stands for this console and its OPC server.
korrin::SourceInfo console_source(const std::string& opc_schema, const std::string& opc_type) {
    return {.source_name = kSourceName,
            .endpoint = opc_schema,
            .status = korrin::SourceStatus::ACTIVE,
            .protocol = opc_type == "OPC UA" ? korrin::SourceProtocol::OPC_UA
                                             : korrin::SourceProtocol::OPC_DA,
            .interval_msec = 1000,
            .description = {
                {"created_by", kCreatedBy}, {"endpoint", opc_schema}, {"protocol", opc_type}}};
}

// One line per tag that could not be stored, with its CSV line and the server's reason so
// that the operator can mend the row, then the totals.
void log_tag_outcomes(const std::vector<korrin::TagOutcome>& outcomes, const korrin::TagList& tags,
                      const std::vector<std::size_t>& lines) {
    const auto where = [&lines](std::size_t i) {
        return i < lines.size() ? " (CSV line " + std::to_string(lines[i]) + ")" : std::string();
    };
    const auto reason = [](const std::string& message) {
        return message.empty() ? std::string() : ": " + message;
    };
    int created = 0;
    int updated = 0;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const std::string& name = tags[i].first;
        switch (outcomes[i].action) {
            case korrin::TagAction::inserted:
                ++created;
                log_debug("Created tag: " + name);
                break;
            case korrin::TagAction::insert_failed:
                log_warning("Failed to create tag: " + common::shown_text(name) + where(i) +
                            reason(outcomes[i].message));
                break;
            case korrin::TagAction::updated:
                ++updated;
                log_debug("Updated tag: " + name);
                break;
            case korrin::TagAction::update_failed:
                log_warning("Failed to update tag: " + common::shown_text(name) + where(i) +
                            reason(outcomes[i].message));
                break;
        }
    }
    log_info("Database setup complete: " + std::to_string(created) + " tags created, " +
             std::to_string(updated) + " tags updated");
}

}  // namespace

bool Pellumar::register_source_and_tags(korrin::TsdbClient& client,
                                        korrin::TsdbConnection& conn) const {
    const auto source = korrin::ensure_source(
        client, conn, console_source(settings_.opc.opc_schema, settings_.opc.opc_type));
    if (!source.source_id) {
        log_error("Failed to create data source");
        return false;
    }
    log_info(
        (source.existing ? "Found existing source with ID: " : "Created new source with ID: ") +
        std::to_string(*source.source_id));
    log_tag_outcomes(korrin::sync_tags(client, conn, *source.source_id, tags_), tags_, tag_lines_);
    return true;
}

std::function<void(korrin::TsdbClient&, korrin::TsdbConnection&)> Pellumar::later_registration()
    const {
    // Runs on the collector's thread once the database answers; the list is the one loaded.
    return [this](korrin::TsdbClient& client, korrin::TsdbConnection& conn) {
        if (!register_source_and_tags(client, conn)) {
            throw std::runtime_error("the database refused the source record");
        }
    };
}

bool Pellumar::setup_database_objects() {
    auto client = client_or_default(deps_.tsdb_client);
    std::unique_ptr<korrin::TsdbConnection> conn;
    bool result = false;
    database_unreachable_ = false;
    try {
        // A signal during set-up cuts the connection attempt and every statement short.
        conn = client->get_conn_stoppable(settings_.tsdb, startup_stop_.get_token());
        if (!conn) {
            log_error("Failed to connect to TSDB");
            database_unreachable_ = true;
            return false;
        }
        result = register_source_and_tags(*client, *conn);
    } catch (const korrin::TsdbError& e) {
        if (!startup_stop_.stop_requested()) {
            log_error(std::string("Failed to setup database objects: ") + e.what());
            database_unreachable_ = korrin::database_unreachable(e);
        }
        result = false;
    } catch (const std::exception& e) {
        // After a signal the failure is the cancellation itself, not worth a line.
        if (!startup_stop_.stop_requested()) {
            log_error(std::string("Failed to setup database objects: ") + e.what());
        }
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
        conn = client->get_conn(settings_.tsdb);
        if (!conn) {
            log_error("Failed to connect to TSDB");
            return false;
        }
        log_info("Test Connect to TSDB database: " + settings_.tsdb.host + ":" +
                 std::to_string(settings_.tsdb.port) + "/" + settings_.tsdb.dbname +
                 " Successful.");
        result = true;
    } catch (const std::exception& e) {
        log_error(std::string("Failed to connect to TSDB: ") + e.what());
        result = false;
    }
    close_connection(conn);
    return result;
}

}  // namespace vantrel::pellumar
