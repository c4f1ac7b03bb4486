// How a UA tag text names its node, for every program that reads tags by text: the collector
// and the OPC tools split and write them alike, so that a tool reads what the collector would
// and a tag list written by a tool reads back the node it was written for.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "text_rules/text_rules.h"

namespace qevsdk {

// A UA tag text "NS:ID": the text before the first ':' is the namespace index when it is a
// decimal integer (text_rules::parse_int's rules); otherwise, or without a ':', the whole text
// is the identifier in namespace 0. The identifier keeps any further ':'.
inline std::pair<int, std::string> split_ua_tag(std::string_view tag) {
    const auto colon = tag.find(':');
    if (colon != std::string_view::npos) {
        if (const auto ns = text_rules::parse_int<int>(tag.substr(0, colon))) {
            return {*ns, std::string(tag.substr(colon + 1))};
        }
    }
    return {0, std::string(tag)};
}

// The index form, as split_ua_tag takes it apart.
inline std::string format_ua_tag(int namespace_index, std::string_view identifier) {
    std::string out = std::to_string(namespace_index);
    out += ':';
    out += identifier;
    return out;
}

// A tag text "nsu=<namespace URI>;<kind>=<identifier>" names its namespace by URI, which the
// server maps to an index at every connect; so such a tag keeps naming the same node when the
// server's namespaces change order. The kind is i, s, g or b, as in the index form; a string
// identifier always carries its "s=" here. split_ua_tag leaves such a text whole in namespace
// 0, and the OPC UA source resolves it there.
//
// The URI ends at the first ';'. A ';' or '%' inside the URI is written %3B or %25 (the hex
// digits in either case); any other '%' stands for itself, so a URI that already holds
// percent escapes (http://host/a%20b) is written as it is. A URI may hold ':' and '='.
inline constexpr std::string_view kNamespaceUriTagPrefix = "nsu=";

inline bool is_namespace_uri_tag(std::string_view tag) {
    return tag.starts_with(kNamespaceUriTagPrefix);
}

struct NamespaceUriTag {
    std::string_view uri_text;    // as written, escapes included; see namespace_uri_of
    std::string_view identifier;  // "i=…", "s=…", "g=…" or "b=…"
};

// The parts of an nsu= tag; nullopt when the text is not one, or lacks a URI, the ';' or a
// kind before its identifier.
inline std::optional<NamespaceUriTag> split_namespace_uri_tag(std::string_view tag) {
    if (!is_namespace_uri_tag(tag)) {
        return std::nullopt;
    }
    tag.remove_prefix(kNamespaceUriTagPrefix.size());
    const auto semicolon = tag.find(';');
    if (semicolon == 0 || semicolon == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view identifier = tag.substr(semicolon + 1);
    if (identifier.size() < 2 || identifier[1] != '=' ||
        std::string_view("isgb").find(identifier[0]) == std::string_view::npos) {
        return std::nullopt;
    }
    return NamespaceUriTag{tag.substr(0, semicolon), identifier};
}

// Whether the URI text holds an escape, that is needs namespace_uri_of at all.
inline bool has_uri_escape(std::string_view uri_text) {
    return uri_text.find('%') != std::string_view::npos;
}

// The URI that an nsu= tag's URI text stands for.
inline std::string namespace_uri_of(std::string_view uri_text) {
    std::string out;
    out.reserve(uri_text.size());
    for (std::size_t i = 0; i < uri_text.size(); ++i) {
        const char c = uri_text[i];
        if (c == '%' && i + 2 < uri_text.size()) {
            const char hi = uri_text[i + 1];
            const char lo = uri_text[i + 2];
            if (hi == '2' && lo == '5') {
                out += '%';
                i += 2;
                continue;
            }
            if (hi == '3' && (lo == 'B' || lo == 'b')) {
                out += ';';
                i += 2;
                continue;
            }
        }
        out += c;
    }
    return out;
}

// The nsu= tag of a node, from its namespace URI and its identifier as the index form writes
// it (a bare string identifier gains its "s="). nullopt for an empty URI, which no tag can
// name.
inline std::optional<std::string> format_namespace_uri_tag(std::string_view uri,
                                                           std::string_view identifier) {
    if (uri.empty()) {
        return std::nullopt;
    }
    std::string out(kNamespaceUriTagPrefix);
    for (const char c : uri) {
        if (c == '%') {
            out += "%25";
        } else if (c == ';') {
            out += "%3B";
        } else {
            out += c;
        }
    }
    out += ';';
    const bool has_kind = identifier.size() >= 2 && identifier[1] == '=' &&
                          std::string_view("isgb").find(identifier[0]) != std::string_view::npos;
    if (!has_kind) {
        out += "s=";
    }
    out += identifier;
    return out;
}

}  // namespace qevsdk
