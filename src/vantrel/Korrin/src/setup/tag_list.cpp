// Loading a tag list and the rules on its names. Nothing is logged here: each front end words
// its own log lines.
#include "korrin/tag_list.h"
#include "common/shown_text.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "common/csv.h"
#include "common/text_decode.h"
#include "common/unicode_space.h"

namespace vantrel::korrin {

namespace {

std::string read_bytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot open '" + path.string() + "': " + std::strerror(errno));
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        throw std::runtime_error("cannot read '" + path.string() + "': " + std::strerror(errno));
    }
    return bytes;
}

// Spreadsheet exports pad cells with no-break and full-width spaces, not only ASCII blanks.
std::string trim(const std::string& text) {
    return std::string(common::trim_unicode_space(text));
}

// The 1-based number of the first line that `valid` refuses, or nothing.
template <class Valid>
std::optional<std::size_t> first_bad_line(std::string_view bytes, Valid valid) {
    std::size_t start = 0;
    for (std::size_t line = 1; start < bytes.size(); ++line) {
        std::size_t end = bytes.find('\n', start);
        end = end == std::string_view::npos ? bytes.size() : end + 1;
        if (!valid(bytes.substr(start, end - start))) {
            return line;
        }
        start = end;
    }
    return std::nullopt;
}

// Which lines keep a file from decoding, for the operator who has to mend it.
std::string undecodable_lines(std::string_view bytes) {
    const auto utf8 =
        first_bad_line(bytes, [](std::string_view line) { return common::is_valid_utf8(line); });
    const auto gbk = first_bad_line(bytes, [](std::string_view line) {
        try {
            common::gbk_to_utf8(line);
            return true;
        } catch (const common::DecodeError&) {
            return false;
        }
    });
    std::string out;
    if (utf8) {
        out += "line " + std::to_string(*utf8) + " is not UTF-8";
    }
    if (gbk) {
        out += (out.empty() ? "line " : " and line ") + std::to_string(*gbk) + " is not GBK";
    }
    return out.empty() ? std::string("it starts with a UTF-8 byte-order mark but is not UTF-8")
                       : out;
}

std::string header_text(const std::vector<std::string>& header) {
    std::string out;
    for (const auto& name : header) {
        if (!out.empty()) {
            out += ", ";
        }
        out += name;
    }
    return common::shown_text(out, 200);
}

std::string encoding_label(const common::DecodedText& decoded) {
    if (decoded.encoding == common::TextEncoding::utf8 && decoded.bom_removed) {
        return "utf-8-sig";
    }
    return std::string(common::encoding_name(decoded.encoding));
}

}  // namespace

LoadedTagList load_tag_list(const std::filesystem::path& path,
                            const std::function<void(const std::string&)>& on_decoded) {
    const auto bytes = read_bytes(path);
    common::DecodedText decoded;
    try {
        decoded = common::decode_text(bytes);
    } catch (const common::DecodeError&) {
        const std::string lines = undecodable_lines(bytes);
        throw TagListDecodeError("'" + path.string() + "' is neither UTF-8 nor GBK text: " + lines +
                                     "; save it as UTF-8",
                                 lines);
    }
    LoadedTagList loaded;
    loaded.encoding = encoding_label(decoded);
    if (on_decoded) {
        on_decoded(loaded.encoding);
    }

    const auto table = common::parse_csv(decoded.text);
    if (!table.has_column("FullTagName") || !table.has_column("Description")) {
        const std::string header = header_text(table.header);
        throw TagListColumnsError("'" + path.string() +
                                      "' lacks the column FullTagName or Description (header "
                                      "found: " +
                                      header + ")",
                                  header);
    }
    for (std::size_t r = 0; r < table.rows.size(); ++r) {
        const auto& row = table.rows[r];
        auto name = trim(row.at("FullTagName"));
        if (!name.empty()) {
            loaded.tags.emplace_back(std::move(name), trim(row.at("Description")));
            loaded.lines.push_back(table.row_lines[r]);
        }
    }
    return loaded;
}

std::vector<DuplicateTag> duplicate_tags(const TagList& tags,
                                         const std::vector<std::size_t>& lines) {
    std::vector<DuplicateTag> entries;  // every name once, in order of first appearance
    std::unordered_map<std::string_view, std::size_t> index;
    for (std::size_t i = 0; i < tags.size(); ++i) {
        const auto [it, inserted] = index.emplace(tags[i].first, entries.size());
        if (inserted) {
            entries.push_back({tags[i].first, {}});
        }
        entries[it->second].lines.push_back(i < lines.size() ? lines[i] : i + 1);
    }
    std::vector<DuplicateTag> duplicates;
    for (auto& entry : entries) {
        if (entry.lines.size() > 1) {
            duplicates.push_back(std::move(entry));
        }
    }
    return duplicates;
}

std::vector<std::string> distinct_tag_names(const TagList& tags) {
    std::vector<std::string> names;
    names.reserve(tags.size());
    std::unordered_set<std::string_view> seen;
    seen.reserve(tags.size());
    for (const auto& tag : tags) {
        if (seen.insert(tag.first).second) {
            names.push_back(tag.first);
        }
    }
    return names;
}

std::string duplicate_tag_warning(const DuplicateTag& duplicate) {
    std::string lines;
    for (const std::size_t line : duplicate.lines) {
        lines += (lines.empty() ? "" : ", ") + std::to_string(line);
    }
    // Registration updates the tag once per row, so the last row's description is the one kept.
    return "Tag '" + common::shown_text(duplicate.name) + "' is listed " +
           std::to_string(duplicate.lines.size()) + " times in the tag file (CSV lines " + lines +
           "); it is collected once per cycle, with the description of line " +
           std::to_string(duplicate.lines.back());
}

std::optional<std::string> tag_name_problem(std::string_view name) {
    if (name.find('\0') != std::string_view::npos) {
        return std::string("the name holds a NUL byte, which the database cannot store");
    }
    if (name.size() > kMaxTagNameBytes) {
        return "the name is " + std::to_string(name.size()) + " bytes long; the database takes " +
               std::to_string(kMaxTagNameBytes) + " at most";
    }
    if (!common::is_valid_utf8(name)) {
        return std::string("the name is not valid UTF-8");
    }
    return std::nullopt;
}

}  // namespace vantrel::korrin
