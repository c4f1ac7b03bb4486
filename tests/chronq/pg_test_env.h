// The test database: settings from the libpq environment and a scratch database per test.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "chronq/types.h"
#include "pg_session.h"

namespace chronq_test {

// The server given by PGHOST, PGPORT, PGUSER, PGPASSWORD and PGDATABASE. Throws with
// instructions when they are missing: these tests must not pass without a server.
chronq::ConnSettings env_settings();

// A database of its own for one test, dropped again at the end.
class ScratchDb {
  public:
    ScratchDb();

    const std::string& name() const { return db_.name(); }
    chronq::ConnSettings settings() const;

    // Runs SQL on a separate plain libpq session and returns the rows as text ("<NULL>" for
    // NULL), one inner vector per row. Throws on failure.
    vantrel::test::PgRows query(const std::string& sql) const;
    std::string scalar(const std::string& sql) const;

  private:
    vantrel::test::ScratchDatabase db_;
};

// A tag record as registration builds it: its own name as source tag name.
inline chronq::TagInfo tag_named(const std::string& name,
                                 std::optional<std::int64_t> source_id = std::nullopt,
                                 chronq::Description description = {}) {
    chronq::TagInfo tag;
    tag.tag_name = name;
    tag.source_id = source_id;
    tag.source_tagname = name;
    tag.description = std::move(description);
    return tag;
}

}  // namespace chronq_test
