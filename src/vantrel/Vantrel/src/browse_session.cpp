// The browse dialog's worker: one thread per dialog, which owns the OPC library handle.
#include "vantrel/browse_session.h"

#include <exception>
#include <utility>

#include <QPointer>
#include <QTimer>

namespace vantrel::desktop {

namespace {

// How often the owner's thread looks for answers while a browse is out.
constexpr int kDeliverMs = 20;

}  // namespace

BrowseSession::BrowseSession(korrin::OpcLibraryFactory factory, std::string schema, QObject* parent)
    : QObject(parent),
      factory_(factory ? std::move(factory) : korrin::default_opc_library_factory()),
      schema_(std::move(schema)),
      thread_([this] { run(); }) {
    deliver_timer_ = new QTimer(this);
    deliver_timer_->setInterval(kDeliverMs);
    connect(deliver_timer_, &QTimer::timeout, this, &BrowseSession::deliver);
}

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
    deliver_timer_->start();
}

void BrowseSession::deliver() {
    // A slot may end the session (the dialog closing): stop at once when it does.
    const QPointer<BrowseSession> alive(this);
    for (auto& answer : answers_.take()) {
        switch (answer.kind) {
            case Answer::Kind::progress:
                emit progress(answer.id, answer.nodes_found);
                break;
            case Answer::Kind::finished:
                emit finished(answer.id, answer.result);
                break;
            case Answer::Kind::failed:
                emit failed(answer.id, QString::fromStdString(answer.reason));
                break;
        }
        if (!alive) {
            return;
        }
    }
    bool idle = false;
    {
        std::lock_guard lock(mutex_);
        idle = queue_.empty() && !running_;
    }
    // An answer pushed after the take above is taken on the next round.
    if (idle && answers_.empty()) {
        deliver_timer_->stop();
    }
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
            running_ = true;
        }
        browse(next);
        std::lock_guard lock(mutex_);
        running_ = false;
    }
    disconnect_source();
}

void BrowseSession::browse(const Request& next) {
    const int id = next.id;
    using Kind = Answer::Kind;
    if (next.generation != generation_.load()) {
        return;  // cancelled before it began
    }
    if (auto reason = connect_source(); !reason.empty()) {
        answers_.push({Kind::failed, id, 0, {}, std::move(reason)});
        return;
    }
    korrin::OpcBrowseOptions options;
    options.from_namespace = next.namespace_index;
    options.from = next.identifier;
    options.max_depth = 1;
    const std::uint64_t generation = next.generation;
    options.cancelled = [this, generation] { return generation_.load() != generation; };
    options.progress = [&](const korrin::OpcBrowseProgress& p) {
        answers_.push({Kind::progress, id, static_cast<qulonglong>(p.nodes_visited), {}, {}});
    };
    try {
        auto result = library_->browse(source_, options);
        if (!result.complete && generation_.load() == generation) {
            // Not cancelled: the connection failed; the next request connects again.
            disconnect_source();
        }
        answers_.push({Kind::finished, id, 0, std::move(result), {}});
    } catch (const std::exception& e) {
        disconnect_source();
        answers_.push({Kind::failed, id, 0, {}, e.what()});
    }
}

}  // namespace vantrel::desktop
