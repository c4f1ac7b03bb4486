// A scriptable OPC library behind korrin::OpcLibrary, for every test folder. Every handle made
// by fake_factory shares one script, so a test sees the calls of every connect (and of every
// discovery) even after the library objects are gone. It records, can fail, can hold reads,
// and lets a test wait for a number of calls without sleeping.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <korrin/opc_library.h>

namespace vantrel::test_fakes {

namespace korrin = vantrel::korrin;

struct CreateCall {
    int source_type;
    std::string schema;
    int sample_timespan_msec;
    int support_subscribe;
};

struct DiscoveryCall {
    std::string hostname;
    int port;
    std::size_t capacity;  // max_servers as passed
};

// Holds every read until opened: a collector stuck in a read cannot honour a stop request.
class ReadGate {
  public:
    void wait() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return open_; });
    }
    void open() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        cv_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
};

class FakeOpcScript {
  public:
    // Behaviour; change under `mutex` while a thread runs, or before it starts.
    bool create_fails = false;                    // create_source gives QEV_INVALID_HANDLE
    std::string create_error;                     // last_error() after a failed create_source
    bool source_invalid = false;                  // is_source_valid gives false
    std::string read_error;                       // non-empty: read_values throws this text
    std::optional<std::size_t> records_per_read;  // fewer records than requests
    std::size_t extra_records = 0;                // more records than requests
    std::shared_ptr<ReadGate> read_gate;          // set: every read waits until it is opened
    std::chrono::milliseconds read_delay{0};      // every read takes this long (a slow server)
    std::function<korrin::OpcValueRecord(const korrin::OpcTagRequest&)> record_for =
        [](const korrin::OpcTagRequest&) {
            return korrin::OpcValueRecord{korrin::Value(1.5), 0x01C0, std::nullopt};
        };

    // What live_items says of any source, asked or not (nothing: not known).
    std::optional<std::size_t> live_items;

    // Discovery: a server record per name, of the kind asked for (UA when asked for every kind).
    std::vector<std::string> server_names;
    std::optional<int> discovery_count;          // how many names to give; default all
    std::optional<std::string> discovery_error;  // discovery throws std::runtime_error

    // Browse: the nodes below each start node ("<ns>:<from>"), all at depth 1; a start node
    // not listed has none. browse_gate holds every browse until opened (it then checks
    // `cancelled` once); browse_error makes browse throw.
    std::map<std::string, std::vector<korrin::OpcBrowsedNode>> browse_children;
    std::shared_ptr<ReadGate> browse_gate;
    std::optional<std::string> browse_error;

    // Records.
    int libraries_created = 0;
    int libraries_destroyed = 0;  // destroy() calls
    int log_level_calls = 0;      // set_log_level(QEV_LOG_LEVEL_INFO) calls
    std::vector<korrin::QEV_LOG_LEVEL> log_levels;
    int sources_destroyed = 0;
    std::vector<CreateCall> creates;
    std::vector<std::vector<korrin::OpcTagRequest>> reads;
    std::vector<DiscoveryCall> discoveries;
    std::vector<korrin::OpcBrowseOptions> browses;  // without their callbacks

    mutable std::mutex mutex;
    std::condition_variable changed;

    bool wait_for_reads(std::size_t n, std::chrono::seconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return reads.size() >= n; });
    }
    bool wait_for_browses(std::size_t n, std::chrono::seconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return browses.size() >= n; });
    }
    bool wait_for_creates(std::size_t n, std::chrono::seconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return creates.size() >= n; });
    }
    template <class F>
    auto locked(F&& f) {
        std::lock_guard lock(mutex);
        return f();
    }
};

class FakeOpcLibrary final : public korrin::OpcLibrary {
  public:
    explicit FakeOpcLibrary(std::shared_ptr<FakeOpcScript> script) : s_(std::move(script)) {
        std::lock_guard lock(s_->mutex);
        ++s_->libraries_created;
    }

    void set_log_level(korrin::QEV_LOG_LEVEL level) override {
        std::lock_guard lock(s_->mutex);
        s_->log_levels.push_back(level);
        if (level == korrin::QEV_LOG_LEVEL_INFO) {
            ++s_->log_level_calls;
        }
    }

    korrin::OpcSourceHandle create_source(int source_type, const std::string& schema, int msec,
                                          int subscribe) override {
        std::lock_guard lock(s_->mutex);
        s_->creates.push_back({source_type, schema, msec, subscribe});
        s_->changed.notify_all();
        return s_->create_fails ? korrin::QEV_INVALID_HANDLE
                                : static_cast<korrin::OpcSourceHandle>(s_->creates.size());
    }

