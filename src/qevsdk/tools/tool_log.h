// What the command-line tools share: their arguments, and logging, where the library's log goes
// to standard error only when asked for (-v) and its last error is kept so that a failure
// message can say why.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

namespace qevsdk::tools {

struct ToolArgs {
    bool help = false;
    bool verbose = false;  // -v, only as the first argument
    std::vector<std::string> positional;
};

inline ToolArgs parse_args(int argc, char** argv) {
    ToolArgs parsed;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            parsed.help = true;
        } else if (arg == "-v" && parsed.positional.empty()) {
            parsed.verbose = true;
        } else {
            parsed.positional.push_back(arg);
        }
    }
    return parsed;
}

class LastErrorSink final : public spdlog::sinks::base_sink<std::mutex> {
  public:
    std::string last_error() {
        std::lock_guard lock(mutex_);
        return last_error_;
    }

  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        if (msg.level >= spdlog::level::err) {
            last_error_.assign(msg.payload.data(), msg.payload.size());
        }
    }
    void flush_() override {}

  private:
    std::string last_error_;
};

// Must run before the first QevLibrary is created: the library's logger copies the default
// logger's sinks when it is first used.
inline std::shared_ptr<LastErrorSink> set_up_logging(const std::string& name, bool verbose) {
    auto errors = std::make_shared<LastErrorSink>();
    auto console = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    console->set_level(verbose ? spdlog::level::debug : spdlog::level::off);
    auto logger = std::make_shared<spdlog::logger>(
        name,
        spdlog::sinks_init_list{console, std::static_pointer_cast<spdlog::sinks::sink>(errors)});
    logger->set_pattern("%Y-%m-%d %H:%M:%S - %n - %l - %v");
    logger->set_level(spdlog::level::debug);
    spdlog::set_default_logger(logger);
    return errors;
}

// "create_source: cannot connect ..." reads better without the operation's name in front.
inline std::string reason(const std::string& logged) {
    const auto colon = logged.find(": ");
    if (colon != std::string::npos && logged.find(' ') > colon) {
        return logged.substr(colon + 2);
    }
    return logged;
}

}  // namespace qevsdk::tools
