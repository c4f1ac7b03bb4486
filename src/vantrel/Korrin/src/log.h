// The engine's module logger ("korrin"), sharing the process-wide sinks.
#pragma once

#include <spdlog/logger.h>

namespace vantrel::korrin {

spdlog::logger& log();

}  // namespace vantrel::korrin
