// A folder of its own under the system's temporary folder, removed with everything in it.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace korrin_test {

struct ScratchDir {
    std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("korrin-buffer-" + std::to_string(::getpid()) +
                                                  "-" + std::to_string(std::random_device{}()));
    ScratchDir() { std::filesystem::create_directories(path); }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
};

}  // namespace korrin_test
