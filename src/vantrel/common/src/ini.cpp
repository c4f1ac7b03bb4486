// The INI dialect of config.ini: parsing, typed reads with interpolation, and atomic write-back.
#include "common/ini.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <functional>

#include "common/atomic_file.h"
#include "common/text_decode.h"
#include "text_util.h"

namespace vantrel::common {

namespace {

// Nesting of %(key)s references, as deep as the common dialect allows.
constexpr int kMaxInterpolationDepth = 10;
// Ten levels of references can multiply a value's length enormously; refuse instead.
constexpr std::size_t kMaxInterpolatedSize = 1 << 20;

std::string describe(std::string_view section, std::string_view key) {
    std::string out = "[";
    out.append(section);
    out.append("] ");
    out.append(key);
    return out;
}

std::string shown(std::string_view text) {
    constexpr std::size_t kShown = 60;
    std::string out = "'";
    if (text.size() > kShown) {
        out.append(text.substr(0, kShown));
        out.append("...");
    } else {
        out.append(text);
    }
    out.push_back('\'');
    return out;
}

// The text of a line that could not be parsed, unless it may hold a secret: a line naming a
// secret key, or one that follows such a key's entry (a mis-indented continuation of it).
std::string shown_line(std::string_view stripped, bool after_secret) {
    const std::size_t delim = stripped.find_first_of("=:");
    const std::string_view key =
        delim == std::string_view::npos ? std::string_view{} : strip(stripped.substr(0, delim));
    if (!key.empty() && is_secret_ini_key(key)) {
        return "an entry of the secret key '" + to_lower_ascii(key) + "' (value not shown)";
    }
    if (after_secret || is_secret_ini_key(stripped)) {
        return "a line that may hold a secret (text not shown)";
    }
    return shown(stripped);
}

// Index of the first character that is not a blank; the indentation of a line.
std::size_t indent_of(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size() && is_space(line[i])) {
        ++i;
    }
    return i;
}

// Splits at \r\n, \n or \r.
std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' || text[i] == '\r') {
            lines.push_back(text.substr(start, i - start));
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
            start = i + 1;
        }
    }
    if (start < text.size()) {
        lines.push_back(text.substr(start));
    }
    return lines;
}

// Line number (1-based) of byte offset `pos`, counting the same line breaks as split_lines.
int line_of_offset(std::string_view text, std::size_t pos) {
    int line = 1;
    for (std::size_t i = 0; i < pos && i < text.size(); ++i) {
        if (text[i] == '\n' || (text[i] == '\r' && !(i + 1 < text.size() && text[i + 1] == '\n'))) {
            ++line;
        }
    }
    return line;
}

std::size_t first_invalid_utf8(std::string_view bytes) {
    // Binary search would need a resynchronising validator; files are small, so scan prefixes
    // line by line instead.
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find('\n', start);
        end = end == std::string_view::npos ? bytes.size() : end + 1;
        if (!is_valid_utf8(bytes.substr(start, end - start))) {
            return start;
        }
        start = end;
    }
    return bytes.size();
}

// Rejects what would not read back: the check the dialect applies to values being set.
std::optional<std::string> interpolation_syntax_problem(std::string_view value) {
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '%') {
            continue;
        }
        if (i + 1 < value.size() && value[i + 1] == '%') {
            ++i;
            continue;
        }
        if (i + 1 < value.size() && value[i + 1] == '(') {
            const std::size_t close = value.find(')', i + 2);
            if (close != std::string_view::npos && close > i + 2 && close + 1 < value.size() &&
                value[close + 1] == 's') {
                i = close + 1;
                continue;
            }
        }
        return "invalid interpolation syntax at position " + std::to_string(i) +
               " (write %% for a literal percent sign)";
    }
    return std::nullopt;
}

