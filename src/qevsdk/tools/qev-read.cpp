// qev-read: reads tags once from an OPC server and prints one tab-separated line per tag:
// the tag as given, the value, the quality code in decimal, the timestamp in ISO 8601 (UTC).
#include <time.h>

#include <chrono>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "qevsdk/qevsdk.h"
#include "qevsdk/ua_security.h"
#include "qevsdk/ua_tag.h"
#include "tool_support.h"

namespace {

constexpr const char* kUsage =
    "usage: qev-read [-v] [SECURITY OPTIONS] SCHEMA TAG...\n"
    "  SCHEMA  opc.tcp://HOST:PORT (OPC UA) or opc.da://HOST/PROGID (OPC DA; only the built-in\n"
    "          simulation opc.da://localhost/Vantrel.Simulation.1 is available)\n"
    "  TAG     OPC UA: NS:ID, e.g. 3:Line1.Temp, 2:i=1001, 2:s=Pump;1 (no NS: means namespace 0),\n"
    "          or nsu=NAMESPACE-URI;ID, e.g. nsu=urn:plant;s=Line1.Temp (';' and '%' in the URI\n"
    "          written %3B and %25)\n"
    "          OPC DA: the item id, e.g. Demo.Count1\n"
    "          -   read further tags from standard input, one per line\n"
    "  -v      show the library's log on standard error\n"
    "Prints TAG, value, quality code and timestamp, tab-separated, one line per tag.\n"
    "Exit status: 0 read, 1 the server could not be reached or was lost, 2 usage.\n";

constexpr std::size_t kBatch = 1000;

std::string iso8601(const std::optional<std::chrono::system_clock::time_point>& when) {
    if (!when) {
        return "-";
    }
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(*when).time_since_epoch().count();
    time_t seconds = static_cast<time_t>(ms / 1000);
    long millis = static_cast<long>(ms % 1000);
    if (millis < 0) {
        millis += 1000;
        --seconds;
    }
    tm parts{};
    if (gmtime_r(&seconds, &parts) == nullptr) {
        return "-";
    }
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", parts.tm_year + 1900,
                       parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                       millis);
}

constexpr qevsdk::tools::Tool kTool{"qev-read", kUsage};

int usage(const std::string& problem) {
    return kTool.usage_error(problem);
}

// The tags as given: each argument, and for "-" every non-empty line of standard input.
std::vector<std::string> collect_tags(const std::vector<std::string>& args) {
    std::vector<std::string> tags;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] != "-") {
            tags.push_back(args[i]);
            continue;
        }
        for (std::string line; std::getline(std::cin, line);) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            if (!line.empty()) {
                tags.push_back(line);
            }
        }
    }
    return tags;
}

// UA tags are split as the collector splits them; DA item ids are taken whole.
std::vector<qevsdk::TagRequest> requests_for(const std::vector<std::string>& tags, bool ua) {
    std::vector<qevsdk::TagRequest> requests;
    requests.reserve(tags.size());
    for (const auto& tag : tags) {
        if (ua) {
            auto [ns, name] = qevsdk::split_ua_tag(tag);
            requests.push_back({qevsdk::QEV_DATATYPE_REAL, ns, std::move(name)});
        } else {
            requests.push_back({qevsdk::QEV_DATATYPE_REAL, 0, tag});
        }
    }
    return requests;
}

// Reads in batches of kBatch and prints each batch as soon as it is in.
void read_and_print(qevsdk::QevLibrary& lib, qevsdk::SourceHandle source,
                    const std::vector<std::string>& tags,
                    const std::vector<qevsdk::TagRequest>& requests) {
    std::string out;
    for (std::size_t start = 0; start < requests.size(); start += kBatch) {
        const std::size_t end = std::min(requests.size(), start + kBatch);
        const std::vector<qevsdk::TagRequest> batch(requests.begin() + static_cast<long>(start),
                                                    requests.begin() + static_cast<long>(end));
        const auto [status, records] = lib.read_values(source, batch);
        for (std::size_t i = 0; i < records.size() && start + i < tags.size(); ++i) {
            const auto& r = records[i];
            fmt::format_to(std::back_inserter(out), "{}\t{}\t{}\t{}\n", tags[start + i], r.value,
                           r.quality, iso8601(r.timestamp));
        }
        std::cout << out;
        out.clear();
    }
    std::cout.flush();
    for (const auto& problem : lib.take_tag_problems(source)) {
        std::cerr << "qev-read: " << problem << "\n";
    }
}

}  // namespace

int main(int argc, char** argv) {
    const auto parsed = qevsdk::tools::parse_args(argc, argv);
    if (auto status = qevsdk::tools::answer_help_or_bad_option(kTool, parsed)) {
        return *status;
    }
    const std::vector<std::string>& args = parsed.positional;
    if (args.size() < 2) {
        return usage("need a schema and at least one tag");
    }
    const std::string schema = args.front();
    const bool ua = schema.starts_with("opc.tcp://");
    if (!ua && !schema.starts_with("opc.da://")) {
        return usage("'" + schema +
                     "' is not a server schema: it must start with opc.tcp:// or opc.da://");
    }
    const std::vector<std::string> tags = collect_tags(args);

    if (auto status = qevsdk::tools::set_up_tool(kTool, parsed)) {
        return *status;
    }
    qevsdk::QevLibrary lib;
    qevsdk::tools::set_verbosity(lib, parsed.verbose);
    const auto source =
        lib.create_source(ua ? qevsdk::QEV_RTSOURCE_UA : qevsdk::QEV_RTSOURCE_DA, schema, 1000, 0);
    if (source == qevsdk::QEV_INVALID_HANDLE) {
        return kTool.connect_failure(schema, lib.last_error());
    }
    read_and_print(lib, source, tags, requests_for(tags, ua));
    if (!lib.is_source_valid(source)) {
        const std::string why = lib.last_error(source);
        std::cerr << "qev-read: lost the connection to " << schema
                  << (why.empty() ? "" : ": " + why) << "\n";
        return 1;
    }
    lib.destroy();
    return 0;
}
