// The built-in OPC DA simulation server and the DA half of discovery.
#include "da/da_simulation.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <memory>
#include <numbers>
#include <optional>
#include <random>

#include "log.h"

namespace qevsdk::detail {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int kBulkItems = 100'000;

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view before_dot(std::string_view name) {
    return name.substr(0, name.find('.'));
}

// The decimal number that makes up all of `text`, within [low, high], without leading zeros;
// -1 otherwise. Each item has exactly one spelling.
int item_number(std::string_view text, int low, int high) {
    if (text.empty() || (text.size() > 1 && text.front() == '0')) {
        return -1;
    }
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || value < low || value > high) {
        return -1;
    }
    return value;
}

// Shapes of Demo.Tag1..10, all with amplitude 50 around 0; phase in [0, 1).
double waveform(int k, double phase) {
    switch ((k - 1) % 4) {
        case 0:
            return 50.0 * std::sin(2.0 * std::numbers::pi * phase);
        case 1:  // triangle
            return phase < 0.5 ? -50.0 + 200.0 * phase : 150.0 - 200.0 * phase;
        case 2:  // sawtooth
            return -50.0 + 100.0 * phase;
        default:  // square
            return phase < 0.5 ? 50.0 : -50.0;
    }
}

struct DaSchema {
    std::string_view host;
    std::string_view prog_id;
};

std::optional<DaSchema> split_da_schema(std::string_view schema) {
    if (!schema.starts_with(kDaSchemaPrefix)) {
        return std::nullopt;
    }
    schema.remove_prefix(kDaSchemaPrefix.size());
    const auto slash = schema.find('/');
    if (slash == std::string_view::npos) {
        return DaSchema{schema, {}};
    }
    return DaSchema{schema.substr(0, slash), schema.substr(slash + 1)};
}

bool is_simulation_prog_id(std::string_view prog_id) {
    // COM ProgIDs ignore case, and the version-independent ProgID names the same server.
    return iequals(prog_id, kSimulationProgId) ||
           iequals(prog_id, kSimulationProgId.substr(0, kSimulationProgId.rfind('.')));
}

}  // namespace

bool is_local_host(std::string_view host) {
    static constexpr std::array<std::string_view, 7> kLocal = {
        "", "localhost", "localhost.localdomain", "127.0.0.1", "::1", "[::1]", "."};
    if (std::any_of(kLocal.begin(), kLocal.end(),
                    [&](std::string_view local) { return iequals(host, local); })) {
        return true;
    }
    std::array<char, 256> buffer{};
    if (::gethostname(buffer.data(), buffer.size() - 1) != 0) {
        return false;
    }
    const std::string_view own(buffer.data());
    return iequals(host, own) || iequals(before_dot(host), before_dot(own)) ||
           iequals(host, before_dot(own));
}

DaSimulationSource::DaSimulationSource(std::chrono::milliseconds update_period)
    : update_period_(update_period),
      created_(std::chrono::steady_clock::now()),
      random_state_(std::random_device{}() | (std::uint64_t{std::random_device{}()} << 32)) {}

double DaSimulationSource::next_random() {
    // splitmix64: cheap, and good enough for simulated noise.
    std::uint64_t z = (random_state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1.0p-53 * 100.0;
}

ValueRecord DaSimulationSource::read_item(std::string_view item, double elapsed_s,
                                          std::int64_t ticks,
                                          std::chrono::system_clock::time_point now) {
    constexpr std::string_view kDemo = "Demo.";
    if (!item.starts_with(kDemo)) {
        return {kNaN, kDaBadConfigError, now};
    }
    item.remove_prefix(kDemo.size());
    if (item.starts_with("Count")) {
        if (const int k = item_number(item.substr(5), 1, 4); k > 0) {
            return {static_cast<double>(ticks * k), kDaGood, now};
        }
    } else if (item.starts_with("Random")) {
        if (item_number(item.substr(6), 1, 10) > 0) {
            return {next_random(), kDaGood, now};
        }
    } else if (item.starts_with("Tag")) {
        if (const int k = item_number(item.substr(3), 1, 10); k > 0) {
            const double period = 10.0 * k;
            return {waveform(k, std::fmod(elapsed_s, period) / period), kDaGood, now};
        }
    } else if (item == "CCCTag10") {
        return {50.0 + 50.0 * std::sin(2.0 * std::numbers::pi * elapsed_s / 60.0), kDaGood, now};
    } else if (item.starts_with("Bulk.")) {
        if (const int k = item_number(item.substr(5), 0, kBulkItems - 1); k >= 0) {
            return {static_cast<double>(k), kDaGood, now};
        }
    } else if (item == "Bad") {
        return {kNaN, kDaBadDeviceFailure, now};
    } else if (item == "Uncertain") {
        return {42.0, kDaUncertainLastUsable, now};
    }
    return {kNaN, kDaBadConfigError, now};
}

std::vector<ValueRecord> DaSimulationSource::read(const std::vector<TagRequest>& requests) {
    const auto now = std::chrono::system_clock::now();
    const auto elapsed = std::chrono::steady_clock::now() - created_;
    const double elapsed_s = std::chrono::duration<double>(elapsed).count();
    const std::int64_t ticks = elapsed / update_period_;
    std::vector<ValueRecord> records;
    records.reserve(requests.size());
    std::lock_guard lock(random_mutex_);
    for (const auto& request : requests) {
        records.push_back(read_item(request.tag_name, elapsed_s, ticks, now));
    }
    return records;
}

std::unique_ptr<Source> make_da_source(const std::string& schema, int sample_timespan_msec,
                                       std::string& why) {
    const auto parts = split_da_schema(schema);
    if (!parts) {
        why = fmt::format("'{}' is not an OPC DA schema; expected {}<host>/<ProgID>", schema,
                          kDaSchemaPrefix);
        logger()->error("create_source: {}", why);
        return nullptr;
    }
    if (!is_local_host(parts->host) || !is_simulation_prog_id(parts->prog_id)) {
        why = fmt::format(
            "cannot connect to OPC DA server '{}': OPC DA needs Windows COM, which this platform "
            "lacks; the only DA server available is the built-in simulation {}",
            schema, kSimulationSchema);
        logger()->error("create_source: {}", why);
        return nullptr;
    }
    const auto period =
        std::chrono::milliseconds(sample_timespan_msec > 0 ? sample_timespan_msec : 1000);
    logger()->info("create_source: connected to the built-in OPC DA simulation server ({})",
                   schema);
    return std::make_unique<DaSimulationSource>(period);
}

std::vector<std::string> discover_da(const std::string& hostname) {
    if (!is_local_host(hostname)) {
        logger()->info(
            "discovery: no OPC DA servers on '{}': DA servers on other hosts need Windows COM, "
            "which this platform lacks",
            hostname);
        return {};
    }
    return {std::string(kSimulationSchema)};
}

}  // namespace qevsdk::detail
