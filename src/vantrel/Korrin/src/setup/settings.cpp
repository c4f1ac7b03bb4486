// config.ini into typed settings: every key's fallback and check in one place, so that the two
// front ends differ only where they mean to.
#include "korrin/settings.h"

#include <unistd.h>

#include <climits>
#include <cmath>
#include <system_error>

#include <fmt/format.h>

#include "korrin/schema.h"

namespace vantrel::korrin {

namespace {

constexpr const char* kTsdbSection = "TSDBConnection";
constexpr const char* kVantrelSection = "Vantrel";

// A time limit in seconds; zero or less would leave every statement no time at all.
double positive_seconds(const common::IniFile& ini, const char* key, double fallback) {
    const double seconds = ini.get_real(kTsdbSection, key, fallback);
    if (!(seconds > 0.0) || seconds > 3600.0) {
        throw std::invalid_argument(std::string("[TSDBConnection] ") + key +
                                    " must be a number of seconds above 0 and at most 3600, not " +
                                    std::to_string(seconds));
    }
    return seconds;
}

// Days of samples to keep; 0 keeps everything. A negative count would read as "drop it all".
int retention_days(const common::IniFile& ini) {
    const auto days = ini.get_int(kTsdbSection, "retention_days", 0);
    if (days < 0 || days > INT_MAX) {
        throw std::invalid_argument(
            "[TSDBConnection] retention_days must be 0 (keep everything) or a number of days, "
            "not " +
            std::to_string(days));
    }
    return static_cast<int>(days);
}

// A relative folder of the settings, taken from `from` (the folder of config.ini).
std::filesystem::path beside(const std::filesystem::path& from, const std::filesystem::path& path) {
    return path.is_absolute() ? path : from / path;
}

bool is_regular_file(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::is_regular_file(path, ec);
}

// The console's refusal of its tag file. A relative path names the file it looked for: a
// console started from another folder looks elsewhere than its operator expects.
std::string invalid_tag_path(const std::string& path) {
    std::string message = "Invalid 'tag_csv_path': " + path;
    std::error_code ec;
    const std::filesystem::path tried =
        path.empty() ? std::filesystem::path() : std::filesystem::absolute(path, ec);
    if (!path.empty() && !ec && tried != std::filesystem::path(path)) {
        message += " (tried " + tried.string() +
                   ": a relative path is taken from the working directory, not from the folder "
                   "of config.ini)";
    }
    return message;
}

// Seconds as the console prints them: always with a decimal point.
std::string real_text(double value) {
    std::string text = fmt::format("{}", value);
    if (std::isfinite(value) && text.find_first_of(".eE") == std::string::npos) {
        text += ".0";
    }
    return text;
}

void read_console_opc(const common::IniFile& ini, OpcSettings& opc) {
    if (!ini.has_section(kVantrelSection)) {
        // Otherwise the first key read from it reports an empty value, not the section.
        throw SettingsError("Missing [Vantrel] section in config file");
    }
    opc.tag_csv_path = ini.get(kVantrelSection, "tag_csv_path", "");
    if (!is_regular_file(opc.tag_csv_path)) {
        throw SettingsError(invalid_tag_path(opc.tag_csv_path));
    }
    opc.opc_schema = ini.get(kVantrelSection, "opc_schema", "");
    if (opc.opc_schema.empty()) {
        throw SettingsError("Missing 'opc_schema' in [Vantrel] section");
    }
    // Checked here, before set-up writes anything: a typo such as opc.tcp//plc:4840 would
    // otherwise register a junk source and move every tag to it before the collector refused
    // the schema.
    validate_schema(opc.opc_schema);
    opc.opc_type = ini.get(kVantrelSection, "opc_type", "");
    if (opc.opc_type.empty()) {
        throw SettingsError("Missing 'opc_type' in [Vantrel] section");
    }
    opc.collection_interval = ini.get_real(kVantrelSection, "collection_interval", 1.0);
    const auto batch = ini.get_int(kVantrelSection, "batch_size", 200);
    // A zero or negative interval would spin the collector, a batch of 0 would never read
    // anything: refuse them here, where the operator can see why.
    if (!std::isfinite(opc.collection_interval) || opc.collection_interval <= 0.0) {
        throw std::invalid_argument(
            "[Vantrel] collection_interval must be a number of seconds above 0, not " +
            real_text(opc.collection_interval));
    }
    if (batch < 1 || batch > INT_MAX) {
        throw std::invalid_argument("[Vantrel] batch_size must be at least 1, not " +
                                    std::to_string(batch));
    }
    opc.batch_size = static_cast<int>(batch);
}

void read_desktop_opc(const common::IniFile& ini, OpcSettings& opc) {
    opc.opc_type = ini.get(kVantrelSection, "opc_type", "OPC DA");
    opc.opc_host = ini.get(kVantrelSection, "opc_host", local_host_name());
    opc.opc_schema = ini.get(kVantrelSection, "opc_schema", "");
    if (opc.opc_type == "OPC UA") {
        // Only checked: the port field shows the type's default, whatever the file holds.
        (void)ini.get_int(kVantrelSection, "opc_port", 4840);
    }
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
    cfg.write_timeout = positive_seconds(ini, "write_timeout", cfg.write_timeout);
    cfg.lookup_timeout = positive_seconds(ini, "lookup_timeout", cfg.lookup_timeout);
    cfg.retention_days = retention_days(ini);
    return cfg;
}

UaSecuritySettings read_ua_security(const common::IniFile& ini,
                                    const std::filesystem::path& config_dir) {
    UaSecuritySettings settings;
    settings.policy = ini.get(kVantrelSection, "ua_security_policy", "None");
    // A policy without a mode means the strongest: nobody configures a policy to sign only.
    const std::string default_mode = settings.policy == "None" ? "None" : "SignAndEncrypt";
    settings.mode = ini.get(kVantrelSection, "ua_security_mode", default_mode);
    settings.user = ini.get(kVantrelSection, "ua_user", "");
    settings.password = ini.get(kVantrelSection, "ua_password", "");
    settings.pki_dir = beside(config_dir, ini.get(kVantrelSection, "ua_pki_dir", "pki"));
    settings.trust_on_first_use = ini.get_bool(kVantrelSection, "ua_trust_on_first_use", false);
    return settings;
}

StoreSettings read_store_settings(const common::IniFile& ini,
                                  const std::filesystem::path& config_dir) {
    StoreSettings s;
    const std::string mode = ini.get(kVantrelSection, "timestamp", "gather");
    if (mode == "gather") {
        s.timestamp = TimestampMode::gather;
    } else if (mode == "source") {
        s.timestamp = TimestampMode::source;
    } else if (mode == "server") {
        s.timestamp = TimestampMode::server;
    } else {
        throw std::invalid_argument("[Vantrel] timestamp must be gather, source or server, not '" +
                                    mode + "'");
    }
    const std::filesystem::path dir = ini.get(kVantrelSection, "buffer_dir", "buffer");
    if (!dir.empty()) {
        s.buffer_dir = beside(config_dir, dir);
    }
    const std::int64_t mb = ini.get_int(kVantrelSection, "buffer_max_mb", 512);
    if (mb < 1 || mb > (std::int64_t{1} << 30)) {
        throw std::invalid_argument("[Vantrel] buffer_max_mb must be at least 1, not " +
                                    std::to_string(mb));
    }
    s.buffer_max_bytes = static_cast<std::uint64_t>(mb) << 20;
    s.mark_outages = ini.get_bool(kVantrelSection, "mark_outages", false);
    s.start_without_database = ini.get_bool(kVantrelSection, "start_without_database", false);
    return s;
}

void read_settings(const common::IniFile& ini, const SettingsContext& context, Settings& into) {
    const bool console = context.strictness == Strictness::console;
    if (console && !ini.has_section(kTsdbSection)) {
        throw SettingsError("Missing [TSDBConnection] section in config file");
    }
    into.tsdb = read_tsdb_config(ini);
    if (console) {
        read_console_opc(ini, into.opc);
    } else {
        read_desktop_opc(ini, into.opc);
    }
    into.security = read_ua_security(ini, context.config_dir);
    into.acquisition = read_acquisition_settings(ini);
    into.store = read_store_settings(ini, context.config_dir);
    into.logging = lumvane::read_logging_settings(ini);
    into.metrics_listen = parse_metrics_listen(ini.get(kVantrelSection, "metrics_listen", ""));
}

Settings read_settings(const common::IniFile& ini, const SettingsContext& context) {
    Settings settings;
    read_settings(ini, context, settings);
    return settings;
}

}  // namespace vantrel::korrin
