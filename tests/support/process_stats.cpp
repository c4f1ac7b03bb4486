// Reads /proc/<pid>/stat and /proc/<pid>/status; see process_stats.h.
#include "process_stats.h"

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace vantrel::test {

namespace {

std::string proc_file(pid_t pid, const char* name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + name, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

}  // namespace

std::chrono::nanoseconds process_cpu_time(pid_t pid) {
    if (pid <= 0) {
        return {};
    }
    const std::string stat = proc_file(pid, "stat");
    // Fields after the command name, which is in parentheses and may hold spaces.
    const auto close = stat.rfind(')');
    if (close == std::string::npos || close + 2 > stat.size()) {
        return {};
    }
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    long long utime = 0;
    long long stime = 0;
    // utime and stime are fields 14 and 15 of the whole line, 12 and 13 after the name.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            utime = std::stoll(field);
        } else if (i == 15) {
            stime = std::stoll(field);
        }
    }
    const long ticks = ::sysconf(_SC_CLK_TCK);
    return std::chrono::nanoseconds((utime + stime) * 1'000'000'000LL / ticks);
}

std::chrono::nanoseconds own_cpu_time() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto ns = [](const timeval& tv) {
        return std::chrono::seconds(tv.tv_sec) + std::chrono::microseconds(tv.tv_usec);
    };
    return ns(usage.ru_utime) + ns(usage.ru_stime);
}

std::int64_t process_peak_rss(pid_t pid) {
    if (pid <= 0) {
        return 0;
    }
    std::istringstream status(proc_file(pid, "status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            // "VmHWM:	   29412 kB"
            std::istringstream value(line.substr(6));
            std::int64_t kib = 0;
            value >> kib;
            return kib * 1024;
        }
    }
    return 0;
}

}  // namespace vantrel::test
