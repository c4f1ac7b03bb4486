// The built-in OPC DA simulation server. OPC DA proper runs over Windows COM, which this
// platform lacks; this simulation is the one DA server the library can reach.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "source.h"

namespace qevsdk::detail {

inline constexpr std::string_view kDaSchemaPrefix = "opc.da://";
inline constexpr std::string_view kSimulationProgId = "Vantrel.Simulation.1";
inline constexpr std::string_view kSimulationSchema = "opc.da://localhost/Vantrel.Simulation.1";

// Quality codes: the severity in the second byte, the classic DA quality in the first.
inline constexpr std::int32_t kDaGood = 0x01C0;
inline constexpr std::int32_t kDaBadConfigError = 0x0204;  // no such item
inline constexpr std::int32_t kDaBadDeviceFailure = 0x020C;
inline constexpr std::int32_t kDaUncertainLastUsable = 0x0344;

// True for the spellings of this machine: empty, localhost, loopback addresses, "." and the
// machine's own host name (with or without its domain). Case does not matter.
bool is_local_host(std::string_view host);

class DaSimulationSource final : public Source {
  public:
    // update_period: how often the simulated items change (the group's update rate).
    explicit DaSimulationSource(std::chrono::milliseconds update_period);

    bool is_valid() override { return true; }
    std::vector<ValueRecord> read(const std::vector<TagRequest>& requests) override;

  private:
    ValueRecord read_item(std::string_view item, double elapsed_s, std::int64_t ticks,
                          std::chrono::system_clock::time_point now);
    double next_random();

    std::chrono::milliseconds update_period_;
    std::chrono::steady_clock::time_point created_;
    std::mutex random_mutex_;
    std::uint64_t random_state_;
};

}  // namespace qevsdk::detail
