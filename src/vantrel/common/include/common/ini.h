// Reader and writer of config.ini: a strict INI dialect with case-sensitive sections,
// case-insensitive keys, continuation lines and %(key)s interpolation within a section.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantrel::common {

// A file that cannot be parsed or a value that cannot be read. `line()` is 0 when the
// problem concerns the whole file (unreadable) or a value looked up after parsing.
class IniError : public std::runtime_error {
  public:
    IniError(std::string file, int line, std::string problem);

    const std::string& file() const noexcept { return file_; }
    int line() const noexcept { return line_; }
    const std::string& problem() const noexcept { return problem_; }

  private:
    std::string file_;
    int line_;
    std::string problem_;
};

// The file is missing or cannot be opened/read; distinct so callers can report it apart
// from a malformed file.
class IniUnreadableError : public IniError {
  public:
    using IniError::IniError;
};

class IniFile {
  public:
    IniFile() = default;

    // Reads a UTF-8 file (a leading byte-order mark is dropped). Throws IniUnreadableError
    // when the file cannot be read, IniError when its content breaks the dialect.
    static IniFile read_file(const std::filesystem::path& path);
    // Parses text; `source_name` names the origin in error messages.
    static IniFile read_text(std::string_view text, std::string source_name = "<text>");

    // Section names in first-seen order.
    std::vector<std::string> sections() const;
    bool has_section(std::string_view section) const;
    // Keys of a section, lower-case, in first-seen order (empty when the section is missing).
    std::vector<std::string> options(std::string_view section) const;
    bool has_option(std::string_view section, std::string_view key) const;

    // The stored text without interpolation.
    std::optional<std::string> get_raw(std::string_view section, std::string_view key) const;

    // Typed reads: a missing section or key gives the fallback; a present value that does not
    // parse (or a bad interpolation) throws IniError.
    std::string get(std::string_view section, std::string_view key,
                    std::string_view fallback = {}) const;
    std::optional<std::string> get_optional(std::string_view section, std::string_view key) const;
    std::int64_t get_int(std::string_view section, std::string_view key,
                         std::int64_t fallback) const;
    double get_real(std::string_view section, std::string_view key, double fallback) const;
    bool get_bool(std::string_view section, std::string_view key, bool fallback) const;

    // Appends the section when missing; true when it was added.
    bool add_section(std::string_view section);
    // Sets a key (stored lower-case), adding the section when missing. A value whose percent
    // signs would not read back (a lone %) throws IniError.
    void set(std::string_view section, std::string_view key, std::string_view value);
    bool remove_option(std::string_view section, std::string_view key);

    // The file text: "[section]", "key = value" lines in first-seen order, an empty line
    // after each section. Multi-line values continue on tab-indented lines.
    std::string to_string() const;
    // Writes to_string() with write_file_atomically (common/atomic_file.h): the old file stays
    // whole if anything fails. Throws std::filesystem::filesystem_error. A file an operator
    // edits is better changed with update_ini_file, which keeps its comments.
    void write_file(const std::filesystem::path& path) const;

    const std::string& source_name() const noexcept { return source_name_; }

  private:
    struct Entry {
        std::string key;
        std::string value;
        int line = 0;
    };
    struct Section {
        std::string name;
        std::vector<Entry> entries;
    };

    const Section* find_section(std::string_view name) const;
    Section* find_section(std::string_view name);
    const Entry* find_entry(std::string_view section, std::string_view key) const;
    // A typed read: the fallback when the key is missing, an IniError when it does not parse.
    template <typename T, typename Parse>
    T get_typed(std::string_view section, std::string_view key, T fallback, Parse parse,
                std::string_view expected) const;
    // `touched_secret`, when given, tells whether the value is or includes a secret key's text.
    std::string interpolate(const Section& section, const Entry& entry,
                            bool* touched_secret = nullptr) const;

    std::string source_name_ = "<text>";
    std::vector<Section> sections_;
};

// Whether a key's value is a secret that no message may quote: `password`, and any key whose
// name contains "password" or "secret" in any letter case. Errors about such a value name the
// file, section, key and line only.
bool is_secret_ini_key(std::string_view key);

// Parsers of the dialect's scalar types, shared with anything that reads INI-like text.
// Each returns nothing when the whole text (blanks around it allowed) is not of the type.
std::optional<std::int64_t> parse_ini_int(std::string_view text);
std::optional<double> parse_ini_real(std::string_view text);
std::optional<bool> parse_ini_bool(std::string_view text);

}  // namespace vantrel::common
