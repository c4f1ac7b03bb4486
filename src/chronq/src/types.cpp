// chronq: text forms of the enumerations, and the errors.
#include "chronq/types.h"

#include <algorithm>

namespace chronq {

Error::Error(const std::string& what, std::string_view sqlstate, bool in_doubt)
    : std::runtime_error(what), in_doubt_(in_doubt) {
    const auto n = std::min(sqlstate.size(), sqlstate_.size());
    std::copy_n(sqlstate.begin(), n, sqlstate_.begin());
    sqlstate_size_ = static_cast<std::uint8_t>(n);
}

std::string_view value(SourceStatus status) {
    switch (status) {
        case SourceStatus::ACTIVE:
            return "ACTIVE";
        case SourceStatus::INACTIVE:
            return "INACTIVE";
    }
    return "INACTIVE";
}

std::string_view value(SourceProtocol protocol) {
    switch (protocol) {
        case SourceProtocol::OPC_DA:
            return "OPC_DA";
        case SourceProtocol::OPC_UA:
            return "OPC_UA";
    }
    return "OPC_DA";
}

}  // namespace chronq
