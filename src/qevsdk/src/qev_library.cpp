// The library handle: a table from opaque handles to sources.
#include <atomic>
#include <map>
#include <mutex>

#include "log.h"
#include "qevsdk/qevsdk.h"
#include "source.h"
#include "spdlog_support/named_logger.h"

namespace qevsdk {

namespace detail {

std::shared_ptr<spdlog::logger> logger() {
    return spdlog_support::named_logger("qevsdk");
}

}  // namespace detail

namespace {

// Handles are unique across every library handle in the process, so a handle passed to the
// wrong library is unknown there rather than naming someone else's source.
std::atomic<SourceHandle> next_source_handle{1};

}  // namespace

struct QevLibrary::Impl {
    std::mutex mutex;
    bool destroyed = false;
    std::map<SourceHandle, std::shared_ptr<detail::Source>> sources;
    std::string last_error;  // of create_source and discovery

    int discover(std::vector<qev_source_desc_t>& descs, const std::string& hostname, int port);

    void set_last_error(std::string why) {
        std::lock_guard lock(mutex);
        last_error = std::move(why);
    }

    std::shared_ptr<detail::Source> find(SourceHandle handle) {
        std::lock_guard lock(mutex);
        if (destroyed) {
            throw Error("qevsdk: the library handle has been destroyed");
        }
        auto it = sources.find(handle);
        if (it == sources.end()) {
            throw Error("qevsdk: unknown source handle " + std::to_string(handle));
        }
        return it->second;
    }

    void check_alive() {
        std::lock_guard lock(mutex);
        if (destroyed) {
            throw Error("qevsdk: the library handle has been destroyed");
        }
    }
};

QevLibrary::QevLibrary() : impl_(std::make_unique<Impl>()) {}

QevLibrary::~QevLibrary() {
    destroy();
}

void QevLibrary::set_log_level(QEV_LOG_LEVEL level) {
    impl_->check_alive();
    switch (level) {
        case QEV_LOG_LEVEL_DEBUG:
            detail::logger()->set_level(spdlog::level::debug);
            break;
        case QEV_LOG_LEVEL_INFO:
            detail::logger()->set_level(spdlog::level::info);
            break;
        case QEV_LOG_LEVEL_WARNING:
            detail::logger()->set_level(spdlog::level::warn);
            break;
        case QEV_LOG_LEVEL_ERROR:
            detail::logger()->set_level(spdlog::level::err);
            break;
        default:
            throw Error("qevsdk: unknown log level " + std::to_string(static_cast<int>(level)));
    }
}

SourceHandle QevLibrary::create_source(int source_type, const std::string& source_schema,
                                       int sample_timespan_msec, int support_subscribe) {
    impl_->check_alive();
    std::shared_ptr<detail::Source> source;
    std::string why;
    // Failure to connect is reported by the result, never by an exception.
    try {
        if (source_type == QEV_RTSOURCE_DA) {
            // DA sources have no subscriptions here: the flag is ignored.
            source = detail::make_da_source(source_schema, sample_timespan_msec, why);
        } else if (source_type == QEV_RTSOURCE_UA) {
            source = detail::make_ua_source(source_schema, sample_timespan_msec, why,
                                            support_subscribe == 1);
        } else {
            why = fmt::format(
                "unknown source type {}; use QEV_RTSOURCE_DA ({}) or "
                "QEV_RTSOURCE_UA ({})",
                source_type, static_cast<int>(QEV_RTSOURCE_DA), static_cast<int>(QEV_RTSOURCE_UA));
            detail::logger()->error("create_source: {}", why);
        }
    } catch (const std::exception& e) {
        why = fmt::format("cannot connect to '{}': {}", source_schema, e.what());
        detail::logger()->error("create_source: {}", why);
        source.reset();
    }
    impl_->set_last_error(source ? std::string() : std::move(why));
    if (!source) {
        return QEV_INVALID_HANDLE;
    }
    std::unique_lock lock(impl_->mutex);
    if (impl_->destroyed) {
        // destroy() ran while this source was connecting; it must not outlive the library.
        lock.unlock();
        source.reset();
        throw Error("qevsdk: the library handle has been destroyed");
    }
    const SourceHandle handle = next_source_handle++;
    impl_->sources.emplace(handle, std::move(source));
    return handle;
}

bool QevLibrary::is_source_valid(SourceHandle source) {
    return impl_->find(source)->is_valid();
}

std::pair<int, std::vector<ValueRecord>> QevLibrary::read_values(
    SourceHandle source, const std::vector<TagRequest>& requests) {
    // The source is kept alive by its shared_ptr even if another thread destroys the handle
    // while the read is under way.
    auto src = impl_->find(source);
    return {0, src->read(requests)};
}

std::vector<ChangeRecord> QevLibrary::read_changes(SourceHandle source) {
    return impl_->find(source)->take_changes();
}

std::optional<std::size_t> QevLibrary::live_items(SourceHandle source) {
    return impl_->find(source)->live_items();
}

BrowseResult QevLibrary::browse(SourceHandle source, const BrowseOptions& options) {
    auto src = impl_->find(source);
    return src->browse(options);
}

std::vector<std::string> QevLibrary::take_tag_problems(SourceHandle source) {
    return impl_->find(source)->take_tag_problems();
}

std::string QevLibrary::last_error(SourceHandle source) {
    if (source != QEV_INVALID_HANDLE) {
        return impl_->find(source)->last_error();
    }
    std::lock_guard lock(impl_->mutex);
    return impl_->last_error;
}

void QevLibrary::destroy_source(SourceHandle source) {
    std::shared_ptr<detail::Source> doomed;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->destroyed) {
            throw Error("qevsdk: the library handle has been destroyed");
        }
        auto it = impl_->sources.find(source);
        if (it == impl_->sources.end()) {
            throw Error("qevsdk: unknown source handle " + std::to_string(source));
        }
        doomed = std::move(it->second);
        impl_->sources.erase(it);
    }
    // Teardown (closing a session) happens outside the lock.
    doomed.reset();
}