// Names seen while reading, for the duplicate checks: open addressing over (hash, id) slots in
// one array. A file of a million headers then costs a probe of one slot per header, not a node
// allocation and a chain of pointers each.
class NameIndex {
  public:
    // The id already recorded for a name that `same` accepts, or nothing after recording `id`.
    template <class Same>
    std::optional<std::size_t> find_or_add(std::size_t hash, std::size_t id, Same same) {
        if ((count_ + 1) * 2 > slots_.size()) {
            grow();
        }
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (slot.id == kEmpty) {
                slot = Slot{hash, id};
                ++count_;
                return std::nullopt;
            }
            if (slot.hash == hash && same(slot.id)) {
                return slot.id;
            }
        }
    }

    static std::size_t hash(std::string_view name, std::size_t salt = 0) {
        // Mixed, because probing starts from the low bits.
        std::uint64_t h = std::hash<std::string_view>{}(name) ^ (salt * 0x9E3779B97F4A7C15ull);
        h ^= h >> 31;
        h *= 0xBF58476D1CE4E5B9ull;
        h ^= h >> 29;
        return static_cast<std::size_t>(h);
    }

  private:
    static constexpr std::size_t kEmpty = static_cast<std::size_t>(-1);
    struct Slot {
        std::size_t hash = 0;
        std::size_t id = kEmpty;
    };

    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{});
        const std::size_t mask = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (slot.id == kEmpty) {
                continue;
            }
            std::size_t i = slot.hash & mask;
            while (slots_[i].id != kEmpty) {
                i = (i + 1) & mask;
            }
            slots_[i] = slot;
        }
    }

    std::vector<Slot> slots_;
    std::size_t count_ = 0;
};

}  // namespace

bool is_secret_ini_key(std::string_view key) {
    const std::string lower = to_lower_ascii(key);
    return lower.find("password") != std::string::npos || lower.find("secret") != std::string::npos;
}

IniError::IniError(std::string file, int line, std::string problem)
    : std::runtime_error(line > 0 ? file + ", line " + std::to_string(line) + ": " + problem
                                  : file + ": " + problem),
      file_(std::move(file)),
      line_(line),
      problem_(std::move(problem)) {}

std::optional<std::int64_t> parse_ini_int(std::string_view text) {
    return parse_int<std::int64_t>(text);
}

