// qevsdk: walking an OPC UA server's address space into a tag list. Used through
// QevLibrary::browse on a source created for an opc.tcp:// schema.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qevsdk {

// How far a browse has come, given to BrowseOptions::progress after every answer.
struct BrowseProgress {
    std::size_t nodes_visited = 0;
    std::size_t variables = 0;
    std::size_t nodes_waiting = 0;  // found but not yet browsed
};

struct BrowseOptions {
    // The node to start from, in the tag form of TagRequest (an nsu= tag too); by default the
    // Objects folder.
    int from_namespace = 0;
    std::string from = "i=85";
    // How many levels of references below the start node are followed; 0: no limit.
    int max_depth = 0;
    // References per node the server is asked for in one answer; 0 leaves it to the server.
    std::uint32_t max_references_per_node = 0;
    // Polled between requests: true ends the browse, with what was found so far.
    std::function<bool()> cancelled;
    std::function<void(const BrowseProgress&)> progress;
};

struct BrowsedVariable {
    int namespace_index = 0;
    // The node's identifier as a tag names it (i=…, g=…, b=…, or the string itself, with
    // s= in front only where the bare string would read as another form).
    std::string identifier;
    // "<namespace>:<identifier>" as the collector and qev-read take it (qevsdk/ua_tag.h makes
    // the nsu= form from namespace_uri and identifier); empty when the node
    // id cannot be written so that a tag list gives it back unchanged (an empty opaque id,
    // or a string id that begins or ends with white space, which tag lists trim).
    std::string full_tag_name;
    // The URI of the node's namespace in the server's namespace array; empty when the array
    // does not name it.
    std::string namespace_uri;
    std::string browse_path;  // browse names from the start node, joined by '/'
    std::string display_name;
    std::string description;
    // A namespace-0 type by name (Double, Boolean, …), any other as its node id text.
    std::string data_type;
    std::int32_t value_rank = -1;
    std::uint8_t access_level = 0;
    // False when the server refused to read the node's attributes.
    bool attributes_read = false;
    // What the collector stores: readable, scalar, numeric or Boolean.
    bool collectable = false;
};

// An Object found on the way: what a caller needs to browse on from it (from_namespace and
// from take namespace_index and identifier) and to show it.
struct BrowsedObject {
    int namespace_index = 0;
    std::string identifier;
    std::string browse_path;
    std::string display_name;
};

struct BrowseResult {
    std::vector<BrowsedVariable> variables;  // in the order found, each node once
    std::vector<BrowsedObject> objects;      // the same, for Objects (folders and the like)
    std::size_t nodes_visited = 0;
    // False when the browse was cancelled or the connection failed; `stopped_because` says
    // which, and `variables` holds what was found until then.
    bool complete = true;
    std::string stopped_because;
};

// What a tag list made from a browse holds, the same for every program that writes one.

// The variables a tag list holds unless every type is asked for: those the collector stores.
// A variable whose node id no tag text gives back unchanged is never listed.
bool listed_by_default(const BrowsedVariable& v);
// Whether a tag list can hold the variable at all: its node id survives as tag text.
inline bool nameable(const BrowsedVariable& v) {
    return !v.full_tag_name.empty();
}
// A variable's Description column: its own description, else its display name, else its path.
std::string tag_list_description(const BrowsedVariable& v);

// The header line of a browsed tag list, with its line break.
inline constexpr const char* kTagListCsvHeader = "FullTagName,Description,DataType,BrowsePath\n";
// One CSV field, quoted where the text holds a comma, quote or line break.
std::string csv_field(const std::string& text);
// The variable's line of a browsed tag list, with its line break; `tag` replaces its own tag
// text where the caller names the node otherwise (by namespace URI).
std::string tag_list_csv_line(const BrowsedVariable& v);
std::string tag_list_csv_line(const BrowsedVariable& v, const std::string& tag);

}  // namespace qevsdk
