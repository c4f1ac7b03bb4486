// load_config: the console's strict reading of config.ini.
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>

#include "common/ini.h"
#include "console_log.h"
#include "korrin/opc_security.h"
#include "korrin/settings.h"
#include "pellumar/pellumar.h"

namespace vantrel::pellumar {

using namespace detail;

bool Pellumar::load_config() {
    // Members read before an error keep their new values, as the reading goes.
    korrin::Settings settings{.tsdb = tsdb_cfg,
                              .opc = {.tag_csv_path = tag_csv_path,
                                      .opc_schema = opc_schema,
                                      .opc_type = opc_type,
                                      .collection_interval = collection_interval,
                                      .batch_size = batch_size,
                                      .opc_host = {}},
                              .security = {},
                              .store = store_settings};
    const auto keep = [&] {
        tsdb_cfg = settings.tsdb;
        tag_csv_path = settings.opc.tag_csv_path;
        opc_schema = settings.opc.opc_schema;
        opc_type = settings.opc.opc_type;
        collection_interval = settings.opc.collection_interval;
        batch_size = settings.opc.batch_size;
        store_settings = settings.store;
    };
    try {
        const auto path = base_dir / "config.ini";
        std::error_code ec;
        if (!std::filesystem::is_regular_file(path, ec)) {
            log_error("Configuration file not found: " + path.string());
            return false;
        }
        const auto ini = common::IniFile::read_file(path);
        korrin::read_settings(
            ini, {.config_dir = base_dir, .strictness = korrin::Strictness::console}, settings);
        korrin::apply_ua_security(settings.security);
        keep();
        return true;
    } catch (const korrin::SettingsError& e) {
        keep();
        log_error(e.what());
        return false;
    } catch (const std::exception& e) {
        keep();
        log_error(std::string("Error loading config: ") + e.what());
        return false;
    }
}

}  // namespace vantrel::pellumar
