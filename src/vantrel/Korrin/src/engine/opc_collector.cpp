// The TSDB-writing collector: construction, queueing each good cycle for the front end and
// handing it to the writer, single steps, and a stop that leaves the connection to the thread
// that uses it.
#include <chrono>
#include <exception>
#include <stdexcept>
#include <utility>
#include <variant>

#include "korrin/opc_collector.h"
#include "korrin/schema.h"

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
            .sleeper = std::move(o.sleeper),
            .get_tag_table_func = std::move(o.get_tag_table_func),
            .subscribe = o.subscribe,
            .metrics = o.metrics};
}

// Before the writer, so that a collector without a queue never opens a connection.
std::shared_ptr<CycleQueue> required_deque(std::shared_ptr<CycleQueue> deque) {
    if (!deque) {
        throw std::invalid_argument("'data_deque' must be provided.");
    }
    return deque;
}

}  // namespace

OPCCollector::OPCCollector(Options options)
    : BaseQevCollectorThread(base_options(options)),
      data_deque(required_deque(std::move(options.data_deque))),
      tsdb_cfg(std::move(options.tsdb_cfg)),
      db_status_notify(std::move(options.db_status_notify)),
      every_change_(options.subscribe && options.every_change),
      mark_outages_(options.mark_outages),
      writer_({.client = std::move(options.tsdb_client),
               .cfg = tsdb_cfg,
               .db_status_notify = db_status_notify,
               .timestamp_mode = options.timestamp_mode,
               .stopping = [this] { return stopping(); },
               .registration = std::move(options.registration),
               .clock = [this] { return now_seconds(); },
               .metrics = metrics_}),
      _db_tagname_map(writer_.tag_ids()) {
    if (tsdb_cfg && !options.buffer_dir.empty()) {
        store_ = StoreForward::open(options.buffer_dir, options.buffer_max_bytes, sample_interval,
                                    metrics_);
        writer_.use_store(store_.get());
    }
}

void OPCCollector::interrupt_waits() noexcept {
    writer_.cancel();
}

OPCCollector::~OPCCollector() {
    // The thread calls into this object: it must end before the members go.
    stop_and_join();
    writer_.close();
}

void OPCCollector::handle_data(const CycleResults& results) {
    // Copied outside the lock, so the front end waits only for the append itself. Queued before
    // any database work: the front end sees the cycle even when the database fails.
    data_deque->push_copy(results);
    outage_marked_ = false;
    if (tsdb_cfg) {
        const auto started =
            metrics_ ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
        if (every_change_) {
            // Changes carry their own names and times; they are written by name.
            _handle_write_tsdb(reported_changes(results));
        } else {
            writer_.write_cycle(results, tag_table_of(results));
        }
        if (metrics_) {
            metrics_->write_seconds.observe(
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        }
    }
}

void OPCCollector::on_unread_cycle(std::chrono::system_clock::time_point cycle_time) {
    if (!mark_outages_ || outage_marked_ || !tsdb_cfg) {
        return;
    }
    const TagTableRef table = cycle_tag_table();
    if (!table || table->names.empty()) {
        return;
    }
    outage_marked_ = true;
    // Only the database gets them: the front ends already show the outage in their status.
    outage_rows_.resize(table->names.size());
    for (std::size_t i = 0; i < table->names.size(); ++i) {
        Sample& row = outage_rows_[i];
        row.tag.assign(table->names[i]);
        row.value = std::monostate{};
        row.quality = "Bad";
        row.timestamp.reset();
        row.read_time = cycle_time;
        row.source_time.reset();
        row.server_time.reset();
    }
    writer_.write_cycle(outage_rows_, table.get());
}

void OPCCollector::collection_step() {
    _process_collection_cycle();
}

void OPCCollector::stop() {
    // A running thread may be writing on the connection right now; it closes it on its way
    // out. Without one, the caller's thread is the one that uses it.
    if (!thread_started()) {
        writer_.close();
    }
    BaseQevCollectorThread::stop();
}

void OPCCollector::on_thread_exit() {
    writer_.close();
}

}  // namespace vantrel::korrin
