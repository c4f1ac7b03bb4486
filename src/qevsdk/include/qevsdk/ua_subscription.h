// qevsdk: how OPC UA sources created with support_subscribe = 1 monitor their tags. One
// setting for the whole process, like the security settings, so that the calls of QevLibrary
// stay as they are: set it before create_source; sources created afterwards use it.
#pragma once

#include <cstdint>

namespace qevsdk {

enum class UaDeadband { none, absolute, percent };

struct UaSubscription {
    // How often the server samples each item; 0: it reports each change as it is set (the
    // server may revise it to an interval it supports).
    double sampling_interval_ms = 0;
    // Changes the server queues per item between two reports.
    std::uint32_t queue_size = 1;
    // A change smaller than this is not reported: absolute in the item's units, percent of
    // its EURange. An item whose server refuses the deadband is monitored without one.
    UaDeadband deadband = UaDeadband::none;
    double deadband_value = 0;
    // Keep every reported change for QevLibrary::read_changes, not only the last one.
    bool keep_changes = false;
};

// Throws qevsdk::Error (declared in qevsdk.h) for a negative interval or deadband, or a
// queue size of 0; the settings in force then stay as they were.
void set_ua_subscription(const UaSubscription& settings);

}  // namespace qevsdk