std::optional<double> parse_ini_real(std::string_view text) {
    text = strip(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') {
            return std::nullopt;
        }
    }
    if (text.empty()) {
        return std::nullopt;
    }
    double value = 0;
    const auto [ptr, ec] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
    if (ec != std::errc() || ptr != text.data() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

std::optional<bool> parse_ini_bool(std::string_view text) {
    const std::string lower = to_lower_ascii(text);
    if (lower == "1" || lower == "yes" || lower == "true" || lower == "on") {
        return true;
    }
    if (lower == "0" || lower == "no" || lower == "false" || lower == "off") {
        return false;
    }
    return std::nullopt;
}

IniFile IniFile::read_file(const std::filesystem::path& path) {
    std::string error;
    const auto bytes = detail::read_file_bytes(path, error);
    if (!bytes) {
        throw IniUnreadableError(path.string(), 0, "cannot read the file: " + error);
    }
    return read_text(*bytes, path.string());
}

IniFile IniFile::read_text(std::string_view text, std::string source_name) {
    IniFile ini;
    ini.source_name_ = std::move(source_name);
    if (text.starts_with(detail::kUtf8Bom)) {
        text.remove_prefix(detail::kUtf8Bom.size());
    }
    if (!is_valid_utf8(text)) {
        throw IniError(ini.source_name_, line_of_offset(text, first_invalid_utf8(text)),
                       "the text is not valid UTF-8; save the file as UTF-8");
    }

    // Values collect their lines here and are joined at the end. An entry's lines follow each
    // other in `value_lines`: only the newest entry ever gets more.
    struct Pending {
        std::size_t section;
        std::size_t entry;
        std::size_t first;
        std::size_t count;
    };
    std::vector<Pending> pending;
    std::vector<std::string_view> value_lines;
    std::optional<std::size_t> section;
    bool have_entry = false;
    // Whether the entry before the current line has a secret key (see shown_line).
    bool after_secret = false;
    std::size_t indent_level = 0;
    // Sections by name and keys by section and name (ids: indexes into sections_ and pending),
    // so that a long file stays linear to check for repeats.
    NameIndex section_index;
    NameIndex key_index;

    const auto lines = split_lines(text);
    for (std::size_t n = 0; n < lines.size(); ++n) {
        const int lineno = static_cast<int>(n + 1);
        const std::string_view line = lines[n];
        const std::string_view stripped = strip(line);
        const bool comment = stripped.starts_with('#') || stripped.starts_with(';');
        if (stripped.empty() || comment) {
            // An empty line may belong to a multi-line value; a comment never does.
            if (!comment && section && have_entry) {
                value_lines.emplace_back();
                ++pending.back().count;
            }
            continue;
        }
        const std::size_t indent = indent_of(line);
        if (section && have_entry && indent > indent_level) {
            value_lines.push_back(stripped);
            ++pending.back().count;
            continue;
        }
        indent_level = indent;

        const std::size_t close = stripped.rfind(']');
        if (stripped.front() == '[' && close != std::string_view::npos && close >= 2) {
            const std::string_view name = stripped.substr(1, close - 1);
            const auto same = [&](std::size_t id) { return ini.sections_[id].name == name; };
            if (section_index.find_or_add(NameIndex::hash(name), ini.sections_.size(), same)) {
                throw IniError(ini.source_name_, lineno,
                               "section [" + std::string(name) + "] appears more than once");
            }
            ini.sections_.push_back(Section{std::string(name), {}});
            section = ini.sections_.size() - 1;
            have_entry = false;
            continue;
        }
        if (!section) {
            throw IniError(ini.source_name_, lineno,
                           "a [section] header must come before " + shown_line(stripped, false));
        }
        Section& sec = ini.sections_[*section];
        const std::size_t delim = stripped.find_first_of("=:");
        if (delim == std::string_view::npos) {
            throw IniError(ini.source_name_, lineno,
                           "[" + sec.name +
                               "]: expected 'key = value', a [section] header or a comment, "
                               "found " +
                               shown_line(stripped, have_entry && after_secret));
        }
        const std::string_view raw_key = strip(stripped.substr(0, delim));
        if (raw_key.empty()) {
            throw IniError(ini.source_name_, lineno,
                           "[" + sec.name + "]: no key before '" + std::string(1, stripped[delim]) +
                               "' in " + shown_line(stripped, have_entry && after_secret));
        }
        std::string key = to_lower_ascii(raw_key);
        const auto same = [&](std::size_t id) {
            return pending[id].section == *section && sec.entries[pending[id].entry].key == key;
        };
        if (const auto seen =
                key_index.find_or_add(NameIndex::hash(key, *section), pending.size(), same)) {
            throw IniError(ini.source_name_, lineno,
                           "key '" + key + "' appears more than once in section [" + sec.name +
                               "] (first on line " +
                               std::to_string(sec.entries[pending[*seen].entry].line) + ")");
        }
        after_secret = is_secret_ini_key(key);
        sec.entries.push_back(Entry{std::move(key), {}, lineno});
        pending.push_back(Pending{*section, sec.entries.size() - 1, value_lines.size(), 1});
        value_lines.push_back(strip(stripped.substr(delim + 1)));
        have_entry = true;
    }

    for (const Pending& p : pending) {
        std::string value;
        for (std::size_t i = 0; i < p.count; ++i) {
            if (i > 0) {
                value.push_back('\n');
            }
            value.append(value_lines[p.first + i]);
        }
        value.resize(rstrip(value).size());
        ini.sections_[p.section].entries[p.entry].value = std::move(value);
    }
    return ini;
}

const IniFile::Section* IniFile::find_section(std::string_view name) const {
    for (const Section& s : sections_) {
        if (s.name == name) {
            return &s;
        }
    }
    return nullptr;
}

IniFile::Section* IniFile::find_section(std::string_view name) {
    for (Section& s : sections_) {
        if (s.name == name) {
            return &s;
        }
    }
    return nullptr;
}

const IniFile::Entry* IniFile::find_entry(std::string_view section, std::string_view key) const {
    const Section* sec = find_section(section);
    if (sec == nullptr) {
        return nullptr;
    }
    const std::string lower = to_lower_ascii(strip(key));
    for (const Entry& e : sec->entries) {
        if (e.key == lower) {
            return &e;
        }
    }
    return nullptr;
}

std::vector<std::string> IniFile::sections() const {
    std::vector<std::string> names;
    names.reserve(sections_.size());
    for (const Section& s : sections_) {
        names.push_back(s.name);
    }
    return names;
}

bool IniFile::has_section(std::string_view section) const {
    return find_section(section) != nullptr;
}

std::vector<std::string> IniFile::options(std::string_view section) const {
    std::vector<std::string> keys;
    if (const Section* sec = find_section(section)) {
        for (const Entry& e : sec->entries) {
            keys.push_back(e.key);
        }
    }
    return keys;
}

bool IniFile::has_option(std::string_view section, std::string_view key) const {
    return find_entry(section, key) != nullptr;
}

std::optional<std::string> IniFile::get_raw(std::string_view section, std::string_view key) const {
    if (const Entry* e = find_entry(section, key)) {
        return e->value;
    }
    return std::nullopt;
}

std::string IniFile::interpolate(const Section& section, const Entry& entry,
                                 bool* touched_secret) const {
    // Once the expansion reaches a secret key's text, no message may quote what it holds.
    bool secret = is_secret_ini_key(entry.key);
    const auto fail = [&](const std::string& problem, const std::string& hidden) {
        throw IniError(source_name_, entry.line,
                       describe(section.name, entry.key) + ": " + (secret ? hidden : problem));
    };
    std::string out;
    // Iterative expansion with an explicit stack of (text, depth) still to process.
    struct Pending {
        std::string_view rest;
        int depth;
    };
    std::vector<Pending> stack{{entry.value, 1}};
    while (!stack.empty()) {
        Pending& top = stack.back();
        if (top.rest.empty()) {
            stack.pop_back();
            continue;
        }
        if (top.depth > kMaxInterpolationDepth) {
            const std::string problem = "interpolation nested deeper than " +
                                        std::to_string(kMaxInterpolationDepth) +
                                        " levels (a key refers to itself?)";
            fail(problem, problem);
        }
        const std::size_t p = top.rest.find('%');
        if (p == std::string_view::npos) {
            out.append(top.rest);
            top.rest = {};
        } else {
            out.append(top.rest.substr(0, p));
            top.rest.remove_prefix(p);
            const std::string_view rest = top.rest;
            if (rest.size() >= 2 && rest[1] == '%') {
                out.push_back('%');
                top.rest.remove_prefix(2);
            } else if (rest.size() >= 2 && rest[1] == '(') {
                const std::size_t close = rest.find(')', 2);
                if (close == std::string_view::npos || close == 2 || close + 1 >= rest.size() ||
                    rest[close + 1] != 's') {
                    fail("bad interpolation reference " + shown(rest) +
                             " (write %(key)s, or %% for a literal percent sign)",
                         "bad interpolation reference in a value that holds a secret (value not "
                         "shown; write %(key)s, or %% for a literal percent sign)");
                }
                const std::string ref = to_lower_ascii(rest.substr(2, close - 2));
                top.rest.remove_prefix(close + 2);
                const Entry* target = nullptr;
                for (const Entry& e : section.entries) {
                    if (e.key == ref) {
                        target = &e;
                        break;
                    }
                }
                if (target == nullptr) {
                    fail(
                        "interpolation refers to '" + ref + "', which is not a key of this section",
                        "interpolation in a value that holds a secret refers to a key that this "
                        "section lacks (value not shown)");
                }
                secret = secret || is_secret_ini_key(target->key);
                const int depth = top.depth + 1;
                if (target->value.find('%') == std::string::npos) {
                    out.append(target->value);
                } else {
                    stack.push_back(Pending{target->value, depth});
                }
            } else {
                fail("a lone '%' in " + shown(entry.value) +
                         " (write %% for a literal percent sign)",
                     "a lone '%' in a value that holds a secret (value not shown; write %% for a "
                     "literal percent sign)");
            }
        }
        if (out.size() > kMaxInterpolatedSize) {
            const std::string problem = "interpolation makes the value longer than " +
                                        std::to_string(kMaxInterpolatedSize) + " bytes";
            fail(problem, problem);
        }
    }
    if (touched_secret != nullptr) {
        *touched_secret = secret;
    }
    return out;
}

std::optional<std::string> IniFile::get_optional(std::string_view section,
                                                 std::string_view key) const {
    const Section* sec = find_section(section);
    const Entry* e = find_entry(section, key);
    if (e == nullptr) {
        return std::nullopt;
    }
    return interpolate(*sec, *e);
}

std::string IniFile::get(std::string_view section, std::string_view key,
                         std::string_view fallback) const {
    if (auto v = get_optional(section, key)) {
        return std::move(*v);
    }
    return std::string(fallback);
}

template <typename T, typename Parse>
T IniFile::get_typed(std::string_view section, std::string_view key, T fallback, Parse parse,
                     std::string_view expected) const {
    const Entry* entry = find_entry(section, key);
    if (entry == nullptr) {
        return fallback;
    }
    bool secret = false;
    const std::string text = interpolate(*find_section(section), *entry, &secret);
    if (auto v = parse(text)) {
        return *v;
    }
    throw IniError(
        source_name_, entry->line,
        describe(section, entry->key) + ": " +
            (secret ? std::string("the value (not shown: it holds a secret)") : shown(text)) +
            " is " + std::string(expected));
}

std::int64_t IniFile::get_int(std::string_view section, std::string_view key,
                              std::int64_t fallback) const {
    return get_typed(section, key, fallback, parse_ini_int, "not an integer");
}

double IniFile::get_real(std::string_view section, std::string_view key, double fallback) const {
    return get_typed(section, key, fallback, parse_ini_real, "not a number");
}

bool IniFile::get_bool(std::string_view section, std::string_view key, bool fallback) const {
    return get_typed(section, key, fallback, parse_ini_bool,
                     "not a boolean (use 1/yes/true/on or 0/no/false/off)");
}

bool IniFile::add_section(std::string_view section) {
    if (section.empty() || section.find_first_of("\r\n") != std::string_view::npos ||
        strip(section).empty()) {
        throw IniError(source_name_, 0, "invalid section name " + shown(section));
    }
    if (find_section(section) != nullptr) {
        return false;
    }
    sections_.push_back(Section{std::string(section), {}});
    return true;
}

void IniFile::set(std::string_view section, std::string_view key, std::string_view value) {
    const std::string_view k = strip(key);
    if (k.empty() || k.find_first_of("=:\r\n") != std::string_view::npos || k.front() == '[' ||
        k.front() == '#' || k.front() == ';') {
        throw IniError(source_name_, 0, "invalid key " + shown(key));
    }
    if (value.find_first_of("\r\n") != std::string_view::npos) {
        throw IniError(source_name_, 0,
                       describe(section, k) + ": a value set here must be a single line");
    }
    if (auto problem = interpolation_syntax_problem(value)) {
        throw IniError(source_name_, 0, describe(section, k) + ": " + *problem);
    }
    add_section(section);
    Section* sec = find_section(section);
    const std::string lower = to_lower_ascii(k);
    for (Entry& e : sec->entries) {
        if (e.key == lower) {
            e.value = std::string(value);
            return;
        }
    }
    sec->entries.push_back(Entry{lower, std::string(value), 0});
}

bool IniFile::remove_option(std::string_view section, std::string_view key) {
    Section* sec = find_section(section);
    if (sec == nullptr) {
        return false;
    }
    const std::string lower = to_lower_ascii(strip(key));
    for (auto it = sec->entries.begin(); it != sec->entries.end(); ++it) {
        if (it->key == lower) {
            sec->entries.erase(it);
            return true;
        }
    }
    return false;
}

std::string IniFile::to_string() const {
    std::string out;
    for (const Section& s : sections_) {
        out += '[';
        out += s.name;
        out += "]\n";
        for (const Entry& e : s.entries) {
            out += e.key;
            out += " = ";
            for (char c : e.value) {
                out += c;
                if (c == '\n') {
                    out += '\t';
                }
            }
            out += '\n';
        }
        out += '\n';
    }
    return out;
}

void IniFile::write_file(const std::filesystem::path& path) const {
    write_file_atomically(path, to_string());
}

}  // namespace vantrel::common
