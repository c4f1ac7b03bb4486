// Tag names as the engine gives them, turned into NodeIds on the wire.
#include "node_text.h"

#include <algorithm>

#include "qevsdk/ua_tag.h"

namespace qevsdk::ua {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int base64_digit(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+' || c == '-')
        return 62;
    if (c == '/' || c == '_')
        return 63;
    return -1;
}

int base64_value(int v) {
    return v < 26 ? 'A' + v : v < 52 ? 'a' + v - 26 : v < 62 ? '0' + v - 52 : v == 62 ? '+' : '/';
}

// Whether the tag list loader keeps the text as it is: it trims white space at both ends,
// and reads a carriage return inside a quoted field as a line break.
bool keeps_ends(std::string_view s) {
    if (s.find('\r') != std::string_view::npos) {
        return false;
    }
    const auto space = [](unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); };
    if (s.empty() || space(s.front()) || space(s.back())) {
        return false;
    }
    // Other Unicode spaces at either end (no-break, ideographic and the like) are trimmed too;
    // their UTF-8 forms begin with 0xC2, 0xE1, 0xE2 or 0xE3.
    const auto unicode_space = [](std::string_view t) {
        return t == "\xC2\x85" || t == "\xC2\xA0" || t == "\xE1\x9A\x80" || t == "\xE3\x80\x80" ||
               (t.size() == 3 && t[0] == '\xE2' &&
                ((t[1] == '\x80' && (static_cast<unsigned char>(t[2]) <= 0x8A || t[2] == '\xA8' ||
                                     t[2] == '\xA9' || t[2] == '\xAF')) ||
                 (t[1] == '\x81' && t[2] == '\x9F')));
    };
    for (std::size_t n : {2u, 3u}) {
        if (s.size() >= n &&
            (unicode_space(s.substr(0, n)) || unicode_space(s.substr(s.size() - n)))) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<std::uint32_t> parse_numeric_id(std::string_view text) {
    if (text.empty() || text.size() > 10) {
        return std::nullopt;
    }
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (v > 0xFFFFFFFFULL) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(v);
}

std::optional<std::array<std::uint8_t, 16>> parse_guid(std::string_view text) {
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
        text = text.substr(1, 36);
    }
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' ||
        text[23] != '-') {
        return std::nullopt;
    }
    // Hex digits in text order: Data1 (8), Data2 (4), Data3 (4), Data4 (16).
    std::array<std::uint8_t, 16> text_order{};
    std::size_t n = 0;
    for (std::size_t i = 0; i < text.size(); i += 1) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            continue;
        }
        const int hi = hex_digit(text[i]);
        const int lo = i + 1 < text.size() ? hex_digit(text[i + 1]) : -1;
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        text_order[n++] = static_cast<std::uint8_t>(hi * 16 + lo);
        i += 1;
    }
    // Data1, Data2 and Data3 are little-endian integers on the wire; Data4 is raw bytes.
    std::array<std::uint8_t, 16> wire{};
    wire[0] = text_order[3];
    wire[1] = text_order[2];
    wire[2] = text_order[1];
    wire[3] = text_order[0];
    wire[4] = text_order[5];
    wire[5] = text_order[4];
    wire[6] = text_order[7];
    wire[7] = text_order[6];
    for (std::size_t i = 8; i < 16; ++i) {
        wire[i] = text_order[i];
    }
    return wire;
}

bool decode_base64(std::string_view text, std::vector<std::uint8_t>& out) {
    out.clear();
    while (!text.empty() && text.back() == '=') {
        text.remove_suffix(1);
    }
    if (text.size() % 4 == 1) {
        return false;
    }
    std::uint32_t acc = 0;
    int bits = 0;
    for (char c : text) {
        const int d = base64_digit(c);
        if (d < 0) {
            return false;
        }
        acc = (acc << 6) | static_cast<std::uint32_t>(d);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>((acc >> bits) & 0xFF));
        }
    }
    return true;
}

void NamespaceTable::assign(std::vector<std::string> uris) {
    uris_ = std::move(uris);
    reported_.clear();
    pending_.clear();
}

std::optional<std::uint16_t> NamespaceTable::index_of(std::string_view uri_text) {
    std::string_view uri = uri_text;
    if (has_uri_escape(uri_text)) {
        unescaped_ = namespace_uri_of(uri_text);
        uri = unescaped_;
    }
    const std::size_t n = std::min<std::size_t>(uris_.size(), 0x10000);
    for (std::size_t i = 0; i < n; ++i) {
        if (uris_[i] == uri) {
            return static_cast<std::uint16_t>(i);
        }
    }
    return std::nullopt;
}

void NamespaceTable::note_problem(std::string text) {
    if (std::find(reported_.begin(), reported_.end(), text) == reported_.end()) {
        reported_.push_back(text);
        pending_.push_back(std::move(text));
    }
}

std::vector<std::string> NamespaceTable::take_problems() {
    std::vector<std::string> out;
    out.swap(pending_);
    return out;
}

namespace {

void encode_null_node_id(Writer& w) {
    w.u8(0x00);
    w.u8(0x00);
}

}  // namespace

