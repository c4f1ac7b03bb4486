// qev-browse: walks an OPC UA server's address space and writes the tag list CSV that the
// collector's front ends import (FullTagName, Description, DataType, BrowsePath).
#include <signal.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "qevsdk/qevsdk.h"
#include "qevsdk/ua_security.h"
#include "qevsdk/ua_tag.h"
#include "tool_support.h"

namespace {

constexpr const char* kUsage =
    "usage: qev-browse [-v] [SECURITY OPTIONS] opc.tcp://HOST:PORT [--from NODE] [--depth N]\n"
    "                  [--match GLOB ...] [--all-types] [--namespace-uris] [-o FILE]\n"
    "  --from NODE   start below NODE, written as a tag (e.g. 2:Plant, 2:i=1001); default the\n"
    "                Objects folder\n"
    "  --depth N     follow at most N levels of references below the start node\n"
    "  --match GLOB  list only variables whose tag or browse path matches GLOB (* any text,\n"
    "                ? one character); may be given more than once\n"
    "  --all-types   list every variable found, not only the readable scalar numeric and\n"
    "                Boolean ones the collector stores\n"
    "  --namespace-uris  write tags as nsu=<namespace URI>;<id>, which keep naming the same\n"
    "                node when the server numbers its namespaces otherwise\n"
    "  -o FILE       write the CSV to FILE (default standard output)\n"
    "  -v            show the library's log on standard error\n"
    "Writes FullTagName,Description,DataType,BrowsePath rows (UTF-8), one per variable.\n"
    "Ctrl+C stops the browse; what was found so far goes to FILE.partial, never to FILE.\n"
    "Exit status: 0 written, 1 the server could not be reached or was lost, 2 usage,\n"
    "130 interrupted.\n";

constexpr qevsdk::tools::Tool kTool{"qev-browse", kUsage};

std::atomic<bool> interrupted{false};

extern "C" void on_interrupt(int) {
    interrupted.store(true);
}

struct Options {
    std::string schema;
    std::string from;
    int depth = 0;
    std::vector<std::string> patterns;
    bool all_types = false;
    bool namespace_uris = false;
    std::string output;
};

// Options besides the shared ones; an empty error means they are fine.
std::string parse_own(const std::vector<std::string>& args, Options& o) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const auto value = [&](std::string& into) {
            if (i + 1 >= args.size()) {
                return false;
            }
            into = args[++i];
            return true;
        };
        std::string text;
        if (arg == "--from" || arg == "--match" || arg == "-o" || arg == "--depth") {
            if (!value(text)) {
                return arg + " needs a value";
            }
            if (arg == "--from") {
                o.from = text;
            } else if (arg == "--match") {
                o.patterns.push_back(text);
            } else if (arg == "-o") {
                o.output = text;
            } else {
                const auto depth = text_rules::parse_int<int>(text);
                if (!depth || *depth < 1) {
                    return "--depth needs a whole number of at least 1";
                }
                o.depth = *depth;
            }
        } else if (arg == "--all-types") {
            o.all_types = true;
        } else if (arg == "--namespace-uris") {
            o.namespace_uris = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return "unknown option " + arg;
        } else if (o.schema.empty()) {
            o.schema = arg;
        } else {
            return "unexpected argument '" + arg + "': give one server schema";
        }
    }
    if (o.schema.empty()) {
        return "need a server schema";
    }
    if (!o.schema.starts_with("opc.tcp://")) {
        return "'" + o.schema + "' is not an OPC UA schema: it must start with opc.tcp://";
    }
    return {};
}

