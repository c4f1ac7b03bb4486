// An in-memory TSDB client behind korrin::TsdbClient, for every test folder: it stores sources
// and tags, can be told to fail in each operation, and records what it was asked. One mutex
// guards it all, so a collector thread may use it while a test waits on `changed`.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <korrin/tsdb_client.h>

namespace vantrel::test_fakes {

namespace korrin = vantrel::korrin;

struct WriteCall {
    std::vector<std::int64_t> ids;
    std::vector<korrin::Value> values;
    std::vector<std::string> qualities;
};

class FakeTsdbClient;

class FakeConnection final : public korrin::TsdbConnection {
  public:
    FakeConnection(FakeTsdbClient& client, int serial, std::string dbname,
                   std::stop_token stop = {})
        : client_(client), serial_(serial), dbname_(std::move(dbname)), stop_(std::move(stop)) {}
    ~FakeConnection() override;
    void close() override;

    int serial() const { return serial_; }  // 1 for the first connection opened, and so on
    const std::string& dbname() const { return dbname_; }
    // The stop token of get_conn_stoppable (none for get_conn).
    const std::stop_token& stop() const { return stop_; }

  private:
    FakeTsdbClient& client_;
    int serial_;
    std::string dbname_;
    std::stop_token stop_;
    bool closed_ = false;
};

class FakeTsdbClient : public korrin::TsdbClient {
  public:
    // Knobs; change them under `mutex` while another thread uses the client.
    std::vector<std::string> available_dbs{"tsdb_default"};
    std::optional<std::string> fetch_error;    // fetch_available_tsdbs throws
    std::optional<std::string> connect_error;  // get_conn throws
    std::set<std::string> refuse_dbnames;      // get_conn throws for these databases
    bool connect_returns_nothing = false;
    bool ping_result = true;
    bool ping_throws = false;
    bool refuse_source = false;                 // insert_new_source gives ok = false
    std::optional<std::string> sources_error;   // get_sources throws TsdbConnectionError
    std::set<std::string> refuse_tags;          // insert_new_tag gives ok = false for these
    std::set<std::string> refuse_updates;       // update_tag_fields gives ok = false for these
    std::optional<std::string> get_tag_error;   // get_tag throws
    std::set<std::string> refuse_lookups;       // get_tag throws TsdbQueryError for these
    std::chrono::milliseconds lookup_delay{0};  // each get_tag takes this long
    // write_tsdata waits, as a statement behind a held lock does, until the connection's stop
    // token is requested, then fails as a cancelled statement.
    bool block_writes = false;
    std::optional<std::string> write_error;  // write_tsdata throws (after recording)
    std::optional<std::pair<bool, std::size_t>> write_result;  // default: (true, rows)
    // A write holding any of these tag ids is refused as a whole and stores nothing.
    std::set<std::int64_t> refuse_write_ids;
    std::optional<std::string> drop_days_error;  // drop_old_days throws TsdbQueryError
    // read_history answers from these stored samples: the query's tags and times, as stored
    // (no buckets are made).
    std::vector<korrin::StoredSample> history;
    std::optional<std::string> history_error;  // read_history throws TsdbConnectionError
    // read_history waits, as a slow query does, until this is cleared (then notify
    // history_gate) or the connection's stop token is requested.
    bool block_history = false;

    // The stored records. Ids are handed out from 1 upward.
    std::vector<korrin::SourceInfo> sources;
    std::map<std::string, korrin::TagInfo> tags;

    // What happened.
    std::map<std::string, int> calls;               // by operation name, e.g. calls["get_tag"]
    std::vector<korrin::TsdbConfig> configs;        // every one passed to get_conn
    std::vector<korrin::TsdbConfig> fetch_configs;  // every one passed to fetch_available_tsdbs
    int opened = 0;
    int closed = 0;
    int dropped_open = 0;  // connections destroyed without close()
    std::vector<std::thread::id> close_threads;
    int pings = 0;
    std::vector<korrin::SourceFilter> filters;
    std::vector<std::string> lookups;  // every name passed to get_tag
    int updates = 0;                   // updates applied
    std::vector<WriteCall> writes;
    int blocked_writes = 0;                             // writes held by block_writes
    std::vector<korrin::HistoryQuery> history_queries;  // every read_history, in order
    std::vector<std::thread::id> history_threads;       // the thread of each
    std::condition_variable_any history_gate;

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

    // Stores a tag as if an earlier run had registered it.
    korrin::TagInfo& add_tag(const std::string& name, std::int64_t tag_id,
                             std::optional<std::int64_t> source_id = std::nullopt) {
        std::lock_guard lock(mutex);
        next_tag_id_ = std::max(next_tag_id_, tag_id + 1);
        auto& tag = tags[name];
        tag = {.tag_name = name,
               .description = {},
               .source_id = source_id,
               .source_tagname = name,
               .tag_id = tag_id};
        return tag;
    }

