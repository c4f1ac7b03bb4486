// chronq: text forms of the enumerations.
#include "chronq/types.h"

namespace chronq {

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
