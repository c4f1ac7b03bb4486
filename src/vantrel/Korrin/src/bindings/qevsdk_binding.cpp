// The default OpcLibrary: a thin translation onto qevsdk's QevLibrary. The only engine file
// that sees qevsdk.
#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <qevsdk/qevsdk.h>
#include <qevsdk/ua_security.h>
#include <qevsdk/ua_subscription.h>

#include "korrin/acquisition.h"
#include "korrin/opc_security.h"

#include "korrin/opc_library.h"

namespace vantrel::korrin {

namespace {

static_assert(QEV_RTSOURCE_DA == static_cast<int>(qevsdk::QEV_RTSOURCE_DA));
static_assert(QEV_RTSOURCE_UA == static_cast<int>(qevsdk::QEV_RTSOURCE_UA));
static_assert(QEV_DATATYPE_REAL == static_cast<int>(qevsdk::QEV_DATATYPE_REAL));
static_assert(QEV_LOG_LEVEL_INFO == static_cast<int>(qevsdk::QEV_LOG_LEVEL_INFO));
static_assert(QEV_INVALID_HANDLE == qevsdk::QEV_INVALID_HANDLE);

// The text of a NUL-padded field; a field without a NUL is taken whole.
std::string padded_text(const std::array<char, 512>& field) {
    return std::string(field.data(), strnlen(field.data(), field.size()));
}

class QevsdkLibrary final : public OpcLibrary {
  public:
    void set_log_level(QEV_LOG_LEVEL level) override {
        lib_.set_log_level(static_cast<qevsdk::QEV_LOG_LEVEL>(level));
    }

    OpcSourceHandle create_source(int source_type, const std::string& source_schema,
                                  int sample_timespan_msec, int support_subscribe) override {
        return lib_.create_source(source_type, source_schema, sample_timespan_msec,
                                  support_subscribe);
    }

    bool is_source_valid(OpcSourceHandle source) override { return lib_.is_source_valid(source); }

    std::pair<int, std::vector<OpcValueRecord>> read_values(
        OpcSourceHandle source, std::span<const OpcTagRequest> requests) override {
        // Reused between calls: with the same tags every cycle, assigning the names into the
        // kept strings allocates nothing.
        requests_.resize(requests.size());
        for (std::size_t i = 0; i < requests.size(); ++i) {
            requests_[i].data_type = requests[i].data_type;
            requests_[i].namespace_index = requests[i].namespace_index;
            requests_[i].tag_name.assign(requests[i].tag_name);
        }
        auto [status, records] = lib_.read_values(source, requests_);
        std::vector<OpcValueRecord> out;
        out.reserve(records.size());
        for (const qevsdk::ValueRecord& r : records) {
            out.push_back(OpcValueRecord{Value(r.value), r.quality, r.timestamp, r.source_timestamp,
                                         r.server_timestamp});
        }
        return {status, std::move(out)};
    }

    std::optional<std::size_t> live_items(OpcSourceHandle source) override {
        return lib_.live_items(source);
    }

    std::vector<OpcChange> read_changes(OpcSourceHandle source) override {
        std::vector<OpcChange> out;
        for (auto& c : lib_.read_changes(source)) {
            out.push_back(OpcChange{
                OpcTagRequest{c.request.data_type, c.request.namespace_index,
                              std::move(c.request.tag_name)},
                OpcValueRecord{Value(c.record.value), c.record.quality, c.record.timestamp,
                               c.record.source_timestamp, c.record.server_timestamp}});
        }
        return out;
    }

    void destroy_source(OpcSourceHandle source) override { lib_.destroy_source(source); }

    void destroy() override { lib_.destroy(); }

    std::vector<OpcServer> discovery(const std::string& hostname, int port, int source_type,
                                     std::size_t max_servers) override {
        std::vector<qevsdk::qev_source_desc_t> raw(max_servers);
        for (auto& desc : raw) {
            desc.source_type = source_type;
        }
        const std::optional<int> count = lib_.discovery(raw, hostname, port);
        const std::size_t valid =
            count ? std::min(raw.size(), static_cast<std::size_t>(std::max(*count, 0)))
                  : raw.size();
        std::vector<OpcServer> found;
        found.reserve(valid);
        for (std::size_t i = 0; i < valid; ++i) {
            found.push_back(OpcServer{.source_type = raw[i].source_type,
                                      .name = padded_text(raw[i].name),
                                      .schema = padded_text(raw[i].schema)});
        }
        return found;
    }

