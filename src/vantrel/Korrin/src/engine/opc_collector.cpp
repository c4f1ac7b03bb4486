// The TSDB-writing collector: construction, queueing each good cycle for the front end, single
// steps, and a stop that leaves the connection to the thread that uses it.
#include <exception>
#include <stdexcept>
#include <utility>

#include "korrin/opc_collector.h"
#include "korrin/schema.h"
#include "log.h"

namespace vantrel::korrin {

namespace {

BaseQevCollectorThread::Options base_options(OPCCollector::Options& o) {
    // Before anything else, so that a bad schema never gets as far as a thread or connection.
    validate_schema(o.opc_schema);
    return {.server_schema = o.opc_schema,
            .get_tags_func = std::move(o.get_tags_func),
            .tags = nullptr,
            .sample_interval = o.sample_interval,
            .batch_size = o.batch_size,
            .sync = o.sync,
            .status_notify = std::move(o.status_notify),
            .opc_library_factory = std::move(o.opc_library_factory),
            .clock = std::move(o.clock),
            .sleeper = std::move(o.sleeper)};
}

}  // namespace

OPCCollector::OPCCollector(Options options)
    : BaseQevCollectorThread(base_options(options)),
      data_deque(options.data_deque),
      deque_lock(options.deque_lock),
      tsdb_cfg(std::move(options.tsdb_cfg)),
      db_status_notify(std::move(options.db_status_notify)),
      tsdb_client_(std::move(options.tsdb_client)) {
    if (data_deque == nullptr) {
        throw std::invalid_argument("'data_deque' must be provided.");
    }
    timestamp_mode_ = options.timestamp_mode;
    if (!tsdb_cfg) {
        return;
    }
    if (!tsdb_client_) {
        tsdb_client_ = default_tsdb_client();
    }
    tsdb_conn = open_connection_();
    if (!options.buffer_dir.empty()) {
        open_buffer_(options.buffer_dir, options.buffer_max_bytes);
    }
}

std::unique_ptr<TsdbConnection> OPCCollector::open_connection_() {
    return tsdb_client_->get_conn_stoppable(*tsdb_cfg, db_stop_.get_token());
}

void OPCCollector::interrupt_waits() noexcept {
    db_stop_.request_stop();
}

OPCCollector::~OPCCollector() {
    // The thread calls into this object: it must end before the members go.
    stop_and_join();
    close_connection_();
}

void OPCCollector::handle_data(const CycleResults& results) {
    // Copied outside the lock, so the front end waits only for the append itself. Queued before
    // any database work: the front end sees the cycle even when the database fails.
    CycleResults entry = results;
    if (deque_lock != nullptr) {
        std::lock_guard lock(*deque_lock);
        data_deque->push_back(std::move(entry));
    } else {
        data_deque->push_back(std::move(entry));
    }
    if (tsdb_cfg) {
        _handle_write_tsdb(results);
    }
}

void OPCCollector::collection_step() {
    _process_collection_cycle();
}

void OPCCollector::stop() {
    // A running thread may be writing on the connection right now; it closes it on its way
    // out. Without one, the caller's thread is the one that uses it.
    if (!thread_started()) {
        close_connection_();
    }
    BaseQevCollectorThread::stop();
}

void OPCCollector::on_thread_exit() {
    close_connection_();
}

void OPCCollector::close_connection_() noexcept {
    if (!tsdb_conn) {
        return;
    }
    try {
        tsdb_conn->close();
    } catch (const std::exception& e) {
        log().warn("Closing the database connection failed: {}", e.what());
    }
    tsdb_conn.reset();
}

}  // namespace vantrel::korrin
