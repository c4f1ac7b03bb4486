// Finding OPC servers for the schema chooser: one library handle per call, destroyed on every
// way out.
#pragma once

#include <string>
#include <vector>

#include "korrin/opc_library.h"

namespace vantrel::desktop {

// The names of the servers the library finds on the host, in its order, at most max_servers.
// source_type asks for one kind of server (QEV_RTSOURCE_DA or QEV_RTSOURCE_UA; 0 for every
// kind). Throws when the library cannot be created, fails, or reports a name that is not UTF-8.
std::vector<std::string> enumerate_opc_servers(const korrin::OpcLibraryFactory& factory,
                                               const std::string& hostname, int max_servers = 16,
                                               int port = 0, int source_type = 0);

}  // namespace vantrel::desktop
