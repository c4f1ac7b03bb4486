// Shared by the console's unit tests: temporary folders, a config.ini writer, and the log
// lines the console wrote (read back from the real log file).
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "lumvane/logging.h"

namespace pellumar_test {

namespace fs = std::filesystem;

// A value as config.ini must hold it: a literal percent sign is written twice.
inline std::string ini_escape(const std::string& value) {
    std::string out;
    for (char c : value) {
        out += c;
        if (c == '%') {
            out += '%';
        }
    }
    return out;
}

class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "pellumar-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

  private:
    fs::path path_;
};

inline void write_file(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

// The process-wide logger is configured once; every test process points it at one folder of
// its own, at DEBUG, before any console object is built.
inline const fs::path& log_dir() {
    static const fs::path dir = [] {
        static TempDir holder;
        const auto ini = holder / "logging.ini";
        write_file(ini, "[VantrelLogging]\nlog_dir = " + (holder / "log").string() +
                            "\nprefix = unit\nlevel = DEBUG\nmax_bytes_mb = 1000\n"
                            "console = false\n");
        vantrel::lumvane::setup_logging_from_ini(ini.string());
        return holder / "log";
    }();
    return dir;
}

inline std::string all_log_text() {
    vantrel::lumvane::flush_logging();
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(log_dir())) {
        files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    std::string text;
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        text.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return text;
}

// The console's own log lines written since construction, as "LEVEL - message".
class LogCapture {
  public:
    LogCapture() : start_(all_log_text().size()) {}

    std::vector<std::string> lines() const {
        const std::string text = all_log_text().substr(start_);
        std::vector<std::string> out;
        const std::string marker = " - pellumar - ";
        std::size_t pos = 0;
        while (pos < text.size()) {
            auto end = text.find('\n', pos);
            if (end == std::string::npos) {
                end = text.size();
            }
            const std::string line = text.substr(pos, end - pos);
            const auto at = line.find(marker);
            if (at != std::string::npos) {
                out.push_back(line.substr(at + marker.size()));
            }
            pos = end + 1;
        }
        return out;
    }

    bool contains(const std::string& line) const {
        const auto all = lines();
        return std::find(all.begin(), all.end(), line) != all.end();
    }

  private:
    std::size_t start_;
};

}  // namespace pellumar_test
