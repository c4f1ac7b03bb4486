// The one way a module gets its logger: by name from spdlog's registry, so that whoever sets up
// logging (the programs, through Lumvane; a host program of its own) reaches every module's
// records, and `{name}` says which module wrote them.
#pragma once

#include <memory>
#include <string>

#include <spdlog/spdlog.h>

namespace spdlog_support {

// The logger registered under `name`; the first call registers a copy of the default logger
// (its sinks, level and line format). A logging set-up that changes the sinks later changes
// them on every registered logger, so when a module first asks does not matter. Safe from any
// thread: when two threads create the logger at once, both get the one that was registered.
inline std::shared_ptr<spdlog::logger> named_logger(const std::string& name) {
    if (auto existing = spdlog::get(name)) {
        return existing;
    }
    auto created = spdlog::default_logger()->clone(name);
    try {
        spdlog::register_logger(created);
    } catch (const spdlog::spdlog_ex&) {
        if (auto existing = spdlog::get(name)) {
            return existing;
        }
    }
    return created;
}

}  // namespace spdlog_support
