// Browse and BrowseNext, the read of the attributes a tag list needs, and the walk of an
// address space that uses them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "codec.h"
#include "messages.h"
#include "node_text.h"
#include "qevsdk/ua_browse.h"

namespace qevsdk::ua {

class Client;

namespace type_id {
inline constexpr std::uint32_t BrowseRequest = 527;
inline constexpr std::uint32_t BrowseResponse = 530;
inline constexpr std::uint32_t BrowseNextRequest = 533;
inline constexpr std::uint32_t BrowseNextResponse = 536;
}  // namespace type_id

inline constexpr std::uint32_t kNodeObjectsFolder = 85;
inline constexpr std::uint32_t kNodeHierarchicalReferences = 33;
inline constexpr std::uint32_t kNodeHasSubtype = 45;
inline constexpr std::uint32_t kNodeBaseDataType = 24;
// Server_ServerCapabilities_OperationLimits_MaxNodesPerBrowse.
inline constexpr std::uint32_t kNodeMaxNodesPerBrowse = 11710;

namespace node_class {
inline constexpr std::int32_t Object = 1;
inline constexpr std::int32_t Variable = 2;
}  // namespace node_class

namespace attribute {
inline constexpr std::uint32_t Description = 5;
inline constexpr std::uint32_t DataType = 14;
inline constexpr std::uint32_t ValueRank = 15;
inline constexpr std::uint32_t AccessLevel = 17;
}  // namespace attribute

inline constexpr std::uint8_t kAccessCurrentRead = 0x01;
inline constexpr std::int32_t kValueRankScalar = -1;

// One reference of a BrowseResult, as far as a walk needs it.
struct Reference {
    NodeId target;
    // The target lies on another server, or is named by a namespace URI rather than an index.
    bool remote = false;
    std::string browse_name;
    std::string display_name;
    std::int32_t node_class = 0;
};

struct BrowseResultEntry {
    std::uint32_t status = status::Good;
    std::vector<std::uint8_t> continuation_point;  // empty: the node's references are all here
    std::vector<Reference> references;
};

// Forward hierarchical references (and their subtypes) to Objects and Variables, with every
// field of the references.
void encode_browse(Writer& w, const RequestContext& ctx, std::span<const NodeId> nodes,
                   std::uint32_t max_references_per_node);
// The supertype of each node (a HasSubtype reference followed backwards), of any node class.
void encode_browse_supertypes(Writer& w, const RequestContext& ctx, std::span<const NodeId> nodes);
void encode_browse_next(Writer& w, const RequestContext& ctx, bool release,
                        std::span<const std::vector<std::uint8_t>> continuation_points);
// Both check that there is one result per node or continuation point asked about.
std::vector<BrowseResultEntry> decode_browse_response(Reader& r, std::size_t expected);
std::vector<BrowseResultEntry> decode_browse_next_response(Reader& r, std::size_t expected);

// Attributes of a node that a read can give.
struct AttributeValue {
    std::uint32_t status = status::Good;
    std::optional<std::string> text;  // a LocalizedText's text, or a String
    std::optional<NodeId> node_id;
    std::optional<std::int64_t> integer;  // any integer type
};
void encode_read_attributes(Writer& w, const RequestContext& ctx, std::span<const NodeId> nodes,
                            std::span<const std::uint32_t> attributes);
std::vector<AttributeValue> decode_read_attributes_response(Reader& r, std::size_t expected);

std::string data_type_name(const NodeId& id);
bool is_numeric_data_type(const NodeId& id);

// Walks the server from options' start node over hierarchical references, each node once.
// Never throws for a failing server: the result then says why it is incomplete.
BrowseResult browse(Client& client, const BrowseOptions& options);

}  // namespace qevsdk::ua
