// Replacing a file whole: the write-backs of config.ini never leave a half-written file.
#pragma once

#include <filesystem>
#include <string_view>

namespace vantrel::common {

// Writes `content` to a temporary file beside `path` and renames it over `path`, so that the
// old file stays whole if anything fails; a symbolic link stays a link and its target is
// replaced, with the target's permissions. Throws std::filesystem::filesystem_error.
void write_file_atomically(const std::filesystem::path& path, std::string_view content);

}  // namespace vantrel::common
