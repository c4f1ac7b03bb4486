// The engine's and front ends' view of the TSDB client: plain records, a connection that its
// owner closes, and the calls made on it. The default client binds to chronq; tests substitute
// their own.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "korrin/types.h"

namespace vantrel::korrin {

// An ordered text-to-text map (keys keep their order).
using Description = std::vector<std::pair<std::string, std::string>>;

enum class SourceStatus { ACTIVE, INACTIVE };
enum class SourceProtocol { OPC_DA, OPC_UA };

// The text form of a member: "ACTIVE", "INACTIVE", "OPC_DA", "OPC_UA".
std::string_view value(SourceStatus status);
std::string_view value(SourceProtocol protocol);

struct SourceInfo {
    std::string source_name{};
    std::string endpoint{};
    SourceStatus status = SourceStatus::ACTIVE;
    SourceProtocol protocol = SourceProtocol::OPC_DA;
    std::string source_type{};
    int interval_msec = 1000;
    Description description{};
    std::optional<std::int64_t>
        source_id{};  // filled in by insert_new_source and on stored records
};

// Each list restricts the match to its members; an empty list matches everything.
struct SourceFilter {
    std::vector<std::string> names{};
    std::vector<SourceStatus> status{};
    std::vector<SourceProtocol> protocol{};
};

struct TagInfo {
    std::string tag_name{};
    Description description{};  // {"desc": text} or empty
    std::optional<std::int64_t> source_id{};
    std::string source_tagname{};
    std::optional<std::int64_t> tag_id{};  // present on stored records
};

// The fields update_tag_fields may change; an empty optional leaves the field as it is.
struct TagFields {
    std::optional<std::int64_t> source_id{};
    std::optional<std::string> source_tagname{};
    std::optional<Description> description{};
};

// One name's outcome of a lookup: the stored tag, nothing (no tag has the name), or the reason
// why the database refused the name itself (the connection is fine).
struct TagLookup {
    std::optional<TagInfo> tag{};
    std::string refused{};  // empty unless refused
};

struct OperationResult {
    bool ok = false;
    std::optional<TagInfo> data{};  // the stored tag record, for a tag insertion
    std::string message{};          // why, when not ok
};

// What a failed client call says about trying it again.
enum class TsdbErrorKind {
    connection,  // no connection, or it broke: reconnect, then retry
    statement,   // the server refused the statement or the arguments: retrying as is will not help
    other,       // anything else the client met
};

// Every client error; texts never carry the password. Callers ask it, rather than its type,
// what went wrong.
class TsdbError : public std::runtime_error {
  public:
    explicit TsdbError(const std::string& what, std::string_view sqlstate = {},
                       bool in_doubt = false)
        : TsdbError(TsdbErrorKind::other, what, sqlstate, in_doubt) {}

    TsdbErrorKind kind() const noexcept { return kind_; }
    // The server's SQLSTATE ("23505", "57014", ...); empty when it gave none, e.g. when the
    // connection was lost.
    std::string_view sqlstate() const noexcept { return {sqlstate_.data(), sqlstate_size_}; }
    // A write had gone to the server when the failure hit (the connection broke or a time limit
    // cut the wait for its answer): its rows may have been committed.
    bool in_doubt() const noexcept { return in_doubt_; }

  protected:
    TsdbError(TsdbErrorKind kind, const std::string& what, std::string_view sqlstate, bool in_doubt)
        : std::runtime_error(what), kind_(kind), in_doubt_(in_doubt) {
        sqlstate_size_ = static_cast<std::uint8_t>(std::min(sqlstate.size(), sqlstate_.size()));
        std::copy_n(sqlstate.begin(), sqlstate_size_, sqlstate_.begin());
    }

  private:
    TsdbErrorKind kind_;
    std::array<char, 5> sqlstate_{};  // inline: copying an error never allocates
    std::uint8_t sqlstate_size_ = 0;
    bool in_doubt_ = false;
};

// The connection could not be opened or is broken: reconnect, then retry.
class TsdbConnectionError : public TsdbError {
  public:
    explicit TsdbConnectionError(const std::string& what, std::string_view sqlstate = {},
                                 bool in_doubt = false)
        : TsdbError(TsdbErrorKind::connection, what, sqlstate, in_doubt) {}
};

// The server refused a statement or the arguments are wrong: retrying as is will not help.
class TsdbQueryError : public TsdbError {
  public:
    explicit TsdbQueryError(const std::string& what, std::string_view sqlstate = {})
        : TsdbError(TsdbErrorKind::statement, what, sqlstate, false) {}
};

// How far a writer's numbered batches are committed: stored in the same statement as the rows,
// so that after a crash the writer can tell which of its batches are already in.
struct WriteMark {
    std::string writer{};
    std::int64_t seq = 0;
};

// One stored sample as read back for a chart, or one time bucket of them.
struct StoredSample {
    std::string tag{};
    std::chrono::system_clock::time_point time{};  // the sample's, or its bucket's start
    std::optional<double> value{};                 // none when nothing numeric was stored
    std::string quality{};
};

// Which stored samples to read: these tags with from <= time < to; with a bucket, one row per
// tag and bucket, averaging its Good samples (a bucket without any has no value).
struct HistoryQuery {
    std::vector<std::string> tags{};
    std::chrono::system_clock::time_point from{};
    std::chrono::system_clock::time_point to{};
    std::chrono::seconds bucket{0};  // 0: every sample as stored

