// Tag texts and node ids, both ways: the engine's tag names turned into NodeIds on the wire,
// and browsed node ids written as tag texts that come back unchanged.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codec.h"

namespace qevsdk::ua {

// The OPC UA namespace, index 0 on every server.
inline constexpr std::string_view kUaNamespaceUri = "http://opcfoundation.org/UA/";

// A server's namespace array, by which nsu= tags find their index, and what such tags asked
// for that the server lacks: each problem once until the next assign, so that the owner can
// log it once per connection rather than every cycle.
class NamespaceTable {
  public:
    NamespaceTable() : uris_{std::string(kUaNamespaceUri)} {}

    void assign(std::vector<std::string> uris);
    const std::vector<std::string>& uris() const { return uris_; }

    // The index of a URI written as an nsu= tag writes it (escapes included); nullopt when
    // the server has no such namespace, or only at an index a NodeId cannot hold.
    std::optional<std::uint16_t> index_of(std::string_view uri_text);

    void note_problem(std::string text);
    // The problems noted since the last call, each once per assign.
    std::vector<std::string> take_problems();

  private:
    std::vector<std::string> uris_;
    std::string unescaped_;
    std::vector<std::string> reported_;
    std::vector<std::string> pending_;
};

// `i=123`, `s=text`, `g=<guid>` and `b=<base64>` name the identifier's kind; anything else,
// including a malformed `i=`, `g=` or `b=` form, is a string identifier taken whole.
// A namespace index outside 0..65535 encodes the null NodeId, which every server answers
// with a Bad status for that node alone.
// In namespace 0, an nsu= tag (qevsdk/ua_tag.h) takes its index from `namespaces`; one whose
// URI the server lacks, or that is malformed, encodes the null NodeId as well, and the table
// notes why. Without a table only the OPC UA namespace's URI resolves.
void encode_tag_node_id(Writer& w, int namespace_index, std::string_view tag_name,
                        std::vector<std::uint8_t>& scratch, NamespaceTable* namespaces = nullptr);

// Parsers behind it, exposed for tests.
std::optional<std::uint32_t> parse_numeric_id(std::string_view text);
std::optional<std::array<std::uint8_t, 16>> parse_guid(std::string_view text);
bool decode_base64(std::string_view text, std::vector<std::uint8_t>& out);

// The other way. The tag identifier of a node id ("<identifier>" as TagRequest::tag_name
// takes it: i=…, g=…, b=…, or the string itself, with s= in front where the bare string
// would read as another form).
std::string tag_identifier(const NodeId& id);
// "<namespace>:<identifier>", or with `namespace_uris` the nsu= form where the array holds the
// node's namespace; nullopt when a tag list would not give the node id back unchanged (see
// BrowsedVariable::full_tag_name).
std::optional<std::string> full_tag_name(const NodeId& id);
std::optional<std::string> full_tag_name(const NodeId& id,
                                         std::span<const std::string> namespace_uris);
std::string encode_base64(std::span<const std::uint8_t> bytes);

}  // namespace qevsdk::ua
