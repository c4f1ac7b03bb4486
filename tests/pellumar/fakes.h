// Fakes behind Korrin's interfaces for the console's unit tests: an in-memory TSDB client that
// records what it was asked and can be told to fail, and an OPC library whose tags all read
// Good.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "korrin/opc_library.h"
#include "korrin/tsdb_client.h"

namespace pellumar_test {

namespace korrin = vantrel::korrin;

class FakeTsdbClient : public korrin::TsdbClient,
                       public std::enable_shared_from_this<FakeTsdbClient> {
  public:
    class Connection : public korrin::TsdbConnection {
      public:
        explicit Connection(FakeTsdbClient& owner) : owner_(owner) {}
        void close() override {
            std::lock_guard<std::mutex> guard(owner_.mutex_);
            if (!closed_) {
                closed_ = true;
                ++owner_.closed;
            }
        }

      private:
        FakeTsdbClient& owner_;
        bool closed_ = false;
    };

    struct Row {
        std::int64_t tag_id;
        korrin::Value value;
        std::string quality;
    };

    // Knobs.
    std::optional<std::string> connect_error;
    bool connect_returns_nothing = false;
    bool refuse_source = false;
    std::set<std::string> refuse_tags;
    std::optional<std::string> get_tag_error;

    // What happened.
    int opened = 0;
    int closed = 0;
    std::vector<korrin::TsdbConfig> configs;
    std::vector<korrin::SourceFilter> filters;
    std::vector<korrin::SourceInfo> sources;
    std::map<std::string, korrin::TagInfo> tags;
    std::vector<Row> rows;

    std::unique_ptr<korrin::TsdbConnection> get_conn(const korrin::TsdbConfig& cfg) override {
        std::lock_guard<std::mutex> guard(mutex_);
        configs.push_back(cfg);
        if (connect_error) {
            throw korrin::TsdbConnectionError(*connect_error);
        }
        if (connect_returns_nothing) {
            return nullptr;
        }
        ++opened;
        return std::make_unique<Connection>(*this);
    }
    bool ping(korrin::TsdbConnection&) override { return true; }
    std::vector<std::string> fetch_available_tsdbs(const korrin::TsdbConfig&) override {
        return {"tsdb_default"};
    }
    std::vector<korrin::SourceInfo> get_sources(korrin::TsdbConnection&,
                                                const korrin::SourceFilter& flt) override {
        std::lock_guard<std::mutex> guard(mutex_);
        filters.push_back(flt);
        std::vector<korrin::SourceInfo> out;
        for (const auto& s : sources) {
            if (matches(flt.names, s.source_name) && matches(flt.status, s.status) &&
                matches(flt.protocol, s.protocol)) {
                out.push_back(s);
            }
        }
        return out;
    }
    korrin::OperationResult insert_new_source(korrin::TsdbConnection&,
                                              korrin::SourceInfo& info) override {
        std::lock_guard<std::mutex> guard(mutex_);
        if (refuse_source) {
            return {.ok = false, .data = std::nullopt, .message = "refused"};
        }
        info.source_id = static_cast<std::int64_t>(sources.size()) + 1;
        sources.push_back(info);
        return {.ok = true, .data = std::nullopt, .message = ""};
    }
    std::optional<korrin::TagInfo> get_tag(korrin::TsdbConnection&,
                                           const std::string& tag_name) override {
        std::lock_guard<std::mutex> guard(mutex_);
        if (get_tag_error) {
            throw korrin::TsdbQueryError(*get_tag_error);
        }
        const auto it = tags.find(tag_name);
        if (it == tags.end()) {
            return std::nullopt;
        }
        return it->second;
    }
    korrin::OperationResult insert_new_tag(korrin::TsdbConnection&,
                                           const korrin::TagInfo& tag) override {
        std::lock_guard<std::mutex> guard(mutex_);
        if (refuse_tags.count(tag.tag_name) != 0) {
            return {.ok = false, .data = std::nullopt, .message = "refused"};
        }
        auto stored = tag;
        stored.tag_id = static_cast<std::int64_t>(tags.size()) + 100;
        tags[tag.tag_name] = stored;
        return {.ok = true, .data = stored, .message = ""};
    }
    korrin::OperationResult update_tag_fields(korrin::TsdbConnection&, const std::string& tag_name,
                                              const korrin::TagFields& fields) override {
        std::lock_guard<std::mutex> guard(mutex_);
        if (refuse_tags.count(tag_name) != 0) {
            return {.ok = false, .data = std::nullopt, .message = "refused"};
        }
        auto& tag = tags.at(tag_name);
        ++updates;
        if (fields.source_id) {
            tag.source_id = fields.source_id;
        }
        if (fields.source_tagname) {
            tag.source_tagname = *fields.source_tagname;
        }
        if (fields.description) {
            tag.description = *fields.description;
        }
        return {.ok = true, .data = std::nullopt, .message = ""};
    }
    std::pair<bool, std::size_t> write_tsdata(korrin::TsdbConnection&,
                                              std::span<const std::int64_t> tag_ids,
                                              std::span<const korrin::Value> values,
                                              std::span<const std::string> qualities) override {
        std::lock_guard<std::mutex> guard(mutex_);
        for (std::size_t i = 0; i < tag_ids.size(); ++i) {
            rows.push_back({tag_ids[i], values[i], qualities[i]});
        }
        return {true, tag_ids.size()};
    }

    int updates = 0;

    // Snapshot helpers for tests that run a collector thread.
    std::size_t row_count() {
        std::lock_guard<std::mutex> guard(mutex_);
        return rows.size();
    }

  private:
    template <class T>
    static bool matches(const std::vector<T>& allowed, const T& value) {
        if (allowed.empty()) {
            return true;
        }
        for (const auto& a : allowed) {
            if (a == value) {
                return true;
            }
        }
        return false;
    }

    std::mutex mutex_;
};

// Holds every read until released: a collector stuck in a read cannot honour a stop request.
class ReadGate {
  public:
    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return open_; });
    }
    void open() {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            open_ = true;
        }
        cv_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
};

