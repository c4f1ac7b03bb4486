// config.ini changed in place.
#include "common/ini_edit.h"

#include <algorithm>
#include <map>
#include <optional>
#include <system_error>

#include "common/atomic_file.h"
#include "common/ini.h"
#include "text_util.h"

namespace vantrel::common {

namespace {

struct Line {
    std::string_view body;  // without its line break
    std::string_view eol;   // "\n", "\r\n", "\r", or empty for a last line without one
};

// Splits at the same breaks as the reader (\r\n, \n, \r), keeping each line's own break.
std::vector<Line> split_keeping_breaks(std::string_view text) {
    std::vector<Line> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\n' && text[i] != '\r') {
            continue;
        }
        const std::size_t width =
            text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n' ? 2 : 1;
        lines.push_back(Line{text.substr(start, i - start), text.substr(i, width)});
        i += width - 1;
        start = i + 1;
    }
    if (start < text.size()) {
        lines.push_back(Line{text.substr(start), {}});
    }
    return lines;
}

bool is_blank(const Line& line) {
    return strip(line.body).empty();
}

bool is_comment(const Line& line) {
    const std::string_view s = strip(line.body);
    return s.starts_with('#') || s.starts_with(';');
}

std::size_t indent_of(std::string_view body) {
    std::size_t i = 0;
    while (i < body.size() && is_space(body[i])) {
        ++i;
    }
    return i;
}

struct EntrySpan {
    std::string key;    // lower-case
    std::size_t first;  // the "key = value" line
    std::size_t last;   // its last continuation line, or `first`
};

struct SectionSpan {
    std::string name;
    std::size_t header;  // the "[name]" line
    std::size_t end;     // one past its last line: the next header, or the end of the text
    std::vector<EntrySpan> entries;
};

// Where each section and entry lies, by the reader's own rules: a comment or blank line never
// starts or ends a value, a line indented further than its entry continues it. Only for text
// that IniFile::read_text has accepted.
std::vector<SectionSpan> scan(const std::vector<Line>& lines) {
    std::vector<SectionSpan> sections;
    std::size_t indent_level = 0;
    for (std::size_t n = 0; n < lines.size(); ++n) {
        if (is_blank(lines[n]) || is_comment(lines[n])) {
            continue;
        }
        const std::size_t indent = indent_of(lines[n].body);
        if (!sections.empty() && !sections.back().entries.empty() && indent > indent_level) {
            sections.back().entries.back().last = n;
            continue;
        }
        indent_level = indent;
        const std::string_view stripped = strip(lines[n].body);
        const std::size_t close = stripped.rfind(']');
        if (stripped.front() == '[' && close != std::string_view::npos && close >= 2) {
            if (!sections.empty()) {
                sections.back().end = n;
            }
            sections.push_back(
                SectionSpan{std::string(stripped.substr(1, close - 1)), n, lines.size(), {}});
            continue;
        }
        const std::size_t delim = stripped.find_first_of("=:");
        sections.back().entries.push_back(
            EntrySpan{to_lower_ascii(strip(stripped.substr(0, delim))), n, n});
    }
    return sections;
}

// The line after which a key new to the section goes: its last line that is neither blank nor
// part of the comments directly above the next section's header (they describe that section).
std::size_t insertion_line(const SectionSpan& section, const std::vector<Line>& lines) {
    std::size_t at = section.end - 1;
    if (section.end < lines.size()) {
        while (at > section.header && is_comment(lines[at])) {
            --at;
        }
    }
    while (at > section.header && is_blank(lines[at])) {
        --at;
    }
    return at;
}

// The entry line with its value replaced: key, delimiter and the blanks after it stay as
// written.
std::string with_value(std::string_view body, std::string_view value) {
    std::size_t cut = body.find_first_of("=:") + 1;
    while (cut < body.size() && (body[cut] == ' ' || body[cut] == '\t')) {
        ++cut;
    }
    std::string out(body.substr(0, cut));
    out += value;
    return out;
}

