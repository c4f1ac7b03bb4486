// Browse, BrowseNext and the walk of an address space into tag list entries.
#include "browse.h"

#include <algorithm>
#include <array>
#include <deque>
#include <map>
#include <set>
#include <tuple>

#include "client.h"
#include "node_text.h"

namespace qevsdk::ua {

namespace {

// Reference fields asked for: reference type, direction, node class, browse name, display
// name, type definition.
constexpr std::uint32_t kResultMaskAll = 0x3F;
constexpr std::int32_t kBrowseForward = 0;
constexpr std::int32_t kBrowseInverse = 1;
// Supertypes followed from a data type before it counts as not numeric.
constexpr int kMaxTypeDepth = 16;
// When the server states no MaxNodesPerBrowse.
constexpr std::uint32_t kDefaultNodesPerBrowse = 500;

// LocalizedText: only its text.
std::string decode_localized_text(Reader& r) {
    const std::uint8_t mask = r.u8();
    if (mask & 0x01) {
        r.skip_string();
    }
    return (mask & 0x02) ? std::string(r.string_view()) : std::string();
}

Reference decode_reference(Reader& r) {
    Reference ref;
    skip_node_id(r);  // reference type
    (void)r.boolean();
    Reader flags = r;
    const std::uint8_t mask = flags.u8();
    ref.target = decode_node_id(r);
    // The server index, when present, is the last field of the ExpandedNodeId.
    std::uint32_t server_index = 0;
    if (mask & 0x40) {
        std::memcpy(&server_index, r.position() - 4, 4);
    }
    ref.remote = (mask & 0x80) != 0 || server_index != 0;
    r.skip(2);  // browse name's namespace: the path shows names only
    ref.browse_name = std::string(r.string_view());
    ref.display_name = decode_localized_text(r);
    ref.node_class = r.i32();
    skip_node_id(r);  // type definition (an ExpandedNodeId; skip_node_id takes its flags)
    return ref;
}

// A response's results, exactly one per item asked about, then its diagnostics (skipped).
template <typename T, typename DecodeOne>
std::vector<T> decode_result_list(Reader& r, std::size_t expected, std::size_t min_result_bytes,
                                  const char* items, DecodeOne&& decode_one) {
    const std::size_t n = r.array_length(min_result_bytes);
    if (n != expected) {
        throw DecodeError("the response holds " + std::to_string(n) + " results for " +
                          std::to_string(expected) + " " + items);
    }
    std::vector<T> results(n);
    for (auto& result : results) {
        decode_one(result);
    }
    const std::size_t diagnostics = r.array_length(1);
    for (std::size_t i = 0; i < diagnostics; ++i) {
        skip_diagnostic_info(r);
    }
    return results;
}

std::vector<BrowseResultEntry> decode_results(Reader& r, std::uint32_t type, std::size_t expected) {
    decode_response_start(r, type);
    // A result is at least a status, a null continuation point and a null array.
    return decode_result_list<BrowseResultEntry>(r, expected, 12, "nodes", [&r](auto& result) {
        result.status = r.u32();
        const std::string_view point = r.string_view();
        result.continuation_point.assign(point.begin(), point.end());
        // A reference takes at least 18 bytes: three two-byte node ids, the direction, an
        // empty browse name (6), an empty display name (1) and the node class (4).
        const std::size_t refs = r.array_length(18);
        result.references.reserve(refs);
        for (std::size_t i = 0; i < refs; ++i) {
            result.references.push_back(decode_reference(r));
        }
    });
}

void decode_attribute_variant(Reader& r, AttributeValue& out) {
    const Reader start = r;
    const std::uint8_t encoding = r.u8();
    if ((encoding & 0xC0) == 0) {
        switch (static_cast<BuiltinType>(encoding & 0x3F)) {
            case BuiltinType::LocalizedText:
                out.text = decode_localized_text(r);
                return;
            case BuiltinType::String:
                out.text = std::string(r.string_view());
                return;
            case BuiltinType::NodeId:
                out.node_id = decode_node_id(r);
                return;
            case BuiltinType::Byte:
                out.integer = r.u8();
                return;
            case BuiltinType::Int32:
                out.integer = r.i32();
                return;
            case BuiltinType::UInt32:
                out.integer = r.u32();
                return;
            default:
                break;
        }
    }
    r = start;
    skip_variant(r);
}

void decode_attribute(Reader& r, AttributeValue& out) {
    const std::uint8_t mask = r.u8();
    out = AttributeValue{};
    if (mask & 0x01) {
        decode_attribute_variant(r, out);
    }
    skip_data_value_tail(r, mask, out.status);
}

}  // namespace

void encode_browse(Writer& w, const RequestContext& ctx, std::span<const NodeId> nodes,
                   std::uint32_t max_references_per_node) {
    encode_numeric_node_id(w, 0, type_id::BrowseRequest);
    encode_request_header(w, ctx);
    // View: the whole address space.
    encode_numeric_node_id(w, 0, 0);
    w.datetime(0);
    w.u32(0);
    w.u32(max_references_per_node);
    w.i32(static_cast<std::int32_t>(nodes.size()));
    for (const auto& node : nodes) {
        encode_node_id(w, node);
        w.i32(kBrowseForward);
        encode_numeric_node_id(w, 0, kNodeHierarchicalReferences);
        w.boolean(true);  // and its subtypes
        w.u32(static_cast<std::uint32_t>(node_class::Object | node_class::Variable));
        w.u32(kResultMaskAll);
    }
}

void encode_browse_supertypes(Writer& w, const RequestContext& ctx, std::span<const NodeId> nodes) {
    encode_numeric_node_id(w, 0, type_id::BrowseRequest);
    encode_request_header(w, ctx);
    encode_numeric_node_id(w, 0, 0);
    w.datetime(0);
    w.u32(0);
    w.u32(0);  // a type has one supertype
    w.i32(static_cast<std::int32_t>(nodes.size()));
    for (const auto& node : nodes) {
        encode_node_id(w, node);
        w.i32(kBrowseInverse);
        encode_numeric_node_id(w, 0, kNodeHasSubtype);
        w.boolean(false);
        w.u32(0);  // every node class
        w.u32(kResultMaskAll);
    }
}

void encode_browse_next(Writer& w, const RequestContext& ctx, bool release,
                        std::span<const std::vector<std::uint8_t>> continuation_points) {
    encode_numeric_node_id(w, 0, type_id::BrowseNextRequest);
    encode_request_header(w, ctx);
    w.boolean(release);
    w.i32(static_cast<std::int32_t>(continuation_points.size()));
    for (const auto& point : continuation_points) {
        w.byte_string(point.data(), point.size());
    }
}

std::vector<BrowseResultEntry> decode_browse_response(Reader& r, std::size_t expected) {
    return decode_results(r, type_id::BrowseResponse, expected);
}

std::vector<BrowseResultEntry> decode_browse_next_response(Reader& r, std::size_t expected) {
    return decode_results(r, type_id::BrowseNextResponse, expected);
}

void encode_read_attributes(Writer& w, const RequestContext& ctx, std::span<const NodeId> nodes,
                            std::span<const std::uint32_t> attributes) {
    encode_numeric_node_id(w, 0, type_id::ReadRequest);
    encode_request_header(w, ctx);
    w.f64(0.0);  // max age
    w.i32(3);    // timestamps: neither
    w.i32(static_cast<std::int32_t>(nodes.size() * attributes.size()));
    for (const auto& node : nodes) {
        for (std::uint32_t attribute : attributes) {
            encode_node_id(w, node);
            w.u32(attribute);
            w.null_string();  // index range
            w.u16(0);         // data encoding: default
            w.null_string();
        }
    }
}

std::vector<AttributeValue> decode_read_attributes_response(Reader& r, std::size_t expected) {
    decode_response_start(r, type_id::ReadResponse);
    return decode_result_list<AttributeValue>(r, expected, 1, "attributes",
                                              [&r](auto& value) { decode_attribute(r, value); });
}

std::string data_type_name(const NodeId& id) {
    static constexpr std::array<const char*, 16> names{
        "",      "Boolean", "SByte", "Byte",   "Int16",  "UInt16",   "Int32", "UInt32",
        "Int64", "UInt64",  "Float", "Double", "String", "DateTime", "Guid",  "ByteString"};
    if (id.ns == 0 && id.kind == NodeId::Kind::Numeric) {
        if (id.numeric > 0 && id.numeric < names.size()) {
            return names[id.numeric];
        }
        switch (id.numeric) {
            case 21:
                return "LocalizedText";
            case 26:
                return "Number";
            case 27:
                return "Integer";
            case 28:
                return "UInteger";
            case 29:
                return "Enumeration";
            case 288:
                return "IntegerId";
            case 289:
                return "Counter";
            case 290:
                return "Duration";
            case 294:
                return "UtcTime";
            default:
                break;
        }
    }
    if (id.kind == NodeId::Kind::String && id.ns != 0) {
        return "ns=" + std::to_string(id.ns) + ";s=" + id.text;
    }
    return (id.ns != 0 ? "ns=" + std::to_string(id.ns) + ";" : std::string()) + tag_identifier(id);
}

bool is_numeric_data_type(const NodeId& id) {
    if (id.ns != 0 || id.kind != NodeId::Kind::Numeric) {
        return false;
    }
    // Boolean through Double, the abstract numbers, and the standard types derived from
    // them whose values the collector reads as numbers.
    const std::uint32_t n = id.numeric;
    return (n >= 1 && n <= 11) || (n >= 26 && n <= 29) || n == 288 || n == 289 || n == 290;
}

namespace {

struct Pending {
    NodeId node;
    std::string path;
    int depth = 0;
};

std::string node_key(const NodeId& id) {
    return std::to_string(id.ns) + ":" + std::to_string(static_cast<int>(id.kind)) + ":" +
           std::to_string(id.numeric) + ":" + id.text +
           std::string(reinterpret_cast<const char*>(id.guid.data()), id.guid.size());
}

class Walk {
  public:
    Walk(Client& client, const BrowseOptions& options) : client_(client), options_(options) {}

