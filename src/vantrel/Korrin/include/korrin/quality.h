// Quality codes to quality texts, as every collected sample carries them.
#pragma once

#include <string>

namespace vantrel::korrin {

// "Good", "Bad", "Uncertain" or "Invalid", from the second-lowest byte of the code.
std::string quality_to_str(int quality);

}  // namespace vantrel::korrin
