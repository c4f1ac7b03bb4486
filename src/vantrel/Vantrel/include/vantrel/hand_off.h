// Results from a worker thread to the GUI thread. The worker pushes; the GUI thread takes them
// on a timer of its own. A plain mutex rather than Qt's event queue: the hand-over is then one
// that ThreadSanitizer sees, where Qt's queued calls pass through locks it cannot see.
#pragma once

#include <mutex>
#include <utility>
#include <vector>

namespace vantrel::desktop {

template <class T>
class HandOff {
  public:
    void push(T item) {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(item));
    }

    // Everything pushed since the last take, oldest first.
    std::vector<T> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(items_, {});
    }

    bool empty() const {
        std::lock_guard lock(mutex_);
        return items_.empty();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<T> items_;
};

}  // namespace vantrel::desktop
