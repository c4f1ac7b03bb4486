// A scriptable OPC library for the engine's unit tests. Every handle made by the factory shares
// one script, so a test sees the calls of every connect; it records, can fail, and lets a test
// wait for a number of reads without sleeping.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include <korrin/opc_library.h>

namespace korrin_test {

using namespace vantrel::korrin;

struct CreateCall {
    int source_type;
    std::string schema;
    int sample_timespan_msec;
    int support_subscribe;
};

class FakeOpcScript {
  public:
    // Behaviour; change under `mutex` while a thread runs, or before it starts.
    bool create_fails = false;                    // create_source gives QEV_INVALID_HANDLE
    bool source_invalid = false;                  // is_source_valid gives false
    std::string read_error;                       // non-empty: read_values throws this text
    std::optional<std::size_t> records_per_read;  // fewer records than requests
    std::size_t extra_records = 0;                // more records than requests
    std::function<OpcValueRecord(const OpcTagRequest&)> record_for = [](const OpcTagRequest&) {
        return OpcValueRecord{Value(1.5), 0x01C0, std::nullopt};
    };

    // Records.
    int libraries_created = 0;
    int libraries_destroyed = 0;
    int log_level_calls = 0;
    int sources_destroyed = 0;
    std::vector<CreateCall> creates;
    std::vector<std::vector<OpcTagRequest>> reads;

    mutable std::mutex mutex;
    std::condition_variable changed;

    bool wait_for_reads(std::size_t n, std::chrono::seconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return reads.size() >= n; });
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

class FakeOpcLibrary final : public OpcLibrary {
  public:
    explicit FakeOpcLibrary(std::shared_ptr<FakeOpcScript> script) : s_(std::move(script)) {
        std::lock_guard lock(s_->mutex);
        ++s_->libraries_created;
    }

    void set_log_level(QEV_LOG_LEVEL level) override {
        std::lock_guard lock(s_->mutex);
        if (level == QEV_LOG_LEVEL_INFO) {
            ++s_->log_level_calls;
        }
    }

    OpcSourceHandle create_source(int source_type, const std::string& schema, int msec,
                                  int subscribe) override {
        std::lock_guard lock(s_->mutex);
        s_->creates.push_back({source_type, schema, msec, subscribe});
        s_->changed.notify_all();
        return s_->create_fails ? QEV_INVALID_HANDLE
                                : static_cast<OpcSourceHandle>(s_->creates.size());
    }

    bool is_source_valid(OpcSourceHandle) override {
        std::lock_guard lock(s_->mutex);
        return !s_->source_invalid;
    }

    std::pair<int, std::vector<OpcValueRecord>> read_values(
        OpcSourceHandle, std::span<const OpcTagRequest> requests) override {
        std::lock_guard lock(s_->mutex);
        s_->reads.emplace_back(requests.begin(), requests.end());
        s_->changed.notify_all();
        if (!s_->read_error.empty()) {
            throw std::runtime_error(s_->read_error);
        }
        std::vector<OpcValueRecord> out;
        const std::size_t n =
            std::min(requests.size(), s_->records_per_read.value_or(requests.size()));
        for (std::size_t i = 0; i < n; ++i) {
            out.push_back(s_->record_for(requests[i]));
        }
        for (std::size_t i = 0; i < s_->extra_records; ++i) {
            out.push_back(OpcValueRecord{Value(0.0), 0x100, std::nullopt});
        }
        return {0, std::move(out)};
    }

    void destroy_source(OpcSourceHandle) override {
        std::lock_guard lock(s_->mutex);
        ++s_->sources_destroyed;
    }

    void destroy() override {
        std::lock_guard lock(s_->mutex);
        ++s_->libraries_destroyed;
    }

    std::optional<int> discovery(std::vector<OpcServerDesc>&, const std::string&, int) override {
        return 0;
    }

  private:
    std::shared_ptr<FakeOpcScript> s_;
};

inline OpcLibraryFactory fake_factory(std::shared_ptr<FakeOpcScript> script) {
    return [script]() -> std::unique_ptr<OpcLibrary> {
        return std::make_unique<FakeOpcLibrary>(script);
    };
}

}  // namespace korrin_test
