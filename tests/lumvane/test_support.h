// Temporary folders, file reading and a settable clock for the logging tests.
#pragma once

#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace lumvane_test {

namespace fs = std::filesystem;
using TimePoint = std::chrono::system_clock::time_point;

// Local wall-clock time, whatever the time zone of the machine.
inline TimePoint local_time(int year, int month, int day, int hour = 12, int minute = 0,
                            int second = 0) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

// A clock the test moves by hand; copies share the same time.
class ManualClock {
  public:
    explicit ManualClock(TimePoint start) : now_(std::make_shared<TimePoint>(start)) {}
    TimePoint operator()() const { return *now_; }
    void set(TimePoint t) { *now_ = t; }
    void advance(std::chrono::system_clock::duration d) { *now_ += d; }

  private:
    std::shared_ptr<TimePoint> now_;
};

class TempDir {
  public:
    TempDir() {
        path_ = fs::temp_directory_path() /
                ("lumvane-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

inline std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline std::vector<std::string> lines_of(const fs::path& p) {
    std::vector<std::string> out;
    std::ifstream in(p, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}

inline void touch(const fs::path& p, std::string_view content = "old\n") {
    std::ofstream(p, std::ios::binary) << content;
}

inline std::vector<std::string> names_in(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace lumvane_test
