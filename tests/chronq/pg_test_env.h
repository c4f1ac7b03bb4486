// The test database: settings from the libpq environment and a scratch database per test.
#pragma once

#include <libpq-fe.h>

#include <string>
#include <vector>

#include "chronq/types.h"

namespace chronq_test {

// The server given by PGHOST, PGPORT, PGUSER, PGPASSWORD and PGDATABASE. Throws with
// instructions when they are missing: these tests must not pass without a server.
chronq::ConnSettings env_settings();

// A database of its own for one test, dropped again at the end.
class ScratchDb {
  public:
    ScratchDb();
    ~ScratchDb();
    ScratchDb(const ScratchDb&) = delete;
    ScratchDb& operator=(const ScratchDb&) = delete;

    const std::string& name() const { return name_; }
    chronq::ConnSettings settings() const;

    // Runs SQL on a separate plain libpq session and returns the rows as text ("<NULL>" for
    // NULL), one inner vector per row. Throws on failure.
    std::vector<std::vector<std::string>> query(const std::string& sql) const;
    std::string scalar(const std::string& sql) const;

  private:
    std::string name_;
};

// A raw session to the given database of the test server; the caller PQfinish-es it.
PGconn* raw_connect(const std::string& dbname);

}  // namespace chronq_test
