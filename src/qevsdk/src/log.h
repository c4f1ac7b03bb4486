// The library logs through a logger named "qevsdk" in the process-wide registry, so that a
// host program's logging set-up sees its records.
#pragma once

#include <memory>

#include <spdlog/spdlog.h>

namespace qevsdk::detail {

std::shared_ptr<spdlog::logger> logger();

}  // namespace qevsdk::detail