    std::size_t row_count() const {
        std::lock_guard lock(mutex);
        std::size_t rows = 0;
        for (const auto& w : writes) {
            rows += w.ids.size();
        }
        return rows;
    }

    std::unique_ptr<korrin::TsdbConnection> get_conn(const korrin::TsdbConfig& cfg) override {
        return get_conn_stoppable(cfg, {});
    }

    std::unique_ptr<korrin::TsdbConnection> get_conn_stoppable(const korrin::TsdbConfig& cfg,
                                                               std::stop_token stop) override {
        std::lock_guard lock(mutex);
        ++calls["get_conn"];
        configs.push_back(cfg);
        if (connect_error) {
            throw korrin::TsdbConnectionError(*connect_error);
        }
        if (refuse_dbnames.count(cfg.dbname) != 0) {
            throw korrin::TsdbConnectionError("database \"" + cfg.dbname + "\" does not exist");
        }
        if (connect_returns_nothing) {
            return nullptr;
        }
        ++opened;
        changed.notify_all();
        return std::make_unique<FakeConnection>(*this, opened, cfg.dbname, std::move(stop));
    }

    // Records the days to keep; drops nothing.
    std::size_t drop_old_days(korrin::TsdbConnection&, int keep_days) override {
        std::lock_guard lock(mutex);
        ++calls["drop_old_days"];
        kept_days.push_back(keep_days);
        if (drop_days_error) {
            throw korrin::TsdbQueryError(*drop_days_error);
        }
        return 0;
    }
    std::vector<int> kept_days;  // every keep_days passed to drop_old_days

    bool ping(korrin::TsdbConnection&) override {
        std::lock_guard lock(mutex);
        ++calls["ping"];
        ++pings;
        if (ping_throws) {
            throw korrin::TsdbConnectionError("ping broke");
        }
        return ping_result;
    }

    std::vector<std::string> fetch_available_tsdbs(const korrin::TsdbConfig& cfg) override {
        std::lock_guard lock(mutex);
        ++calls["fetch_available_tsdbs"];
        fetch_configs.push_back(cfg);
        if (fetch_error) {
            throw korrin::TsdbConnectionError(*fetch_error);
        }
        return available_dbs;
    }

    std::vector<korrin::SourceInfo> get_sources(korrin::TsdbConnection&,
                                                const korrin::SourceFilter& flt) override {
        std::lock_guard lock(mutex);
        ++calls["get_sources"];
        filters.push_back(flt);
        if (sources_error) {
            throw korrin::TsdbConnectionError(*sources_error);
        }
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
        std::lock_guard lock(mutex);
        ++calls["insert_new_source"];
        if (refuse_source) {
            return {.ok = false, .data = std::nullopt, .message = "source refused"};
        }
        info.source_id = static_cast<std::int64_t>(sources.size()) + 1;
        sources.push_back(info);
        return {.ok = true, .data = std::nullopt, .message = ""};
    }

    std::optional<korrin::TagInfo> get_tag(korrin::TsdbConnection& conn,
                                           const std::string& tag_name) override {
        std::unique_lock lock(mutex);
        if (lookup_delay.count() > 0) {
            // A slow statement, cancelled as the real client cancels one once its connection's
            // stop token is requested.
            const auto* fake = dynamic_cast<FakeConnection*>(&conn);
            const std::stop_token stop = fake != nullptr ? fake->stop() : std::stop_token();
            std::condition_variable_any wake;
            wake.wait_for(lock, stop, lookup_delay, [] { return false; });
            if (stop.stop_requested()) {
                throw korrin::TsdbConnectionError("cancelled: the client is stopping");
            }
        }
        ++calls["get_tag"];
        lookups.push_back(tag_name);
        changed.notify_all();
        if (get_tag_error) {
            throw korrin::TsdbConnectionError(*get_tag_error);
        }
        if (refuse_lookups.count(tag_name) != 0) {
            throw korrin::TsdbQueryError("invalid byte sequence for encoding \"UTF8\"");
        }
        const auto it = tags.find(tag_name);
        if (it == tags.end()) {
            return std::nullopt;
        }
        return it->second;
    }

    korrin::OperationResult insert_new_tag(korrin::TsdbConnection&,
                                           const korrin::TagInfo& tag) override {
        std::lock_guard lock(mutex);
        ++calls["insert_new_tag"];
        if (refuse_tags.count(tag.tag_name) != 0) {
            return {.ok = false, .data = std::nullopt, .message = "tag refused"};
        }
        if (tags.count(tag.tag_name) != 0) {
            return {.ok = false,
                    .data = std::nullopt,
                    .message = "a tag named '" + tag.tag_name + "' already exists"};
        }
        auto stored = tag;
        stored.tag_id = next_tag_id_++;
        tags[tag.tag_name] = stored;
        return {.ok = true, .data = stored, .message = ""};
    }

