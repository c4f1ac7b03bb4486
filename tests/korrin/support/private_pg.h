// A PostgreSQL instance of the test's own (scripts/pg-private.sh with a folder of its own), so
// that restarting it never disturbs another test's database. Created on construction,
// destroyed with the object.
#pragma once

#include <optional>
#include <string>

#include <korrin/types.h>

namespace korrin_test {

class PrivatePg {
  public:
    PrivatePg();
    ~PrivatePg();
    PrivatePg(const PrivatePg&) = delete;
    PrivatePg& operator=(const PrivatePg&) = delete;

    // False (with why()) when the instance could not be made here, e.g. PostgreSQL is missing.
    bool ok() const { return ok_; }
    const std::string& why() const { return why_; }

    vantrel::korrin::TsdbConfig config() const { return cfg_; }
    // libpq connection string for the test's own checks.
    std::string conninfo() const;

    void stop();
    void start();
    void restart();

  private:
    int run(const std::string& command, std::string* out = nullptr) const;

    std::string dir_;
    std::string script_;
    vantrel::korrin::TsdbConfig cfg_;
    bool ok_ = false;
    std::string why_;
};

// One value from a query, or nothing on any error.
std::optional<std::string> query_one(const std::string& conninfo, const std::string& sql);

}  // namespace korrin_test
