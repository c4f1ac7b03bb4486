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

std::string server_name(const korrin::OpcServerDesc& desc) {
    const auto& raw = desc.name;
    std::size_t length = raw.size();
    while (length > 0 && raw[length - 1] == '\0') {
        --length;
    }
    std::string name(raw.data(), length);
    if (!common::is_valid_utf8(name)) {
        throw std::runtime_error("the OPC library reported a server name that is not UTF-8");
    }
    return name;
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

    std::vector<korrin::OpcServerDesc> descs(static_cast<std::size_t>(std::max(max_servers, 0)));
    for (auto& desc : descs) {
        desc.source_type = source_type;
    }
    const auto count = qev->discovery(descs, hostname, port);
    std::size_t valid = descs.size();
    if (count) {
        valid = std::min(descs.size(), static_cast<std::size_t>(std::max(*count, 0)));
    }
    std::vector<std::string> names;
    names.reserve(valid);
    for (std::size_t i = 0; i < valid; ++i) {
        names.push_back(server_name(descs[i]));
    }
    return names;
}

}  // namespace vantrel::desktop
