// The default TsdbClient: a thin translation onto chronq, its records and its errors. The only
// engine file that sees chronq.
#include <algorithm>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include <chronq/chronq.h>

#include "korrin/tsdb_client.h"

namespace vantrel::korrin {

namespace {

static_assert(std::is_same_v<Value, chronq::TsValue>,
              "samples are handed to chronq without conversion");

class ChronqConnection final : public TsdbConnection {
  public:
    explicit ChronqConnection(std::unique_ptr<chronq::Connection> conn) : conn_(std::move(conn)) {}
    void close() override { conn_->close(); }
    chronq::Connection& get() { return *conn_; }

  private:
    std::unique_ptr<chronq::Connection> conn_;
};

chronq::Connection& unwrap(TsdbConnection& conn) {
    auto* own = dynamic_cast<ChronqConnection*>(&conn);
    if (own == nullptr) {
        throw std::invalid_argument("connection was not opened by the chronq client");
    }
    return own->get();
}

// Runs a chronq call, giving its errors the engine's own types (same texts, SQLSTATE and doubt).
template <class F>
auto translate(F&& call) -> decltype(call()) {
    try {
        return call();
    } catch (const chronq::ConnectionError& e) {
        throw TsdbConnectionError(e.what(), e.sqlstate(), e.in_doubt());
    } catch (const chronq::QueryError& e) {
        throw TsdbQueryError(e.what(), e.sqlstate());
    } catch (const chronq::Error& e) {
        throw TsdbError(e.what(), e.sqlstate(), e.in_doubt());
    }
}

int to_ms(double seconds) {
    return static_cast<int>(std::clamp(seconds * 1000.0, 1.0, 3600.0 * 1000.0));
}

// Records are converted field by field with designated initialisers: neighbours of the same
// type (two texts, two ids) cannot be swapped by a reordering without the compiler noticing.
chronq::ConnSettings to_chronq(const TsdbConfig& c) {
    return {.host = c.host,
            .port = c.port,
            .user = c.user,
            .password = c.password,
            .dbname = c.dbname,
            .autocommit = c.autocommit,
            .write_timeout_ms = to_ms(c.write_timeout),
            .lookup_timeout_ms = to_ms(c.lookup_timeout)};
}

chronq::SourceStatus to_chronq(SourceStatus s) {
    return s == SourceStatus::ACTIVE ? chronq::SourceStatus::ACTIVE
                                     : chronq::SourceStatus::INACTIVE;
}
SourceStatus from_chronq(chronq::SourceStatus s) {
    return s == chronq::SourceStatus::ACTIVE ? SourceStatus::ACTIVE : SourceStatus::INACTIVE;
}
chronq::SourceProtocol to_chronq(SourceProtocol p) {
    return p == SourceProtocol::OPC_UA ? chronq::SourceProtocol::OPC_UA
                                       : chronq::SourceProtocol::OPC_DA;
}
SourceProtocol from_chronq(chronq::SourceProtocol p) {
    return p == chronq::SourceProtocol::OPC_UA ? SourceProtocol::OPC_UA : SourceProtocol::OPC_DA;
}

chronq::SourceInfo to_chronq(const SourceInfo& s) {
    return {.source_name = s.source_name,
            .endpoint = s.endpoint,
            .status = to_chronq(s.status),
            .protocol = to_chronq(s.protocol),
            .source_type = s.source_type,
            .interval_msec = s.interval_msec,
            .description = s.description,
            .source_id = s.source_id};
}
SourceInfo from_chronq(const chronq::SourceInfo& s) {
    return {.source_name = s.source_name,
            .endpoint = s.endpoint,
            .status = from_chronq(s.status),
            .protocol = from_chronq(s.protocol),
            .source_type = s.source_type,
            .interval_msec = s.interval_msec,
            .description = s.description,
            .source_id = s.source_id};
}

chronq::TagInfo to_chronq(const TagInfo& t) {
    return {.tag_name = t.tag_name,
            .description = t.description,
            .source_id = t.source_id,
            .source_tagname = t.source_tagname,
            .tag_id = t.tag_id};
}
TagInfo from_chronq(const chronq::TagInfo& t) {
    return {.tag_name = t.tag_name,
            .description = t.description,
            .source_id = t.source_id,
            .source_tagname = t.source_tagname,
            .tag_id = t.tag_id};
}

chronq::TagFields to_chronq(const TagFields& f) {
    return {
        .source_id = f.source_id, .source_tagname = f.source_tagname, .description = f.description};
}

OperationResult from_chronq(const chronq::OperationResult& r) {
    return {.ok = r.ok,
            .data = r.data ? std::optional<TagInfo>(from_chronq(*r.data)) : std::nullopt,
            .message = r.message};
}

std::vector<OperationResult> from_chronq(const std::vector<chronq::OperationResult>& results) {
    std::vector<OperationResult> out;
    out.reserve(results.size());
    for (const auto& r : results) {
        out.push_back(from_chronq(r));
    }
    return out;
}

class ChronqClient final : public TsdbClient {
  public:
    std::unique_ptr<TsdbConnection> get_conn(const TsdbConfig& cfg) override {
        return get_conn_stoppable(cfg, {});
    }

