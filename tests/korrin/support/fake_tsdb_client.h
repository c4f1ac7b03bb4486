// A scriptable TSDB client for the engine's unit tests: registered tags, scripted failures, and
// a record of every call, with waits on a condition variable instead of sleeps.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <korrin/tsdb_client.h>

namespace korrin_test {

using namespace vantrel::korrin;

struct WriteCall {
    std::vector<std::int64_t> ids;
    std::vector<Value> values;
    std::vector<std::string> qualities;
};

class FakeTsdbClient;

class FakeConnection final : public TsdbConnection {
  public:
    FakeConnection(FakeTsdbClient& client, int serial) : client_(client), serial_(serial) {}
    ~FakeConnection() override;
    void close() override;
    int serial() const { return serial_; }

  private:
    FakeTsdbClient& client_;
    int serial_;
    bool closed_ = false;
};

class FakeTsdbClient final : public TsdbClient {
  public:
    // Behaviour.
    std::map<std::string, std::int64_t> registered;
    std::string get_conn_error;  // non-empty: get_conn throws
    bool get_conn_gives_nothing = false;
    bool ping_result = true;
    bool ping_throws = false;
    std::string get_tag_error;
    std::string write_error;
    std::optional<std::pair<bool, std::size_t>> write_result;  // default: (true, rows)

    // Records.
    int connections_opened = 0;
    int connections_closed = 0;
    int connections_destroyed_open = 0;  // dropped without close()
    int pings = 0;
    std::vector<std::string> lookups;
    std::vector<WriteCall> writes;
    std::vector<std::thread::id> close_threads;

    mutable std::mutex mutex;
    std::condition_variable changed;

    template <class Pred>
    bool wait_until(Pred pred, std::chrono::seconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, pred);
    }
    template <class F>
    auto locked(F&& f) {
        std::lock_guard lock(mutex);
        return f();
    }

    std::unique_ptr<TsdbConnection> get_conn(const TsdbConfig&) override {
        std::lock_guard lock(mutex);
        if (!get_conn_error.empty()) {
            throw TsdbConnectionError(get_conn_error);
        }
        if (get_conn_gives_nothing) {
            return nullptr;
        }
        ++connections_opened;
        changed.notify_all();
        return std::make_unique<FakeConnection>(*this, connections_opened);
    }

    bool ping(TsdbConnection&) override {
        std::lock_guard lock(mutex);
        ++pings;
        if (ping_throws) {
            throw TsdbConnectionError("ping broke");
        }
        return ping_result;
    }

    std::optional<TagInfo> get_tag(TsdbConnection&, const std::string& tag_name) override {
        std::lock_guard lock(mutex);
        lookups.push_back(tag_name);
        if (!get_tag_error.empty()) {
            throw TsdbConnectionError(get_tag_error);
        }
        auto it = registered.find(tag_name);
        if (it == registered.end()) {
            return std::nullopt;
        }
        TagInfo tag;
        tag.tag_name = tag_name;
        tag.tag_id = it->second;
        return tag;
    }

    std::pair<bool, std::size_t> write_tsdata(TsdbConnection&, std::span<const std::int64_t> ids,
                                              std::span<const Value> values,
                                              std::span<const std::string> qualities) override {
        std::lock_guard lock(mutex);
        writes.push_back({{ids.begin(), ids.end()},
                          {values.begin(), values.end()},
                          {qualities.begin(), qualities.end()}});
        changed.notify_all();
        if (!write_error.empty()) {
            throw TsdbConnectionError(write_error);
        }
        return write_result.value_or(std::pair<bool, std::size_t>{true, ids.size()});
    }

    // Not used by the engine.
    std::vector<std::string> fetch_available_tsdbs(const TsdbConfig&) override { return {}; }
    std::vector<SourceInfo> get_sources(TsdbConnection&, const SourceFilter&) override {
        return {};
    }
    OperationResult insert_new_source(TsdbConnection&, SourceInfo&) override { return {}; }
    OperationResult insert_new_tag(TsdbConnection&, const TagInfo&) override { return {}; }
    OperationResult update_tag_fields(TsdbConnection&, const std::string&,
                                      const TagFields&) override {
        return {};
    }

    void on_close() {
        std::lock_guard lock(mutex);
        ++connections_closed;
        close_threads.push_back(std::this_thread::get_id());
        changed.notify_all();
    }
    void on_dropped_open() {
        std::lock_guard lock(mutex);
        ++connections_destroyed_open;
    }
};

inline FakeConnection::~FakeConnection() {
    if (!closed_) {
        client_.on_dropped_open();
    }
}

inline void FakeConnection::close() {
    if (!closed_) {
        closed_ = true;
        client_.on_close();
    }
}

}  // namespace korrin_test