    bool is_source_valid(korrin::OpcSourceHandle source) override {
        std::lock_guard lock(s_->mutex);
        return !s_->source_invalid && source != korrin::QEV_INVALID_HANDLE;
    }

    std::pair<int, std::vector<korrin::OpcValueRecord>> read_values(
        korrin::OpcSourceHandle, std::span<const korrin::OpcTagRequest> requests) override {
        std::shared_ptr<ReadGate> gate = s_->locked([&] { return s_->read_gate; });
        if (gate) {
            gate->wait();  // outside the script's lock, so that the test can still look
        }
        const auto delay = s_->locked([&] { return s_->read_delay; });
        if (delay.count() > 0) {
            std::this_thread::sleep_for(delay);
        }
        std::lock_guard lock(s_->mutex);
        s_->reads.emplace_back(requests.begin(), requests.end());
        s_->changed.notify_all();
        if (!s_->read_error.empty()) {
            throw std::runtime_error(s_->read_error);
        }
        std::vector<korrin::OpcValueRecord> out;
        const std::size_t n =
            std::min(requests.size(), s_->records_per_read.value_or(requests.size()));
        for (std::size_t i = 0; i < n; ++i) {
            out.push_back(s_->record_for(requests[i]));
        }
        for (std::size_t i = 0; i < s_->extra_records; ++i) {
            out.push_back(korrin::OpcValueRecord{korrin::Value(0.0), 0x100, std::nullopt});
        }
        return {0, std::move(out)};
    }

    std::optional<std::size_t> live_items(korrin::OpcSourceHandle) override {
        std::lock_guard lock(s_->mutex);
        return s_->live_items;
    }

    void destroy_source(korrin::OpcSourceHandle) override {
        std::lock_guard lock(s_->mutex);
        ++s_->sources_destroyed;
    }

    void destroy() override {
        std::lock_guard lock(s_->mutex);
        ++s_->libraries_destroyed;
        s_->changed.notify_all();
    }

    std::vector<korrin::OpcServer> discovery(const std::string& hostname, int port, int source_type,
                                             std::size_t max_servers) override {
        std::lock_guard lock(s_->mutex);
        s_->discoveries.push_back({hostname, port, max_servers});
        if (s_->discovery_error) {
            throw std::runtime_error(*s_->discovery_error);
        }
        const auto wanted = static_cast<std::size_t>(
            s_->discovery_count.value_or(static_cast<int>(s_->server_names.size())));
        const std::size_t n = std::min(wanted, s_->server_names.size());
        std::vector<korrin::OpcServer> out;
        for (std::size_t i = 0; i < n; ++i) {
            out.push_back({.source_type = source_type == 0 ? korrin::QEV_RTSOURCE_UA : source_type,
                           .name = s_->server_names[i],
                           .schema = s_->server_names[i]});
        }
        return out;
    }

    std::string last_error() override {
        std::lock_guard lock(s_->mutex);
        return s_->create_fails ? s_->create_error : std::string();
    }

    korrin::OpcBrowseResult browse(korrin::OpcSourceHandle,
                                   const korrin::OpcBrowseOptions& options) override {
        std::shared_ptr<ReadGate> gate;
        {
            std::lock_guard lock(s_->mutex);
            s_->browses.push_back({.from_namespace = options.from_namespace,
                                   .from = options.from,
                                   .max_depth = options.max_depth});
            s_->changed.notify_all();
            gate = s_->browse_gate;
        }
        if (options.progress) {
            options.progress({1, 0});
        }
        if (gate) {
            gate->wait();
        }
        korrin::OpcBrowseResult result;
        if (options.cancelled && options.cancelled()) {
            result.complete = false;
            result.stopped_because = "cancelled";
            return result;
        }
        std::lock_guard lock(s_->mutex);
        if (s_->browse_error) {
            throw std::runtime_error(*s_->browse_error);
        }
        const auto found =
            s_->browse_children.find(std::to_string(options.from_namespace) + ":" + options.from);
        if (found != s_->browse_children.end()) {
            result.nodes = found->second;
        }
        result.nodes_visited = result.nodes.size() + 1;
        return result;
    }

  private:
    std::shared_ptr<FakeOpcScript> s_;
};

inline korrin::OpcLibraryFactory fake_factory(std::shared_ptr<FakeOpcScript> script) {
    return [script]() -> std::unique_ptr<korrin::OpcLibrary> {
        return std::make_unique<FakeOpcLibrary>(script);
    };
}

}  // namespace vantrel::test_fakes
