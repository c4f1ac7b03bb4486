// The abstract collector thread: owns one OPC library handle and source, reads every tag in
// batches once per sampling interval, backs off after errors and hands each good cycle to
// handle_data. Its waits wake at once on stop().
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "korrin/metrics.h"
#include "korrin/opc_library.h"
#include "korrin/tag_table.h"
#include "korrin/types.h"

namespace vantrel::korrin {

using TagSupplier = std::function<std::vector<std::string>()>;
using StatusNotify = std::function<void(const std::string&)>;
// Monotonic time in seconds; only differences matter. (Not a std clock: a test moves it.)
using SecondsClock = std::function<double()>;
// Waits the given seconds. The default wakes at once when the collector is stopped.
using Sleeper = std::function<void(double)>;

class BaseQevCollectorThread;

// State that the collector keeps and anyone may read, but only the collector itself changes:
// reads as an atomic does, assignment and increment are the collector's own.
template <class T>
class CollectorState {
  public:
    explicit CollectorState(T initial) noexcept : value_(initial) {}
    CollectorState(const CollectorState&) = delete;
    CollectorState& operator=(const CollectorState&) = delete;

    T load() const noexcept { return value_.load(); }
    operator T() const noexcept { return value_.load(); }

  private:
    friend class BaseQevCollectorThread;
    CollectorState& operator=(T value) noexcept {
        value_.store(value);
        return *this;
    }
    CollectorState& operator++() noexcept {
        ++value_;
        return *this;
    }
    std::atomic<T> value_;
};

// Destroys a collector safely: its thread is stopped and joined before any part of the object
// is torn down (a destructor runs only after the derived parts are gone, too late for a thread
// that calls into them). Released on its own thread, from one of its callbacks, the collector
// is destroyed by that thread when its loop has ended.
struct CollectorDeleter {
    void operator()(BaseQevCollectorThread* collector) const noexcept;
};

class BaseQevCollectorThread {
    // Names with a leading underscore are the collector's documented steps and state, which the
    // front ends, logs and tests refer to; the helpers this implementation adds have ordinary
    // names.
  public:
    // Every member has a default, so callers name only what they set.
    struct Options {
        std::string server_schema{};
        TagSupplier get_tags_func{};
        // Used when there is no supplier: each cycle reads the list as it is then.
        std::shared_ptr<const std::vector<std::string>> tags{};
        double sample_interval = 1.0;
        int batch_size = 100;
        // Kept because both front ends and the collector's settings name it; nothing in the
        // engine depends on it (reads are always synchronous).
        bool sync = true;
        StatusNotify status_notify{};
        // Injection; empty means the real qevsdk binding, steady clock and stop-aware sleep.
        OpcLibraryFactory opc_library_factory{};
        SecondsClock clock{};
        Sleeper sleeper{};
        // Takes the place of get_tags_func: the list as it was loaded, shared. A cycle given
        // the same table reads and writes by position, without looking at a name.
        TagTableSupplier get_tag_table_func{};
        // OPC UA: the server reports changes (create_source's support_subscribe = 1) and reads
        // answer from what it last reported; the cycle is the same.
        bool subscribe = false;
        // Where the collector keeps its figures, shared with whoever reads them; empty: none
        // are kept.
        std::shared_ptr<EngineMetrics> metrics{};
    };

    // Throws std::invalid_argument("Either 'get_tags_func' or 'tags' must be provided.")
    // when none of the suppliers is given.
    explicit BaseQevCollectorThread(Options options);
    virtual ~BaseQevCollectorThread();
    BaseQevCollectorThread(const BaseQevCollectorThread&) = delete;
    BaseQevCollectorThread& operator=(const BaseQevCollectorThread&) = delete;

    // Runs the collection loop on a new thread; a collector starts at most once.
    void start();
    bool is_alive() const;
    void join();
    // True when the thread has ended within the timeout (or was never started).
    bool join(std::chrono::milliseconds timeout);

    // Asks the loop to end and wakes its waits; returns at once.
    virtual void stop();

    void opc_error(const std::string& message = "");
    // Receives each cycle whose read status is good, on the collecting thread.
    virtual void handle_data(const CycleResults& results) = 0;

    // Opens the source on a fresh library handle. Throws std::runtime_error
    // ("Create OPC DA Source failed", "OPC UA Source is invalid", ...).
    void connect_source();
    // Releases the source and the library handle, then reports "<DA|UA> source disconnected".
    void disconnect_source();

    // "2:Demo.Tag1" -> (2, "Demo.Tag1"); a text without a numeric prefix -> (0, whole text).
    static std::pair<int, std::string> parse_ua_tag(const std::string& tag);

    // Subscribed only: how many items the server reported on after the last cycle's read;
    // nullopt when the collector reads, or has not read yet. Safe from any thread.
    std::optional<std::size_t> live_items() const noexcept;

    const std::string server_schema;
    const std::string protocol_type;  // "DA" or "UA"
    const double sample_interval;
    const int batch_size;
    const StatusNotify status_notify;
    const bool sync;
    CollectorState<bool> opc_status{false};
    CollectorState<int> consecutive_errors{0};
    // Passes of the loop that came back from their cycle, read or not: it stops moving only
    // when the loop itself hangs (a service watchdog watches it). Safe to read from any thread.
    CollectorState<std::uint64_t> cycles_completed{0};
    const TagSupplier get_tags_func;

