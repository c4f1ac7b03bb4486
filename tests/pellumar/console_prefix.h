// A scratch prefix for the process-level tests, laid out as an operator installs the console:
// bin/pellumar, lib/ and config.ini.
#pragma once

#include <filesystem>
#include <string>

#include "console_test_support.h"
#include "process_support.h"

namespace pellumar_test {

// The lines of [TSDBConnection] that reach a database.
inline std::string tsdb_lines(const std::string& host, const std::string& port,
                              const std::string& user, const std::string& password,
                              const std::string& dbname) {
    return "host = " + host + "\nport = " + port + "\nuser = " + user +
           "\npassword = " + ini_escape(password) + "\ndbname = " + dbname + "\n";
}

// Database `dbname` on the server of the PG* environment.
inline std::string environment_tsdb_lines(const std::string& dbname) {
    return tsdb_lines(env_or("PGHOST"), env_or("PGPORT"), env_or("PGUSER", "postgres"),
                      env_or("PGPASSWORD"), dbname);
}

struct ConsoleConfig {
    std::string tsdb;  // the lines of [TSDBConnection]
    std::string opc_schema;
    std::string opc_type = "OPC UA";
    std::string collection_interval = "0.2";
    std::string vantrel_extra{};  // further lines of [Vantrel]
    std::string log_prefix = "e2e";
    std::string log_level = "INFO";
    bool log_to_console = true;
};

// config.ini as the tests write it: the tag file is tags.csv and the log folder log/, both
// beside it.
inline std::string config_text(const ConsoleConfig& config) {
    return "[TSDBConnection]\n" + config.tsdb +
           "\n[Vantrel]\ntag_csv_path = tags.csv\nopc_schema = " + config.opc_schema +
           "\nopc_type = " + config.opc_type +
           "\ncollection_interval = " + config.collection_interval + "\n" + config.vantrel_extra +
           "\n[VantrelLogging]\nlog_dir = log\nprefix = " + config.log_prefix +
           "\nlevel = " + config.log_level + "\n" +
           (config.log_to_console ? "console = true\n" : "");
}

// The program finds config.ini in the parent of its own folder, so it is copied into
// <prefix>/bin; its libraries stay in the build tree.
inline void install_console(const fs::path& prefix) {
    fs::create_directories(prefix / "bin");
    fs::copy_file(PELLUMAR_EXE, prefix / "bin" / "pellumar");
    fs::create_directory_symlink(fs::path(PELLUMAR_EXE).parent_path().parent_path() / "lib",
                                 prefix / "lib");
}

// install_console, then config.ini.
inline void lay_out_console(const fs::path& prefix, const ConsoleConfig& config) {
    install_console(prefix);
    write_file(prefix / "config.ini", config_text(config));
}

}  // namespace pellumar_test
