// libFuzzer target: decode arbitrary bytes (UTF-8, else GBK) and parse them as a CSV file
// with a header row; the parser alone also gets the raw bytes. Every field is then read as a
// UA tag text, whose split and format must undo each other.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string_view>

#include "common/csv.h"
#include "common/text_decode.h"
#include "qevsdk/ua_tag.h"

using namespace vantrel::common;

namespace {

void check_tag_text(std::string_view text) {
    const auto [ns, identifier] = qevsdk::split_ua_tag(text);
    if (ns != 0 || identifier != text) {
        if (qevsdk::split_ua_tag(qevsdk::format_ua_tag(ns, identifier)) !=
            std::pair<int, std::string>{ns, identifier}) {
            __builtin_trap();
        }
    }
    if (const auto parts = qevsdk::split_namespace_uri_tag(text)) {
        const std::string uri = qevsdk::namespace_uri_of(parts->uri_text);
        const auto again = qevsdk::format_namespace_uri_tag(uri, parts->identifier);
        const auto back = again ? qevsdk::split_namespace_uri_tag(*again) : std::nullopt;
        if (!back || qevsdk::namespace_uri_of(back->uri_text) != uri ||
            back->identifier != parts->identifier) {
            __builtin_trap();
        }
    }
    // Any text as a URI comes back from the tag written for it.
    if (const auto tag = qevsdk::format_namespace_uri_tag(text, "i=1")) {
        const auto parts = qevsdk::split_namespace_uri_tag(*tag);
        if (!parts || qevsdk::namespace_uri_of(parts->uri_text) != text) {
            __builtin_trap();
        }
    }
}

void parse_and_check(std::string_view text) {
    try {
        const CsvTable table = parse_csv(text);
        const std::set<std::string> columns(table.header.begin(), table.header.end());
        if (table.rows.size() != table.row_lines.size()) {
            __builtin_trap();
        }
        for (const CsvRow& row : table.rows) {
            if (row.size() != columns.size()) {
                __builtin_trap();
            }
            for (const auto& [column, value] : row) {
                check_tag_text(value);
            }
        }
    } catch (const CsvError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    try {
        const DecodedText decoded = decode_text(bytes);
        if (!is_valid_utf8(decoded.text)) {
            __builtin_trap();
        }
        parse_and_check(decoded.text);
    } catch (const DecodeError&) {
    }
    parse_and_check(bytes);
    return 0;
}
