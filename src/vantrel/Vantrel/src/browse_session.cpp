// The browse dialog's worker: one thread per dialog, which owns the OPC library handle.
#include "vantrel/browse_session.h"

#include <exception>
#include <utility>

#include <QMetaObject>

namespace vantrel::desktop {

BrowseSession::BrowseSession(korrin::OpcLibraryFactory factory, std::string schema, QObject* parent)
    : QObject(parent),
      factory_(factory ? std::move(factory) : korrin::default_opc_library_factory()),
      schema_(std::move(schema)),
      thread_([this] { run(); }) {}

BrowseSession::~BrowseSession() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    ++generation_;
    wake_.notify_all();
    thread_.join();
}

void BrowseSession::request(int id, int namespace_index, std::string identifier) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back({id, namespace_index, std::move(identifier), generation_.load()});
    }
    wake_.notify_all();
}

void BrowseSession::cancel() {
    std::lock_guard lock(mutex_);
    queue_.clear();
    ++generation_;
}

std::string BrowseSession::connect_source() {
    if (library_ && source_ != korrin::QEV_INVALID_HANDLE) {
        return {};
    }
    library_ = factory_();
    if (!library_) {
        return "the OPC library could not be created";
    }
    library_->set_log_level(korrin::QEV_LOG_LEVEL_INFO);
    source_ = library_->create_source(korrin::QEV_RTSOURCE_UA, schema_, 1000, 0);
    if (source_ == korrin::QEV_INVALID_HANDLE) {
        std::string reason = library_->last_error();
        disconnect_source();
        return "cannot connect to " + schema_ + (reason.empty() ? "" : ": " + reason);
    }
    return {};
}

void BrowseSession::disconnect_source() {
    if (!library_) {
        return;
    }
    try {
        if (source_ != korrin::QEV_INVALID_HANDLE) {
            library_->destroy_source(source_);
        }
        library_->destroy();
    } catch (...) {
        // Nothing is left to browse with either way.
    }
    source_ = korrin::QEV_INVALID_HANDLE;
    library_.reset();
}

void BrowseSession::run() {
    for (;;) {
        Request next;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) {
                break;
            }
            next = std::move(queue_.front());
            queue_.pop_front();
        }
        const int id = next.id;
        const auto post = [this](auto&& call) {
            QMetaObject::invokeMethod(this, std::forward<decltype(call)>(call),
                                      Qt::QueuedConnection);
        };
        if (next.generation != generation_.load()) {
            continue;  // cancelled before it began
        }
        if (auto reason = connect_source(); !reason.empty()) {
            post([this, id, reason = QString::fromStdString(reason)] { emit failed(id, reason); });
            continue;
        }
        korrin::OpcBrowseOptions options;
        options.from_namespace = next.namespace_index;
        options.from = next.identifier;
        options.max_depth = 1;
        const std::uint64_t generation = next.generation;
        options.cancelled = [this, generation] { return generation_.load() != generation; };
        options.progress = [&](const korrin::OpcBrowseProgress& p) {
            post(
                [this, id, n = static_cast<qulonglong>(p.nodes_visited)] { emit progress(id, n); });
        };
        try {
            auto result = library_->browse(source_, options);
            if (!result.complete && generation_.load() == generation) {
                // Not cancelled: the connection failed; the next request connects again.
                disconnect_source();
            }
            post([this, id, result = std::move(result)] { emit finished(id, result); });
        } catch (const std::exception& e) {
            disconnect_source();
            post([this, id, reason = QString::fromUtf8(e.what())] { emit failed(id, reason); });
        }
    }
    disconnect_source();
}

}  // namespace vantrel::desktop
