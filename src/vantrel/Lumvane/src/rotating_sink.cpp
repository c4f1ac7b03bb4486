// SequencedDailyRotatingSink: numbering, size rotation, day change and retention.
#include "lumvane/rotating_sink.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <system_error>

#include <fmt/format.h>

#include "common/text.h"

namespace vantrel::lumvane {

namespace fs = std::filesystem;
using std::chrono::system_clock;

namespace {

constexpr auto kCleanupInterval = std::chrono::minutes(10);
// How often the open file is checked for having been deleted (its folder removed, say).
constexpr auto kLinkCheckInterval = std::chrono::seconds(1);

std::tm local_tm(system_clock::time_point t) {
    const std::time_t tt = system_clock::to_time_t(t);
    std::tm tm{};
    ::localtime_r(&tt, &tm);
    return tm;
}

int to_int(std::string_view digits) {
    int v = 0;
    for (char c : digits) {
        v = v * 10 + (c - '0');
    }
    return v;
}

}  // namespace

// Read by hand (std::regex trips GCC 12's warnings), from the end: ".log", the
// sequence digits, then the fixed "-mm-dd."; the greedy prefix is whatever comes before.
std::optional<LogFileName> parse_log_file_name(std::string_view name) {
    constexpr std::string_view kExt = ".log";
    constexpr std::size_t kMaxSeqDigits = 9;  // fits an int
    if (name.find('\n') != std::string_view::npos || name.size() <= kExt.size() ||
        name.substr(name.size() - kExt.size()) != kExt) {
        return std::nullopt;
    }
    const std::string_view stem = name.substr(0, name.size() - kExt.size());
    std::size_t digits = 0;
    while (digits < stem.size() && stem[stem.size() - 1 - digits] >= '0' &&
           stem[stem.size() - 1 - digits] <= '9') {
        ++digits;
    }
    constexpr std::size_t kDate = std::string_view("-mm-dd.").size();
    if (digits < 3 || digits > kMaxSeqDigits || stem.size() < digits + kDate + 1) {
        return std::nullopt;
    }
    const std::string_view seq = stem.substr(stem.size() - digits);
    const std::string_view date = stem.substr(stem.size() - digits - kDate, kDate);
    if (date[0] != '-' || date[3] != '-' || date[6] != '.' ||
        !common::all_digits(date.substr(1, 2)) || !common::all_digits(date.substr(4, 2))) {
        return std::nullopt;
    }
    const std::string_view prefix = stem.substr(0, stem.size() - digits - kDate);
    return LogFileName{std::string(prefix), to_int(date.substr(1, 2)), to_int(date.substr(4, 2)),
                       to_int(seq)};
}

std::string SequencedDailyRotatingSink::format_date(system_clock::time_point t) {
    const std::tm tm = local_tm(t);
    char buf[16];
    const std::size_t n = std::strftime(buf, sizeof buf, DATE_FMT, &tm);
    return std::string(buf, n);
}

SequencedDailyRotatingSink::SequencedDailyRotatingSink(std::string log_dir, std::string prefix,
                                                       std::int64_t max_bytes, int retention_days,
                                                       WallClock clock)
    : log_dir_(std::move(log_dir)),
      prefix_(std::move(prefix)),
      max_bytes_(max_bytes),
      retention_days_(retention_days),
      clock_(clock ? std::move(clock) : WallClock([] { return system_clock::now(); })) {
    fs::create_directories(log_dir_);
    _current_date = format_date(now());
    _seq = _init_seq_for_today();
    _file = _open_new_file(_current_date, _seq);
}

SequencedDailyRotatingSink::~SequencedDailyRotatingSink() {
    close();
}

system_clock::time_point SequencedDailyRotatingSink::now() const {
    return clock_();
}

fs::path SequencedDailyRotatingSink::_build_path(const std::string& date_str, int seq) const {
    return fs::path(log_dir_) / fmt::format("{}-{}.{:03d}.log", prefix_, date_str, seq);
}

int SequencedDailyRotatingSink::_init_seq_for_today() {
    std::lock_guard lock(_lock);
    int largest = 0;
    std::error_code ec;
    for (fs::directory_iterator it(log_dir_, ec), end; !ec && it != end; it.increment(ec)) {
        const auto parsed = parse_log_file_name(it->path().filename().string());
        if (!parsed || parsed->prefix != prefix_) {
            continue;
        }
        if (fmt::format("{:02d}-{:02d}", parsed->mm, parsed->dd) != _current_date) {
            continue;
        }
        largest = std::max(largest, parsed->seq);
    }
    return largest + 1;
}

std::FILE* SequencedDailyRotatingSink::_open_new_file(const std::string& date_str, int seq) {
    const fs::path path = _build_path(date_str, seq);
    std::FILE* f = std::fopen(path.c_str(), "ab");
    if (f == nullptr) {
        throw fs::filesystem_error("cannot open the log file", path,
                                   std::error_code(errno, std::generic_category()));
    }
    // Unbuffered: each record reaches the operating system in one write, so a record that
    // cannot be written (a full disk) fails at its own write, not at some later flush.
    std::setvbuf(f, nullptr, _IONBF, 0);
    struct stat st {};
    _bytes = ::fstat(::fileno(f), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : 0;
    return f;
}

void SequencedDailyRotatingSink::reopen_if_deleted() {
    const system_clock::time_point t = now();
    if (_file == nullptr || (_last_link_check && t - *_last_link_check < kLinkCheckInterval &&
                             t >= *_last_link_check)) {
        return;
    }
    _last_link_check = t;
    struct stat st {};
    if (::fstat(::fileno(_file), &st) != 0 || st.st_nlink > 0) {
        return;
    }
    // Writing on would fill a file nobody can read: start the same file again, and its folder.
    std::fclose(_file);
    _file = nullptr;
    fs::create_directories(log_dir_);
    _file = _open_new_file(_current_date, _seq);
}

fs::path SequencedDailyRotatingSink::current_path() const {
    std::lock_guard lock(_lock);
    return _build_path(_current_date, _seq);
}

int SequencedDailyRotatingSink::current_seq() const {
    std::lock_guard lock(_lock);
    return _seq;
}

std::string SequencedDailyRotatingSink::current_date() const {
    std::lock_guard lock(_lock);
    return _current_date;
}

bool SequencedDailyRotatingSink::_should_rollover() {
    std::lock_guard lock(_lock);
    // The sink counts what it writes: no flush and no look-up of the file per record.
    return _file != nullptr && _bytes >= max_bytes_;
}

void SequencedDailyRotatingSink::_rollover() {
    std::lock_guard lock(_lock);
    if (_file != nullptr) {
        std::fclose(_file);
        _file = nullptr;
    }
    ++_seq;
    _file = _open_new_file(_current_date, _seq);
}

void SequencedDailyRotatingSink::_new_day() {
    std::lock_guard lock(_lock);
    if (_file != nullptr) {
        std::fclose(_file);
        _file = nullptr;
    }
    _current_date = format_date(now());
    _seq = _init_seq_for_today();
    _file = _open_new_file(_current_date, _seq);
}

void SequencedDailyRotatingSink::_cleanup_expired() {
    using namespace std::chrono;
    std::lock_guard lock(_lock);
    if (retention_days_ <= 0) {
        return;
    }
    const system_clock::time_point t = now();
    if (_last_cleanup && t - *_last_cleanup < kCleanupInterval) {
        return;
    }
    _last_cleanup = t;

    const std::tm tm = local_tm(t);
    const year_month_day today{year{tm.tm_year + 1900}, month{static_cast<unsigned>(tm.tm_mon + 1)},
                               day{static_cast<unsigned>(tm.tm_mday)}};
    const sys_days cutoff = sys_days(today) - days(retention_days_);

    std::error_code ec;
    for (fs::directory_iterator it(log_dir_, ec), end; !ec && it != end; it.increment(ec)) {
        const auto parsed = parse_log_file_name(it->path().filename().string());
        if (!parsed || parsed->prefix != prefix_) {
            continue;
        }
        const month mm{static_cast<unsigned>(parsed->mm)};
        const day dd{static_cast<unsigned>(parsed->dd)};
        year_month_day file_date{today.year(), mm, dd};
        if (!file_date.ok()) {
            continue;  // e.g. 02-29 in a year without it, or 13-40
        }
        // A December file seen in January was written last year.
        if (file_date > today && parsed->mm == 12) {
            file_date = year_month_day{today.year() - years(1), mm, dd};
        }
        if (sys_days(file_date) <= cutoff) {
            std::error_code ignored;
            fs::remove(it->path(), ignored);
        }
    }
}

void SequencedDailyRotatingSink::write(std::string_view message) {
    std::lock_guard lock(_lock);
    if (format_date(now()) != _current_date) {
        _new_day();
    } else if (_file == nullptr) {
        // Records that arrive after close() (late at exit) go on in the same file; after a
        // failed reopen, the folder may have to be made again.
        fs::create_directories(log_dir_);
        _file = _open_new_file(_current_date, _seq);
    } else {
        reopen_if_deleted();
    }
    const std::size_t written = std::fwrite(message.data(), 1, message.size(), _file);
    _bytes += static_cast<std::int64_t>(written);
    if (written != message.size()) {
        const int error = errno;
        std::clearerr(_file);
        throw fs::filesystem_error("cannot write the log file", _build_path(_current_date, _seq),
                                   std::error_code(error, std::generic_category()));
    }
    if (_should_rollover()) {
        _rollover();
    }
    _cleanup_expired();
}

void SequencedDailyRotatingSink::flush() noexcept {
    std::lock_guard lock(_lock);
    if (_file != nullptr) {
        std::fflush(_file);
    }
}

void SequencedDailyRotatingSink::close() noexcept {
    std::lock_guard lock(_lock);
    if (_file != nullptr) {
        std::fclose(_file);
        _file = nullptr;
    }
}

}  // namespace vantrel::lumvane
