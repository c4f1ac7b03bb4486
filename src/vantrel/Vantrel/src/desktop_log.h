// The desktop's module logger. Its name, "vantrel", is also the default logger's, so the
// window's records and those of code that logs without a module read alike.
#pragma once

#include <memory>

#include "lumvane/logging.h"

namespace vantrel::desktop {

inline std::shared_ptr<spdlog::logger> log() {
    return lumvane::get_logger("vantrel");
}

}  // namespace vantrel::desktop
