// korrin-demo: collects the 25 demo tags from the built-in DA simulation every 5 seconds and
// prints every queued cycle until Ctrl+C (or SIGTERM) stops the collector.
#include <signal.h>

#include <cerrno>
#include <ctime>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <korrin/cycle_queue.h>
#include <korrin/opc_collector.h>
#include <lumvane/logging.h>
#include <spdlog/spdlog.h>

#include "print_cycle.h"

namespace {

using vantrel::korrin::CycleQueue;
using vantrel::korrin::CycleResults;
using vantrel::korrin::OPCCollector;

// The demonstration reads the built-in DA simulation, which needs no server of its own.
constexpr const char* kProtocol = "DA";
constexpr const char* kSchema = "opc.da://localhost/Vantrel.Simulation.1";

std::vector<std::string> demo_tags() {
    std::vector<std::string> names;
    for (int i = 1; i <= 4; ++i) {
        names.push_back("Demo.Count" + std::to_string(i));
    }
    for (int i = 1; i <= 10; ++i) {
        names.push_back("Demo.Random" + std::to_string(i));
    }
    for (int i = 1; i <= 10; ++i) {
        names.push_back("Demo.Tag" + std::to_string(i));
    }
    names.push_back("Demo.CCCTag10");
    return names;
}

// Waits up to half a second for SIGINT or SIGTERM; true when one arrived.
bool wait_for_signal(const sigset_t& signals) {
    const timespec half_second{0, 500'000'000};
    siginfo_t info{};
    return sigtimedwait(&signals, &info, &half_second) > 0;
}

void drain(CycleQueue& queue) {
    for (const CycleResults& cycle : queue.drain()) {
        vantrel::korrin::demo::print_cycle(std::cout, cycle);
        std::cout.flush();
    }
}

}  // namespace

int main() {
    // A handler first: a signal that is ignored (as a shell's background job inherits SIGINT)
    // is discarded rather than left pending for sigtimedwait.
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // Blocked in every thread, so the signals are taken here by sigtimedwait and never
    // interrupt the collector thread.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    vantrel::lumvane::get_logger("korrin")->set_level(spdlog::level::info);

    const std::vector<std::string> tags = demo_tags();

    // Drained here while the collector appends to it.
    const auto queue = std::make_shared<CycleQueue>();
    OPCCollector collector({.opc_schema = kSchema,
                            .get_tags_func = [tags] { return tags; },
                            .data_deque = queue,
                            .sample_interval = 5.0,
                            .batch_size = 2});

    std::cout << "使用协议: " << kProtocol << ", Schema: " << kSchema << std::endl;
    collector.start();

    while (!wait_for_signal(signals)) {
        drain(*queue);
    }
    collector.stop();
    collector.join();
    drain(*queue);
    return 0;
}
