// Recording collector callbacks and an injected clock and sleeper, so that threaded tests wait
// on a condition variable and back-off tests never wait for real.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <korrin/opc_collector.h>

namespace vantrel::test_fakes {

class StatusLog {
  public:
    vantrel::korrin::StatusNotify callback() {
        return [this](const std::string& text) {
            std::lock_guard lock(mutex_);
            texts_.push_back(text);
            changed_.notify_all();
        };
    }
    std::vector<std::string> texts() const {
        std::lock_guard lock(mutex_);
        return texts_;
    }
    bool contains(const std::string& text) const {
        auto t = texts();
        return std::find(t.begin(), t.end(), text) != t.end();
    }
    bool wait_for(const std::string& text,
                  std::chrono::seconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            return std::find(texts_.begin(), texts_.end(), text) != texts_.end();
        });
    }
    void clear() {
        std::lock_guard lock(mutex_);
        texts_.clear();
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> texts_;
};

class DbStatusLog {
  public:
    vantrel::korrin::DbStatusNotify callback() {
        return [this](bool ok, std::int64_t count) {
            std::lock_guard lock(mutex_);
            calls_.emplace_back(ok, count);
            changed_.notify_all();
        };
    }
    std::vector<std::pair<bool, std::int64_t>> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    template <class Pred>
    bool wait_until(Pred pred, std::chrono::seconds timeout = std::chrono::seconds(30)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return pred(calls_); });
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<bool, std::int64_t>> calls_;
};

// A clock that only moves when the collector sleeps, or when a test moves it. `on_sleep` runs
// after each recorded sleep (for example to stop the collector after so many).
class FakeTime {
  public:
    vantrel::korrin::SecondsClock clock() {
        return [this] {
            std::lock_guard lock(mutex_);
            return now_;
        };
    }
    vantrel::korrin::Sleeper sleeper() {
        return [this](double seconds) {
            std::function<void()> hook;
            {
                std::lock_guard lock(mutex_);
                sleeps_.push_back(seconds);
                now_ += std::max(seconds, 0.0);
                hook = on_sleep;
            }
            if (hook) {
                hook();
            }
        };
    }
    void advance(double seconds) {
        std::lock_guard lock(mutex_);
        now_ += seconds;
    }
    std::vector<double> sleeps() const {
        std::lock_guard lock(mutex_);
        return sleeps_;
    }
    std::function<void()> on_sleep;

  private:
    mutable std::mutex mutex_;
    double now_ = 1000.0;
    std::vector<double> sleeps_;
};

}  // namespace vantrel::test_fakes
