#include "print_cycle.h"

#include <chrono>
#include <ctime>
#include <iomanip>
#include <string>
#include <type_traits>
#include <variant>

namespace vantrel::korrin::demo {

namespace {

void print_value(std::ostream& out, const Value& value) {
    std::visit(
        [&out](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                out << "None";
            } else if constexpr (std::is_same_v<T, bool>) {
                out << (v ? "True" : "False");
            } else if constexpr (std::is_same_v<T, std::string>) {
                out << std::quoted(v, '\'');
            } else {
                out << v;
            }
        },
        value);
}

void print_timestamp(std::ostream& out, const Timestamp& ts) {
    if (!ts) {
        out << "None";
        return;
    }
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(ts->time_since_epoch()).count() % 1000;
    const std::time_t secs = system_clock::to_time_t(*ts);
    std::tm utc{};
    gmtime_r(&secs, &utc);
    out << std::put_time(&utc, "%Y-%m-%d %H:%M:%S") << '.' << std::setw(3) << std::setfill('0')
        << ms << std::setfill(' ') << "Z";
}

}  // namespace

void print_cycle(std::ostream& out, const CycleResults& cycle) {
    out << '[';
    for (std::size_t i = 0; i < cycle.size(); ++i) {
        const Sample& s = cycle[i];
        out << (i ? ", (" : "(") << std::quoted(s.tag, '\'') << ", ";
        print_value(out, s.value);
        out << ", " << std::quoted(s.quality, '\'') << ", ";
        print_timestamp(out, s.timestamp);
        out << ')';
    }
    out << "]\n";
}

}  // namespace vantrel::korrin::demo
