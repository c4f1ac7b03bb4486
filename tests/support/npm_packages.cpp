// Installs npm fixtures; see npm_packages.h.
#include "npm_packages.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace vantrel::test {

std::string shell_quoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

bool npm_package_installed(const std::filesystem::path& dir, const std::string& package) {
    std::error_code ec;
    return std::filesystem::exists(dir / "node_modules" / package / "package.json", ec);
}

void install_npm_packages(const std::filesystem::path& dir, const std::string& package,
                          const std::string& what) {
    if (npm_package_installed(dir, package)) {
        return;
    }
    const std::string by_hand =
        "cd " + shell_quoted(dir.string()) + " && npm install --no-audit --no-fund";
    std::fprintf(stderr, "Installing %s's npm packages into %s\n", what.c_str(),
                 (dir / "node_modules").c_str());
    // npm's own output goes to standard error, so that a benchmark's figures stay apart.
    const std::string command = "cd " + shell_quoted(dir.string()) +
                                " && npm install --no-audit --no-fund --loglevel=error 1>&2";
    if (std::system(command.c_str()) != 0 || !npm_package_installed(dir, package)) {
        throw std::runtime_error("npm could not install " + package +
                                 " (is npm installed?); by hand: " + by_hand);
    }
}

}  // namespace vantrel::test
