// The PostgreSQL of the libpq environment (PGHOST, PGPASSWORD, ...), or an instance of the
// test's own (scripts/pg-private.sh with a folder of its own) when there is none or when the
// test restarts it, so that a restart never disturbs another test's database. An own instance
// is created on construction and destroyed with the object.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <korrin/types.h>

#include "pg_session.h"

namespace korrin_test {

class PrivatePg {
  public:
    explicit PrivatePg(bool own_instance);
    ~PrivatePg();
    PrivatePg(const PrivatePg&) = delete;
    PrivatePg& operator=(const PrivatePg&) = delete;

    // False (with why()) when the instance could not be made here, e.g. PostgreSQL is missing.
    bool ok() const { return ok_; }
    const std::string& why() const { return why_; }

    vantrel::korrin::TsdbConfig config() const { return cfg_; }
    // libpq connection string for the test's own checks.
    std::string conninfo() const;

    // Own instances only.
    void restart();
    // An outage: the server down until start(), on the same port and data.
    void stop();
    void start();

  private:
    int run(const std::string& command, std::string* out = nullptr) const;

    std::string dir_;
    std::string script_;
    vantrel::korrin::TsdbConfig cfg_;
    bool own_ = false;
    bool ok_ = false;
    std::string why_;
};

using vantrel::test::query_one;

// The statement that counts the rows of the given tags stored from `since` (a timestamp text)
// on, for a session of the caller's own.
std::string rows_since_query(const std::vector<std::int64_t>& tag_ids, const std::string& since);
// That count on a session of its own; -1 when the count fails.
long rows_since(const std::string& conninfo, const std::vector<std::int64_t>& tag_ids,
                const std::string& since);

}  // namespace korrin_test
