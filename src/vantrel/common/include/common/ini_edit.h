// Changing a few values of config.ini in place: an operator's file keeps its comments, blank
// lines and order, and only the lines of the values written change.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::common {

// One value to store: the text as it is to be read back with IniFile::get_raw (a literal
// percent sign doubled). Surrounding blanks are dropped, as reading would drop them.
struct IniValue {
    std::string section;
    std::string key;
    std::string value;
};

// `text` (a config.ini) with `values` set. A key already present keeps its line and spelling
// and gets the new value (lines that continued the old value go); a missing key is added at the
// end of its section, a missing section at the end of the text. Every other byte stays. Throws
// IniError when `text` does not parse or a value would not read back (see IniFile::set).
std::string set_ini_values(std::string_view text, const std::vector<IniValue>& values,
                           const std::string& source_name = "<text>");

// Reads `path` when it exists (a missing file counts as empty), sets `values` as
// set_ini_values does and writes the result with write_file_atomically (common/atomic_file.h).
// Throws IniUnreadableError or IniError as IniFile::read_file does, and
// std::filesystem::filesystem_error when the file cannot be written.
void update_ini_file(const std::filesystem::path& path, const std::vector<IniValue>& values);

}  // namespace vantrel::common
