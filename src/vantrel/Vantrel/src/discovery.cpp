#include "vantrel/discovery.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "common/text_decode.h"

namespace vantrel::desktop {

namespace {

// Destroys the library handle on every way out of a discovery, also when it fails.
class HandleGuard {
  public:
    explicit HandleGuard(korrin::OpcLibrary& qev) : qev_(qev) {}
    ~HandleGuard() {
        try {
            qev_.destroy();
        } catch (...) {
            // The discovery's own outcome matters more than a failing release.
        }
    }
    HandleGuard(const HandleGuard&) = delete;
    HandleGuard& operator=(const HandleGuard&) = delete;

  private:
    korrin::OpcLibrary& qev_;
};

void check_utf8(const std::string& name) {
    if (!common::is_valid_utf8(name)) {
        throw std::runtime_error("the OPC library reported a server name that is not UTF-8");
    }
}

}  // namespace

std::vector<std::string> enumerate_opc_servers(const korrin::OpcLibraryFactory& factory,
                                               const std::string& hostname, int max_servers,
                                               int port, int source_type) {
    auto qev = (factory ? factory : korrin::default_opc_library_factory())();
    if (!qev) {
        throw std::runtime_error("the OPC library could not be created");
    }
    HandleGuard guard(*qev);
    qev->set_log_level(korrin::QEV_LOG_LEVEL_INFO);

    const auto limit = static_cast<std::size_t>(std::max(max_servers, 0));
    auto servers = qev->discovery(hostname, port, source_type, limit);
    // A library that finds more than it was asked for still fills no more rows.
    servers.resize(std::min(servers.size(), limit));
    std::vector<std::string> names;
    names.reserve(servers.size());
    for (auto& server : servers) {
        check_utf8(server.name);
        names.push_back(std::move(server.name));
    }
    return names;
}

}  // namespace vantrel::desktop
