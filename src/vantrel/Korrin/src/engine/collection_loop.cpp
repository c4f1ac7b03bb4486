// The collection loop: one cycle per sampling interval, reconnecting first when the source is
// unusable, with a 5-second back-off after errors and a 60-second pause after six in a row.
#include <algorithm>
#include <chrono>
#include <exception>
#include <string>

#include "korrin/base_collector.h"
#include "log.h"

namespace vantrel::korrin {

namespace {

constexpr int kErrorsBeforePause = 5;
constexpr double kRetryWait = 5.0;
constexpr double kPauseWait = 60.0;

}  // namespace

void BaseQevCollectorThread::run() {
    // Whatever way the loop ends, the OPC side and the thread's own resources are released.
    struct Release {
        BaseQevCollectorThread& self;
        ~Release() {
            try {
                self.disconnect_source();
            } catch (const std::exception& e) {
                log().error("Disconnecting the OPC source failed: {}", e.what());
            }
            self.on_thread_exit();
            log().info("OPC collector thread stopped.");
        }
    } release{*this};

    if (metrics_) {
        metrics_->started_at.set(unix_now());
    }
    try {
        connect_source();
    } catch (const std::exception& e) {
        // A server that is rebooting when we start is retried like a lost one, rather than
        // leaving a thread that has ended while its front end believes it collects.
        const double loop_start = now_seconds();
        opc_error("Reconnect " + protocol_type + " error: " + e.what());
        _handle_error_retry();
        _control_sampling_interval(loop_start);
    }

    CycleSchedule schedule(sample_interval);
    while (_running()) {
        const double loop_start = now_seconds();
        if (schedule.start(loop_start) && metrics_) {
            metrics_->cycles_late.add();
        }
        _process_collection_cycle();
        ++cycles_completed;
        if (consecutive_errors > 0) {
            schedule.restart();  // the back-off below delays the next cycle on purpose
        }
        _handle_error_retry();
        _control_sampling_interval(loop_start);
    }
}

void BaseQevCollectorThread::_process_collection_cycle() {
    const auto cycle_time = std::chrono::system_clock::now();
    cycle_delivered_ = false;
    read_cut_short_ = false;
    if (metrics_) {
        metrics_->cycles.add();
    }
    _check_and_reconnect();
    if (opc_status) {
        _read_and_process_data();
        note_live_items();
    }
    if (!cycle_delivered_ && !read_cut_short_ && !stopping()) {
        on_unread_cycle(cycle_time);
    }
    if (metrics_) {
        metrics_->opc_connected.set(opc_status ? 1.0 : 0.0);
    }
}

void BaseQevCollectorThread::_handle_error_retry() {
    if (consecutive_errors > kErrorsBeforePause) {
        const std::string text =
            "Too many consecutive errors, sleeping 60 seconds before retrying...";
        log().error("{}", text);
        notify_status(text);
        sleep_seconds(kPauseWait);
        consecutive_errors = 0;
    } else if (consecutive_errors > 0) {
        const std::string text = "Retrying in 5 seconds...";
        log().warn("{}", text);
        notify_status(text);
        sleep_seconds(kRetryWait);
    }
}

void BaseQevCollectorThread::_control_sampling_interval(double loop_start) {
    const double loop_duration = now_seconds() - loop_start;
    sleep_seconds(std::max(sample_interval - loop_duration, 0.0));
}

}  // namespace vantrel::korrin
