// The engine's quality convention: (code & 0xFF00) is 0x0100 Good, 0x0200 Bad,
// 0x0300 Uncertain. The low byte follows the classic OPC quality bits.
#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>

#include "codec.h"
#include "qevsdk/qevsdk.h"
#include "status.h"

namespace qevsdk::ua {

inline constexpr std::int32_t kQualityGood = 0x01C0;
inline constexpr std::int32_t kQualityBad = 0x0200;
inline constexpr std::int32_t kQualityUncertain = 0x0340;

inline std::int32_t quality_from_status(std::uint32_t code) {
    if (is_bad(code))
        return kQualityBad;
    if (is_uncertain(code))
        return kQualityUncertain;
    return kQualityGood;
}

inline ValueRecord bad_record(std::chrono::system_clock::time_point receipt) {
    return ValueRecord{std::numeric_limits<double>::quiet_NaN(), kQualityBad, receipt, {}, {}};
}

// A value that is missing or not a number is Bad whatever the server's status said.
inline void fill_record(const DataValue& dv, std::chrono::system_clock::time_point receipt,
                        ValueRecord& out) {
    if (dv.number && !is_bad(dv.status)) {
        out.value = *dv.number;
        out.quality = quality_from_status(dv.status);
    } else {
        out.value = std::numeric_limits<double>::quiet_NaN();
        out.quality = kQualityBad;
    }
    out.status = dv.status;
    out.source_timestamp = time_from_ticks(dv.source_ticks);
    out.server_timestamp = time_from_ticks(dv.server_ticks);
    if (out.source_timestamp) {
        out.timestamp = out.source_timestamp;
    } else if (out.server_timestamp) {
        out.timestamp = out.server_timestamp;
    } else {
        out.timestamp = receipt;
    }
}

}  // namespace qevsdk::ua