    std::unique_ptr<TsdbConnection> get_conn_stoppable(const TsdbConfig& cfg,
                                                       std::stop_token stop) override {
        return translate([&]() -> std::unique_ptr<TsdbConnection> {
            auto conn = chronq::get_conn(to_chronq(cfg), std::move(stop));
            if (!conn) {
                return nullptr;
            }
            return std::make_unique<ChronqConnection>(std::move(conn));
        });
    }

    bool ping(TsdbConnection& conn) override { return chronq::ping(unwrap(conn)); }

    std::vector<std::string> fetch_available_tsdbs(const TsdbConfig& cfg) override {
        return translate([&] { return chronq::fetch_available_tsdbs(to_chronq(cfg)); });
    }

    std::vector<SourceInfo> get_sources(TsdbConnection& conn, const SourceFilter& flt) override {
        return translate([&] {
            chronq::SourceFilter f;
            f.names = flt.names;
            for (SourceStatus s : flt.status) {
                f.status.push_back(to_chronq(s));
            }
            for (SourceProtocol p : flt.protocol) {
                f.protocol.push_back(to_chronq(p));
            }
            std::vector<SourceInfo> out;
            for (const chronq::SourceInfo& s : chronq::get_sources(unwrap(conn), f)) {
                out.push_back(from_chronq(s));
            }
            return out;
        });
    }

    OperationResult insert_new_source(TsdbConnection& conn, SourceInfo& info) override {
        return translate([&] {
            chronq::SourceInfo raw = to_chronq(info);
            OperationResult result = from_chronq(chronq::insert_new_source(unwrap(conn), raw));
            info.source_id = raw.source_id;
            return result;
        });
    }

    std::optional<TagInfo> get_tag(TsdbConnection& conn, const std::string& tag_name) override {
        return translate([&]() -> std::optional<TagInfo> {
            auto tag = chronq::get_tag(unwrap(conn), tag_name);
            if (!tag) {
                return std::nullopt;
            }
            return from_chronq(*tag);
        });
    }

    OperationResult insert_new_tag(TsdbConnection& conn, const TagInfo& tag) override {
        return translate(
            [&] { return from_chronq(chronq::insert_new_tag(unwrap(conn), to_chronq(tag))); });
    }

    OperationResult update_tag_fields(TsdbConnection& conn, const std::string& tag_name,
                                      const TagFields& fields) override {
        return translate([&] {
            return from_chronq(
                chronq::update_tag_fields(unwrap(conn), tag_name, to_chronq(fields)));
        });
    }

