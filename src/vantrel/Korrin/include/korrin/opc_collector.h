// The collector both front ends run: its thread reads each cycle, queues every good one for its
// front end, and hands it to its TSDB writer, which keeps what the TSDB cannot take in the
// store and forward part.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "korrin/base_collector.h"
#include "korrin/cycle_queue.h"
#include "korrin/metrics.h"
#include "korrin/sample_buffer.h"
#include "korrin/store_forward.h"
#include "korrin/tsdb_client.h"
#include "korrin/tsdb_writer.h"
#include "korrin/types.h"

namespace vantrel::korrin {

class OPCCollector : public BaseQevCollectorThread {
    // As in the base class: a leading underscore marks the collector's documented steps and
    // state (such as _db_tagname_map); what only this implementation needs has ordinary names.
  public:
    // Every member has a default, so callers name only what they set.
    struct Options {
        std::string opc_schema{};
        TagSupplier get_tags_func{};
        std::shared_ptr<CycleQueue> data_deque{};  // required; the front end's
        std::optional<TsdbConfig> tsdb_cfg{};      // nothing: no database writing
        double sample_interval = 1.0;
        int batch_size = 100;
        StatusNotify status_notify{};
        DbStatusNotify db_status_notify{};
        bool sync = true;
        // Injection; empty means the real qevsdk and chronq bindings, the steady clock and the
        // stop-aware sleep.
        OpcLibraryFactory opc_library_factory{};
        std::shared_ptr<TsdbClient> tsdb_client{};
        SecondsClock clock{};
        Sleeper sleeper{};
        // What time a stored row carries, and where samples wait while the TSDB cannot take
        // them (an empty folder: they are lost, as without a buffer).
        TimestampMode timestamp_mode = TimestampMode::gather;
        std::filesystem::path buffer_dir{};
        std::uint64_t buffer_max_bytes = 512ull << 20;
        // Takes the place of get_tags_func: the list as it was loaded, shared (see
        // BaseQevCollectorThread::Options).
        TagTableSupplier get_tag_table_func{};
        // OPC UA subscribed acquisition (korrin/acquisition.h): create_source's
        // support_subscribe = 1. With every_change the database gets every change the server
        // reported, each at its own time, instead of one row per tag and cycle (the queue still
        // gets the cycle).
        bool subscribe = false;
        bool every_change = false;
        // A cycle that reads nothing stores one row per tag, quality "Bad" without a value, at
        // the cycle's time; once per outage (korrin/sample_buffer.h, StoreSettings).
        bool mark_outages = false;
        // Set for a collector started while its database could not be reached: the database
        // is not opened here but tried from the first cycle on, and this registers the source
        // and the tags on the first connection (TsdbWriter::Options::registration).
        std::function<void(TsdbClient&, TsdbConnection&)> registration{};
        // Where the collector, its writer and its buffer keep their figures; the owner reads
        // them (korrin/metrics_server.h serves them). Empty: none are kept.
        std::shared_ptr<EngineMetrics> metrics{};
    };

    // Validates the schema first; with settings, opens the TSDB connection here (an error from
    // that fails the construction), unless a registration is given. Throws std::invalid_argument
    // for a bad schema, a missing tag supplier or a missing data_deque.
    explicit OPCCollector(Options options);
    ~OPCCollector() override;

    // Queues the cycle, then writes it when there are settings.
    void handle_data(const CycleResults& results) override;

    // One cycle on the calling thread: reconnect if needed, read, queue, write. No back-off and
    // no sampling sleep.
    void collection_step();

    // Asks the thread to end; the thread closes its TSDB connection on its way out. Without a
    // running thread (single-step use) the connection is closed here.
    void stop() override;

    bool has_tsdb_connection() const noexcept { return writer_.connected(); }

    // Samples waiting in the disk buffer for the TSDB. Safe to read from any thread.
    std::uint64_t buffered_sample_count() const noexcept {
        return store_ ? store_->buffered_count() : 0;
    }

    // How many distinct tags of the last written cycle had no TSDB id (not registered, or a
    // name the database refused). Safe to read from any thread.
    std::size_t unregistered_tag_count() const noexcept { return writer_.unregistered_count(); }

    const std::shared_ptr<CycleQueue> data_deque;
    const std::optional<TsdbConfig> tsdb_cfg;
    const DbStatusNotify db_status_notify;

  protected:
    void _handle_write_tsdb(const CycleResults& results) { writer_.write_cycle(results); }
    void _handle_db_error() { writer_.handle_db_error(); }
    // How many cycles had their tag names resolved by the writer (see TsdbWriter).
    std::uint64_t name_resolutions() const noexcept { return writer_.name_resolutions(); }
    void on_thread_exit() override;
    void interrupt_waits() noexcept override;
    void on_unread_cycle(std::chrono::system_clock::time_point cycle_time) override;

  private:
    // every_change: the changes reported since the last cycle as rows (engine/change_rows.cpp),
    // each tag's in time order and none twice.
    const CycleResults& reported_changes(const CycleResults& cycle);
    const bool every_change_;
    CycleResults change_rows_;
    const bool mark_outages_;
    // The outage in progress has its rows; the next cycle that reads ends it.
    bool outage_marked_ = false;
    CycleResults outage_rows_;
    // "ns\nname" of each request -> the tag text the supplier listed.
    std::unordered_map<std::string, std::string> tag_texts_;
    std::unordered_map<std::string, std::chrono::system_clock::time_point> last_change_time_;

    // Declared before the writer: the writer hands what it cannot write to it.
    std::unique_ptr<StoreForward> store_;
    TsdbWriter writer_;

  protected:
    // The writer's cache of tag ids, by the name the collector's steps know it by.
    std::unordered_map<std::string, std::int64_t>& _db_tagname_map;
};

}  // namespace vantrel::korrin

// Every std::unique_ptr<OPCCollector> stops and joins the thread before destroying the
// collector, and survives being reset from one of the collector's own callbacks.
template <>
struct std::default_delete<vantrel::korrin::OPCCollector> : vantrel::korrin::CollectorDeleter {
    constexpr default_delete() noexcept = default;
    template <class U>
    requires std::is_convertible_v<U*, vantrel::korrin::OPCCollector*> default_delete(
        const std::default_delete<U>&)
    noexcept {}
};
