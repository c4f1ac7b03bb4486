// qev-discover: lists the OPC servers found on a host, one schema per line.
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "qevsdk/qevsdk.h"
#include "qevsdk/ua_security.h"
#include "text_rules/text_rules.h"
#include "tool_support.h"

namespace {

constexpr const char* kUsage =
    "usage: qev-discover [-v] [SECURITY OPTIONS] HOST [PORT] [DA|UA]\n"
    "  HOST   host name or address; empty (\"\") or localhost for this machine\n"
    "  PORT   OPC UA discovery port (default 4840)\n"
    "  DA|UA  look for one kind only (default: both)\n"
    "Prints one server schema per line.\n"
    "Exit status: 0 found, 1 none found or the host could not be reached, 2 usage.\n";

constexpr std::size_t kMaxServers = 64;

constexpr qevsdk::tools::Tool kTool{"qev-discover", kUsage};

int usage(const std::string& problem) {
    return kTool.usage_error(problem);
}

}  // namespace

int main(int argc, char** argv) {
    const auto parsed = qevsdk::tools::parse_args(argc, argv);
    if (auto status = qevsdk::tools::answer_help_or_bad_option(kTool, parsed)) {
        return *status;
    }
    const bool verbose = parsed.verbose;
    const std::vector<std::string>& args = parsed.positional;
    if (args.empty() || args.size() > 3) {
        return usage(args.empty() ? "need a host" : "too many arguments");
    }
    const std::string host = args[0];
    int port = 0;
    int kind = 0;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (text_rules::all_digits(args[i]) && i == 1) {
            const auto number = text_rules::parse_int<int>(args[i]);
            if (!number || *number > 65535) {
                return usage("port " + args[i] + " is out of range (1 to 65535)");
            }
            port = *number;
        } else if (args[i] == "DA" || args[i] == "da") {
            kind = qevsdk::QEV_RTSOURCE_DA;
        } else if (args[i] == "UA" || args[i] == "ua") {
            kind = qevsdk::QEV_RTSOURCE_UA;
        } else {
            return usage("'" + args[i] + "' is neither a port nor DA or UA");
        }
    }
    const std::string kind_name = kind == qevsdk::QEV_RTSOURCE_DA   ? "OPC DA"
                                  : kind == qevsdk::QEV_RTSOURCE_UA ? "OPC UA"
                                                                    : "OPC";

    if (auto status = qevsdk::tools::set_up_tool(kTool, parsed)) {
        return *status;
    }
    qevsdk::QevLibrary lib;
    qevsdk::tools::set_verbosity(lib, verbose);
    std::vector<qevsdk::qev_source_desc_t> descs(kMaxServers);
    for (auto& desc : descs) {
        desc.source_type = kind;
    }
    std::optional<int> count;
    try {
        count = lib.discovery(descs, host, port);
    } catch (const qevsdk::Error& e) {
        std::cerr << "qev-discover: " << e.what() << "\n";
        return 1;
    }
    const std::size_t valid = std::min(
        descs.size(), count ? static_cast<std::size_t>(std::max(*count, 0)) : descs.size());
    if (valid == 0) {
        std::cerr << "qev-discover: no " << kind_name << " server found on "
                  << (host.empty() ? "this machine" : host) << "\n";
        return 1;
    }
    for (std::size_t i = 0; i < valid; ++i) {
        const auto& schema = descs[i].schema;
        std::cout << std::string(schema.data(), strnlen(schema.data(), schema.size())) << "\n";
    }
    lib.destroy();
    return 0;
}
