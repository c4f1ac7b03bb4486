// What the command-line tools share: their arguments, and logging, where the library's log goes
// to standard error only when asked for (-v). Why a call failed comes from the library's
// last_error(), not from the log.
#pragma once

#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qevsdk/qevsdk.h"
#include "qevsdk/ua_security.h"

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

namespace qevsdk::tools {

struct ToolArgs {
    bool help = false;
    bool verbose = false;  // -v, only as the first argument
    std::vector<std::string> positional;
    // OPC UA security; the password only ever comes from QEVSDK_UA_PASSWORD, because
    // options show in ps.
    UaSecurity security;
    std::string error;  // a malformed option
};

inline constexpr const char* kSecurityUsage =
    "OPC UA security (default: policy None, anonymous):\n"
    "  --security-policy P  None, Basic256Sha256, Aes128_Sha256_RsaOaep, Aes256_Sha256_RsaPss\n"
    "  --security-mode M    None, Sign or SignAndEncrypt (default SignAndEncrypt with a policy)\n"
    "  --user NAME          log in as NAME; the password is taken from QEVSDK_UA_PASSWORD\n"
    "  --pki DIR            certificate folder (default ./pki): own/, trusted/, rejected/\n"
    "  --trust-on-first-use trust an unknown server certificate and keep it in trusted/\n";

inline ToolArgs parse_args(int argc, char** argv) {
    ToolArgs parsed;
    bool mode_given = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&](std::string& into) {
            if (i + 1 >= argc) {
                parsed.error = arg + " needs a value";
            } else {
                into = argv[++i];
            }
        };
        if (arg == "-h" || arg == "--help") {
            parsed.help = true;
        } else if (arg == "-v" && parsed.positional.empty()) {
            parsed.verbose = true;
        } else if (arg == "--security-policy") {
            value(parsed.security.security_policy);
        } else if (arg == "--security-mode") {
            value(parsed.security.security_mode);
            mode_given = true;
        } else if (arg == "--user") {
            value(parsed.security.user);
        } else if (arg == "--pki") {
            value(parsed.security.pki_dir);
        } else if (arg == "--trust-on-first-use") {
            parsed.security.trust_on_first_use = true;
        } else if (arg == "--password") {
            parsed.error = "no --password option: set QEVSDK_UA_PASSWORD (options show in ps)";
        } else {
            parsed.positional.push_back(arg);
        }
    }
    if (!mode_given && parsed.security.security_policy != "None" &&
        parsed.security.security_policy != "none") {
        parsed.security.security_mode = "SignAndEncrypt";
    }
    if (const char* password = std::getenv("QEVSDK_UA_PASSWORD")) {
        parsed.security.password = password;
    }
    return parsed;
}

// Must run before the first QevLibrary is created: the library's logger copies the default
// logger's sinks when it is first used.
inline void set_up_logging(const std::string& name, bool verbose) {
    auto console = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    console->set_level(verbose ? spdlog::level::debug : spdlog::level::off);
    auto logger = std::make_shared<spdlog::logger>(name, console);
    logger->set_pattern("%Y-%m-%d %H:%M:%S - %n - %l - %v");
    logger->set_level(spdlog::level::debug);
    spdlog::set_default_logger(logger);
}

// The hint to check the server and the schema only helps when the server was never reached or
// the schema names none; after a refused certificate or a denied login it points the wrong way.
inline bool failed_to_reach(const std::string& why) {
    if (why.empty()) {
        return true;
    }
    static constexpr const char* kUnreachable[] = {
        "cannot resolve host",
        "the server does not take data in time",
        "the server did not answer in time",
        "the server closed the connection",
        "the connection was lost",
        "the connection is closed",
        "waiting on the connection failed",
        "invalid OPC UA schema",
        "is not an OPC DA schema",
        "the only DA server available",
    };
    for (const char* text : kUnreachable) {
        if (why.find(text) != std::string::npos) {
            return true;
        }
    }
    // The socket's own failure reads "cannot connect to HOST:PORT: ..."; the outer message
    // names the server by its schema instead.
    const auto last = why.rfind("cannot connect to ");
    if (last == std::string::npos) {
        return false;
    }
    const std::string_view after = std::string_view(why).substr(last + 18);
    return !after.starts_with("OPC ") && !after.starts_with("'");
}

// A tool's name and usage text, for its messages.
struct Tool {
    const char* name;
    const char* usage;

    // Says what was wrong, then how to call the tool; the status for a usage error.
    int usage_error(const std::string& problem) const {
        std::cerr << name << ": " << problem << "\n" << usage << kSecurityUsage;
        return 2;
    }

    // Says why the source could not be created, and how to check the server when it was
    // never reached; the status for that.
    int connect_failure(const std::string& schema, const std::string& why) const {
        if (why.find(schema) != std::string::npos) {
            std::cerr << name << ": " << why;
        } else {
            std::cerr << name << ": cannot connect to " << schema << ": "
                      << (why.empty() ? "no reason given (run with -v)" : why);
        }
        std::cerr << "\n";
        if (failed_to_reach(why)) {
            std::cerr << "Check that the server is running and the schema is right.\n";
        }
        return 1;
    }
};

// Help, or a malformed option: a status means the tool ends here with it.
inline std::optional<int> answer_help_or_bad_option(const Tool& tool, const ToolArgs& parsed) {
    if (parsed.help) {
        std::cout << tool.usage << kSecurityUsage;
        return 0;
    }
    if (!parsed.error.empty()) {
        return tool.usage_error(parsed.error);
    }
    return std::nullopt;
}

// Once its own arguments are checked: logging at the verbosity asked for, then OPC UA
// security. A status means the tool ends here with it.
inline std::optional<int> set_up_tool(const Tool& tool, const ToolArgs& parsed) {
    set_up_logging(tool.name, parsed.verbose);
    try {
        qevsdk::set_ua_security(parsed.security);
    } catch (const qevsdk::Error& e) {
        return tool.usage_error(e.what());
    }
    return std::nullopt;
}

inline void set_verbosity(qevsdk::QevLibrary& lib, bool verbose) {
    lib.set_log_level(verbose ? qevsdk::QEV_LOG_LEVEL_DEBUG : qevsdk::QEV_LOG_LEVEL_INFO);
}

}  // namespace qevsdk::tools
