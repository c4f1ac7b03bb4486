// load_config: the console's strict reading of config.ini.
#include <climits>
#include <cmath>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

#include "common/ini.h"
#include "console_log.h"
#include "korrin/opc_security.h"
#include "korrin/sample_buffer.h"
#include "korrin/schema.h"
#include "korrin/settings.h"
#include "pellumar/pellumar.h"

namespace vantrel::pellumar {

using namespace detail;

namespace {

constexpr const char* kTsdbSection = "TSDBConnection";
constexpr const char* kVantrelSection = "Vantrel";

bool is_regular_file(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::is_regular_file(path, ec);
}

}  // namespace

bool Pellumar::load_config() {
    try {
        const auto path = base_dir / "config.ini";
        if (!is_regular_file(path.string())) {
            log_error("Configuration file not found: " + path.string());
            return false;
        }
        const auto ini = common::IniFile::read_file(path);
        if (!ini.has_section(kTsdbSection)) {
            log_error("Missing [TSDBConnection] section in config file");
            return false;
        }

        tsdb_cfg = korrin::read_tsdb_config(ini);
        if (!ini.has_section(kVantrelSection)) {
            // Otherwise the first key read from it reports an empty value, not the section.
            log_error("Missing [Vantrel] section in config file");
            return false;
        }

        tag_csv_path = ini.get(kVantrelSection, "tag_csv_path", "");
        if (!is_regular_file(tag_csv_path)) {
            log_error("Invalid 'tag_csv_path': " + tag_csv_path);
            return false;
        }

        opc_schema = ini.get(kVantrelSection, "opc_schema", "");
        if (opc_schema.empty()) {
            log_error("Missing 'opc_schema' in [Vantrel] section");
            return false;
        }
        // Checked here, before set-up writes anything: a typo such as opc.tcp//plc:4840 would
        // otherwise register a junk source and move every tag to it before the collector
        // refused the schema.
        korrin::validate_schema(opc_schema);
        opc_type = ini.get(kVantrelSection, "opc_type", "");
        if (opc_type.empty()) {
            log_error("Missing 'opc_type' in [Vantrel] section");
            return false;
        }
        collection_interval = ini.get_real(kVantrelSection, "collection_interval", 1.0);
        const auto batch = ini.get_int(kVantrelSection, "batch_size", 200);
        // A zero or negative interval would spin the collector, a batch of 0 would never
        // read anything: refuse them here, where the operator can see why.
        if (!std::isfinite(collection_interval) || collection_interval <= 0.0) {
            throw std::invalid_argument(
                "[Vantrel] collection_interval must be a number of seconds above 0, not " +
                real_text(collection_interval));
        }
        if (batch < 1 || batch > INT_MAX) {
            throw std::invalid_argument("[Vantrel] batch_size must be at least 1, not " +
                                        std::to_string(batch));
        }
        batch_size = static_cast<int>(batch);
        korrin::apply_ua_security(korrin::read_ua_security(ini, base_dir));
        store_settings = korrin::read_store_settings(ini, base_dir);
        return true;
    } catch (const std::exception& e) {
        log_error(std::string("Error loading config: ") + e.what());
        return false;
    }
}

}  // namespace vantrel::pellumar
