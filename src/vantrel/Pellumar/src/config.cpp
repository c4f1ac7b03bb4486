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
    // What is read before an error is kept, as the reading goes.
    korrin::Settings settings = settings_;
    settings.opc.opc_host = {};
    settings.security = {};
    const auto keep = [&] {
        settings.opc.opc_host = settings_.opc.opc_host;
        settings.security = settings_.security;
        settings_ = settings;
    };
    try {
        const auto path = base_dir_ / "config.ini";
        std::error_code ec;
        if (!std::filesystem::is_regular_file(path, ec)) {
            log_error("Configuration file not found: " + path.string());
            return false;
        }
        const auto ini = common::IniFile::read_file(path);
        korrin::read_settings(
            ini, {.config_dir = base_dir_, .strictness = korrin::Strictness::console}, settings);
        korrin::apply_ua_security(settings.security);
        korrin::apply_acquisition(settings.acquisition);
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
