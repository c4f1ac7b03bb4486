// The vantrel program: the desktop collector, configured by config.ini in the folder it is
// started from.
#include <cstdio>
#include <exception>

#include "lumvane/logging.h"
#include "vantrel/application.h"

int main(int argc, char** argv) {
    // Logging comes first, before any window: without a readable config.ini the program ends
    // here with the set-up's own error and no window at all.
    try {
        vantrel::lumvane::setup_logging_from_ini("config.ini");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    int status = 1;
    try {
        status = vantrel::desktop::run_desktop(argc, argv);
    } catch (const std::exception& e) {
        vantrel::lumvane::get_logger("vantrel")->error("Fatal error: {}", e.what());
    }
    vantrel::lumvane::shutdown_logging();
    return status;
}
