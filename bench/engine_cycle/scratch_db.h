// A scratch database on the server of the libpq environment (PGHOST, PGPORT, PGUSER,
// PGPASSWORD, PGDATABASE), created for the run and dropped afterwards.
#pragma once

#include <string>

#include <korrin/types.h>

namespace bench {

class ScratchDb {
  public:
    ScratchDb();  // throws std::runtime_error when the server cannot be reached
    ~ScratchDb();
    ScratchDb(const ScratchDb&) = delete;
    ScratchDb& operator=(const ScratchDb&) = delete;

    const vantrel::korrin::TsdbConfig& config() const { return cfg_; }

  private:
    void admin(const std::string& sql) const;
    vantrel::korrin::TsdbConfig cfg_;
    std::string maintenance_db_;
};

}  // namespace bench
