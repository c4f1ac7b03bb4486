// The pellumar program: the console collector, configured by <prefix>/config.ini beside the
// bin/ folder that holds it, stopped by SIGINT or SIGTERM.
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "console_log.h"
#include "pellumar/pellumar.h"
#include "pellumar/signal_handover.h"

namespace {

using vantrel::pellumar::detail::log_error;

// Ends the process; when the collector thread would not stop, its destructor would wait for it
// forever, so the process leaves without running destructors once the log is flushed.
int finish(std::unique_ptr<vantrel::pellumar::Pellumar>& console, int status) {
    if (console && console->collector_alive()) {
        vantrel::lumvane::shutdown_logging();
        std::_Exit(status);
    }
    console.reset();
    return status;
}

}  // namespace

int main() {
    using vantrel::pellumar::Pellumar;
    using vantrel::pellumar::PellumarDeps;
    using vantrel::pellumar::ProcessExit;
    using vantrel::pellumar::SignalHandover;

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
        console = std::make_unique<Pellumar>(std::nullopt, std::move(deps));
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