  protected:
    // The table whose names `results` carries one by one, in its order, or null: the collector
    // knows this only of its own complete cycle, not of samples handed in from elsewhere.
    const TagTable* tag_table_of(const CycleResults& results) const noexcept {
        return &results == &cycle_buffer_ && cycle_table_ ? cycle_table_.get() : nullptr;
    }

    // The thread body; also callable directly (it returns once stopped).
    void run();
    void _process_collection_cycle();
    void _check_and_reconnect();
    void _handle_error_retry();
    void _control_sampling_interval(double loop_start);

    void _read_and_process_data();
    std::vector<OpcTagRequest> _build_tag_objects(const std::vector<std::string>& tags) const;
    CycleResults _batch_read_data(const std::vector<OpcTagRequest>& tag_objs,
                                  const std::vector<std::string>& tags);
    // The same two steps into kept buffers, so that a cycle reuses the last cycle's memory.
    void _build_tag_objects(const std::vector<std::string>& tags,
                            std::vector<OpcTagRequest>& out) const;
    void _batch_read_data(const std::vector<OpcTagRequest>& tag_objs,
                          const std::vector<std::string>& tags, CycleResults& out);
    // Puts one batch's samples into `out` from position `filled` on, which it advances;
    // records match tags by position. With `names_in_place`, a sample still at its tag's
    // position already holds that tag's name.
    void _process_batch_results(std::vector<OpcValueRecord>& batch_value_objs,
                                const std::vector<std::string>& tags, std::size_t batch_start_idx,
                                CycleResults& out, std::size_t& filled, bool names_in_place,
                                std::chrono::system_clock::time_point read_at) const;
    void _update_read_status(const CycleResults& all_results);
    // How many times the read requests were prepared from the tag list: once for a list, and
    // again only when the list changes or the source is renewed.
    std::uint64_t request_preparations() const noexcept { return request_preparations_; }

    // A cycle that handed nothing to handle_data: the source could not be reached, the read
    // failed or every tag read bad. `cycle_time` is when the cycle began. Not called for a
    // cycle cut short by a stop, nor for an empty tag list.
    virtual void on_unread_cycle(std::chrono::system_clock::time_point cycle_time) {
        static_cast<void>(cycle_time);
    }
    // The tag table the next cycle reads, as the cycle itself would get it.
    TagTableRef cycle_tag_table() { return current_tag_table_(); }

    // Releases what the collecting thread owns besides the OPC side; runs on that thread on its
    // way out, after disconnect_source().
    virtual void on_thread_exit() {}
    // Cuts short the subclass's own waits (such as a database statement); called from any
    // thread when the collector is asked to stop.
    virtual void interrupt_waits() noexcept {}

    bool _running() const noexcept { return running_.load(); }
    bool thread_started() const noexcept { return started_.load(); }
    // A running thread was asked to stop: a long cycle ends early. Single steps (no thread)
    // run to their end.
    bool stopping() const noexcept { return thread_started() && !_running(); }
    double now_seconds() const;
    void sleep_seconds(double seconds);
    void notify_status(const std::string& text) const;
    // For destructors of this class and its subclasses: ends the thread quietly.
    void stop_and_join() noexcept;

    std::unique_ptr<OpcLibrary> qev;
    OpcSourceHandle source = QEV_INVALID_HANDLE;  // QEV_INVALID_HANDLE: none
    // The figures, or null when nobody reads them.
    const std::shared_ptr<EngineMetrics> metrics_;

  private:
    friend struct CollectorDeleter;
    void thread_main_() noexcept;
    void request_stop_() noexcept;

    OpcLibraryFactory opc_library_factory_;
    SecondsClock clock_;
    Sleeper sleeper_;
    const bool subscribe_;
    std::atomic<std::int64_t> live_items_{-1};  // -1: not known
    // After a read: what the source says of its subscriptions (engine/subscription_status.cpp).
    void note_live_items() noexcept;

    // This cycle's table: the supplier's, or one made from the list supplier's names when they
    // differ from the last cycle's.
    TagTableRef current_tag_table_();
    // _batch_read_data into kept samples; see _process_batch_results for `names_in_place`.
    void read_batches_(const std::vector<OpcTagRequest>& tag_objs,
                       const std::vector<std::string>& tags, CycleResults& all_results,
                       bool names_in_place);

    const TagTableSupplier get_tag_table_func_;
    std::vector<OpcTagRequest> request_buffer_;
    // The tag table request_buffer_ was prepared from; a cycle that is supplied the same table
    // reads with the same requests, without parsing a name again.
    TagTableRef request_table_;
    bool requests_ready_ = false;
    std::uint64_t request_preparations_ = 0;
    CycleResults cycle_buffer_;
    // The table whose every name cycle_buffer_ holds at its position; null after a cycle that
    // left a sample out. While it stays the same, a cycle writes no name into its samples.
    TagTableRef cycle_table_;
    bool read_cut_short_ = false;   // the last read ended early on a stop
    bool cycle_delivered_ = false;  // this cycle reached handle_data (or had nothing to read)

    std::atomic<bool> running_{true};
    std::atomic<bool> started_{false};
    // Set by CollectorDeleter on the collector's own thread: the thread deletes the object.
    bool delete_on_exit_ = false;
    std::mutex wake_mutex_;
    std::condition_variable wake_cv_;
    mutable std::mutex alive_mutex_;
    std::condition_variable alive_cv_;
    bool alive_ = false;
    std::thread thread_;
};

}  // namespace vantrel::korrin
