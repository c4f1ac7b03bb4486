// Text forms of the TSDB record enumerations, as the client stores them.
#include "korrin/tsdb_client.h"

namespace vantrel::korrin {

std::string_view value(SourceStatus status) {
    return status == SourceStatus::ACTIVE ? "ACTIVE" : "INACTIVE";
}

std::string_view value(SourceProtocol protocol) {
    return protocol == SourceProtocol::OPC_UA ? "OPC_UA" : "OPC_DA";
}

}  // namespace vantrel::korrin
