// The engine's view of the OPC source access library: one handle per connect, sources named by
// integer handles. The default factory binds to qevsdk; tests and tools may substitute their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "korrin/types.h"

namespace vantrel::korrin {

// Source kinds, passed to create_source as their integer value.
enum QEV_RTSOURCE : int {
    QEV_RTSOURCE_DA = 1,
    QEV_RTSOURCE_UA = 2,
};

// Requested data types, passed as their integer value in OpcTagRequest::data_type.
enum QEV_DATATYPE : int {
    QEV_DATATYPE_REAL = 5,
};

enum QEV_LOG_LEVEL : int {
    QEV_LOG_LEVEL_DEBUG = 0,
    QEV_LOG_LEVEL_INFO = 1,
    QEV_LOG_LEVEL_WARNING = 2,
    QEV_LOG_LEVEL_ERROR = 3,
};

using OpcSourceHandle = std::int64_t;
inline constexpr OpcSourceHandle QEV_INVALID_HANDLE = 0;

// One tag to read: for DA namespace 0 and the item id; for UA from parse_ua_tag.
struct OpcTagRequest {
    int data_type = QEV_DATATYPE_REAL;
    int namespace_index = 0;
    std::string tag_name{};

    friend bool operator==(const OpcTagRequest&, const OpcTagRequest&) = default;
};

// What a read gives for one request; quality as the library's integer code.
struct OpcValueRecord {
    Value value{};
    int quality = 0;
    Timestamp timestamp{};
    Timestamp source_time{};  // OPC UA: the value's source and server times, when sent
    Timestamp server_time{};
};

// A change a subscribed source was told of, for the request it was read with.
struct OpcChange {
    OpcTagRequest request{};
    OpcValueRecord record{};
};

// One server found by discovery.
struct OpcServer {
    std::int32_t source_type = 0;  // QEV_RTSOURCE_DA or QEV_RTSOURCE_UA
    std::string name{};
    std::string schema{};

    friend bool operator==(const OpcServer&, const OpcServer&) = default;
};

// A browse of an OPC UA source's address space, as the library's browse walks it.
struct OpcBrowseProgress {
    std::size_t nodes_visited = 0;
    std::size_t variables = 0;
};

struct OpcBrowseOptions {
    // The start node in tag form (namespace and identifier); by default the Objects folder.
    int from_namespace = 0;
    std::string from = "i=85";
    // Levels of references followed below the start node; 0: no limit, 1: its children only.
    int max_depth = 0;
    // Polled between requests: true ends the browse with what was found so far.
    std::function<bool()> cancelled{};
    std::function<void(const OpcBrowseProgress&)> progress{};
};

// One node found; only variables go into a tag list.
struct OpcBrowsedNode {
    bool is_variable = false;
    int namespace_index = 0;
    std::string identifier{};     // as a tag names it; with the namespace, a start node
    std::string full_tag_name{};  // "<ns>:<identifier>"; empty when no tag list can keep it
    std::string browse_path{};    // browse names from the start node, joined by '/'
    std::string display_name{};
    std::string description{};  // the tag list's Description (the library's fallbacks applied)
    std::string data_type{};
    bool listed_by_default = false;  // a tag list holds it unless every type is asked for
};

struct OpcBrowseResult {
    std::vector<OpcBrowsedNode> nodes{};  // objects first, then variables, each in found order
    std::size_t nodes_visited = 0;
    bool complete = true;  // false: cancelled or failed, `stopped_because` says which
    std::string stopped_because{};
};

// One library handle. Not shared between threads: its owner creates, uses and destroys it.
class OpcLibrary {
  public:
    virtual ~OpcLibrary() = default;

    virtual void set_log_level(QEV_LOG_LEVEL level) = 0;
    // QEV_INVALID_HANDLE on failure (not an error); last_error() then says why.
    virtual OpcSourceHandle create_source(int source_type, const std::string& source_schema,
                                          int sample_timespan_msec, int support_subscribe) = 0;
    virtual bool is_source_valid(OpcSourceHandle source) = 0;
    // First element a status the engine ignores; second one record per request, in order.
    virtual std::pair<int, std::vector<OpcValueRecord>> read_values(
        OpcSourceHandle source, std::span<const OpcTagRequest> requests) = 0;
    // A source created with support_subscribe = 1: how many items the server reports on now
    // (nullopt for a source that reads), and every change reported since the last call, each
    // tag's in order (when the acquisition keeps every change).
    virtual std::optional<std::size_t> live_items(OpcSourceHandle) { return std::nullopt; }
    virtual std::vector<OpcChange> read_changes(OpcSourceHandle) { return {}; }
    virtual void destroy_source(OpcSourceHandle source) = 0;
    virtual void destroy() = 0;
    // The servers found on the host, in the library's order, at most max_servers. source_type
    // 0 asks for every kind, QEV_RTSOURCE_DA or QEV_RTSOURCE_UA for that kind only; for UA,
    // port 0 means the default port. Throws, with the cause, when the host cannot be asked.
    virtual std::vector<OpcServer> discovery(const std::string& hostname, int port, int source_type,
                                             std::size_t max_servers) = 0;
    // Why the last failed create_source failed, for the operator; "" when nothing failed or
    // the library does not say.
    virtual std::string last_error() = 0;
    // Walks an OPC UA source's address space. A library that cannot browse throws
    // std::runtime_error; a server that fails on the way gives an incomplete result.
    virtual OpcBrowseResult browse(OpcSourceHandle source, const OpcBrowseOptions& options);
};

// The tag list CSV (FullTagName, Description, DataType, BrowsePath, header first) of browsed
// variables, written as the library's browsing tool writes it; other nodes are left out.
std::string browsed_tag_list_csv(const std::vector<OpcBrowsedNode>& variables);

// Makes a fresh library handle; called at every connect.
using OpcLibraryFactory = std::function<std::unique_ptr<OpcLibrary>()>;

// The factory of the real qevsdk binding.
OpcLibraryFactory default_opc_library_factory();

}  // namespace vantrel::korrin
