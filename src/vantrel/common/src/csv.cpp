// CSV with a header row, read from decoded UTF-8 text.
#include "common/csv.h"

#include "text_util.h"

namespace vantrel::common {

bool CsvTable::has_column(std::string_view name) const {
    for (const std::string& h : header) {
        if (h == name) {
            return true;
        }
    }
    return false;
}

namespace {

struct Record {
    std::vector<std::string> fields;
    std::size_t line = 0;
};

// Splits text into records. Quoted fields may hold commas, doubled quotes and line breaks
// (kept as \n). Outside quotes a quote is an ordinary character, and text after a closing
// quote is appended to the field, as common spreadsheet exports expect.
std::vector<Record> split_records(std::string_view text) {
    enum class State { start_field, in_field, in_quoted, quote_in_quoted };
    std::vector<Record> records;
    Record current;
    std::string field;
    State state = State::start_field;
    std::size_t line = 1;
    std::size_t quote_line = 0;
    bool record_has_content = false;
    current.line = 1;

    const auto end_field = [&] {
        current.fields.push_back(std::move(field));
        field.clear();
        state = State::start_field;
    };
    const auto end_record = [&] {
        if (record_has_content) {
            end_field();
            records.push_back(std::move(current));
        }
        current = Record{};
        field.clear();
        record_has_content = false;
        state = State::start_field;
    };

    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool newline = c == '\n' || c == '\r';
        if (newline && c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            ++i;
        }
        if (newline) {
            ++line;
        }
        if (!record_has_content && !newline) {
            record_has_content = true;
            current.line = line;
        }
        switch (state) {
            case State::start_field:
            case State::in_field:
                if (newline) {
                    end_record();
                } else if (c == ',') {
                    end_field();
                } else if (c == '"' && state == State::start_field) {
                    state = State::in_quoted;
                    quote_line = line;
                } else {
                    field.push_back(c);
                    state = State::in_field;
                }
                break;
            case State::in_quoted:
                if (c == '"') {
                    state = State::quote_in_quoted;
                } else {
                    field.push_back(newline ? '\n' : c);
                }
                break;
            case State::quote_in_quoted:
                if (c == '"') {
                    field.push_back('"');
                    state = State::in_quoted;
                } else if (c == ',') {
                    end_field();
                } else if (newline) {
                    end_record();
                } else {
                    field.push_back(c);
                    state = State::in_field;
                }
                break;
        }
    }
    if (state == State::in_quoted) {
        throw CsvError("line " + std::to_string(quote_line) +
                       ": a quoted field opened here is never closed (a missing '\"')");
    }
    end_record();
    return records;
}

}  // namespace

CsvTable parse_csv(std::string_view text) {
    std::vector<Record> records = split_records(text);
    if (records.empty()) {
        throw CsvError("the file is empty: it has no header row");
    }
    CsvTable table;
    table.header = std::move(records.front().fields);
    table.rows.reserve(records.size() - 1);
    table.row_lines.reserve(records.size() - 1);
    for (std::size_t r = 1; r < records.size(); ++r) {
        CsvRow row;
        std::vector<std::string>& fields = records[r].fields;
        for (std::size_t c = 0; c < table.header.size(); ++c) {
            // With a repeated column name the last one wins, as with any name-keyed reader.
            row[table.header[c]] = c < fields.size() ? std::move(fields[c]) : std::string();
        }
        table.rows.push_back(std::move(row));
        table.row_lines.push_back(records[r].line);
    }
    return table;
}

CsvTable read_csv_file(const std::filesystem::path& path) {
    std::string error;
    const auto bytes = detail::read_file_bytes(path, error);
    if (!bytes) {
        throw CsvError("cannot read " + path.string() + ": " + error);
    }
    DecodedText decoded = decode_text(*bytes);
    CsvTable table;
    try {
        table = parse_csv(decoded.text);
    } catch (const CsvError& e) {
        throw CsvError(path.string() + ": " + e.what());
    }
    table.encoding = decoded.encoding;
    table.bom_removed = decoded.bom_removed;
    return table;
}

}  // namespace vantrel::common
