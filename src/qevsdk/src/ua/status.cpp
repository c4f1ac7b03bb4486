// Names for the status codes that appear in messages to the operator.
#include "status.h"

#include <cstdio>

namespace qevsdk::ua {

namespace {

const char* name_of(std::uint32_t code) {
    switch (code & 0xFFFF0000) {
#define QEVSDK_UA_STATUS_NAME(name, code, cls) \
    case code:                                 \
        return #name;
        QEVSDK_UA_STATUS_CODES(QEVSDK_UA_STATUS_NAME)
#undef QEVSDK_UA_STATUS_NAME
        default:
            return nullptr;
    }
}

}  // namespace

std::string status_text(std::uint32_t code) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", code);
    const char* name = name_of(code);
    return name ? std::string(hex) + " (" + name + ")" : std::string(hex);
}

}  // namespace qevsdk::ua
