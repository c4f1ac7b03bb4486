// config.ini read once into typed values, for both front ends: the TSDB connection, what to
// collect, OPC UA security, how samples are stored and how the log is kept. Each front end
// chooses how strict the reading is; the fallbacks are those that examples/config.ini documents.
// The logging keys are read by Lumvane's own reader, the one the logging set-up uses before any
// of this, so that both see the same values.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

#include "common/ini.h"
#include "korrin/acquisition.h"
#include "korrin/metrics_server.h"
#include "korrin/opc_security.h"
#include "korrin/sample_buffer.h"
#include "korrin/types.h"
#include "lumvane/logging.h"

namespace vantrel::korrin {

// This machine's host name ("localhost" when it has none): the fallback of every host setting.
std::string local_host_name();

// The [TSDBConnection] section with its fallbacks: host this machine, port 5432, user
// "postgres", password empty, dbname "tsdb_default", autocommit false, write_timeout 5 and
// lookup_timeout 2 seconds, retention_days 0 (keep everything). Throws common::IniError for a
// value of the wrong type, std::invalid_argument for a port outside 1..65535, a timeout outside
// (0, 3600] or a negative retention.
TsdbConfig read_tsdb_config(const common::IniFile& ini);

// ua_security_policy, ua_security_mode (SignAndEncrypt when only a policy is given),
// ua_user, ua_password, ua_pki_dir (default "pki" beside config.ini; a relative one is taken
// from there too) and ua_trust_on_first_use. Throws common::IniError for a value of the wrong
// type; apply_ua_security checks the names.
UaSecuritySettings read_ua_security(const common::IniFile& ini,
                                    const std::filesystem::path& config_dir);

// timestamp = gather | source | server (default gather); buffer_dir (default "buffer" beside
// config.ini, a relative one taken from there too; empty turns the buffer off); buffer_max_mb
// (default 512, at least 1); mark_outages and start_without_database (both default false).
// Throws common::IniError for a value of the wrong type and
// std::invalid_argument for an unknown timestamp or a size below 1.
StoreSettings read_store_settings(const common::IniFile& ini,
                                  const std::filesystem::path& config_dir);

// How much a front end insists on.
enum class Strictness {
    // Needs [TSDBConnection], [Vantrel], an existing tag file, a schema and a type; reads
    // collection_interval and batch_size, which must make sense. opc_host and opc_port are
    // never read.
    console,
    // Falls back for everything: opc_type "OPC DA", opc_host this machine, opc_schema empty;
    // opc_port only checked to be an integer, and only for OPC UA. The tag file, interval and
    // batch size are not read (the window imports its tags and collects at fixed rates).
    desktop,
};

struct SettingsContext {
    // The folder of config.ini: buffer_dir and ua_pki_dir are taken from it when relative.
    // tag_csv_path (and Lumvane's log_dir) are taken from the working directory instead.
    std::filesystem::path config_dir;
    Strictness strictness = Strictness::console;
};

// The [Vantrel] keys that say what to collect.
struct OpcSettings {
    std::string tag_csv_path;  // as written: a relative path stays relative to the working dir
    std::string opc_schema;
    std::string opc_type;  // "OPC UA" exactly, else OPC DA
    double collection_interval = 1.0;
    int batch_size = 200;
    std::string opc_host;  // desktop only: where discovery looks
};

struct Settings {
    TsdbConfig tsdb;
    OpcSettings opc;
    UaSecuritySettings security;
    AcquisitionSettings acquisition;  // read_acquisition_settings (korrin/acquisition.h)
    StoreSettings store;
    lumvane::LoggingSettings logging;  // [VantrelLogging]
    // [Vantrel] metrics_listen (parse_metrics_listen, korrin/metrics_server.h); off by default.
    MetricsListen metrics_listen;
};

// Something the console cannot run without is missing or unusable. what() is the whole line
// to log, unlike the errors of a bad value, which the console puts after its own words.
class SettingsError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Reads the settings into `into`, in the order of the file's documentation: what was read
// before an error keeps its new value. Throws SettingsError (console only), common::IniError
// for a value of the wrong type, std::invalid_argument for a value out of range (an interval,
// batch size, port, timeout, timestamp or buffer size, a malformed schema, a log level or file
// size, a metrics_listen that is not host:port).
void read_settings(const common::IniFile& ini, const SettingsContext& context, Settings& into);
Settings read_settings(const common::IniFile& ini, const SettingsContext& context);

}  // namespace vantrel::korrin