// Whether text matches a glob: '*' any run of characters, '?' one (UTF-8) character.
bool glob_match(std::string_view pattern, std::string_view text) {
    std::size_t p = 0;
    std::size_t t = 0;
    std::size_t star = std::string_view::npos;
    std::size_t resume = 0;
    const auto char_length = [&](std::size_t at) {
        std::size_t n = 1;
        while (at + n < text.size() && (static_cast<unsigned char>(text[at + n]) & 0xC0) == 0x80) {
            ++n;
        }
        return n;
    };
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == '?') {
            ++p;
            t += char_length(t);
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            resume += char_length(resume);
            t = resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

struct Listing {
    std::string csv;
    std::size_t listed = 0;
    std::size_t other_types = 0;  // not what the collector stores
    std::size_t unnameable = 0;   // no tag text gives the node back
    std::size_t not_matched = 0;
    std::size_t by_index = 0;  // --namespace-uris, but the server names no URI for the index
};

// The tag text written for a variable; empty when none gives the node back.
std::string tag_of(const qevsdk::BrowsedVariable& v, const Options& o, bool& by_index) {
    by_index = false;
    if (!o.namespace_uris || v.full_tag_name.empty()) {
        return v.full_tag_name;
    }
    if (auto tag = qevsdk::format_namespace_uri_tag(v.namespace_uri, v.identifier)) {
        return *tag;
    }
    by_index = true;
    return v.full_tag_name;
}

Listing list(const qevsdk::BrowseResult& result, const Options& o) {
    Listing l;
    l.csv = qevsdk::kTagListCsvHeader;
    for (const auto& v : result.variables) {
        bool by_index = false;
        const std::string tag = tag_of(v, o, by_index);
        if (!o.patterns.empty()) {
            bool any = false;
            for (const auto& pattern : o.patterns) {
                any = any || glob_match(pattern, v.full_tag_name) ||
                      (o.namespace_uris && glob_match(pattern, tag)) ||
                      glob_match(pattern, v.browse_path);
            }
            if (!any) {
                ++l.not_matched;
                continue;
            }
        }
        if (!v.collectable) {
            ++l.other_types;
            if (!o.all_types) {
                continue;
            }
        }
        if (!qevsdk::nameable(v)) {
            ++l.unnameable;
            continue;
        }
        l.by_index += by_index ? 1 : 0;
        l.csv += qevsdk::tag_list_csv_line(v, tag);
        ++l.listed;
    }
    return l;
}

bool write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    const auto parsed = qevsdk::tools::parse_args(argc, argv);
    if (auto status = qevsdk::tools::answer_help_or_bad_option(kTool, parsed)) {
        return *status;
    }
    Options o;
    if (auto problem = parse_own(parsed.positional, o); !problem.empty()) {
        return kTool.usage_error(problem);
    }
    if (auto status = qevsdk::tools::set_up_tool(kTool, parsed)) {
        return *status;
    }

    // From here on Ctrl+C ends the browse, not the program; while connecting it makes the
    // browse end at once.
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    qevsdk::QevLibrary lib;
    qevsdk::tools::set_verbosity(lib, parsed.verbose);
    const auto source = lib.create_source(qevsdk::QEV_RTSOURCE_UA, o.schema, 1000, 0);
    if (source == qevsdk::QEV_INVALID_HANDLE) {
        return kTool.connect_failure(o.schema, lib.last_error());
    }

    qevsdk::BrowseOptions options;
    if (!o.from.empty()) {
        auto [ns, name] = qevsdk::split_ua_tag(o.from);
        options.from_namespace = ns;
        options.from = std::move(name);
    }
    options.max_depth = o.depth;
    options.cancelled = [] { return interrupted.load(); };
    // Progress only for a browse long enough to leave the operator wondering.
    const auto started = std::chrono::steady_clock::now();
    auto next_report = started + std::chrono::seconds(2);
    options.progress = [&](const qevsdk::BrowseProgress& p) {
        const auto now = std::chrono::steady_clock::now();
        if (now < next_report) {
            return;
        }
        next_report = now + std::chrono::seconds(2);
        std::cerr << "qev-browse: " << p.nodes_visited << " nodes, " << p.variables
                  << " variables so far, " << p.nodes_waiting << " nodes to browse\n";
    };
    const qevsdk::BrowseResult result = lib.browse(source, options);
    const Listing l = list(result, o);

    if (!result.complete) {
        const bool by_user = interrupted.load();
        std::cerr << "qev-browse: "
                  << (by_user ? "interrupted" : "the browse failed: " + result.stopped_because)
                  << " after " << result.nodes_visited << " nodes; the list is incomplete\n";
        if (o.output.empty()) {
            std::cerr << "qev-browse: nothing written; with -o FILE what was found is kept in "
                         "FILE.partial\n";
        } else if (write_file(o.output + ".partial", l.csv)) {
            std::cerr << "qev-browse: the " << l.listed << " tags found so far are in " << o.output
                      << ".partial\n";
        }
        return by_user ? 130 : 1;
    }
    if (o.output.empty()) {
        std::cout << l.csv;
        std::cout.flush();
    } else {
        const std::string temporary = o.output + ".partial";
        std::error_code ec;
        if (!write_file(temporary, l.csv) ||
            (std::filesystem::rename(temporary, o.output, ec), ec)) {
            std::cerr << "qev-browse: cannot write " << o.output << "\n";
            return 1;
        }
    }
    std::cerr << "qev-browse: " << l.listed << " tags listed from " << result.nodes_visited
              << " nodes";
    if (l.other_types > 0 && !o.all_types) {
        std::cerr << "; " << l.other_types
                  << " other variables (not readable scalar numbers or Booleans) left out, "
                     "--all-types lists them";
    }
    if (l.not_matched > 0) {
        std::cerr << "; " << l.not_matched << " variables did not match";
    }
    if (l.by_index > 0) {
        std::cerr << "; " << l.by_index
                  << " tags written with their namespace index: the server's namespace array "
                     "names no URI for it";
    }
    if (l.unnameable > 0) {
        std::cerr << "; " << l.unnameable
                  << " variables left out whose node id no tag list keeps unchanged";
    }
    std::cerr << "\n";
    lib.destroy();
    return 0;
}
