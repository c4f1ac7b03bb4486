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

// Runs a chronq call, giving its errors the engine's own types (same texts).
template <class F>
auto translate(F&& call) -> decltype(call()) {
    try {
        return call();
    } catch (const chronq::ConnectionError& e) {
        throw TsdbConnectionError(e.what());
    } catch (const chronq::QueryError& e) {
        throw TsdbQueryError(e.what());
    } catch (const chronq::Error& e) {
        throw TsdbError(e.what());
    }
}

int to_ms(double seconds) {
    return static_cast<int>(std::clamp(seconds * 1000.0, 1.0, 3600.0 * 1000.0));
}

chronq::ConnSettings to_chronq(const TsdbConfig& c) {
    return {c.host,
            c.port,
            c.user,
            c.password,
            c.dbname,
            c.autocommit,
            to_ms(c.write_timeout),
            to_ms(c.lookup_timeout)};
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
    return {s.source_name, s.endpoint,      to_chronq(s.status), to_chronq(s.protocol),
            s.source_type, s.interval_msec, s.description,       s.source_id};
}
SourceInfo from_chronq(const chronq::SourceInfo& s) {
    return {s.source_name, s.endpoint,      from_chronq(s.status), from_chronq(s.protocol),
            s.source_type, s.interval_msec, s.description,         s.source_id};
}

chronq::TagInfo to_chronq(const TagInfo& t) {
    return {t.tag_name, t.description, t.source_id, t.source_tagname, t.tag_id};
}
TagInfo from_chronq(const chronq::TagInfo& t) {
    return {t.tag_name, t.description, t.source_id, t.source_tagname, t.tag_id};
}

OperationResult from_chronq(const chronq::OperationResult& r) {
    OperationResult out{r.ok, std::nullopt, r.message};
    if (r.data) {
        out.data = from_chronq(*r.data);
    }
    return out;
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
            chronq::TagFields f{fields.source_id, fields.source_tagname, fields.description};
            return from_chronq(chronq::update_tag_fields(unwrap(conn), tag_name, f));
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
                raw.emplace_back(name,
                                 chronq::TagFields{f.source_id, f.source_tagname, f.description});
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
};

}  // namespace

std::shared_ptr<TsdbClient> default_tsdb_client() {
    return std::make_shared<ChronqClient>();
}

}  // namespace vantrel::korrin
