// The npm fixtures of tests and benchmarks (the OPC UA test server, the benchmarks' Node.js
// peers): each folder holds a package.json and gets its node_modules from the npm registry on
// first use.
#pragma once

#include <filesystem>
#include <string>

namespace vantrel::test {

// `text` quoted for a shell, for the commands a message tells a person to run by hand.
std::string shell_quoted(const std::string& text);

// Whether `dir`/node_modules holds `package`.
bool npm_package_installed(const std::filesystem::path& dir, const std::string& package);

// Runs `npm install` in `dir` when `package` is missing there, telling standard error so, as
// it takes a while; `what` names the fixture there ("the OPC UA test server"). Throws
// std::runtime_error, saying what to run by hand, when npm fails or the package is still
// missing afterwards.
void install_npm_packages(const std::filesystem::path& dir, const std::string& package,
                          const std::string& what);

}  // namespace vantrel::test
