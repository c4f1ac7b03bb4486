#include "log.h"

#include <memory>

#include <lumvane/logging.h>

namespace vantrel::korrin {

spdlog::logger& log() {
    // The logging set-up swaps the sinks of existing module loggers, so one lookup suffices.
    static const std::shared_ptr<spdlog::logger> logger = vantrel::lumvane::get_logger("korrin");
    return *logger;
}

}  // namespace vantrel::korrin
