// The trend's history reader: one thread, one connection, the newest request only.
#include "vantrel/trend_loader.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "desktop_log.h"

namespace vantrel::desktop {

namespace {

// A chart may ask for a day of several tags; it waits on its own thread, so it may take longer
// than a lookup the collector makes, and closing the window still cancels it at once.
constexpr double kHistoryTimeoutSeconds = 15.0;

korrin::TsdbConfig history_config(korrin::TsdbConfig cfg) {
    cfg.lookup_timeout = std::max(cfg.lookup_timeout, kHistoryTimeoutSeconds);
    return cfg;
}

}  // namespace

TrendLoader::TrendLoader(std::shared_ptr<korrin::TsdbClient> client)
    : client_(std::move(client)), thread_([this](std::stop_token stop) { run(std::move(stop)); }) {}

TrendLoader::~TrendLoader() {
    thread_.request_stop();
    thread_.join();
}

void TrendLoader::request(std::uint64_t generation, const korrin::TsdbConfig& cfg,
                          korrin::HistoryQuery query) {
    {
        std::lock_guard lock(mutex_);
        pending_ = Request{generation, history_config(cfg), std::move(query)};
    }
    wake_.notify_all();
}

bool TrendLoader::busy() const {
    {
        std::lock_guard lock(mutex_);
        if (pending_ || running_) {
            return true;
        }
    }
    return !answers_.empty();
}

void TrendLoader::run(std::stop_token stop) {
    for (;;) {
        Request next;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, stop, [this] { return pending_.has_value(); });
            if (stop.stop_requested()) {
                break;
            }
            next = std::move(*pending_);
            pending_.reset();
            running_ = true;
        }
        TrendAnswer answer = read(next, stop);
        // Pushed before running_ is cleared, so busy() never reads false in between.
        answers_.push(std::move(answer));
        std::lock_guard lock(mutex_);
        running_ = false;
    }
    if (conn_) {
        try {
            conn_->close();
        } catch (...) {
            // Nothing more is read on it either way.
        }
    }
}

TrendAnswer TrendLoader::read(const Request& request, std::stop_token stop) {
    TrendAnswer answer{.generation = request.generation, .samples = {}, .error = {}};
    try {
        if (conn_ && !(conn_cfg_ == request.cfg)) {
            auto old = std::move(conn_);
            old->close();
        }
        if (!conn_) {
            conn_ = client_->get_conn_stoppable(request.cfg, stop);
            if (!conn_) {
                throw korrin::TsdbConnectionError("the TSDB client gave no connection");
            }
            conn_cfg_ = request.cfg;
        }
        answer.samples = client_->read_history(*conn_, request.query);
    } catch (const std::exception& e) {
        // The next request connects afresh; a statement error leaves the connection usable,
        // but a fresh one costs little next to a chart that stays empty.
        if (conn_) {
            try {
                conn_->close();
            } catch (...) {
            }
            conn_.reset();
        }
        answer.error = e.what();
        if (!stop.stop_requested()) {
            log()->warn("Trend history could not be read: {}", e.what());
        }
    }
    return answer;
}

}  // namespace vantrel::desktop
