// Quality codes to quality texts: only the second-lowest byte of the code carries meaning.
#include "korrin/quality.h"

namespace vantrel::korrin {

std::string quality_to_str(int quality) {
    // Masking a negative int keeps its two's-complement bits, as the library means them.
    switch (static_cast<unsigned int>(quality) & 0xFF00U) {
        case 0x0100U:
            return "Good";
        case 0x0200U:
            return "Bad";
        case 0x0300U:
            return "Uncertain";
        default:
            return "Invalid";
    }
}

}  // namespace vantrel::korrin
