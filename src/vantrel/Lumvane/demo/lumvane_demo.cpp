// lumvane-demo: configures logging from config.ini in the working directory and writes fifty
// INFO records, to show the file and console formats, numbering and rotation.
#include <cstdio>
#include <exception>

#include "lumvane/logging.h"

int main() {
    try {
        vantrel::lumvane::setup_logging_from_ini("config.ini");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    const auto log = vantrel::lumvane::get_logger("lumvane");
    for (int i = 0; i < 50; ++i) {
        log->info("测试日志 {}", i);
    }
    return 0;
}