void encode_tag_node_id(Writer& w, int namespace_index, std::string_view tag_name,
                        std::vector<std::uint8_t>& scratch, NamespaceTable* namespaces) {
    if (namespace_index < 0 || namespace_index > 0xFFFF) {
        encode_null_node_id(w);
        return;
    }
    auto ns = static_cast<std::uint16_t>(namespace_index);
    if (ns == 0 && is_namespace_uri_tag(tag_name)) {
        const auto parts = split_namespace_uri_tag(tag_name);
        if (!parts) {
            if (namespaces) {
                namespaces->note_problem(
                    "tag '" + std::string(tag_name) +
                    "' names no node: after nsu= come the namespace URI, ';' and the "
                    "identifier as i=, s=, g= or b=");
            }
            encode_null_node_id(w);
            return;
        }
        std::optional<std::uint16_t> index;
        if (namespaces) {
            index = namespaces->index_of(parts->uri_text);
        } else if (namespace_uri_of(parts->uri_text) == kUaNamespaceUri) {
            index = 0;
        }
        if (!index) {
            if (namespaces) {
                namespaces->note_problem("the server has no namespace '" +
                                         namespace_uri_of(parts->uri_text) +
                                         "'; tags naming it read Bad");
            }
            encode_null_node_id(w);
            return;
        }
        ns = *index;
        tag_name = parts->identifier;
    }
    if (tag_name.size() >= 2 && tag_name[1] == '=') {
        const std::string_view rest = tag_name.substr(2);
        switch (tag_name[0]) {
            case 'i':
                if (auto id = parse_numeric_id(rest)) {
                    encode_numeric_node_id(w, ns, *id);
                    return;
                }
                break;
            case 's':
                if (!rest.empty()) {
                    w.u8(0x03);
                    w.u16(ns);
                    w.string(rest);
                    return;
                }
                break;
            case 'g':
                if (auto guid = parse_guid(rest)) {
                    w.u8(0x04);
                    w.u16(ns);
                    w.raw(guid->data(), guid->size());
                    return;
                }
                break;
            case 'b':
                if (!rest.empty() && decode_base64(rest, scratch)) {
                    w.u8(0x05);
                    w.u16(ns);
                    w.byte_string(scratch.data(), scratch.size());
                    return;
                }
                break;
            default:
                break;
        }
    }
    w.u8(0x03);
    w.u16(ns);
    w.string(tag_name);
}

std::string encode_base64(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        for (int shift : {18, 12, 6, 0}) {
            out += static_cast<char>(base64_value(static_cast<int>((v >> shift) & 0x3F)));
        }
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t v = static_cast<std::uint32_t>(bytes[i]) << 16;
        if (rest == 2) {
            v |= static_cast<std::uint32_t>(bytes[i + 1]) << 8;
        }
        out += static_cast<char>(base64_value(static_cast<int>((v >> 18) & 0x3F)));
        out += static_cast<char>(base64_value(static_cast<int>((v >> 12) & 0x3F)));
        out += rest == 2 ? static_cast<char>(base64_value(static_cast<int>((v >> 6) & 0x3F))) : '=';
        out += '=';
    }
    return out;
}

std::string tag_identifier(const NodeId& id) {
    switch (id.kind) {
        case NodeId::Kind::Numeric:
            return "i=" + std::to_string(id.numeric);
        case NodeId::Kind::Guid: {
            // Data1, Data2 and Data3 are little-endian on the wire; Data4 is in text order.
            static constexpr std::array<int, 16> order{3, 2, 1,  0,  5,  4,  7,  6,
                                                       8, 9, 10, 11, 12, 13, 14, 15};
            static constexpr char hex[] = "0123456789abcdef";
            std::string out;
            for (std::size_t k = 0; k < order.size(); ++k) {
                if (k == 4 || k == 6 || k == 8 || k == 10) {
                    out += '-';
                }
                const std::uint8_t b = id.guid[static_cast<std::size_t>(order[k])];
                out += hex[b >> 4];
                out += hex[b & 0x0F];
            }
            return "g=" + out;
        }
        case NodeId::Kind::Opaque: {
            const auto* p = reinterpret_cast<const std::uint8_t*>(id.text.data());
            return "b=" + encode_base64({p, id.text.size()});
        }
        case NodeId::Kind::String:
            break;
    }
    // A string that reads as another form, as an explicit string or as a namespace URI tag
    // keeps its meaning behind s=.
    const std::string& s = id.text;
    if ((s.size() >= 2 && s[1] == '=' &&
         (s[0] == 'i' || s[0] == 's' || s[0] == 'g' || s[0] == 'b')) ||
        is_namespace_uri_tag(s)) {
        return "s=" + s;
    }
    return s;
}

std::optional<std::string> full_tag_name(const NodeId& id) {
    if (id.kind == NodeId::Kind::Opaque && id.text.empty()) {
        return std::nullopt;  // "b=" would read as the string "b="
    }
    if (id.kind == NodeId::Kind::String && !keeps_ends(id.text)) {
        return std::nullopt;
    }
    return format_ua_tag(id.ns, tag_identifier(id));
}

std::optional<std::string> full_tag_name(const NodeId& id,
                                         std::span<const std::string> namespace_uris) {
    if (id.ns >= namespace_uris.size()) {
        return full_tag_name(id);
    }
    if (!full_tag_name(id)) {
        return std::nullopt;
    }
    return format_namespace_uri_tag(namespace_uris[id.ns], tag_identifier(id));
}

}  // namespace qevsdk::ua