    BrowseResult run();

  private:
    bool cancelled() const { return options_.cancelled && options_.cancelled(); }
    void report() {
        if (options_.progress) {
            options_.progress({result_.nodes_visited, result_.variables.size(), queue_.size()});
        }
    }
    std::uint32_t nodes_per_browse();
    // The nodes to browse again (see browse_batch); nullopt when the server refused this many
    // nodes at once before anything was taken.
    std::optional<std::vector<Pending>> browse_batch(const std::vector<Pending>& batch);
    // A node whose references the server could not give in full goes round once more.
    void again(const Pending& node, std::uint32_t status, std::vector<Pending>& retry);
    void take(const Pending& parent, const BrowseResultEntry& entry);
    void release(const std::vector<std::vector<std::uint8_t>>& points);
    void read_attributes(bool even_if_cancelled = false);
    // Whether values of a data type are numbers the collector stores: the built-in numeric
    // types, and any type derived from one (a server's own Temperature, a subtype of Double).
    bool numeric(const NodeId& type) const;
    // Follows HasSubtype up from each type not known yet, and remembers the answer for the
    // rest of the browse.
    void resolve_data_types(const std::vector<NodeId>& types);

    Client& client_;
    const BrowseOptions& options_;
    BrowseResult result_;
    std::deque<Pending> queue_;
    std::set<std::string> seen_;
    std::vector<NodeId> variable_ids_;  // beside result_.variables
    std::size_t attributes_done_ = 0;   // variables whose attributes were read
    std::set<std::string> retried_;
    std::uint32_t per_browse_ = kDefaultNodesPerBrowse;
    std::map<std::string, bool> numeric_types_;  // by node_key
};

bool Walk::numeric(const NodeId& type) const {
    if (is_numeric_data_type(type)) {
        return true;
    }
    const auto known = numeric_types_.find(node_key(type));
    return known != numeric_types_.end() && known->second;
}

void Walk::resolve_data_types(const std::vector<NodeId>& types) {
    std::vector<NodeId> frontier = types;
    // Each type asked about and its supertype, by node_key, in the order found.
    std::vector<std::pair<std::string, std::string>> links;
    for (int level = 0; level < kMaxTypeDepth && !frontier.empty(); ++level) {
        std::vector<NodeId> ask;
        std::set<std::string> asked;
        for (auto& type : frontier) {
            const std::string key = node_key(type);
            if (!is_numeric_data_type(type) && !numeric_types_.contains(key) &&
                asked.insert(key).second) {
                ask.push_back(std::move(type));
            }
        }
        frontier.clear();
        const std::size_t per = std::max<std::uint32_t>(per_browse_, 1);
        for (std::size_t i = 0; i < ask.size(); i += per) {
            const std::span<const NodeId> chunk(ask.data() + i, std::min(per, ask.size() - i));
            std::vector<BrowseResultEntry> results;
            try {
                client_.call_service(
                    [&](Writer& w, const RequestContext& ctx) {
                        encode_browse_supertypes(w, ctx, chunk);
                    },
                    [&](Reader& r) { results = decode_browse_response(r, chunk.size()); });
            } catch (const ServiceError&) {
                // A server that will not say: the types count as not numeric, as before.
                for (const auto& type : chunk) {
                    numeric_types_[node_key(type)] = false;
                }
                continue;
            }
            std::vector<std::vector<std::uint8_t>> points;
            for (std::size_t k = 0; k < chunk.size(); ++k) {
                const std::string key = node_key(chunk[k]);
                if (!results[k].continuation_point.empty()) {
                    points.push_back(std::move(results[k].continuation_point));
                }
                const auto& refs = results[k].references;
                if ((results[k].status & 0x80000000) != 0 || refs.empty() || refs[0].remote) {
                    numeric_types_[key] = false;
                    continue;
                }
                const NodeId& parent = refs[0].target;
                if (is_numeric_data_type(parent)) {
                    numeric_types_[key] = true;
                } else if (parent.ns == 0 && parent.kind == NodeId::Kind::Numeric &&
                           parent.numeric == kNodeBaseDataType) {
                    numeric_types_[key] = false;
                } else {
                    links.emplace_back(key, node_key(parent));
                    frontier.push_back(parent);
                }
            }
            release(points);
        }
    }
    // Answers flow down the chains, the deepest link first; a chain cut short is not numeric.
    for (auto link = links.rbegin(); link != links.rend(); ++link) {
        const auto parent = numeric_types_.find(link->second);
        numeric_types_[link->first] = parent != numeric_types_.end() && parent->second;
    }
}

std::uint32_t Walk::nodes_per_browse() {
    const std::array<NodeId, 1> limit_node{
        NodeId{0, NodeId::Kind::Numeric, kNodeMaxNodesPerBrowse, {}, {}}};
    const std::array<std::uint32_t, 1> value_attribute{kAttributeValue};
    std::uint32_t limit = kDefaultNodesPerBrowse;
    try {
        client_.call_service(
            [&](Writer& w, const RequestContext& ctx) {
                encode_read_attributes(w, ctx, limit_node, value_attribute);
            },
            [&](Reader& r) {
                const auto values = decode_read_attributes_response(r, 1);
                if ((values[0].status & 0xC0000000) == 0 && values[0].integer &&
                    *values[0].integer > 0) {
                    limit = static_cast<std::uint32_t>(
                        std::min<std::int64_t>(*values[0].integer, 0xFFFFFFFF));
                }
            });
    } catch (const ServiceError&) {
        // No stated limit: the default, halved below if the server refuses it.
    }
    return limit;
}

void Walk::release(const std::vector<std::vector<std::uint8_t>>& points) {
    if (points.empty() || !client_.connected()) {
        return;
    }
    try {
        client_.call_service(
            [&](Writer& w, const RequestContext& ctx) { encode_browse_next(w, ctx, true, points); },
            [&](Reader& r) { (void)decode_browse_next_response(r, points.size()); });
    } catch (const UaError&) {
        // The session ends soon anyway, and with it the server's continuation points.
    }
}

void Walk::take(const Pending& parent, const BrowseResultEntry& entry) {
    for (const auto& ref : entry.references) {
        if (ref.remote ||
            (ref.node_class != node_class::Object && ref.node_class != node_class::Variable)) {
            continue;
        }
        if (!seen_.insert(node_key(ref.target)).second) {
            continue;  // reached before, by another path or a cycle
        }
        ++result_.nodes_visited;
        Pending child{ref.target,
                      parent.path.empty() ? ref.browse_name : parent.path + "/" + ref.browse_name,
                      parent.depth + 1};
        if (ref.node_class == node_class::Variable) {
            BrowsedVariable v;
            v.namespace_index = ref.target.ns;
            const auto& uris = client_.namespaces().uris();
            if (ref.target.ns < uris.size()) {
                v.namespace_uri = uris[ref.target.ns];
            }
            v.identifier = tag_identifier(ref.target);
            v.full_tag_name = full_tag_name(ref.target).value_or("");
            v.browse_path = child.path;
            v.display_name = ref.display_name;
            result_.variables.push_back(std::move(v));
            variable_ids_.push_back(ref.target);
        } else {
            result_.objects.push_back(BrowsedObject{ref.target.ns, tag_identifier(ref.target),
                                                    child.path, ref.display_name});
        }
        if (options_.max_depth <= 0 || child.depth < options_.max_depth) {
            queue_.push_back(std::move(child));
        }
    }
}

void Walk::again(const Pending& node, std::uint32_t status, std::vector<Pending>& retry) {
    // References already taken are not taken twice: their targets are seen.
    if (!retried_.insert(node_key(node.node)).second) {
        throw UaError(status, "the server could not give every reference of " +
                                  (node.path.empty() ? std::string("the start node") : node.path) +
                                  ": " + status_text(status));
    }
    retry.push_back(node);
}

std::optional<std::vector<Pending>> Walk::browse_batch(const std::vector<Pending>& batch) {
    std::vector<NodeId> nodes;
    nodes.reserve(batch.size());
    for (const auto& p : batch) {
        nodes.push_back(p.node);
    }
    std::vector<BrowseResultEntry> results;
    try {
        client_.call_service(
            [&](Writer& w, const RequestContext& ctx) {
                encode_browse(w, ctx, nodes, options_.max_references_per_node);
            },
            [&](Reader& r) { results = decode_browse_response(r, nodes.size()); });
    } catch (const ServiceError& e) {
        if (halving_helps(e.code()) && nodes.size() > 1) {
            return std::nullopt;
        }
        throw;
    }
    std::vector<Pending> retry;
    // Continuation points with the node each continues.
    std::vector<std::vector<std::uint8_t>> points;
    std::vector<std::size_t> owners;
    for (std::size_t i = 0; i < results.size(); ++i) {
        // Points held for nodes before it in this batch ran out the server's supply: first in
        // a later batch, the node gets one. A node first in its batch may hold none, and goes
        // round only once more.
        if ((results[i].status & 0xFFFF0000) == status::BadNoContinuationPoints) {
            if (i > 0) {
                retry.push_back(batch[i]);
            } else {
                again(batch[i], results[i].status, retry);
            }
            continue;
        }
        if ((results[i].status & 0x80000000) != 0) {
            if (batch[i].depth == 0) {
                throw UaError(results[i].status,
                              "cannot browse the start node: " + status_text(results[i].status));
            }
            continue;  // a node that cannot be browsed has nothing below it to list
        }
        take(batch[i], results[i]);
        if (!results[i].continuation_point.empty()) {
            points.push_back(std::move(results[i].continuation_point));
            owners.push_back(i);
        }
    }
    while (!points.empty()) {
        if (cancelled()) {
            release(points);
            return retry;
        }
        std::vector<BrowseResultEntry> more;
        try {
            client_.call_service(
                [&](Writer& w, const RequestContext& ctx) {
                    encode_browse_next(w, ctx, false, points);
                },
                [&](Reader& r) { more = decode_browse_next_response(r, points.size()); });
        } catch (const ServiceError&) {
            release(points);
            throw;
        }
        std::vector<std::vector<std::uint8_t>> next_points;
        std::vector<std::size_t> next_owners;
        for (std::size_t i = 0; i < more.size(); ++i) {
            if ((more[i].status & 0x80000000) != 0) {
                // The server dropped this point (a timeout, say): the node starts over.
                again(batch[owners[i]], more[i].status, retry);
                continue;
            }
            take(batch[owners[i]], more[i]);
            if (!more[i].continuation_point.empty()) {
                next_points.push_back(std::move(more[i].continuation_point));
                next_owners.push_back(owners[i]);
            }
        }
        points = std::move(next_points);
        owners = std::move(next_owners);
        report();
    }
    return retry;
}

void Walk::read_attributes(bool even_if_cancelled) {
    static constexpr std::array<std::uint32_t, 4> attributes{
        attribute::Description, attribute::DataType, attribute::ValueRank, attribute::AccessLevel};
    std::size_t per_read =
        std::max<std::size_t>(1, client_.max_nodes_per_read() / attributes.size());
    for (std::size_t i = attributes_done_; i < variable_ids_.size();) {
        if (cancelled() && !even_if_cancelled) {
            return;
        }
        const std::size_t n = std::min(per_read, variable_ids_.size() - i);
        const std::span<const NodeId> nodes(variable_ids_.data() + i, n);
        std::vector<AttributeValue> values;
        try {
            client_.call_service(
                [&](Writer& w, const RequestContext& ctx) {
                    encode_read_attributes(w, ctx, nodes, attributes);
                },
                [&](Reader& r) {
                    values = decode_read_attributes_response(r, n * attributes.size());
                });
        } catch (const ServiceError& e) {
            if (halving_helps(e.code()) && n > 1) {
                per_read = n / 2;  // the server's real limit is lower than it states
                continue;
            }
            throw;
        }
        const auto good = [](const AttributeValue& x) { return (x.status & 0xC0000000) == 0; };
        std::vector<NodeId> types;
        for (std::size_t k = 0; k < n; ++k) {
            const AttributeValue& type = values[k * attributes.size() + 1];
            if (good(type) && type.node_id && !numeric(*type.node_id)) {
                types.push_back(*type.node_id);
            }
        }
        if (!types.empty()) {
            resolve_data_types(types);
        }
        for (std::size_t k = 0; k < n; ++k) {
            BrowsedVariable& v = result_.variables[i + k];
            const AttributeValue* a = &values[k * attributes.size()];
            if (good(a[0]) && a[0].text) {
                v.description = *a[0].text;
            }
            v.attributes_read = good(a[1]) && a[1].node_id && good(a[2]) && a[2].integer &&
                                good(a[3]) && a[3].integer;
            if (a[1].node_id) {
                v.data_type = data_type_name(*a[1].node_id);
            }
            if (a[2].integer) {
                v.value_rank = static_cast<std::int32_t>(*a[2].integer);
            }
            if (a[3].integer) {
                v.access_level = static_cast<std::uint8_t>(*a[3].integer);
            }
            v.collectable = v.attributes_read && numeric(*a[1].node_id) &&
                            v.value_rank == kValueRankScalar &&
                            (v.access_level & kAccessCurrentRead) != 0;
        }
        i += n;
        attributes_done_ = i;
    }
}

BrowseResult Walk::run() {
    std::vector<std::uint8_t> scratch;
    Writer start;
    encode_tag_node_id(start, options_.from_namespace, options_.from, scratch,
                       &client_.namespaces());
    Reader start_reader(start.data(), start.size());
    Pending root{decode_node_id(start_reader), "", 0};
    seen_.insert(node_key(root.node));
    result_.nodes_visited = 1;
    queue_.push_back(std::move(root));
    try {
        std::uint32_t per_browse = nodes_per_browse();
        per_browse_ = per_browse;
        while (!queue_.empty()) {
            if (cancelled()) {
                break;
            }
            const std::size_t n = std::min<std::size_t>(queue_.size(), per_browse);
            std::vector<Pending> batch(queue_.begin(), queue_.begin() + static_cast<long>(n));
            auto retry = browse_batch(batch);
            if (!retry) {
                per_browse = static_cast<std::uint32_t>(n / 2);
                per_browse_ = per_browse;
                continue;
            }
            queue_.erase(queue_.begin(), queue_.begin() + static_cast<long>(n));
            queue_.insert(queue_.begin(), retry->begin(), retry->end());
            // Attributes as variables come in, so that a cancelled browse keeps them.
            if (variable_ids_.size() - attributes_done_ >= client_.max_nodes_per_read() / 4 ||
                queue_.empty()) {
                read_attributes();
            }
            report();
        }
        if (!queue_.empty() || attributes_done_ < variable_ids_.size()) {
            result_.complete = false;
            result_.stopped_because = "cancelled";
            // What was found so far is kept, with what a tag list needs of it: one more read.
            read_attributes(true);
        }
    } catch (const UaError& e) {
        result_.complete = false;
        result_.stopped_because = e.what();
    }
    // Entries whose attributes were never read are dropped: a partial list holds only what
    // is known for sure.
    result_.variables.resize(attributes_done_);
    return std::move(result_);
}

}  // namespace

BrowseResult browse(Client& client, const BrowseOptions& options) {
    return Walk(client, options).run();
}

}  // namespace qevsdk::ua
