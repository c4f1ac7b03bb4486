// Reads trend history on a thread of its own, with a database connection of its own, so that
// the window never waits for the database. Answers are handed over through a HandOff that the
// window's thread takes on its own timer.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "korrin/tsdb_client.h"
#include "korrin/types.h"
#include "vantrel/hand_off.h"

namespace vantrel::desktop {

struct TrendAnswer {
    std::uint64_t generation = 0;
    std::vector<korrin::StoredSample> samples;
    std::string error;  // empty when the read worked
};

class TrendLoader {
  public:
    explicit TrendLoader(std::shared_ptr<korrin::TsdbClient> client);
    // Cancels the read under way (its statement and its connection) and waits for the thread.
    ~TrendLoader();
    TrendLoader(const TrendLoader&) = delete;
    TrendLoader& operator=(const TrendLoader&) = delete;

    // Reads the query from the database of `cfg`. Replaces a request not yet begun: only the
    // newest selection matters. A read under way runs to its end; its answer carries its own
    // generation, which the caller then drops.
    void request(std::uint64_t generation, const korrin::TsdbConfig& cfg,
                 korrin::HistoryQuery query);
    // The answers that came in since the last call, oldest first.
    std::vector<TrendAnswer> take() { return answers_.take(); }
    // A request waits or runs, or an answer waits to be taken.
    bool busy() const;

  private:
    struct Request {
        std::uint64_t generation = 0;
        korrin::TsdbConfig cfg;
        korrin::HistoryQuery query;
    };
    void run(std::stop_token stop);
    TrendAnswer read(const Request& request, std::stop_token stop);

    std::shared_ptr<korrin::TsdbClient> client_;
    HandOff<TrendAnswer> answers_;
    mutable std::mutex mutex_;
    std::condition_variable_any wake_;
    std::optional<Request> pending_;
    bool running_ = false;
    // Used on the thread only: the connection and the settings it was opened with.
    std::unique_ptr<korrin::TsdbConnection> conn_;
    korrin::TsdbConfig conn_cfg_;
    std::jthread thread_;  // last: it starts once everything above exists
};

}  // namespace vantrel::desktop
