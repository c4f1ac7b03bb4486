// CSV with a header row: double-quoted fields with doubled quotes inside, any common line
// break, empty lines skipped, short rows padded with empty text, extra fields ignored.
#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/text_decode.h"

namespace vantrel::common {

class CsvError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// One data row: every header column mapped to its field (empty text for a short row).
using CsvRow = std::map<std::string, std::string, std::less<>>;

struct CsvTable {
    std::vector<std::string> header;             // column names exactly as written
    std::vector<CsvRow> rows;                    // data rows in file order
    std::vector<std::size_t> row_lines;          // 1-based line on which each row starts
    TextEncoding encoding = TextEncoding::utf8;  // set by read_csv_file
    bool bom_removed = false;

    bool has_column(std::string_view name) const;
};

// Parses UTF-8 text. Throws CsvError when there is no header row or a quoted field is never
// closed (which would otherwise swallow the rest of the file into one field).
CsvTable parse_csv(std::string_view text);

// Reads and decodes (decode_text) the file, then parses it. Throws CsvError when the file
// cannot be read or parsed, DecodeError when it is neither UTF-8 nor GBK.
CsvTable read_csv_file(const std::filesystem::path& path);

}  // namespace vantrel::common
