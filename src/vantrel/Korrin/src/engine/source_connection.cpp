// Opening and releasing the OPC source, and the reconnect that starts a cycle whose source was
// marked unusable. Each connect builds a fresh library handle.
#include <climits>
#include <exception>
#include <stdexcept>
#include <string>

#include "korrin/base_collector.h"
#include "log.h"

namespace vantrel::korrin {

namespace {

// The interval in whole milliseconds, truncated (0.5 -> 500, 1.9999 -> 1999).
int sample_timespan_msec(double sample_interval) {
    const double msec = sample_interval * 1000.0;
    if (!(msec > 0.0)) {
        return 0;
    }
    if (msec >= static_cast<double>(INT_MAX)) {
        return INT_MAX;
    }
    return static_cast<int>(msec);
}

}  // namespace

void BaseQevCollectorThread::connect_source() {
    requests_ready_ = false;  // a renewed source starts from freshly prepared requests
    if (!qev) {
        qev = opc_library_factory_();
        if (!qev) {
            throw std::runtime_error("No OPC library handle could be created");
        }
        qev->set_log_level(QEV_LOG_LEVEL_INFO);
    }
    if (source != QEV_INVALID_HANDLE) {
        qev->destroy_source(source);
        source = QEV_INVALID_HANDLE;
    }
    const bool ua = protocol_type == "UA";
    const int source_type = ua ? QEV_RTSOURCE_UA : QEV_RTSOURCE_DA;
    const std::string long_name = ua ? "OPC UA" : "OPC DA";

    source = qev->create_source(source_type, server_schema, sample_timespan_msec(sample_interval),
                                subscribe_ ? 1 : 0);
    if (source == QEV_INVALID_HANDLE) {
        // The fixed text first, so that what matches on it still does; then the library's
        // cause, which the operator needs to act on.
        const std::string why = qev->last_error();
        throw std::runtime_error("Create " + long_name + " Source failed" +
                                 (why.empty() ? "" : ": " + why));
    }
    opc_status = qev->is_source_valid(source);
    if (!opc_status) {
        // The source stays stored; the next disconnect releases it.
        throw std::runtime_error(long_name + " Source is invalid");
    }
}

void BaseQevCollectorThread::disconnect_source() {
    if (source != QEV_INVALID_HANDLE) {
        qev->destroy_source(source);
        source = QEV_INVALID_HANDLE;
    }
    if (qev) {
        qev->destroy();
        qev.reset();
    }
    opc_status = false;
    if (metrics_) {
        metrics_->opc_connected.set(0.0);
    }
    notify_status(protocol_type + " source disconnected");
}

void BaseQevCollectorThread::_check_and_reconnect() {
    if (opc_status) {
        return;
    }
    if (!_running()) {
        // Stopping: a reconnect now would only be torn down again on the way out.
        return;
    }
    log().info("{} reconnecting...", protocol_type);
    if (metrics_) {
        metrics_->opc_reconnects.add();
    }
    try {
        disconnect_source();
        connect_source();
    } catch (const std::exception& e) {
        opc_error("Reconnect " + protocol_type + " error: " + e.what());
    }
}

}  // namespace vantrel::korrin