    std::string last_error() override { return lib_.last_error(); }

    OpcBrowseResult browse(OpcSourceHandle source, const OpcBrowseOptions& options) override {
        qevsdk::BrowseOptions raw;
        raw.from_namespace = options.from_namespace;
        raw.from = options.from;
        raw.max_depth = options.max_depth;
        raw.cancelled = options.cancelled;
        if (options.progress) {
            raw.progress = [&options](const qevsdk::BrowseProgress& p) {
                options.progress(OpcBrowseProgress{p.nodes_visited, p.variables});
            };
        }
        // A source of another kind throws qevsdk::Error, a std::runtime_error.
        qevsdk::BrowseResult found = lib_.browse(source, raw);
        OpcBrowseResult out;
        out.nodes_visited = found.nodes_visited;
        out.complete = found.complete;
        out.stopped_because = std::move(found.stopped_because);
        out.nodes.reserve(found.objects.size() + found.variables.size());
        for (auto& o : found.objects) {
            out.nodes.push_back(OpcBrowsedNode{.is_variable = false,
                                               .namespace_index = o.namespace_index,
                                               .identifier = std::move(o.identifier),
                                               .browse_path = std::move(o.browse_path),
                                               .display_name = std::move(o.display_name)});
        }
        for (auto& v : found.variables) {
            out.nodes.push_back(OpcBrowsedNode{.is_variable = true,
                                               .namespace_index = v.namespace_index,
                                               .identifier = v.identifier,
                                               .full_tag_name = v.full_tag_name,
                                               .browse_path = v.browse_path,
                                               .display_name = v.display_name,
                                               .description = qevsdk::tag_list_description(v),
                                               .data_type = v.data_type,
                                               .listed_by_default = qevsdk::listed_by_default(v)});
        }
        return out;
    }

  private:
    qevsdk::QevLibrary lib_;
    std::vector<qevsdk::TagRequest> requests_;
};

}  // namespace

OpcBrowseResult OpcLibrary::browse(OpcSourceHandle, const OpcBrowseOptions&) {
    throw std::runtime_error("this OPC library cannot browse a server");
}

std::string browsed_tag_list_csv(const std::vector<OpcBrowsedNode>& variables) {
    std::string csv = qevsdk::kTagListCsvHeader;
    for (const auto& node : variables) {
        if (!node.is_variable) {
            continue;
        }
        qevsdk::BrowsedVariable v;
        v.full_tag_name = node.full_tag_name;
        v.description = node.description;
        v.data_type = node.data_type;
        v.browse_path = node.browse_path;
        csv += qevsdk::tag_list_csv_line(v);
    }
    return csv;
}

OpcLibraryFactory default_opc_library_factory() {
    return []() -> std::unique_ptr<OpcLibrary> { return std::make_unique<QevsdkLibrary>(); };
}

void apply_ua_security(const UaSecuritySettings& settings) {
    qevsdk::UaSecurity ua;
    ua.security_policy = settings.policy;
    ua.security_mode = settings.mode;
    ua.user = settings.user;
    ua.password = settings.password;
    ua.pki_dir = settings.pki_dir.string();
    ua.trust_on_first_use = settings.trust_on_first_use;
    try {
        qevsdk::set_ua_security(ua);
    } catch (const qevsdk::Error& e) {
        throw std::invalid_argument(std::string("[Vantrel] ua_security_policy/ua_security_mode: ") +
                                    e.what());
    }
}

}  // namespace vantrel::korrin

namespace vantrel::korrin {

void apply_acquisition(const AcquisitionSettings& settings) {
    qevsdk::UaSubscription ua;
    ua.sampling_interval_ms = settings.sampling_interval_ms;
    ua.queue_size = settings.queue_size;
    ua.deadband =
        settings.deadband == AcquisitionSettings::Deadband::absolute  ? qevsdk::UaDeadband::absolute
        : settings.deadband == AcquisitionSettings::Deadband::percent ? qevsdk::UaDeadband::percent
                                                                      : qevsdk::UaDeadband::none;
    ua.deadband_value = settings.deadband_value;
    ua.keep_changes = settings.every_change();
    try {
        qevsdk::set_ua_subscription(ua);
    } catch (const qevsdk::Error& e) {
        throw std::invalid_argument(std::string("[Vantrel] subscription settings: ") + e.what());
    }
}

}  // namespace vantrel::korrin
