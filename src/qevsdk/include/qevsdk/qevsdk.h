// qevsdk: access to OPC sources. A QevLibrary handle owns the sources created on it;
// sources are named by opaque integer handles so that a stale or foreign handle is an
// error, never a dangling pointer.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "qevsdk/ua_browse.h"

namespace qevsdk {

// Source kinds, passed to create_source as their integer value.
enum QEV_RTSOURCE : int {
    QEV_RTSOURCE_DA = 1,
    QEV_RTSOURCE_UA = 2,
};

// Requested data types, passed as their integer value in TagRequest::data_type.
enum QEV_DATATYPE : int {
    QEV_DATATYPE_REAL = 5,
};

enum QEV_LOG_LEVEL : int {
    QEV_LOG_LEVEL_DEBUG = 0,
    QEV_LOG_LEVEL_INFO = 1,
    QEV_LOG_LEVEL_WARNING = 2,
    QEV_LOG_LEVEL_ERROR = 3,
};

using SourceHandle = std::int64_t;
inline constexpr SourceHandle QEV_INVALID_HANDLE = 0;

// One server found by discovery. `name` and `schema` hold UTF-8 text padded with NUL bytes;
// text that does not fit is not stored (the descriptor is skipped).
// On input, `source_type` 0 asks for every kind; QEV_RTSOURCE_DA or QEV_RTSOURCE_UA asks
// for that kind only. On output it holds the kind of the server found.
struct qev_source_desc_t {
    std::int32_t source_type = 0;
    std::array<char, 512> name{};
    std::array<char, 512> schema{};
};

// One tag to read. For DA, namespace_index is 0 and tag_name is the item id. For UA,
// tag_name is `i=123`, `s=text`, `g=<guid>`, `b=<base64>`, or else a string identifier
// taken whole; in namespace 0 it may also name the namespace by URI (`nsu=<URI>;s=text`,
// see qevsdk/ua_tag.h), resolved through the server's namespace array at every connect.
struct TagRequest {
    int data_type = QEV_DATATYPE_REAL;
    int namespace_index = 0;
    std::string tag_name;
};

// What a read gives for one request. quality: (quality & 0xFF00) is 0x0100 Good,
// 0x0200 Bad, 0x0300 Uncertain. A value that is not numeric reads as NaN with Bad quality.
struct ValueRecord {
    double value = 0.0;
    std::int32_t quality = 0;
    std::optional<std::chrono::system_clock::time_point> timestamp;
    // The two times an OPC UA server may send with a value; timestamp is the first of them
    // present, else the time the answer arrived.
    std::optional<std::chrono::system_clock::time_point> source_timestamp{};
    std::optional<std::chrono::system_clock::time_point> server_timestamp{};
    // The OPC UA status code behind `quality` (0 Good): the server's reason for a Bad value.
    std::uint32_t status = 0;
};

// One change a subscribed source was told of, for the request it was first read with.
struct ChangeRecord {
    TagRequest request;
    ValueRecord record;
};

// Misuse of the library itself: an unknown or destroyed handle, a destroyed library.
class Error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class QevLibrary {
  public:
    QevLibrary();
    ~QevLibrary();
    QevLibrary(const QevLibrary&) = delete;
    QevLibrary& operator=(const QevLibrary&) = delete;

    void set_log_level(QEV_LOG_LEVEL level);

    // QEV_INVALID_HANDLE on failure; last_error() says why (and the log).
    SourceHandle create_source(int source_type, const std::string& source_schema,
                               int sample_timespan_msec, int support_subscribe);
    bool is_source_valid(SourceHandle source);

    // One record per request, in request order. A lost connection gives Bad records for every
    // request rather than an error, so that the caller can reconnect. The first element is a
    // status code (0 when the read was sent) that callers may ignore.
    std::pair<int, std::vector<ValueRecord>> read_values(SourceHandle source,
                                                         const std::vector<TagRequest>& requests);

    // What the source could not make of the tags it was asked to read, since the last call:
    // an nsu= tag (qevsdk/ua_tag.h) whose namespace URI the server lacks, or one that is
    // malformed. Each is given (and logged) once per connection; such tags read Bad.
    std::vector<std::string> take_tag_problems(SourceHandle source);
    // A UA source created with support_subscribe = 1 answers read_values from what the server
    // last reported (see ua_subscription.h); these two say more about it. Every change
    // reported since the last call, each tag's in order, with what has arrived since the last
    // read taken in first (only when the subscription settings keep changes; empty for every
    // other source).
    std::vector<ChangeRecord> read_changes(SourceHandle source);
    // How many items the server is reporting on now; nullopt for a source that does not
    // subscribe.
    std::optional<std::size_t> live_items(SourceHandle source);

    void destroy_source(SourceHandle source);

    // Walks the address space of an OPC UA source into tag list entries (see ua_browse.h).
    // Throws Error for a source of another kind; a server that fails on the way gives an
    // incomplete result that says why.
    BrowseResult browse(SourceHandle source, const BrowseOptions& options);

    // Why the last failed call on this handle failed, so that a caller can show the cause
    // beside its own message instead of fishing it out of the log. For QEV_INVALID_HANDLE:
    // the last failed create_source or discovery ("" until one failed; a success clears it).
    // For a source: why it last failed to read or became invalid ("" when it never did).
    std::string last_error(SourceHandle source = QEV_INVALID_HANDLE);

    // Releases every source and the handle itself; harmless when called again.
    void destroy();

    // Fills at most descs.size() descriptors and returns how many are valid. For UA, port 0
    // means 4840. Throws Error (with a clear text) when the server cannot be reached.
    std::optional<int> discovery(std::vector<qev_source_desc_t>& descs, const std::string& hostname,
                                 int port);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qevsdk
