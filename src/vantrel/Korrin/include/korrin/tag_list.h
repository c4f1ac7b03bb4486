// A tag list as both front ends load it: the CSV file, its decoding, the rules on a tag name,
// and the duplicates it may hold. The outcomes carry what each front end needs for its own log
// lines.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantrel::korrin {

// One tag of the list: name and description, both trimmed.
using TagPair = std::pair<std::string, std::string>;
using TagList = std::vector<TagPair>;

// A tag list error with a short detail for the front ends' own log lines.
class TagListError : public std::runtime_error {
  public:
    TagListError(const std::string& what, std::string detail)
        : std::runtime_error(what), detail_(std::move(detail)) {}
    const std::string& detail() const noexcept { return detail_; }

  private:
    std::string detail_;
};

// The file holds neither UTF-8 nor GBK text; detail() names the first lines that are not.
class TagListDecodeError : public TagListError {
  public:
    using TagListError::TagListError;
};

// The header row lacks FullTagName or Description; detail() is the header found.
class TagListColumnsError : public TagListError {
  public:
    using TagListError::TagListError;
};

struct LoadedTagList {
    TagList tags;                    // rows with a non-blank name, in file order, duplicates kept
    std::vector<std::size_t> lines;  // the 1-based CSV line of each tag
    std::string encoding;            // "utf-8", "utf-8-sig" (byte-order mark removed) or "gbk"
};

// The longest tag name, in bytes of UTF-8, that the database is sure to take: its unique
// index refuses entries of more than about 2,700 bytes.
inline constexpr std::size_t kMaxTagNameBytes = 2048;

// Why the database cannot take a tag name (a NUL byte, too long, not UTF-8), or nothing.
std::optional<std::string> tag_name_problem(std::string_view name);

// Reads a tag list CSV: strict UTF-8 first, then GBK. Names and descriptions lose surrounding
// Unicode white space. Throws TagListDecodeError (naming the first line that is not UTF-8),
// TagListColumnsError (showing the header found), or std::runtime_error when the file cannot
// be read or parsed (the text names the file, or the line of a malformed row). `on_decoded`, when
// given, hears the encoding as soon as the text is decoded, before the header is checked, so that a
// front end can log it in that order.
LoadedTagList load_tag_list(const std::filesystem::path& path,
                            const std::function<void(const std::string&)>& on_decoded = {});

// A tag name that a list holds more than once, and the CSV lines where it stands.
struct DuplicateTag {
    std::string name;
    std::vector<std::size_t> lines;
};

// The names listed more than once, in order of first appearance. `lines` gives each entry's CSV
// line; where it is shorter, the 1-based position in the list stands in.
std::vector<DuplicateTag> duplicate_tags(const TagList& tags,
                                         const std::vector<std::size_t>& lines);

// Each name once, in order of first appearance: what a collector reads and writes per cycle.
std::vector<std::string> distinct_tag_names(const TagList& tags);

// The load-time warning about one duplicated name, the same for both front ends.
std::string duplicate_tag_warning(const DuplicateTag& duplicate);

}  // namespace vantrel::korrin