    std::vector<std::optional<TagInfo>> get_tags(TsdbConnection& conn,
                                                 const std::vector<std::string>& names) override {
        return translate([&] {
            std::vector<std::optional<TagInfo>> out;
            out.reserve(names.size());
            for (auto& tag : chronq::get_tags(unwrap(conn), names)) {
                out.push_back(tag ? std::optional<TagInfo>(from_chronq(*tag)) : std::nullopt);
            }
            return out;
        });
    }

    std::vector<TagLookup> lookup_tags(TsdbConnection& conn,
                                       const std::vector<std::string>& names) override {
        return translate([&] {
            std::vector<TagLookup> out;
            out.reserve(names.size());
            for (auto& found : chronq::lookup_tags(unwrap(conn), names)) {
                TagLookup entry;
                if (found.tag) {
                    entry.tag = from_chronq(*found.tag);
                }
                entry.refused = std::move(found.refused);
                out.push_back(std::move(entry));
            }
            return out;
        });
    }

    std::vector<OperationResult> insert_new_tags(TsdbConnection& conn,
                                                 const std::vector<TagInfo>& tags) override {
        return translate([&] {
            std::vector<chronq::TagInfo> raw;
            raw.reserve(tags.size());
            for (const auto& tag : tags) {
                raw.push_back(to_chronq(tag));
            }
            return from_chronq(chronq::insert_new_tags(unwrap(conn), raw));
        });
    }

    std::vector<OperationResult> update_tags_fields(
        TsdbConnection& conn,
        const std::vector<std::pair<std::string, TagFields>>& updates) override {
        return translate([&] {
            std::vector<std::pair<std::string, chronq::TagFields>> raw;
            raw.reserve(updates.size());
            for (const auto& [name, f] : updates) {
                raw.emplace_back(name, to_chronq(f));
            }
            return from_chronq(chronq::update_tags_fields(unwrap(conn), raw));
        });
    }

    std::pair<bool, std::size_t> write_tsdata(TsdbConnection& conn,
                                              std::span<const std::int64_t> tag_ids,
                                              std::span<const Value> values,
                                              std::span<const std::string> qualities) override {
        return translate(
            [&] { return chronq::write_tsdata(unwrap(conn), tag_ids, values, qualities); });
    }

    std::pair<bool, std::size_t> write_tsdata_at(
        TsdbConnection& conn, std::span<const std::chrono::system_clock::time_point> times,
        std::span<const std::int64_t> tag_ids, std::span<const Value> values,
        std::span<const std::string> qualities, const WriteMark* mark) override {
        return translate([&] {
            if (mark == nullptr) {
                return chronq::write_tsdata_at(unwrap(conn), times, tag_ids, values, qualities);
            }
            const chronq::WriteMark raw{mark->writer, mark->seq};
            return chronq::write_tsdata_at(unwrap(conn), times, tag_ids, values, qualities, &raw);
        });
    }

    std::int64_t write_mark(TsdbConnection& conn, const std::string& writer) override {
        return translate([&] { return chronq::write_mark(unwrap(conn), writer); });
    }

    std::size_t drop_old_days(TsdbConnection& conn, int keep_days) override {
        return translate(
            [&] { return chronq::drop_partitions_older_than(unwrap(conn), keep_days).size(); });
    }

    std::vector<StoredSample> read_history(TsdbConnection& conn,
                                           const HistoryQuery& query) override {
        return translate([&] {
            std::vector<StoredSample> out;
            for (auto& s : chronq::read_samples(unwrap(conn), query.tags, query.from, query.to,
                                                query.bucket)) {
                out.push_back({.tag = std::move(s.tag),
                               .time = s.time,
                               .value = s.value,
                               .quality = std::move(s.quality)});
            }
            return out;
        });
    }
};

}  // namespace

std::shared_ptr<TsdbClient> default_tsdb_client() {
    return std::make_shared<ChronqClient>();
}

}  // namespace vantrel::korrin
