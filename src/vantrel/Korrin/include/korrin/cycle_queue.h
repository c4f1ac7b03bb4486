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

    // Keeps the newest `maxlen` cycles (at least 1).
    explicit CycleQueue(std::size_t maxlen = kDefaultLength) : data_deque(maxlen) {}
    CycleQueue(const CycleQueue&) = delete;
    CycleQueue& operator=(const CycleQueue&) = delete;

    // Appends a cycle; a full queue drops its oldest. The cycle is copied by the caller,
    // before the lock, so that the other side waits only for the append itself.
    void push(CycleResults cycle) {
        std::lock_guard lock(deque_lock);
        data_deque.push_back(std::move(cycle));
    }

    // Appends a copy of `cycle`, made in the memory of a cycle handed back by recycle() when
    // there is one: a cycle of the same tags then costs no allocation. The copy is made before
    // the lock, as with push().
    void push_copy(const CycleResults& cycle) {
        CycleResults copy;
        {
            std::lock_guard lock(spare_lock);
            if (!spares.empty()) {
                copy = std::move(spares.back());
                spares.pop_back();
            }
        }
        copy.assign(cycle.begin(), cycle.end());
        push(std::move(copy));
    }

    // Takes back drained cycles the front end is done with, for push_copy() to fill again; one
    // is kept (a front end drains about as often as cycles come), the rest freed.
    void recycle(std::vector<CycleResults>&& drained) {
        std::lock_guard lock(spare_lock);
        for (auto& cycle : drained) {
            if (spares.size() >= kSpares) {
                break;
            }
            spares.push_back(std::move(cycle));
        }
        drained.clear();
    }

    // Every queued cycle, oldest first; the queue is empty afterwards.
    std::vector<CycleResults> drain() {
        std::vector<CycleResults> out;
        std::lock_guard lock(deque_lock);
        out.reserve(data_deque.size());
        while (auto entry = data_deque.pop_front()) {
            out.push_back(std::move(*entry));
        }
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
    }

  private:
    static constexpr std::size_t kSpares = 1;

    mutable std::mutex deque_lock;
    DataDeque data_deque;
    // Apart from deque_lock, so that neither side waits on the other's copy.
    std::mutex spare_lock;
    std::vector<CycleResults> spares;
};

}  // namespace vantrel::korrin