void QevLibrary::destroy() {
    std::map<SourceHandle, std::shared_ptr<detail::Source>> doomed;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->destroyed) {
            return;
        }
        impl_->destroyed = true;
        doomed.swap(impl_->sources);
    }
    doomed.clear();
}

std::optional<int> QevLibrary::discovery(std::vector<qev_source_desc_t>& descs,
                                         const std::string& hostname, int port) {
    impl_->check_alive();
    try {
        const int count = impl_->discover(descs, hostname, port);
        impl_->set_last_error({});
        return count;
    } catch (const Error& e) {
        impl_->set_last_error(e.what());
        throw;
    }
}

int QevLibrary::Impl::discover(std::vector<qev_source_desc_t>& descs, const std::string& hostname,
                               int port) {
    // Every descriptor asks for the same kinds; the first one's source_type decides.
    const int wanted = descs.empty() ? 0 : descs.front().source_type;
    std::vector<std::pair<int, std::string>> found;
    if (wanted == 0 || wanted == QEV_RTSOURCE_DA) {
        for (auto& schema : detail::discover_da(hostname)) {
            found.emplace_back(QEV_RTSOURCE_DA, std::move(schema));
        }
    }
    if (wanted == 0 || wanted == QEV_RTSOURCE_UA) {
        try {
            for (auto& schema : detail::discover_ua(hostname, port)) {
                found.emplace_back(QEV_RTSOURCE_UA, std::move(schema));
            }
        } catch (const Error& e) {
            // Asking for every kind, an unreachable UA server is not an error when DA
            // servers were found: the caller still gets what there is.
            if (wanted == QEV_RTSOURCE_UA || found.empty()) {
                throw;
            }
            detail::logger()->info("discovery: {}", e.what());
        }
    }
    int count = 0;
    for (const auto& [type, schema] : found) {
        if (static_cast<std::size_t>(count) >= descs.size()) {
            break;
        }
        auto& desc = descs[static_cast<std::size_t>(count)];
        if (schema.size() >= desc.name.size()) {
            detail::logger()->warn("discovery: skipping a server name of {} bytes", schema.size());
            continue;
        }
        desc = qev_source_desc_t{};
        desc.source_type = type;
        std::copy(schema.begin(), schema.end(), desc.name.begin());
        std::copy(schema.begin(), schema.end(), desc.schema.begin());
        ++count;
    }
    return count;
}

}  // namespace qevsdk
