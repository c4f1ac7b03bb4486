// Lays out a console prefix; see console_prefix.h.
#include "console_prefix.h"

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#ifndef BENCH_PELLUMAR
#define BENCH_PELLUMAR ""
#endif

namespace vantrel::bench {

namespace fs = std::filesystem;

namespace {

std::string env(const char* name, const char* fallback = "") {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : fallback;
}

// A percent sign is written %% in config.ini.
std::string ini_escaped(const std::string& value) {
    std::string out;
    for (const char c : value) {
        out += c == '%' ? std::string("%%") : std::string(1, c);
    }
    return out;
}

}  // namespace

fs::path console_program(const char* program) {
    const fs::path pellumar = env("VANTREL_PELLUMAR", BENCH_PELLUMAR);
    std::error_code ec;
    if (pellumar.empty() || !fs::exists(pellumar, ec)) {
        std::fprintf(stderr,
                     "%s: no console program at '%s'; build the pellumar target or name one with "
                     "VANTREL_PELLUMAR\n",
                     program, pellumar.c_str());
        return {};
    }
    return pellumar;
}

// bin/pellumar is a copy: the program finds config.ini beside its real bin/ folder.
ConsolePrefix::ConsolePrefix(const fs::path& pellumar, const std::string& dbname,
                             const std::string& label)
    : dbname_(dbname) {
    std::string pattern = "/tmp/" + label + "_XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a folder under /tmp");
    }
    root_ = pattern;
    try {
        fs::create_directories(root_ / "bin");
        fs::copy_file(pellumar, root_ / "bin" / "pellumar");
        fs::create_directory_symlink(fs::canonical(pellumar.parent_path() / ".." / "lib"),
                                     root_ / "lib");
    } catch (...) {
        std::error_code ec;
        fs::remove_all(root_, ec);
        throw;
    }
}

ConsolePrefix::~ConsolePrefix() {
    std::error_code ec;
    fs::remove_all(root_, ec);
}

void ConsolePrefix::lay_out(const ConsoleSettings& settings) const {
    std::ofstream csv(root_ / "tags.csv");
    csv << "FullTagName,Description\n";
    for (std::size_t i = 0; i < settings.tags.size(); ++i) {
        csv << settings.tags[i] << ",bulk point " << i << "\n";
    }
    std::ofstream ini(root_ / "config.ini");
    ini << "[TSDBConnection]\nhost = " << env("PGHOST", "127.0.0.1")
        << "\nport = " << env("PGPORT", "5432") << "\nuser = " << env("PGUSER", "postgres")
        << "\npassword = " << ini_escaped(env("PGPASSWORD")) << "\ndbname = " << dbname_
        << "\nautocommit = false\n\n[Vantrel]\ntag_csv_path = " << (root_ / "tags.csv").string()
        << "\nopc_schema = " << settings.opc_schema << "\nopc_type = " << settings.opc_type
        << "\ncollection_interval = " << settings.collection_interval
        << "\nbatch_size = " << settings.batch_size << "\n";
    if (settings.buffer_dir) {
        ini << "buffer_dir = " << *settings.buffer_dir << "\n";
    }
    ini << "\n[VantrelLogging]\nlog_dir = " << (root_ / "log").string()
        << "\nprefix = pellumar\nlevel = INFO\nmax_bytes_mb = 20\nretention_days = 1\n"
           "console = true\n";
}

}  // namespace vantrel::bench
