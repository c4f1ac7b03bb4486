// The queue that carries each good cycle from the collector thread to its front end. It owns
// its lock, so neither side can append or take without it, and it is shared: the front end
// owns it and hands it to the collector, and whichever ends last frees it.
#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

#include "korrin/types.h"

namespace vantrel::korrin {

class CycleQueue {
  public:
    static constexpr std::size_t kDefaultLength = 300;

    // Keeps the newest `maxlen` cycles (at least 1). A queue that does not keep samples keeps
    // only each cycle's count, for a front end that shows nothing but counts: its cycles cost
    // no copy, and drain() gives them without samples.
    explicit CycleQueue(std::size_t maxlen = kDefaultLength, bool keep_samples = true)
        : keep_samples_(keep_samples), data_deque(maxlen), counts_(maxlen) {}
    CycleQueue(const CycleQueue&) = delete;
    CycleQueue& operator=(const CycleQueue&) = delete;

    // Appends a cycle; a full queue drops its oldest. The cycle is copied by the caller,
    // before the lock, so that the other side waits only for the append itself.
    void push(CycleResults cycle) {
        const std::size_t count = cycle.size();
        if (!keep_samples_) {
            cycle = CycleResults{};
        }
        std::lock_guard lock(deque_lock);
        data_deque.push_back(std::move(cycle));
        counts_.push_back(count);
    }

    // Appends a copy of `cycle`, made before the lock as with push(); none for a queue that
    // keeps only counts.
    void push_copy(const CycleResults& cycle) {
        if (!keep_samples_) {
            std::lock_guard lock(deque_lock);
            data_deque.push_back(CycleResults{});
            counts_.push_back(cycle.size());
            return;
        }
        push(cycle);
    }

    // Empties the queue like drain(), and gives how many samples its cycles held.
    std::size_t drain_sample_count() {
        std::size_t total = 0;
        std::lock_guard lock(deque_lock);
        while (auto count = counts_.pop_front()) {
            total += *count;
        }
        data_deque.clear();
        return total;
    }

    // Every queued cycle, oldest first; the queue is empty afterwards.
    std::vector<CycleResults> drain() {
        std::vector<CycleResults> out;
        std::lock_guard lock(deque_lock);
        out.reserve(data_deque.size());
        while (auto entry = data_deque.pop_front()) {
            out.push_back(std::move(*entry));
        }
        counts_.clear();
        return out;
    }

    std::size_t size() const {
        std::lock_guard lock(deque_lock);
        return data_deque.size();
    }
    bool empty() const { return size() == 0; }
    std::size_t maxlen() const noexcept { return data_deque.maxlen(); }

    void clear() {
        std::lock_guard lock(deque_lock);
        data_deque.clear();
        counts_.clear();
    }

  private:
    const bool keep_samples_;
    mutable std::mutex deque_lock;
    DataDeque data_deque;
    BoundedDeque<std::size_t> counts_;  // each queued cycle's samples, in step with data_deque
};

}  // namespace vantrel::korrin