    korrin::OperationResult update_tag_fields(korrin::TsdbConnection&, const std::string& tag_name,
                                              const korrin::TagFields& fields) override {
        std::lock_guard lock(mutex);
        ++calls["update_tag_fields"];
        if (refuse_updates.count(tag_name) != 0) {
            return {.ok = false, .data = std::nullopt, .message = "update refused"};
        }
        const auto it = tags.find(tag_name);
        if (it == tags.end()) {
            return {
                .ok = false, .data = std::nullopt, .message = "no tag named '" + tag_name + "'"};
        }
        auto& tag = it->second;
        if (fields.source_id) {
            tag.source_id = fields.source_id;
        }
        if (fields.source_tagname) {
            tag.source_tagname = *fields.source_tagname;
        }
        if (fields.description) {
            tag.description = *fields.description;
        }
        ++updates;
        return {.ok = true, .data = std::nullopt, .message = ""};
    }

    std::pair<bool, std::size_t> write_tsdata(korrin::TsdbConnection& conn,
                                              std::span<const std::int64_t> ids,
                                              std::span<const korrin::Value> values,
                                              std::span<const std::string> qualities) override {
        std::unique_lock lock(mutex);
        ++calls["write_tsdata"];
        if (block_writes) {
            ++blocked_writes;
            changed.notify_all();
            const std::stop_token stop = static_cast<FakeConnection&>(conn).stop();
            std::condition_variable_any wake;
            wake.wait(lock, stop, [] { return false; });
            throw korrin::TsdbConnectionError("cancelled: the client is stopping");
        }
        if (std::any_of(ids.begin(), ids.end(),
                        [this](std::int64_t id) { return refuse_write_ids.count(id) != 0; })) {
            return {false, 0};
        }
        writes.push_back({{ids.begin(), ids.end()},
                          {values.begin(), values.end()},
                          {qualities.begin(), qualities.end()}});
        changed.notify_all();
        if (write_error) {
            throw korrin::TsdbConnectionError(*write_error);
        }
        return write_result.value_or(std::pair<bool, std::size_t>{true, ids.size()});
    }

    std::vector<korrin::StoredSample> read_history(korrin::TsdbConnection& conn,
                                                   const korrin::HistoryQuery& query) override {
        std::unique_lock lock(mutex);
        ++calls["read_history"];
        history_queries.push_back(query);
        history_threads.push_back(std::this_thread::get_id());
        changed.notify_all();
        if (block_history) {
            const std::stop_token stop = static_cast<FakeConnection&>(conn).stop();
            if (!history_gate.wait(lock, stop, [this] { return !block_history; })) {
                throw korrin::TsdbConnectionError("cancelled: the client is stopping");
            }
        }
        if (history_error) {
            throw korrin::TsdbConnectionError(*history_error);
        }
        std::vector<korrin::StoredSample> out;
        for (const auto& sample : history) {
            if (std::find(query.tags.begin(), query.tags.end(), sample.tag) != query.tags.end() &&
                sample.time >= query.from && sample.time < query.to) {
                out.push_back(sample);
            }
        }
        std::stable_sort(out.begin(), out.end(),
                         [](const auto& a, const auto& b) { return a.tag < b.tag; });
        return out;
    }

    // The batches are counted, then run as the base class runs them: one single call per entry.
    std::vector<std::optional<korrin::TagInfo>> get_tags(
        korrin::TsdbConnection& conn, const std::vector<std::string>& names) override {
        count("get_tags");
        return TsdbClient::get_tags(conn, names);
    }
    std::vector<korrin::TagLookup> lookup_tags(korrin::TsdbConnection& conn,
                                               const std::vector<std::string>& names) override {
        count("lookup_tags");
        return TsdbClient::lookup_tags(conn, names);
    }
    std::vector<korrin::OperationResult> insert_new_tags(
        korrin::TsdbConnection& conn, const std::vector<korrin::TagInfo>& batch) override {
        count("insert_new_tags");
        return TsdbClient::insert_new_tags(conn, batch);
    }
    std::vector<korrin::OperationResult> update_tags_fields(
        korrin::TsdbConnection& conn,
        const std::vector<std::pair<std::string, korrin::TagFields>>& batch) override {
        count("update_tags_fields");
        return TsdbClient::update_tags_fields(conn, batch);
    }

  private:
    friend class FakeConnection;

    void count(const std::string& operation) {
        std::lock_guard lock(mutex);
        ++calls[operation];
    }

    void on_close() {
        std::lock_guard lock(mutex);
        ++closed;
        close_threads.push_back(std::this_thread::get_id());
        changed.notify_all();
    }
    void on_dropped_open() {
        std::lock_guard lock(mutex);
        ++dropped_open;
    }

    template <class T>
    static bool matches(const std::vector<T>& allowed, const T& value) {
        return allowed.empty() || std::find(allowed.begin(), allowed.end(), value) != allowed.end();
    }

    std::int64_t next_tag_id_ = 1;
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

}  // namespace vantrel::test_fakes
