// The TSDB connection settings both front ends read, and the host every host setting falls
// back to.
#pragma once

#include <string>

#include "common/ini.h"
#include "korrin/types.h"

namespace vantrel::korrin {

// This machine's host name ("localhost" when it has none): the fallback of every host setting.
std::string local_host_name();

// The [TSDBConnection] section with its fallbacks: host this machine, port 5432, user
// "postgres", password empty, dbname "tsdb_default", autocommit false. Throws
// common::IniError for a value of the wrong type, std::invalid_argument for a port outside
// 1..65535.
TsdbConfig read_tsdb_config(const common::IniFile& ini);

}  // namespace vantrel::korrin
