// A console prefix for benchmarks that run pellumar as an operator does: bin/pellumar,
// lib/ pointing at the build's libraries, config.ini and tags.csv, in a folder under /tmp that
// goes away with the object.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::bench {

// The console of the same build tree, or the one VANTREL_PELLUMAR names; empty, with a line on
// standard error from `program`, when there is none.
std::filesystem::path console_program(const char* program);

struct ConsoleSettings {
    std::vector<std::string> tags;  // FullTagName of each row of tags.csv
    std::string opc_schema = "opc.da://localhost/Vantrel.Simulation.1";
    std::string opc_type = "OPC DA";
    double collection_interval = 1.0;
    int batch_size = 200;
    // Absent: the console's fallback (a buffer folder beside config.ini); empty: no buffer.
    std::optional<std::string> buffer_dir{};
};

class ConsolePrefix {
  public:
    // `label` starts the folder's name; the console writes into database `dbname` of the server
    // of the libpq environment.
    ConsolePrefix(const std::filesystem::path& pellumar, const std::string& dbname,
                  const std::string& label);
    ~ConsolePrefix();
    ConsolePrefix(const ConsolePrefix&) = delete;
    ConsolePrefix& operator=(const ConsolePrefix&) = delete;

    // Writes config.ini and tags.csv afresh.
    void lay_out(const ConsoleSettings& settings) const;

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path program() const { return root_ / "bin" / "pellumar"; }

  private:
    std::filesystem::path root_;
    std::string dbname_;
};

}  // namespace vantrel::bench