    friend bool operator==(const HistoryQuery&, const HistoryQuery&) = default;
};

// One open connection, used by one thread at a time and closed by its owner.
class TsdbConnection {
  public:
    virtual ~TsdbConnection() = default;
    // Harmless when called again.
    virtual void close() = 0;
};

class TsdbClient {
  public:
    virtual ~TsdbClient() = default;

    // An open connection; throws (or gives nothing) on failure.
    virtual std::unique_ptr<TsdbConnection> get_conn(const TsdbConfig& cfg) = 0;
    // The same, but once `stop` is requested (from any thread) every wait on the connection,
    // connecting included, ends at once with TsdbConnectionError, the statement in flight
    // cancelled. The default ignores `stop`.
    virtual std::unique_ptr<TsdbConnection> get_conn_stoppable(const TsdbConfig& cfg,
                                                               std::stop_token stop);
    // True while the connection works.
    virtual bool ping(TsdbConnection& conn) = 0;
    virtual std::vector<std::string> fetch_available_tsdbs(const TsdbConfig& cfg) = 0;
    virtual std::vector<SourceInfo> get_sources(TsdbConnection& conn, const SourceFilter& flt) = 0;
    // On ok, info.source_id holds the new id.
    virtual OperationResult insert_new_source(TsdbConnection& conn, SourceInfo& info) = 0;
    // Nothing when no tag has that name.
    virtual std::optional<TagInfo> get_tag(TsdbConnection& conn, const std::string& tag_name) = 0;
    virtual OperationResult insert_new_tag(TsdbConnection& conn, const TagInfo& tag) = 0;
    virtual OperationResult update_tag_fields(TsdbConnection& conn, const std::string& tag_name,
                                              const TagFields& fields) = 0;
    // Three equal-length sequences, one row per index; (success, rows written).
    virtual std::pair<bool, std::size_t> write_tsdata(TsdbConnection& conn,
                                                      std::span<const std::int64_t> tag_ids,
                                                      std::span<const Value> values,
                                                      std::span<const std::string> qualities) = 0;
    // The same with each row's own time; with a mark, rows and mark are committed together.
    // A failure that a later try can cure throws TsdbConnectionError; a refused write gives
    // (false, 0). The default drops the times and the mark and calls write_tsdata.
    virtual std::pair<bool, std::size_t> write_tsdata_at(
        TsdbConnection& conn, std::span<const std::chrono::system_clock::time_point> times,
        std::span<const std::int64_t> tag_ids, std::span<const Value> values,
        std::span<const std::string> qualities, const WriteMark* mark);
    // The writer's committed mark, 0 when none. The default knows none.
    virtual std::int64_t write_mark(TsdbConnection& conn, const std::string& writer);
    // Drops the stored days that end keep_days or more before now (never the one being
    // written); the number of partitions dropped. The default keeps everything.
    virtual std::size_t drop_old_days(TsdbConnection& conn, int keep_days);
    // The stored samples the query asks for, ordered by tag, then time. The default keeps no
    // history and gives none.
    virtual std::vector<StoredSample> read_history(TsdbConnection& conn, const HistoryQuery& query);

    // Batches: one result per entry, in order, with the outcome of the single call for that
    // entry as if the entries were handled one after the other (a name listed twice is
    // inserted once and then refused, or updated twice). The defaults make one single call per
    // entry; a client overrides them to save the round trips.
    virtual std::vector<std::optional<TagInfo>> get_tags(TsdbConnection& conn,
                                                         const std::vector<std::string>& names);
    // Like get_tags, but a name the database refuses comes back refused with the reason;
    // errors of the connection (or of the statement as a whole) are raised. The default asks
    // get_tag per name and takes a statement error (TsdbQueryError) as that name's refusal.
    virtual std::vector<TagLookup> lookup_tags(TsdbConnection& conn,
                                               const std::vector<std::string>& names);
    virtual std::vector<OperationResult> insert_new_tags(TsdbConnection& conn,
                                                         const std::vector<TagInfo>& tags);
    virtual std::vector<OperationResult> update_tags_fields(
        TsdbConnection& conn, const std::vector<std::pair<std::string, TagFields>>& updates);
};

// The client of the real chronq binding.
std::shared_ptr<TsdbClient> default_tsdb_client();

}  // namespace vantrel::korrin
