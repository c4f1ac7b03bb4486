// libFuzzer target: decode arbitrary bytes (UTF-8, else GBK) and parse them as a CSV file
// with a header row; the parser alone also gets the raw bytes.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string_view>

#include "common/csv.h"
#include "common/text_decode.h"

using namespace vantrel::common;

namespace {

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
