// The [TSDBConnection] settings and the host name every host setting falls back to.
#include "korrin/settings.h"

#include <unistd.h>

#include <stdexcept>
#include <string>

namespace vantrel::korrin {

namespace {

constexpr const char* kTsdbSection = "TSDBConnection";

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
    return cfg;
}

}  // namespace vantrel::korrin