bool same_content(const IniFile& a, const IniFile& b) {
    if (a.sections() != b.sections()) {
        return false;
    }
    for (const std::string& section : a.sections()) {
        if (a.options(section) != b.options(section)) {
            return false;
        }
        for (const std::string& key : a.options(section)) {
            if (a.get_raw(section, key) != b.get_raw(section, key)) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

std::string set_ini_values(std::string_view text, const std::vector<IniValue>& values,
                           const std::string& source_name) {
    // The reader's view of the result, which also refuses what would not read back.
    IniFile expected = IniFile::read_text(text, source_name);
    for (const IniValue& v : values) {
        expected.set(v.section, v.key, strip(v.value));
    }

    std::string_view bom;
    if (text.starts_with(detail::kUtf8Bom)) {
        bom = detail::kUtf8Bom;
        text.remove_prefix(bom.size());
    }
    const std::vector<Line> lines = split_keeping_breaks(text);
    std::string eol = "\n";
    if (!lines.empty() && !lines.front().eol.empty()) {
        eol = std::string(lines.front().eol);
    }
    const std::vector<SectionSpan> sections = scan(lines);

    std::map<std::size_t, std::string> replaced;  // line -> new body
    std::vector<bool> dropped(lines.size(), false);
    using Name = std::pair<std::string, std::string>;  // section, lower-case key
    std::map<Name, std::string> new_lines;             // a key given twice is written once
    std::map<std::size_t, std::vector<Name>> added;    // after line -> keys new to a section
    std::vector<std::pair<std::string, std::vector<Name>>> new_sections;

    for (const IniValue& v : values) {
        const Name name{v.section, to_lower_ascii(strip(v.key))};
        const std::string_view value = strip(v.value);
        const std::string line = name.second + " = " + std::string(value);
        if (auto it = new_lines.find(name); it != new_lines.end()) {
            it->second = line;
            continue;
        }
        const auto section =
            std::find_if(sections.begin(), sections.end(),
                         [&](const SectionSpan& s) { return s.name == v.section; });
        if (section == sections.end()) {
            auto it = std::find_if(new_sections.begin(), new_sections.end(),
                                   [&](const auto& s) { return s.first == v.section; });
            if (it == new_sections.end()) {
                it = new_sections.insert(new_sections.end(), {v.section, {}});
            }
            it->second.push_back(name);
            new_lines[name] = line;
            continue;
        }
        const auto entry = std::find_if(section->entries.begin(), section->entries.end(),
                                        [&](const EntrySpan& e) { return e.key == name.second; });
        if (entry == section->entries.end()) {
            added[insertion_line(*section, lines)].push_back(name);
            new_lines[name] = line;
            continue;
        }
        replaced[entry->first] = with_value(lines[entry->first].body, value);
        // The old value's continuation lines go; comments and blank lines among them stay.
        for (std::size_t n = entry->first + 1; n <= entry->last; ++n) {
            dropped[n] = !is_blank(lines[n]) && !is_comment(lines[n]);
        }
    }

    std::string out(bom);
    out.reserve(text.size() + 256);
    bool at_line_start = true;
    bool last_blank = true;  // nothing written yet, or an empty line last
    const auto emit = [&](std::string_view body, std::string_view line_end) {
        if (!at_line_start) {
            out += eol;
        }
        out += body;
        out += line_end;
        at_line_start = !line_end.empty();
        last_blank = strip(body).empty();
    };
    for (std::size_t n = 0; n < lines.size(); ++n) {
        if (auto it = replaced.find(n); it != replaced.end()) {
            emit(it->second, lines[n].eol);
        } else if (!dropped[n]) {
            emit(lines[n].body, lines[n].eol);
        }
        if (auto it = added.find(n); it != added.end()) {
            for (const Name& name : it->second) {
                emit(new_lines[name], eol);
            }
        }
    }
    for (const auto& [section, names] : new_sections) {
        if (!last_blank) {
            emit("", eol);
        }
        emit("[" + section + "]", eol);
        for (const Name& name : names) {
            emit(new_lines[name], eol);
        }
    }

    // A file this code cannot edit in place is still written correctly, if without its layout.
    const IniFile result = IniFile::read_text(out, source_name);
    if (!same_content(result, expected)) {
        return expected.to_string();
    }
    return out;
}

void update_ini_file(const std::filesystem::path& path, const std::vector<IniValue>& values) {
    std::string text;
    std::error_code ec;
    if (std::filesystem::exists(path, ec)) {
        std::string error;
        auto bytes = detail::read_file_bytes(path, error);
        if (!bytes) {
            throw IniUnreadableError(path.string(), 0, "cannot read the file: " + error);
        }
        text = std::move(*bytes);
    }
    write_file_atomically(path, set_ini_values(text, values, path.string()));
}

}  // namespace vantrel::common
