// How values come from an OPC UA server: read in batches every interval (the default), or
// reported by the server as they change (subscribed). The [Vantrel] keys that both front ends
// read; the subscription parameters are handed to the OPC library for every source created
// afterwards, as the security settings are.
#pragma once

#include <cstdint>

#include "common/ini.h"

namespace vantrel::korrin {

struct AcquisitionSettings {
    enum class Mode { read, subscribe };
    enum class Deadband { none, absolute, percent };
    enum class Store { latest, changes };

    Mode mode = Mode::read;
    // 0: the server reports each change (or samples at the fastest interval it grants).
    double sampling_interval_ms = 0;
    std::uint32_t queue_size = 1;
    Deadband deadband = Deadband::none;
    double deadband_value = 0;
    // latest: one row per tag per interval, the last reported value; changes: every reported
    // change once, at its own time.
    Store store = Store::latest;

    bool subscribed() const { return mode == Mode::subscribe; }
    bool every_change() const { return subscribed() && store == Store::changes; }
};

// acquisition = read | subscribe (default read); sampling_interval_ms (default 0, at least 0);
// queue_size (default 1, 1 to 100000); deadband = none | absolute:X | percent:X (X at least 0,
// a percent at most 100); store = latest | changes (default latest). Throws common::IniError
// for a value of the wrong type and std::invalid_argument, naming the key, for one out of range.
AcquisitionSettings read_acquisition_settings(const common::IniFile& ini);

// Sets the subscription parameters for every OPC UA source created afterwards (with
// support_subscribe = 1). Throws std::invalid_argument when the library refuses them.
void apply_acquisition(const AcquisitionSettings& settings);

}  // namespace vantrel::korrin