// Every tag reads 1.5 with a Good quality code; a source can be made to fail, reads can be held.
class FakeOpcLibrary : public korrin::OpcLibrary {
  public:
    explicit FakeOpcLibrary(bool fail_create, std::shared_ptr<ReadGate> gate = nullptr)
        : fail_create_(fail_create), gate_(std::move(gate)) {}

    void set_log_level(korrin::QEV_LOG_LEVEL) override {}
    korrin::OpcSourceHandle create_source(int, const std::string&, int, int) override {
        return fail_create_ ? korrin::QEV_INVALID_HANDLE : 7;
    }
    bool is_source_valid(korrin::OpcSourceHandle source) override { return source == 7; }
    std::pair<int, std::vector<korrin::OpcValueRecord>> read_values(
        korrin::OpcSourceHandle, std::span<const korrin::OpcTagRequest> requests) override {
        if (gate_) {
            gate_->wait();
        }
        std::vector<korrin::OpcValueRecord> records;
        for (std::size_t i = 0; i < requests.size(); ++i) {
            records.push_back({.value = 1.5, .quality = 0x00C0 | 0x0100, .timestamp = {}});
        }
        return {0, records};
    }
    void destroy_source(korrin::OpcSourceHandle) override {}
    void destroy() override {}
    std::optional<int> discovery(std::vector<korrin::OpcServerDesc>&, const std::string&,
                                 int) override {
        return 0;
    }

  private:
    bool fail_create_;
    std::shared_ptr<ReadGate> gate_;
};

inline korrin::OpcLibraryFactory fake_opc_factory(bool fail_create = false,
                                                  std::shared_ptr<ReadGate> gate = nullptr) {
    return [fail_create, gate] { return std::make_unique<FakeOpcLibrary>(fail_create, gate); };
}

}  // namespace pellumar_test
