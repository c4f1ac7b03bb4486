// chronq: plain records shared by the client's modules. No libpq type appears here.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace chronq {

// Connection settings; every field is passed as given to the server.
struct ConnSettings {
    std::string host;  // empty: libpq's default (local socket)
    int port = 5432;
    std::string user = "postgres";
    std::string password;
    std::string dbname = "tsdb_default";
    bool autocommit = false;
    // Longest wait, in milliseconds, for one statement: writes (time-series rows, inserts and
    // updates, schema creation) and everything else (lookups, listings, ping). A statement
    // that takes longer is cancelled and its connection closed (ConnectionError), so a held
    // lock or a silent server never blocks the caller for longer.
    int write_timeout_ms = 5000;
    int lookup_timeout_ms = 2000;
};

// An ordered text-to-text map, stored as a JSON object (keys keep their order).
using Description = std::vector<std::pair<std::string, std::string>>;

enum class SourceStatus { ACTIVE, INACTIVE };
enum class SourceProtocol { OPC_DA, OPC_UA };

// The text form of a member, as stored: "ACTIVE", "INACTIVE", "OPC_DA", "OPC_UA".
std::string_view value(SourceStatus status);
std::string_view value(SourceProtocol protocol);

struct SourceInfo {
    std::string source_name;
    std::string endpoint;
    SourceStatus status = SourceStatus::ACTIVE;
    SourceProtocol protocol = SourceProtocol::OPC_DA;
    std::string source_type;
    int interval_msec = 1000;
    Description description;
    std::optional<std::int64_t> source_id;  // filled in by insert_new_source and on stored records
};

// Each list restricts the match to its members; an empty list matches everything.
struct SourceFilter {
    std::vector<std::string> names;
    std::vector<SourceStatus> status;
    std::vector<SourceProtocol> protocol;
};

struct TagInfo {
    std::string tag_name;
    Description description;  // {"desc": text} or empty
    std::optional<std::int64_t> source_id;
    std::string source_tagname;
    std::optional<std::int64_t> tag_id;  // present on stored records
};

// The fields update_tag_fields may change; an empty optional leaves the field as it is.
struct TagFields {
    std::optional<std::int64_t> source_id;
    std::optional<std::string> source_tagname;
    std::optional<Description> description;
};

struct OperationResult {
    bool ok = false;
    std::optional<TagInfo> data;  // the stored tag record, for a tag insertion
    std::string message;          // why, when not ok
};

// A sample value as the collector has it. Text and empty values are stored as NULL
// (their quality is kept); booleans as 0/1.
using TsValue = std::variant<std::monostate, bool, std::int64_t, double, std::string>;

// Every chronq error. Texts carry the server's or libpq's message, never the password.
class Error : public std::runtime_error {
  public:
    explicit Error(const std::string& what, std::string_view sqlstate = {}, bool in_doubt = false);

    // The server's SQLSTATE for the failure ("23505", "57014", ...); empty when the server gave
    // none, e.g. when the connection was lost or the text was refused before it was sent.
    std::string_view sqlstate() const noexcept { return {sqlstate_.data(), sqlstate_size_}; }
    // A write had gone to the server when the failure hit (the connection broke, or a time
    // limit or a stop cut the wait for its answer): its rows may have been committed. A
    // statement the server refused was rolled back and is never in doubt.
    bool in_doubt() const noexcept { return in_doubt_; }

  private:
    // A SQLSTATE is five characters; held inline, so copying an error never allocates.
    std::array<char, 5> sqlstate_{};
    std::uint8_t sqlstate_size_ = 0;
    bool in_doubt_ = false;
};

// The connection could not be opened or is broken: reconnect, then retry.
class ConnectionError : public Error {
  public:
    using Error::Error;
};

// The server refused a statement or the arguments are wrong: retrying as is will not help.
class QueryError : public Error {
  public:
    using Error::Error;
};

}  // namespace chronq
