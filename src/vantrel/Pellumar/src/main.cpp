// The pellumar program: the console collector, configured by <prefix>/config.ini beside the
// bin/ folder that holds it (or by the config.ini of --config-dir), stopped by SIGINT or
// SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "console_log.h"
#include "korrin/memory.h"
#include "pellumar/pellumar.h"
#include "pellumar/signal_handover.h"

namespace {

using vantrel::pellumar::detail::log_error;

constexpr const char* kUsage =
    "Usage: pellumar [--help | --version]\n"
    "       pellumar --config-dir DIR\n"
    "\n"
    "The Vantrel console collector. It reads <prefix>/config.ini, where <prefix> is the\n"
    "parent of the bin/ folder that holds the program, registers the source and the tags of\n"
    "the tag list in the time-series database, and collects until SIGINT or SIGTERM.\n"
    "Relative paths in config.ini are taken from the current directory.\n"
    "With --config-dir it reads DIR/config.ini instead, and buffer_dir and ua_pki_dir are\n"
    "taken from DIR when relative: one installation collects several servers, each with a\n"
    "folder of its own.\n"
    "\n"
    "Exit status: 0 after a signal, 1 when it could not start (the log says why),\n"
    "2 for a wrong argument.\n";

// Ends the process; when the collector thread would not stop, or a set-up step is still busy
// after a signal, their destructors would wait forever, so the process leaves without running
// destructors once the log is flushed.
int finish(std::unique_ptr<vantrel::pellumar::Pellumar>& console, int status) {
    if (console && (console->collector_alive() || console->startup_step_running())) {
        vantrel::lumvane::shutdown_logging();
        std::_Exit(status);
    }
    console.reset();
    return status;
}

// --help and --version answer and end the program; --config-dir names the folder of
// config.ini; anything else is a mistake (status 2).
std::optional<int> handle_arguments(int argc, char** argv,
                                    std::optional<std::filesystem::path>& config_dir) {
    if (argc <= 1) {
        return std::nullopt;
    }
    const std::string_view arg = argv[1];
    if (arg == "--config-dir") {
        if (argc == 3 && argv[2][0] != '\0') {
            config_dir = argv[2];
            return std::nullopt;
        }
        std::fprintf(stderr,
                     "pellumar: --config-dir needs one folder, the one holding "
                     "config.ini\n\n%s",
                     kUsage);
        return 2;
    }
    if (argc == 2 && (arg == "--help" || arg == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc == 2 && arg == "--version") {
        std::printf("pellumar %s\n", VANTREL_VERSION);
        return 0;
    }
    std::fprintf(stderr, "pellumar: unexpected argument '%s'\n\n%s", argv[argc == 2 ? 1 : 2],
                 kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    using vantrel::pellumar::Pellumar;
    using vantrel::pellumar::PellumarDeps;
    using vantrel::pellumar::ProcessExit;
    using vantrel::pellumar::SignalHandover;

    vantrel::korrin::use_one_heap();

    std::optional<std::filesystem::path> config_dir;
    if (auto status = handle_arguments(argc, argv, config_dir)) {
        return *status;
    }

    // A reader that closes our standard error (pellumar 2>&1 | head) must not end the
    // collection: writes to it then fail quietly and the log file goes on.
    std::signal(SIGPIPE, SIG_IGN);

    // Handlers go in before anything can block, so an early signal is queued, not fatal.
    std::unique_ptr<SignalHandover> signals;
    std::unique_ptr<Pellumar> console;
    try {
        signals = std::make_unique<SignalHandover>();
        PellumarDeps deps;
        deps.wait = [&signals](std::chrono::milliseconds timeout) {
            return signals->wait(timeout);
        };
        deps.poll_signal = [&signals] { return signals->wait(std::chrono::milliseconds(0)); };
        console = std::make_unique<Pellumar>(config_dir, std::move(deps));
    } catch (const vantrel::lumvane::ConfigFileNotFound& e) {
        log_error(std::string("Error occurred: ") + e.what());
        // The program looks in one place only, not in the current directory: say where.
        const std::filesystem::path tried = std::filesystem::absolute(e.path());
        log_error("Tried " + tried.string() + ": config.ini must sit in " +
                  tried.parent_path().string() +
                  (config_dir ? std::string(", the folder given with --config-dir")
                              : std::string(", beside the bin/ folder that holds pellumar")));
        return 1;
    } catch (const std::exception& e) {
        log_error(std::string("Error occurred: ") + e.what());
        return 1;
    }

    int status = 1;
    try {
        status = console->run() ? 0 : 1;
    } catch (const ProcessExit& exit) {
        status = exit.status;
    } catch (const std::exception& e) {
        log_error(std::string("Fatal error: ") + e.what());
        status = 1;
    }
    return finish(console, status);
}
