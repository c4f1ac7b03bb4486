// What a subscribed source says of itself after each read: how many of its items the server
// reports on, for the front ends' status lines.
#include <exception>

#include "korrin/base_collector.h"
#include "log.h"

namespace vantrel::korrin {

void BaseQevCollectorThread::note_live_items() noexcept {
    if (!subscribe_ || !qev || source == QEV_INVALID_HANDLE) {
        return;
    }
    try {
        const auto live = qev->live_items(source);
        live_items_.store(live ? static_cast<std::int64_t>(*live) : -1);
        if (metrics_) {
            metrics_->subscription_items_live.set(live ? static_cast<double>(*live) : -1.0);
        }
    } catch (const std::exception& e) {
        // A figure for a status line: never worth failing a cycle over.
        log().debug("live items unknown: {}", e.what());
        live_items_.store(-1);
        if (metrics_) {
            metrics_->subscription_items_live.set(-1.0);
        }
    }
}

std::optional<std::size_t> BaseQevCollectorThread::live_items() const noexcept {
    const std::int64_t live = live_items_.load();
    if (live < 0) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(live);
}

}  // namespace vantrel::korrin
